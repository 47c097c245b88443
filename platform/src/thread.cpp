#include "platform/thread.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace pf {

namespace {
thread_local int t_lastError = 0;
std::atomic<int> g_failStarts{0};
}  // namespace

int GetLastError() { return t_lastError; }
void SetLastError(int err) { t_lastError = err; }

const char* SystemErrorText(int err) {
  thread_local char buf[256];
  const char* s = strerror_r(err, buf, sizeof buf);  // GNU variant
  return s;
}

void test::FailNextThreadStarts(int n) { g_failStarts.store(n); }

Thread::~Thread() {
  if (t_.joinable()) {
    if (IsCurrent())
      t_.detach();
    else
      t_.join();
  }
}

bool Thread::Start(std::function<void()> fn) {
  if (t_.joinable()) Join();
  int pending = g_failStarts.load();
  while (pending > 0) {
    if (g_failStarts.compare_exchange_weak(pending, pending - 1)) {
      SetLastError(EAGAIN);
      return false;
    }
  }
  try {
    t_ = std::thread(std::move(fn));
  } catch (const std::system_error& e) {
    SetLastError(e.code().value() ? e.code().value() : EAGAIN);
    return false;
  }
  return true;
}

bool Thread::Join() {
  if (!t_.joinable()) return true;
  if (IsCurrent()) return false;
  t_.join();
  return true;
}

void Thread::Detach() {
  if (t_.joinable()) t_.detach();
}

}  // namespace pf

#include "platform/reply_signal.h"

#include <sched.h>

#include <algorithm>

namespace pf {

namespace {
// Long enough for a round trip to a peer on this machine, short enough that a
// request to a device that answers in milliseconds wastes next to nothing.
std::atomic<int> g_spinUs{50};
}  // namespace

void test::SetReplySpinUs(int us) { g_spinUs.store(us < 0 ? 0 : us); }
int test::ReplySpinUs() { return g_spinUs.load(); }

bool ReplySignal::TryTake() {
  uint32_t s = state_.load(std::memory_order_acquire);
  while (s & kSet)
    if (state_.compare_exchange_weak(s, s & ~kSet, std::memory_order_acquire, std::memory_order_acquire))
      return true;
  return false;
}

void ReplySignal::Set() {
  const uint32_t before = state_.fetch_or(kSet, std::memory_order_acq_rel);
  if (before / kSleeper == 0) return;  // nobody sleeps: a spinning waiter sees the bit
  // A sleeper counts itself under m_ and keeps m_ until it waits, so once m_
  // was free here it waits for this notice. Notified after m_ is let go, so
  // that the woken waiter does not at once wait for m_.
  { std::lock_guard<std::mutex> lk(m_); }
  cv_.notify_all();
}

bool ReplySignal::WaitUntil(Clock::time_point deadline) {
  if (TryTake()) return true;
  const int spinUs = g_spinUs.load(std::memory_order_relaxed);
  if (spinUs > 0) {
    const Clock::time_point spinEnd = std::min(deadline, Clock::now() + std::chrono::microseconds(spinUs));
    while (Clock::now() < spinEnd) {
      sched_yield();  // a thread that is to set us may be queued on this processor
      if (TryTake()) return true;
    }
  }
  std::unique_lock<std::mutex> lk(m_);
  state_.fetch_add(kSleeper, std::memory_order_acq_rel);
  bool got = TryTake();
  while (!got) {
    if (deadline == Clock::time_point::max()) {
      cv_.wait(lk);
    } else {
      if (Clock::now() >= deadline) break;
      cv_.wait_until(lk, deadline);
    }
    got = TryTake();
  }
  state_.fetch_sub(kSleeper, std::memory_order_acq_rel);
  return got;
}

bool ReplySignal::Wait(long ms) {
  if (ms >= 0) return WaitUntil(Clock::now() + std::chrono::milliseconds(ms));
  return WaitUntil(Clock::time_point::max());
}

}  // namespace pf

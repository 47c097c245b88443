// Worker threads that are kept and joined, never detached.
#pragma once

#include <functional>
#include <thread>

namespace pf {

class Thread {
 public:
  Thread() = default;
  ~Thread();  // joins a thread that is still joinable
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts `fn` on a new thread. False (and the system error in
  // pf::GetLastError()) when the thread cannot be made.
  bool Start(std::function<void()> fn);

  // Joins the thread unless it is the calling thread; true when it was joined
  // or there was nothing to join.
  bool Join();
  bool Joinable() const { return t_.joinable(); }
  bool IsCurrent() const { return t_.joinable() && t_.get_id() == std::this_thread::get_id(); }
  // Lets go of a thread that ends on its own (used only by a thread that must
  // release its own record).
  void Detach();

 private:
  std::thread t_;
};

// Thread-local "last error" of the system calls of this layer (errno values).
int GetLastError();
void SetLastError(int err);
// The system's text for an error number (what FormatMessage gives on Windows).
const char* SystemErrorText(int err);

namespace test {
// Makes the next `n` Thread::Start calls fail with EAGAIN, so that the
// "thread could not be started" paths can be exercised.
void FailNextThreadStarts(int n);
}  // namespace test

}  // namespace pf

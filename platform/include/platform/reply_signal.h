// The hand-over of a reply from the thread that receives it to the request
// that waits for it, used by every request engine of the kit.
//
// A device on the same machine or a fast network answers within microseconds,
// sooner than a sleeping thread can be woken again (on a virtual machine whose
// idle processors halt, the wake-up alone takes tens of microseconds). So a
// wait first spins for a short, bounded time, giving the processor away at
// every turn so that a receive thread queued on the same processor is not held
// up, and only then sleeps; the setter calls into the kernel only when someone
// sleeps. A device that answers in milliseconds costs one short spin per
// request and otherwise an ordinary sleep.
//
// Semantics of an auto-reset event: Set wakes a waiter, or stays set until a
// wait takes it; Reset forgets a set that no wait took. Set also serves to
// wake a waiter for another reason (its request is being closed or the
// library stopped): the woken waiter then looks at what it waits for, as it
// does after any wait.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace pf {

class ReplySignal {
 public:
  using Clock = std::chrono::steady_clock;

  ReplySignal() = default;
  ReplySignal(const ReplySignal&) = delete;
  ReplySignal& operator=(const ReplySignal&) = delete;

  void Set();
  void Reset() { state_.fetch_and(~kSet, std::memory_order_relaxed); }

  // Waits until the signal is set (true; the set is taken) or `deadline`
  // passes (false). What the setter wrote before Set is visible afterwards.
  bool WaitUntil(Clock::time_point deadline);
  // Milliseconds from now; negative waits without end.
  bool Wait(long ms);
  // Deadline as a MonotonicMs value (the libraries' clock of time-outs).
  bool WaitUntilMs(int64_t deadlineMs) {
    return WaitUntil(Clock::time_point(std::chrono::milliseconds(deadlineMs)));
  }

 private:
  static constexpr uint32_t kSet = 1;       // bit 0
  static constexpr uint32_t kSleeper = 2;   // the rest counts the sleeping waiters
  bool TryTake();

  std::atomic<uint32_t> state_{0};
  std::mutex m_;
  std::condition_variable cv_;
};

namespace test {
// Length of the spin before a wait sleeps (microseconds; 0: sleep at once, so
// that a test takes the sleeping path every time).
void SetReplySpinUs(int us);
int ReplySpinUs();
}  // namespace test

}  // namespace pf

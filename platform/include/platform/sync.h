// Locks and events with the semantics the libraries were designed around:
// critical sections are re-entrant, and an auto-reset event wakes exactly one
// waiter, or stays set until one wait takes it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pf {

using CriticalSection = std::recursive_mutex;
using Lock = std::lock_guard<std::recursive_mutex>;

class AutoResetEvent {
 public:
  AutoResetEvent() = default;
  AutoResetEvent(const AutoResetEvent&) = delete;
  AutoResetEvent& operator=(const AutoResetEvent&) = delete;

  // Wakes one waiter; with none waiting the event stays set for the next wait.
  void Set() {
    {
      std::lock_guard<std::mutex> lk(m_);
      set_ = true;
    }
    cv_.notify_one();
  }

  void Reset() {
    std::lock_guard<std::mutex> lk(m_);
    set_ = false;
  }

  // Waits at most `ms` milliseconds (negative: forever). True when the event
  // was set; taking it clears it.
  bool Wait(long ms) {
    std::unique_lock<std::mutex> lk(m_);
    ++waiters_;
    bool got = true;
    if (ms < 0)
      cv_.wait(lk, [this] { return set_; });
    else
      got = cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return set_; });
    --waiters_;
    if (!got) return false;
    set_ = false;
    return true;
  }

  // Threads inside Wait now (lets a test know that its waiters are blocked).
  int Waiters() {
    std::lock_guard<std::mutex> lk(m_);
    return waiters_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool set_ = false;
  int waiters_ = 0;
};

// A lock whose acquisition can be given up after a time-out (works with
// std::unique_lock). Taking it when it is free costs one atomic exchange and
// no system call; only a thread that has to wait sleeps on a plain mutex and
// condition, which every sanitizer understands.
class TimedMutex {
 public:
  TimedMutex() = default;
  TimedMutex(const TimedMutex&) = delete;
  TimedMutex& operator=(const TimedMutex&) = delete;

  bool try_lock() {
    bool expected = false;
    return held_.compare_exchange_strong(expected, true);
  }
  void lock() {
    if (try_lock()) return;
    std::unique_lock<std::mutex> lk(m_);
    waiters_.fetch_add(1);
    while (!try_lock()) cv_.wait(lk);
    waiters_.fetch_sub(1);
  }
  template <class Rep, class Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& d) {
    if (try_lock()) return true;
    const auto deadline = std::chrono::steady_clock::now() + d;
    std::unique_lock<std::mutex> lk(m_);
    waiters_.fetch_add(1);
    bool got = try_lock();
    while (!got && std::chrono::steady_clock::now() < deadline) {
      cv_.wait_until(lk, deadline);
      got = try_lock();
    }
    waiters_.fetch_sub(1);
    return got;
  }
  void unlock() {
    held_.store(false);  // sequentially consistent with the waiters' count below
    if (waiters_.load() == 0) return;
    // A waiter counts itself under m_ and keeps m_ until it waits, so once m_
    // was free here it has either seen the lock free or waits for this notice.
    { std::lock_guard<std::mutex> lk(m_); }
    cv_.notify_all();
  }

 private:
  std::atomic<bool> held_{false};
  std::atomic<int> waiters_{0};
  std::mutex m_;
  std::condition_variable cv_;
};

}  // namespace pf

// Locks and events with the semantics the libraries were designed around:
// critical sections are re-entrant, and an auto-reset event wakes exactly one
// waiter, or stays set until one wait takes it.
#pragma once

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
// std::unique_lock). Built on a plain mutex and a condition, which every
// sanitizer understands.
class TimedMutex {
 public:
  TimedMutex() = default;
  TimedMutex(const TimedMutex&) = delete;
  TimedMutex& operator=(const TimedMutex&) = delete;

  void lock() {
    std::unique_lock<std::mutex> lk(m_);
    cv_.wait(lk, [this] { return !held_; });
    held_ = true;
  }
  bool try_lock() {
    std::lock_guard<std::mutex> lk(m_);
    if (held_) return false;
    held_ = true;
    return true;
  }
  template <class Rep, class Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& d) {
    std::unique_lock<std::mutex> lk(m_);
    if (!cv_.wait_for(lk, d, [this] { return !held_; })) return false;
    held_ = true;
    return true;
  }
  void unlock() {
    {
      std::lock_guard<std::mutex> lk(m_);
      held_ = false;
    }
    cv_.notify_one();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool held_ = false;
};

}  // namespace pf

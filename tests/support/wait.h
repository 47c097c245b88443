// Bounded waits on conditions: tests never sleep blindly.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace kittest {

template <class Cond>
bool WaitUntil(Cond cond, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

inline int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits until `value()` has not changed for `stillMs` (a stream of events
// has ended), at most `timeoutMs`; true when it held still.
template <class Value>
bool WaitUntilStill(Value value, int stillMs, int timeoutMs) {
  auto last = value();
  int64_t since = NowMs();
  return WaitUntil(
      [&] {
        const auto now = value();
        if (now != last) {
          last = now;
          since = NowMs();
        }
        return NowMs() - since >= stillMs;
      },
      timeoutMs);
}

}  // namespace kittest

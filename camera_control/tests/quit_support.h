// Calls that wait on a camera while the library shuts down.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "Qelm_Control.h"
#include "wait.h"

namespace kittest {

// Starts each call on a thread of its own, lets `waiting` tell (with bounded
// waits of its own) that every call waits on its camera, then quits the
// library: quit and every call must end within `withinMs` of quit's start.
// Gives the calls' results in their order.
inline std::vector<int> QuitWhileCallsWait(const std::vector<std::function<int()>>& calls,
                                           const std::function<bool()>& waiting, int withinMs = 500) {
  std::vector<int> results(calls.size(), -1);
  std::vector<int64_t> ended(calls.size(), 0);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < calls.size(); ++i)
    threads.emplace_back([&, i] {
      results[i] = calls[i]();
      ended[i] = NowMs();
    });
  EXPECT_TRUE(waiting()) << "the calls did not all wait on their cameras";
  const int64_t t0 = NowMs();
  EXPECT_EQ(Qelm_Quit(), 0);
  EXPECT_LT(NowMs() - t0, withinMs);
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < calls.size(); ++i) EXPECT_LT(ended[i] - t0, withinMs) << "call " << i;
  return results;
}

}  // namespace kittest

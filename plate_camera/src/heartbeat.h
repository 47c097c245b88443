// The heartbeat thread: a heartbeat to every camera every 102 ticks of 200 ms
// (20.4 s), and the camera clock set after every 9002 other ticks (about 30
// minutes).
#pragma once

#include <atomic>
#include <memory>

#include "platform/sync.h"
#include "platform/thread.h"

namespace nardix {

struct StHeartbeat {
  std::atomic<bool> stop{false};
  pf::AutoResetEvent wake;
  pf::Thread thread;
};

// Null when the thread cannot be started.
std::shared_ptr<StHeartbeat> StartHeartbeat();
void StopHeartbeat(const std::shared_ptr<StHeartbeat>& hb);

namespace test {
// Tick length and the tick counts of the heartbeat and of the clock.
void SetHeartbeatTiming(int tickMs, int heartbeatTicks, int clockTicks);
}  // namespace test

}  // namespace nardix

// The two socket helpers every channel of the library stands on.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/net.h"

namespace qelm {

// UDP: broadcast allowed, bound to the first free port of port, port + 1, ...
// port + 99. TCP: connected to ip:port within 2 seconds. INVALID_SOCKET on
// any failure (logged). A TCP connect also gives up as soon as `*cancel`
// turns non-zero (a device closed while its link is being made again), and
// after `limitMs` when that is shorter than the 2 seconds (a call that must
// end by its time-out); a negative limit adds none.
pf::SOCKET CreateSocket(uint16_t port, uint32_t ip, bool udp,
                        const std::atomic<uint8_t>* cancel = nullptr, int limitMs = -1);

// Refills the local address list and returns its count.
int GetLocalIPList();
// A copy of the local address list as last refilled.
std::vector<std::string> LocalIPList();

namespace test {
// Connect limit of TCP sockets (2000 ms unless a test shortens it).
void SetConnectTimeoutMs(int ms);
}  // namespace test

}  // namespace qelm

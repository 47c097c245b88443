// The two socket helpers every channel of the library stands on.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "frame.h"
#include "platform/net.h"

namespace qelm {

// UDP: broadcast allowed, bound to the first free port of port, port + 1, ...
// port + 99. TCP: connected to ip:port within 2 seconds. INVALID_SOCKET on
// any failure (logged). A TCP connect also gives up as soon as `*cancel`
// turns non-zero (a device closed while its link is being made again).
pf::SOCKET CreateSocket(uint16_t port, uint32_t ip, bool udp,
                        const std::atomic<uint8_t>* cancel = nullptr);

// Waits before a receive into `st` on a stream socket. While no frame is
// under way it returns at once (the receive waits as long as it always did);
// while one is, it waits for bytes no longer than that frame's deadline.
// True when the receive may go ahead (bytes, the peer's close or a failure
// wait for it); false when the deadline has passed first (the caller drops the
// frame with st.Expire).
bool WaitFrameBytes(pf::SOCKET s, const StRecvState& st);

// Refills the local address list and returns its count.
int GetLocalIPList();
// A copy of the local address list as last refilled.
std::vector<std::string> LocalIPList();

namespace test {
// Connect limit of TCP sockets (2000 ms unless a test shortens it).
void SetConnectTimeoutMs(int ms);
}  // namespace test

}  // namespace qelm

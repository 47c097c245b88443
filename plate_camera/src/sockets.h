// The one socket routine of the library.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/net.h"
#include "platform/sync.h"

namespace nardix {

// UDP: broadcast allowed, bound to the first free port of port, port + 2, ...
// port + 98. TCP: connected to ip:port within 2 seconds; a connect under way
// gives up early once `stop` is set. INVALID_SOCKET on any failure.
pf::SOCKET CreateSocket(bool udp, uint32_t ip, uint16_t port,
                        const std::atomic<uint8_t>* stop = nullptr);

// Sends a whole frame on a socket that another thread may replace or close:
// the socket is read and used under `cs`, which the owner holds to change it.
int SendLocked(pf::CriticalSection& cs, const std::atomic<pf::SOCKET>& sock, const void* data,
               size_t len);
// Wakes every thread blocked on the socket (under `cs`, so the descriptor is
// not closed meanwhile).
void ShutdownLocked(pf::CriticalSection& cs, const std::atomic<pf::SOCKET>& sock);
// Closes the socket and sets it to INVALID_SOCKET (owner only).
void CloseLocked(pf::CriticalSection& cs, std::atomic<pf::SOCKET>& sock);

// Connects a channel again: closes its old socket, connects anew and puts the
// new socket in place, unless the channel was stopped meanwhile (the stopper
// would then have nothing to wake). 1 connected, 0 failed, -1 stopped.
int Reconnect(pf::CriticalSection& cs, std::atomic<pf::SOCKET>& sock, uint32_t ip, uint16_t port,
              const std::atomic<uint8_t>& stop);

namespace test {
// Connect limit of TCP sockets (2000 ms unless a test shortens it).
void SetConnectTimeoutMs(int ms);
}  // namespace test

}  // namespace nardix

// Connections to boxes: the TCP socket, the receive thread with its
// reconnection, the heartbeat, and the end of a device.
#pragma once

#include <atomic>
#include <memory>

#include "device.h"
#include "platform/net.h"
#include "platform/sync.h"

namespace pyrn {

// A connected TCP socket to ip:port, or INVALID_SOCKET (the sockets error
// then tells why). The connect waits up to the connect period, and gives up
// early once *stop is set; `pending` names the socket (under `pendingLock`)
// from its making until it is handed back or closed.
pf::SOCKET ConnectTcp(uint32_t ip, uint16_t port, const std::atomic<uint8_t>* stop,
                      std::atomic<pf::SOCKET>* pending, pf::CriticalSection* pendingLock);

void RecvThreadProc(std::shared_ptr<CBoxDevice> d);

// Ends a device's threads (joined unless called on one of them) and closes
// its transport. The device is freed when its last holder lets go.
void StopDevice(const std::shared_ptr<CBoxDevice>& d);

bool StartHeartbeat();
void StopHeartbeat();

// Calls the status callback (3 link dropped, 4 link re-established).
void ReportStatus(CBoxDevice* d, uint32_t code);

}  // namespace pyrn

// Discovery and network settings by UDP broadcast: one socket and receive
// thread per host address, the search, and the repeat of every broadcast.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "PyrnBox.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "scan_info.h"

namespace pyrn {

constexpr uint16_t kUdpBasePort = 58590;
constexpr uint16_t kResendPort = 58599;

// One host address's socket (bound to that address) and its receive thread.
struct StUdpContext {
  // Closed by CloseAllUdpContexts once the thread has let go of it.
  std::atomic<pf::SOCKET> m_hSocket{pf::INVALID_SOCKET};
  uint16_t m_wPort = kUdpBasePort;            // as recorded, whatever port the bind found
  uint8_t m_recv[4096] = {};
  uint32_t m_nCount = 0;
  uint32_t m_dwHost = 0;
  std::atomic<bool> m_bStop{false};
  pf::Thread m_thread;
};

// A broadcast repeat waiting for its time.
struct StResend {
  pf::AutoResetEvent wake;
  std::atomic<bool> stop{false};
  std::atomic<bool> done{false};
  pf::Thread thread;
};

// Requests, one per host address (the host list refreshed first); empty when
// there is no host address.
std::vector<kit::StDeviceScanInfo> BuildSearchPackets();
// words: the new address, mask, gateway and fourth word, byte-swapped.
std::vector<kit::StDeviceScanInfo> BuildSetNetPackets(uint32_t currentIp, const uint32_t words[4]);

// The found-device record of an answer.
void FillSearchResult(const kit::StDeviceScanInfo& a, StSearchResult* out);
// One received datagram of `n` bytes in the context's buffer.
void HandleScanReply(StUdpContext& ctx, size_t n);

// Closes every UDP context (its thread joined) and empties the list.
void CloseAllUdpContexts();
// Ends the broadcast repeats that are still to come.
void JoinResendThreads();

}  // namespace pyrn

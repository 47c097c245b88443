// The UDP information channel: the library's discovery socket and its receive
// thread, and (in mode 0) the short TCP information connections.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "Qelm_Control.h"
#include "frame.h"
#include "scan_info.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace qelm {

struct StInfoChannel {
  std::atomic<pf::SOCKET> m_hSocket{pf::INVALID_SOCKET};
  StRecvState m_recv{kDiscoveryLimits};
  uint8_t m_mode = 1;  // 1 discovery answers, 0 information replies
  StCameraInfo m_info{};             // target of information replies, under m_csData
  pf::CriticalSection m_csData;
  pf::AutoResetEvent m_evReply;      // an information reply arrived on this channel
  // Stream position when the request's first frame went out (under m_csData;
  // none yet: no frame is an answer).
  uint64_t m_sentAt = UINT64_MAX;
  std::atomic<bool> m_bStop{false};
  pf::Thread m_thread;
};

// A new channel, or null when it cannot be allocated.
StInfoChannel* NewInfoChannel();
// Stops the channel's thread (stop flag, wake, join), closes its socket and
// frees it.
void StopInfoChannel(StInfoChannel* ch);

// Requests of the camera library, one per local address in list order (the
// list is refilled first). Empty when there is no local address or no memory.
std::vector<kit::StDeviceScanInfo> BuildSearchPackets();
std::vector<kit::StDeviceScanInfo> BuildNetParamPackets(const StNetParams* params,
                                                        uint32_t currentIp);

// The camera record of a discovery answer.
void FillCameraInfo(const kit::StDeviceScanInfo& answer, StCameraInfo* info);

void InfoRecvThread(StInfoChannel* ch);
void HandleSearchAnswer(StInfoChannel* ch, std::vector<uint8_t>& frame);
void HandleCameraInfoReply(StInfoChannel* ch, std::vector<uint8_t>& frame);

namespace test {
// While on, every broadcast send of search, set and restart fails as a send
// into an unreachable network does.
void FailBroadcastSends(bool on);
}  // namespace test

}  // namespace qelm

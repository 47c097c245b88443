// Device handles on the control connection (TCP 58000), their receive threads
// and the library-wide heartbeat.
#pragma once

#include <atomic>
#include <cstdint>

#include "Qelm_Control.h"
#include "frame.h"
#include "platform/net.h"
#include "platform/thread.h"

struct StCameraHandle {
  uint32_t m_ip = 0;
  std::atomic<pf::SOCKET> m_hSocket{pf::INVALID_SOCKET};
  uint16_t m_port = 58000;
  std::atomic<uint8_t> m_bConnected{0};
  std::atomic<uint8_t> m_bClosing{0};
  uint8_t m_bServerMade = 0;
  qelm::StRecvState m_recv{qelm::kControlLimits};

  // 0 until a status report tells; 1 or 2 from a long status, 3 from a 560-byte one.
  std::atomic<uint32_t> m_deviceType{0};
  // Status callbacks of this handle (used only while no library-wide one is set).
  std::atomic<StatusCallback> m_pfnStatusLong{nullptr};
  std::atomic<StatusCallback> m_pfnStatusShort{nullptr};
  std::atomic<void*> m_pStatusUser{nullptr};
  void* m_pConnUser = nullptr;  // user value of connection events
  std::atomic<uint32_t> m_mode{1};

  pf::Thread m_thread;
};

namespace qelm {

// True when `handle` is in the device list (looked up under m_csCamera).
bool IsListedHandle(const StCameraHandle* handle);

// Start-up and shut-down steps of the control connections.
void StartHeartbeat();
void StopHeartbeat();
void CloseAllCameraHandles();

}  // namespace qelm

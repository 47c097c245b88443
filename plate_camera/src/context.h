// The one global context of the plate-recognition library. Built on first use
// and never destroyed, so that process exit cannot race the library's threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "Nardix.h"
#include "log_queue.h"
#include "platform/sync.h"

namespace nardix {

class CMessageWnd;
struct StLprUdpChannel;
struct StHeartbeat;

using HandlePtr = std::shared_ptr<StLprCameraHandle>;
using UdpChannelPtr = std::shared_ptr<StLprUdpChannel>;

struct CForGlobal {
  CForGlobal();

  // Every connected camera. A handle is jointly owned by the list, its two
  // threads and any request running on it: taking it out of the list stops
  // nobody from finishing with it, and the last one to let go frees it.
  pf::CriticalSection m_csCamera;
  std::list<HandlePtr> m_listCamera;

  // m_listLog, m_csLog and m_bLogOn (on from the moment the library is
  // loaded), and the writer of the daily files.
  kit::LogQueue m_log;
  kit::LogWriter m_logWriter;

  std::atomic<uint8_t> m_bRunning{0};

  // The hidden window, made by the first start-up with a non-zero mode and
  // kept until the library is unloaded.
  std::atomic<CMessageWnd*> m_pMessageWnd{nullptr};
  std::atomic<uint8_t> m_bDirectCall{1};

  std::atomic<void*> m_pUserData{nullptr};
  std::atomic<LprFoundCallback> m_pfnLprFound{nullptr};
  std::atomic<LprConnEventCallback> m_pfnLprConnEvent{nullptr};
  std::atomic<LprResultCallback> m_pfnLprResult{nullptr};
  std::atomic<LprSpareCallback> m_pfnLprSpare{nullptr};
  std::atomic<LprAlgDebugCallback> m_pfnAlgDebug{nullptr};
  std::atomic<uint8_t> m_bWantImage[3] = {{1}, {1}, {1}};

  // The discovery channel; exports read it under m_csInfo.
  pf::CriticalSection m_csInfo;
  UdpChannelPtr m_pCameraInfo;

  // The heartbeat thread of the current run (under m_csLife).
  std::shared_ptr<StHeartbeat> m_pHeartbeat;

  // Serialises the state changes of start-up and shut-down.
  pf::CriticalSection m_csLife;

  // Folder of the library file, with the trailing '/'; read through ModulePath().
  pf::CriticalSection m_csPath;
  std::string m_strModulePath;
};

CForGlobal& Global();

std::string ModulePath();
// Sets the module path from the library file's folder (or a test's folder).
void RefreshModulePath();

// The handle in the device list that `raw` names, or null.
HandlePtr FindHandle(const StLprCameraHandle* raw);

// Test-only settings (not exported).
namespace test {
// Counts one failure off `pending`; true when there was one to take.
bool TakePendingFailure(std::atomic<int>& pending);
// Folder that the library treats as its own (log and data folders live there).
void SetModulePath(const std::string& folderWithSlash);
// Makes the next `n` allocations of a discovery channel fail.
void FailNextChannelAllocs(int n);
bool TakeChannelAllocFailure();
}  // namespace test

}  // namespace nardix

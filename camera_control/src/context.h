// The one global context of the camera control library. Built on first use and
// never destroyed, so that process exit cannot race the library's threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Qelm_Control.h"
#include "log_queue.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "update.h"

namespace qelm {

struct StInfoChannel;
struct StServerListener;
struct StXMLChannel;
struct StXMLNamespace;
class CMessageWnd;

struct CForGlobal {
  CForGlobal();

  // The file channels; each export runs one call at a time (m_csXMLCall,
  // m_csAlgCall). No channel thread does anything after its call: one that
  // is still reading a description then ends on its own, its channel kept
  // aside until then (see StopOrRetire in xml_channel.cpp).
  pf::CriticalSection m_csXMLCall;
  StXMLChannel* m_pParseXML = nullptr;
  pf::CriticalSection m_csAlgCall;
  StXMLChannel* m_pParseAlg = nullptr;
  pf::AutoResetEvent m_evXMLFile;
  pf::AutoResetEvent m_evAlgFile;
  std::atomic<uint32_t> m_nMainXMLSeq{0};

  // The discovery channel. Exports read it under m_csInfo; it is set by a
  // successful start-up and cleared (under the lock) before it is freed.
  pf::CriticalSection m_csInfo;
  StInfoChannel* m_pCameraInfo = nullptr;

  std::atomic<uint8_t> m_bRunning{0};

  // m_listLog, m_csLog and m_bLogOn, and the writer of the daily files.
  // m_csLogSwitch: one switch of the log at a time, so that the flag and the
  // writer agree once it is done.
  kit::LogQueue m_log;
  kit::LogWriter m_logWriter;
  pf::CriticalSection m_csLogSwitch;

  std::atomic<CMessageWnd*> m_pMessageWnd{nullptr};

  std::atomic<CameraFoundCallback> m_pfnCameraFound{nullptr};
  std::atomic<ConnEventCallback> m_pfnConnEvent{nullptr};
  std::atomic<UpdateProgressCallback> m_pfnUpdateProgress{nullptr};
  std::atomic<UpdateProgressCallback> m_pfnDBProgress{nullptr};
  std::atomic<void*> m_pDBUserData{nullptr};
  std::atomic<CameraHandleCallback> m_pfnCameraHandle{nullptr};
  std::atomic<void*> m_pCameraHandleUser{nullptr};
  std::atomic<AlgResultCallback> m_pfnAlgResult{nullptr};
  std::atomic<void*> m_pAlgResultUser{nullptr};
  std::atomic<StatusCallback> m_pfnStatusLong{nullptr};
  std::atomic<StatusCallback> m_pfnStatusShort{nullptr};
  std::atomic<void*> m_pStatusUser{nullptr};

  // The firmware and database transfer sessions; each has its own reply
  // signal, so that neither can end the other's wait.
  StUpdateSession m_updateFirmware{kFirmwarePort};
  StUpdateSession m_updateDB{kDatabasePort};

  pf::CriticalSection m_csCamera;
  std::list<StCameraHandle*> m_listCamera;

  pf::CriticalSection m_csXML;
  std::map<std::string, std::shared_ptr<StXMLNamespace>> m_mapXML;
  // Server-mode listeners, one per (address, port). A listener is taken out
  // of the list before it is stopped; its accept thread never takes the lock.
  // m_csServerCall: one start or stop at a time, so that two starts of one
  // pair make one listener (m_csServer itself is held only for the list, never
  // with another of the library's locks).
  pf::CriticalSection m_csServerCall;
  pf::CriticalSection m_csServer;
  std::list<StServerListener*> m_listServer;

  // Result code to text; filled by start-up, emptied by quit.
  pf::CriticalSection m_csErrorMsg;
  std::map<int, std::string> m_mapErrorMsg;

  // Folder of the library file, with the trailing '/'.
  std::string m_strModulePath;

  // This PC's IPv4 addresses; rebuilt and read under m_csLocalIP.
  pf::CriticalSection m_csLocalIP;
  std::vector<std::string> m_arrLocalIP;

  // Serialises start-up and shut-down against each other.
  pf::CriticalSection m_csLife;

  // Counts the shut-downs: one step at the start of Qelm_Quit and one at its
  // end, so that it is odd while a shut-down runs (see QuitWatch).
  std::atomic<uint32_t> m_quitCount{0};
};

CForGlobal& Global();

// Qelm_Quit ends every call that waits on a channel or reply it stops, as at
// the call's time-out. A call takes a watch before it arms its wait (empties
// its event, lists its channel); Stopped() then tells whether a shut-down has
// begun since, or was running already. A shut-down steps the count before it
// wakes the waits, so a call that armed its wait after the wake-up still sees
// it.
class QuitWatch {
 public:
  QuitWatch() : start_(Global().m_quitCount.load()) {}
  bool Stopped() const { return (start_ & 1) != 0 || Global().m_quitCount.load() != start_; }

 private:
  uint32_t start_;
};

// Waits for `ev` at most `ms` milliseconds: true when it was set and no
// shut-down has ended the wait.
bool WaitUnlessQuit(pf::AutoResetEvent& ev, long ms, const QuitWatch& watch);

// Test-only settings (not exported).
namespace test {
// Folder that the library treats as its own (log and XML folders live there).
void SetModulePath(const std::string& folderWithSlash);
// Makes the next `n` allocations of a discovery channel fail.
void FailNextChannelAllocs(int n);
bool TakeChannelAllocFailure();
}  // namespace test

}  // namespace qelm

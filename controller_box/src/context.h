// The one global context of the controller-box library. Built on first use
// and never destroyed, so that process exit cannot race the library's threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "PyrnBox.h"
#include "log_queue.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "platform/thread.h"

struct CBoxDevice;

namespace pyrn {

struct StUdpContext;
struct StResend;
struct UpdateImage;

// This PC's IPv4 addresses as dotted texts, rebuilt and read under the lock.
struct CHostIpList {
  pf::CriticalSection m_cs;
  std::vector<std::string> m_arrIP;
  int Refresh();
  std::vector<std::string> Copy();
};

struct CBoxGlobal {
  CBoxGlobal();

  // The device list and its lock. The list holds the devices; the handles
  // that callers get are their addresses.
  pf::CriticalSection m_csDevice;
  std::list<std::shared_ptr<CBoxDevice>> m_listDevice;

  // Every line is queued; the writer runs from start-up to quit.
  kit::LogQueue m_log;
  kit::LogWriter m_logWriter;

  pf::CriticalSection m_csModule;
  std::string m_strModulePath;  // with the trailing '/'

  pf::CriticalSection m_csUdp;
  std::list<std::shared_ptr<StUdpContext>> m_listUdp;
  CHostIpList m_hostIps;

  // Running: set by start-up and by a search or broadcast, cleared by quit.
  std::atomic<uint8_t> g_bInit{0};
  // Start-up has stored its callbacks and started its threads.
  std::atomic<uint8_t> m_bStarted{0};
  pf::CriticalSection m_csLife;

  std::atomic<PyrnByteReportCallback> m_pfnReport1{nullptr};
  std::atomic<PyrnValueReportCallback> m_pfnReport0{nullptr};
  std::atomic<PyrnStatusCallback> m_pfnStatus{nullptr};
  std::atomic<void*> m_pUser{nullptr};
  std::atomic<PyrnSerialDataCallback> m_pfnSerialData{nullptr};
  std::atomic<PyrnHeartStatusCallback> m_pfnHeartStatus{nullptr};
  std::atomic<PyrnSerialDataExCallback> m_pfnSerialDataEx{nullptr};
  std::atomic<PyrnValueReportCallback> m_pfnDoor{nullptr};
  std::atomic<PyrnValueReportCallback> m_pfnBarrier{nullptr};
  std::atomic<PyrnLogInfoCallback> m_pfnLogInfo{nullptr};
  std::atomic<PyrnMaxLinkInfoCallback> m_pfnMaxLink{nullptr};
  std::atomic<PyrnDataReport1Callback> m_pfnData1{nullptr};
  std::atomic<PyrnDataReport2Callback> m_pfnData2{nullptr};
  std::atomic<PyrnDataReport3Callback> m_pfnData3{nullptr};
  std::atomic<PyrnDataReport4Callback> m_pfnData4{nullptr};
  std::atomic<BoxFoundCallback> m_pfnFound{nullptr};

  // The heartbeat thread.
  pf::Thread m_heartThread;
  pf::AutoResetEvent m_evHeartStop;
  std::atomic<bool> m_bHeartStop{false};

  // The loaded update image, replaced by each load; transfers keep theirs.
  pf::CriticalSection m_csImage;
  std::shared_ptr<const UpdateImage> m_pImage;

  // Short-lived threads that repeat broadcasts; joined by quit.
  pf::CriticalSection m_csResend;
  std::list<std::shared_ptr<StResend>> m_listResend;
};

CBoxGlobal& Global();
std::string ModulePath();

// The shared pointer of a listed handle, or null.
std::shared_ptr<CBoxDevice> FindDevice(CBoxDevice* handle);

// Periods (internal; tests shorten them).
struct Periods {
  std::atomic<int> heartTickMs{200};      // heartbeat: a pass every 12 ticks
  std::atomic<int> reconnectTickMs{200};  // reconnection: a try every 12 ticks
  std::atomic<int> silenceMs{300};        // receive time-out of a box socket
  std::atomic<int> linkWaitMs{1800};      // link information after connecting
  std::atomic<int> connectMs{2000};       // TCP connect
  std::atomic<int> tcpReplyMs{800};
  std::atomic<int> serialReplyMs{5000};
  std::atomic<int> bleReplyMs{4000};
  std::atomic<int> resendDelayMs{600};    // the repeat of a broadcast
};
Periods& Timing();

// Test-only settings (not exported).
namespace test {
void SetModulePath(const std::string& folderWithSlash);
void SetHeartbeatTickMs(int ms);
void SetReconnectTickMs(int ms);
void SetSilenceMs(int ms);
void SetLinkWaitMs(int ms);
void SetReplyTimeoutsMs(int tcp, int serial, int ble);
void SetResendDelayMs(int ms);
}  // namespace test

}  // namespace pyrn

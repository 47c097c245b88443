// Start-up and shut-down of the library.
#include "context.h"
#include "control.h"
#include "discovery.h"
#include "errors.h"
#include "info_channel.h"
#include "log.h"
#include "message_wnd.h"
#include "server.h"
#include "sockets.h"
#include "update.h"
#include "xml_cache.h"

using namespace qelm;

namespace {

constexpr uint16_t kDiscoveryPort = 58590;

// Takes the discovery channel out of the context (exports then see none) and
// stops it.
void RetireDiscoveryChannel(CForGlobal& g) {
  StInfoChannel* old;
  {
    pf::Lock lk(g.m_csInfo);
    old = g.m_pCameraInfo;
    g.m_pCameraInfo = nullptr;
  }
  StopInfoChannel(old);
}

// Every call that waits on a channel or a reply that shut-down stops ends at
// once, as at its time-out: the XML and algorithm file downloads, the update
// sessions' queries, the information requests and the device requests. The
// count steps first, so that a call arming its wait meanwhile sees it.
void WakeWaitingCalls(CForGlobal& g) {
  g.m_quitCount.fetch_add(1);
  WakeFileDownloads();
  WakeUpdateQueries();
  WakeInfoRequests();
  WakeWaitingRequests();
}

}  // namespace

extern "C" {

QELM_API int QELM_CALL Qelm_InitControl(CameraFoundCallback cb) {
  CForGlobal& g = Global();
  pf::Lock life(g.m_csLife);
  EnsureMessageWindow();
  WriteLog("动态库开始初始化");
  if (!cb) {
    WriteLog("初始化回调函数是NULL");
    return 1;
  }
  g.m_pfnCameraFound.store(cb);

  const pf::SOCKET s = CreateSocket(kDiscoveryPort, 0, true);
  if (s == pf::INVALID_SOCKET) {
    WriteLog("初始化生成UDP socket 失败");
    return 2;
  }
  StInfoChannel* ch = NewInfoChannel();
  if (!ch) {
    WriteLog("初始化CForGlobal::m_pCameraInfo 分配内存错误");
    pf::CloseSocket(s);
    RetireDiscoveryChannel(g);
    return 100;
  }
  ch->m_hSocket.store(s);
  ch->m_mode = 1;
  // A running channel from an earlier start-up is replaced, not left behind.
  RetireDiscoveryChannel(g);
  g.m_bRunning.store(1);
  if (!ch->m_thread.Start([ch] { InfoRecvThread(ch); })) {
    WriteLog("初始化启用UDP线程失败");
    LogSystemError();
    g.m_bRunning.store(0);
    StopHeartbeat();
    StopInfoChannel(ch);
    return 3;
  }
  {
    pf::Lock lk(g.m_csInfo);
    g.m_pCameraInfo = ch;
  }
  StartHeartbeat();
  LoadXMLIndex();
  InitErrorTable();
  WriteLog("初始化成功");
  return 0;
}

QELM_API int QELM_CALL Qelm_Quit(void) {
  CForGlobal& g = Global();
  pf::Lock life(g.m_csLife);
  WakeWaitingCalls(g);
  g.m_bRunning.store(0);
  {
    pf::Lock lk(g.m_csLogSwitch);
    g.m_log.m_bLogOn.store(0);
    g.m_logWriter.Stop();  // writes what is queued, then ends
  }

  // Every thread is stopped and joined before what it uses is freed.
  RetireDiscoveryChannel(g);
  StopAllInfoRequests();
  StopUpdateSessions();
  StopHeartbeat();
  FreeXMLDescriptions();
  StopAllServerListeners();
  CloseAllCameraHandles();
  FreeXMLChannel();
  kit::ClearLogQueue(g.m_log);
  ClearErrorTable();
  g.m_quitCount.fetch_add(1);  // calls made from now on wait as usual
  return 0;
}

}  // extern "C"

// Start-up and shut-down, and the small setting exports.
#include <cstring>
#include <list>

#include "codes.h"
#include "context.h"
#include "discovery.h"
#include "handle.h"
#include "heartbeat.h"
#include "log.h"
#include "message_wnd.h"
#include "platform/thread.h"
#include "sockets.h"

using namespace nardix;

namespace {

// What the library does when the process loads it: find its own folder.
struct LoadTimeInit {
  LoadTimeInit() { RefreshModulePath(); }
};
const LoadTimeInit g_loadTimeInit;

void RetireDiscoveryChannel(CForGlobal& g) {
  UdpChannelPtr old;
  {
    pf::Lock lk(g.m_csInfo);
    old.swap(g.m_pCameraInfo);
  }
  StopUdpChannel(old);
}

}  // namespace

extern "C" {

NARDIX_API int NARDIX_CALL LPR_Init(int mode, void* user, LprFoundCallback found, LprConnEventCallback conn,
                                    LprResultCallback result, LprSpareCallback spare) {
  CForGlobal& g = Global();
  pf::Lock life(g.m_csLife);
  RefreshModulePath();
  if (g.m_bRunning.load()) return kAlreadyRunning;
  if (mode == 0) {
    g.m_bDirectCall.store(1);
  } else {
    EnsureMessageWindow();  // the window of an earlier start-up is reused
    g.m_bDirectCall.store(0);
  }
  g.m_pUserData.store(user);
  g.m_pfnLprFound.store(found);
  g.m_pfnLprConnEvent.store(conn);
  g.m_pfnLprResult.store(result);
  g.m_pfnLprSpare.store(spare);

  const pf::SOCKET s = CreateSocket(true, 0, kDiscoveryLocalPort);
  if (s == pf::INVALID_SOCKET) {
    WriteLog("初始化生成UDP socket 失败");
    return kNoSocket;
  }
  UdpChannelPtr ch = NewUdpChannel(s);
  if (!ch) {
    WriteLog("初始化CForGlobal::m_pCameraInfo 分配内存错误");
    pf::CloseSocket(s);
    return kOther;
  }
  g.m_bRunning.store(1);
  if (!StartUdpChannel(ch)) {
    WriteLog("初始化启用UDP线程失败");
    LogSystemError(pf::GetLastError());
    g.m_bRunning.store(0);
    return kNoThread;  // the channel closes its socket as it goes
  }
  {
    pf::Lock lk(g.m_csInfo);
    g.m_pCameraInfo = ch;
  }
  // Every thread is kept: a start that fails is reported, not ignored.
  g.m_pHeartbeat = StartHeartbeat();
  if (!g.m_pHeartbeat || !StartLogWriter()) {
    LogSystemError(pf::GetLastError());
    g.m_bRunning.store(0);
    StopHeartbeat(g.m_pHeartbeat);
    g.m_pHeartbeat.reset();
    RetireDiscoveryChannel(g);
    return kNoThread;
  }
  for (auto& want : g.m_bWantImage) want.store(1);
  WriteLog("初始化成功");
  return kOk;
}

NARDIX_API int NARDIX_CALL LPR_Quit(void) {
  CForGlobal& g = Global();
  std::list<HandlePtr> cameras;
  std::shared_ptr<StHeartbeat> heartbeat;
  {
    pf::Lock life(g.m_csLife);
    if (!g.m_bRunning.load()) return kNotRunning;
    {
      pf::Lock lk(g.m_csCamera);
      g.m_bRunning.store(0);
      cameras.swap(g.m_listCamera);
    }
    heartbeat.swap(g.m_pHeartbeat);
  }
  // Outside the locks: a callback running on a camera's thread may call the
  // library while that thread is being stopped. The heartbeat goes first, so
  // that no heartbeat is half sent when the cameras' channels close.
  StopHeartbeat(heartbeat);
  for (const auto& h : cameras) StopHandle(h);
  cameras.clear();
  RetireDiscoveryChannel(g);
  WriteLog("退出成功");
  pf::Lock life(g.m_csLife);
  if (!g.m_bRunning.load()) StopLogWriter();  // writes what is queued, then ends
  return kOk;
}

NARDIX_API int NARDIX_CALL LPR_ControlContent(const uint8_t* want) {
  if (!want) return kBadArgument;
  CForGlobal& g = Global();
  for (int i = 0; i < 3; ++i) g.m_bWantImage[i].store(want[i]);
  return kOk;
}

NARDIX_API int NARDIX_CALL LPR_SetAlgDebugInfoCallback(LprAlgDebugCallback cb) {
  Global().m_pfnAlgDebug.store(cb);
  return kOk;
}

}  // extern "C"

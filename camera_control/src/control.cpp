#include "control.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "bytes.h"
#include "context.h"
#include "errors.h"
#include "log.h"
#include "message_wnd.h"
#include "platform/system.h"
#include "sockets.h"

namespace qelm {

namespace {

constexpr int kReconnectSteps = 12;

std::atomic<int> g_reconnectStepMs{200};
std::atomic<int> g_heartbeatFirstMs{3600};
std::atomic<int> g_heartbeatPeriodMs{3400};

struct OpenHook {
  std::mutex lock;
  std::function<void()> fn;
};
OpenHook& TheOpenHook() {
  static OpenHook* h = new OpenHook;  // never destroyed, like the context
  return *h;
}

// The handle whose receive thread this is (null on every other thread).
thread_local StCameraHandle* t_recvHandle = nullptr;

struct HeartbeatState {
  pf::CriticalSection cs;  // start and stop
  pf::Thread thread;
  pf::AutoResetEvent wake;
  std::atomic<bool> stop{false};
  std::atomic<bool> ended{false};  // the thread has left its loop (library quit)
};

HeartbeatState& Heartbeat() {
  static HeartbeatState* s = new HeartbeatState;  // never destroyed, like the context
  return *s;
}

bool ListedLocked(CForGlobal& g, const StCameraHandle* h) {
  return std::find(g.m_listCamera.begin(), g.m_listCamera.end(), h) != g.m_listCamera.end();
}

void AddUse(StCameraHandle* h) { h->m_uses.fetch_add(1); }

void DropUse(StCameraHandle* h) {
  if (h->m_uses.fetch_sub(1) != 1) return;
  // The closer looks at the count under m_useLock before it sleeps.
  std::lock_guard<std::mutex> lk(h->m_useLock);
  h->m_useDone.notify_all();
}

void WaitUnused(StCameraHandle* h) {
  std::unique_lock<std::mutex> lk(h->m_useLock);
  h->m_useDone.wait(lk, [h] { return h->m_uses.load() == 0; });
}

// Marks a handle that has just left the list as closing; the closer holds a
// use of it until FinishClose. A close made on a control receive thread must
// not join a receive thread (its own, or another one that may be closing this
// thread's handle at the same moment): the handle's thread frees it instead.
// Called under m_csCamera.
void MarkClosingLocked(StCameraHandle* h) {
  AddUse(h);
  if (t_recvHandle) h->m_bFreeOnExit.store(true);  // before closing: the thread reads them in this order
  h->m_bClosing.store(1);
}

// Wakes everything that may wait on a closing handle: its receive (shut the
// link down), the pause between reconnection attempts, a request waiting for
// its reply.
void WakeClosingHandle(StCameraHandle* h) {
  {
    std::lock_guard<std::mutex> lk(h->m_socketLock);
    const pf::SOCKET s = h->m_hSocket.load();
    if (s != pf::INVALID_SOCKET) pf::ShutdownSocket(s);
  }
  h->m_evWake.Set();
  h->m_evStart.Set();
  h->m_evReply.Set();
}

// The receive thread's side of dropping its link: wakes any sender, waits for
// it to let go, then closes the descriptor.
void DropLinkSocket(StCameraHandle* h) {
  const pf::SOCKET s = h->m_hSocket.load();
  if (s == pf::INVALID_SOCKET) return;
  pf::ShutdownSocket(s);
  {
    std::lock_guard<pf::TimedMutex> send(h->m_sendLock);
    std::lock_guard<std::mutex> sock(h->m_socketLock);
    h->m_hSocket.store(pf::INVALID_SOCKET);
  }
  pf::CloseSocket(s);
}

void FreeHandle(StCameraHandle* h) {
  WaitUnused(h);
  DropLinkSocket(h);
  delete h;
}

// Finishes the close of a handle that is out of the list and woken.
void FinishClose(StCameraHandle* h) {
  const bool itsThreadFrees = h->m_bFreeOnExit.load();
  DropUse(h);
  if (itsThreadFrees) return;
  h->m_thread.Join();
  FreeHandle(h);
}

// One frame without waiting for room: a link whose buffers are full (a camera
// that stopped reading) never holds up the caller. A frame that goes out only
// in part would leave the camera's stream cut mid-frame, so such a link is
// shut down (the receive thread then reconnects). False when the frame did not
// go whole (the last sockets error tells why).
bool SendWithoutWaiting(StCameraHandle* h, const std::vector<uint8_t>& frame) {
  std::unique_lock<pf::TimedMutex> lk(h->m_sendLock, std::try_to_lock);
  if (!lk.owns_lock()) {
    // A request frame is going out on this link right now.
    pf::WSASetLastError(pf::WSAEWOULDBLOCK);
    return false;
  }
  const pf::SOCKET s = h->m_hSocket.load();
  if (s == pf::INVALID_SOCKET) {
    pf::WSASetLastError(pf::WSAENOTSOCK);
    return false;
  }
  const int n = pf::SendNoWait(s, frame.data(), frame.size());
  if (n == static_cast<int>(frame.size())) return true;
  if (n > 0) {
    pf::ShutdownSocket(s);
    pf::WSASetLastError(pf::WSAEWOULDBLOCK);
  }
  return false;
}

// A whole request frame, waiting for room until `deadline`.
int SendBefore(StCameraHandle* h, const uint8_t* p, size_t len, int64_t deadline) {
  std::unique_lock<pf::TimedMutex> lk(h->m_sendLock, std::try_to_lock);
  if (!lk.owns_lock() &&
      !lk.try_lock_for(std::chrono::milliseconds(std::max<int64_t>(0, deadline - pf::MonotonicMs()))))
    return ERR_TIMEOUT;
  const pf::SOCKET s = h->m_hSocket.load();
  if (s == pf::INVALID_SOCKET) return ERR_BUILD_CMD;
  size_t sent = 0;
  while (sent < len) {
    const int n = pf::SendNoWait(s, p + sent, len - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const bool full = n < 0 && pf::WSAGetLastError() == pf::WSAEWOULDBLOCK;
    const int64_t left = deadline - pf::MonotonicMs();
    if (!full || left <= 0 || h->m_bClosing.load()) {
      if (sent > 0) pf::ShutdownSocket(s);  // the camera holds part of a frame
      if (h->m_bClosing.load()) return ERR_NO_DEVICE;
      return full ? ERR_TIMEOUT : ERR_SEND;
    }
    pf::WaitWritable(s, static_cast<int>(left));
  }
  return ERR_SUCCESS;
}

// True (with the reply in *reply) when the slot holds the reply.
bool TakeReply(StCameraHandle* h, std::vector<uint8_t>* reply) {
  std::lock_guard<std::mutex> lk(h->m_csHandle);
  if (!h->m_bHasReply) return false;
  h->m_bHasReply = false;
  reply->swap(h->m_reply);  // the slot keeps the caller's buffer for a later reply
  return true;
}

int WaitReply(StCameraHandle* h, int64_t deadline, const QuitWatch& quit, std::vector<uint8_t>* reply) {
  for (;;) {
    if (TakeReply(h, reply)) return ERR_SUCCESS;
    if (quit.Stopped()) return ERR_TIMEOUT;
    if (h->m_bClosing.load()) return ERR_NO_DEVICE;
    if (!h->m_evReply.WaitUntilMs(deadline)) {
      // A reply that came with the deadline still counts.
      if (TakeReply(h, reply)) return ERR_SUCCESS;
      return h->m_bClosing.load() ? ERR_NO_DEVICE : ERR_TIMEOUT;
    }
  }
}

void ReportConnEvent(StCameraHandle* h, uint32_t event) {
  CForGlobal& g = Global();
  if (CMessageWnd* w = MessageWnd()) {
    PostRecord(w, WM_CONN_EVENT, 0, new (std::nothrow) StConnEvent{h->m_pConnUser, h, event});
    return;
  }
  if (ConnEventCallback cb = g.m_pfnConnEvent.load()) cb(h->m_pConnUser, h, static_cast<int>(event));
}

// Event 3 (link lost) or 4 (connected) of a server-made handle.
void ReportServerHandleEvent(StCameraHandle* h, uint32_t event) {
  CForGlobal& g = Global();
  if (CMessageWnd* w = MessageWnd()) {
    PostRecord(w, WM_CAMERA_HANDLE, event, new (std::nothrow) StCameraHandleEvent{h, h->m_ip});
    return;
  }
  if (CameraHandleCallback cb = g.m_pfnCameraHandle.load()) {
    const std::string ip = pf::InetNtoa(h->m_ip);
    cb(h, g.m_pCameraHandleUser.load(), ip.c_str(), static_cast<int>(event));
  }
}

void DispatchStatus(StCameraHandle* h, const uint8_t* data, uint32_t len) {
  CForGlobal& g = Global();
  if (len == kLongStatusSize) {
    const uint32_t mode = kit::ReadLE32(data + 4);
    if (mode == 0x00010000) h->m_mode.store(1);
    if (mode == 0x00020000) h->m_mode.store(2);
    const uint32_t type = kit::ReadLE32(data + 132);
    if (type == 0 || type == 1) h->m_deviceType.store(type + 1);
  } else if (len == kExtStatusSize) {
    h->m_deviceType.store(3);
  }

  const StatusCallback longCb = g.m_pfnStatusLong.load();
  const StatusCallback shortCb = g.m_pfnStatusShort.load();
  if (!longCb && !shortCb) {
    // The handle's own callbacks, on this thread.
    const StatusCallback hl = h->m_pfnStatusLong.load();
    const StatusCallback hs = h->m_pfnStatusShort.load();
    if (len == kLongStatusSize && hl)
      hl(h, h->m_pStatusUser.load(), data);
    else if (len == kShortStatusSize && hs)
      hs(h, h->m_pStatusUser.load(), data);
    return;
  }
  if (CMessageWnd* w = MessageWnd()) {
    auto* r = new (std::nothrow) StStatusReport;
    if (!r) return;
    r->handle = h;
    r->length = len;
    // Only the bytes received are copied; a shorter status leaves the rest zero.
    if (len == kLongStatusSize)
      memcpy(r->longStatus, data, kLongStatusSize);
    else
      memcpy(r->shortStatus, data, std::min(len, kShortStatusSize));
    PostRecord(w, WM_CONTROL_STATUS, h->m_deviceType.load(), r);
    return;
  }
  if (len == kLongStatusSize && longCb)
    longCb(h, g.m_pStatusUser.load(), data);
  else if (len == kShortStatusSize && shortCb)
    shortCb(h, g.m_pStatusUser.load(), data);
}

// The handle's thread, after its loop: frees the handle when the close was
// left to it.
void LeaveRecvThread(StCameraHandle* h) {
  t_recvHandle = nullptr;
  if (!h->m_bFreeOnExit.load()) return;  // the closer joins and frees
  h->m_thread.Detach();
  FreeHandle(h);
}

void SendHeartbeats() {
  CForGlobal& g = Global();
  std::vector<StCameraHandle*> beat;
  {
    pf::Lock lk(g.m_csCamera);
    beat.reserve(g.m_listCamera.size());
    for (StCameraHandle* h : g.m_listCamera) {
      if (h->m_hSocket.load() == pf::INVALID_SOCKET) continue;
      AddUse(h);
      beat.push_back(h);
    }
  }
  const std::vector<uint8_t>& frame = DeviceInfoRequest();
  for (StCameraHandle* h : beat) {
    if (!SendWithoutWaiting(h, frame)) LogSocketError();
    DropUse(h);
  }
}

}  // namespace

void test::SetReconnectStepMs(int ms) { g_reconnectStepMs.store(ms); }

void test::SetHeartbeatTiming(int firstMs, int periodMs) {
  g_heartbeatFirstMs.store(firstMs);
  g_heartbeatPeriodMs.store(periodMs);
}

void test::SetOpenHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lk(TheOpenHook().lock);
  TheOpenHook().fn = std::move(hook);
}

bool IsListedHandle(const StCameraHandle* handle) {
  if (!handle) return false;
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csCamera);
  return ListedLocked(g, handle);
}

HandleUse::HandleUse(StCameraHandle* handle) : h_(nullptr) {
  if (!handle) return;
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csCamera);
  if (!ListedLocked(g, handle)) return;
  AddUse(handle);
  h_ = handle;
}

HandleUse::~HandleUse() {
  if (h_) DropUse(h_);
}

const std::vector<uint8_t>& DeviceInfoRequest() {
  // Never destroyed: a heartbeat may still send it while the process ends.
  static const std::vector<uint8_t>* frame = [] {
    const ItemSpec item{kCodeDeviceInfo, 0, 0, nullptr};
    auto* f = new std::vector<uint8_t>(CommandPacketSize(&item, 1));
    BuildCommandPacket(f->data(), 2, 0, 0, 2, &item, 1);
    return f;
  }();
  return *frame;
}

StCameraHandle* NewHandle(pf::SOCKET s, uint32_t ip, bool serverMade, void* user) {
  auto* h = new (std::nothrow) StCameraHandle;
  if (!h) return nullptr;
  h->m_hSocket.store(s);
  h->m_ip = ip;
  h->m_bConnected.store(1);
  h->m_bServerMade = serverMade ? 1 : 0;
  h->m_pConnUser = user;
  return h;
}

bool StartHandleThread(StCameraHandle* h) {
  return h->m_thread.Start([h] { ControlRecvThread(h); });
}

bool ReleaseHandle(StCameraHandle* h, bool refuseDuplicate) {
  CForGlobal& g = Global();
  bool listed = true;
  {
    pf::Lock lk(g.m_csCamera);
    if (refuseDuplicate)
      for (const StCameraHandle* o : g.m_listCamera) listed = listed && o->m_ip != h->m_ip;
    if (listed) {
      g.m_listCamera.push_back(h);
      AddUse(h);  // a handle whose thread closes it at once must outlive this signal
    }
  }
  if (listed) {
    h->m_evStart.Set();
    DropUse(h);
    return true;
  }
  h->m_bClosing.store(1);
  WakeClosingHandle(h);
  h->m_thread.Join();
  FreeHandle(h);
  return false;
}

void ReleaseServerHandle(StCameraHandle* h) {
  CForGlobal& g = Global();
  {
    pf::Lock lk(g.m_csCamera);
    g.m_listCamera.push_back(h);
    AddUse(h);  // a close (also from the callback below) frees it only after the start signal
  }
  // A close made in a direct callback must not wait for this use: like a close
  // on a receive thread, it leaves the freeing to the handle's thread.
  StCameraHandle* const outer = t_recvHandle;
  t_recvHandle = h;
  ReportServerHandleEvent(h, 4);
  t_recvHandle = outer;
  h->m_evStart.Set();
  DropUse(h);
}

int SendRequestAndWait(StCameraHandle* handle, uint8_t* frame, size_t length, uint32_t timeoutMs,
                       std::vector<uint8_t>* reply) {
  if (!handle || !frame || !reply || length < kMinFrame) return ERR_PARAM;
  const QuitWatch quit;
  HandleUse use(handle);
  if (!use) return ERR_NO_DEVICE;
  if (!handle->m_bConnected.load()) return ERR_DISCONNECTED;
  const int64_t deadline = pf::MonotonicMs() + timeoutMs;
  std::unique_lock<pf::TimedMutex> one(handle->m_requestLock, std::try_to_lock);
  if (!one.owns_lock() && !one.try_lock_for(std::chrono::milliseconds(timeoutMs))) return ERR_TIMEOUT;
  if (quit.Stopped()) return ERR_TIMEOUT;
  if (handle->m_bClosing.load()) return ERR_NO_DEVICE;
  if (handle->m_hSocket.load() == pf::INVALID_SOCKET) return ERR_BUILD_CMD;

  uint32_t seq;
  {
    std::lock_guard<std::mutex> lk(handle->m_csHandle);
    seq = ++handle->m_sequence;
    if (seq == 0) seq = ++handle->m_sequence;  // 0 is the echo of unsolicited frames and heartbeats
    handle->m_bWaiting = true;
    handle->m_sentAt = handle->m_recv.Taken();  // noted before the send: its reply comes after
    handle->m_bHasReply = false;
    handle->m_reply.clear();
    handle->m_evReply.Reset();
  }
  kit::WriteLE32(frame + StCommandHead::kSequence, seq);
  int r = SendBefore(handle, frame, length, deadline);
  if (r == ERR_SUCCESS) r = WaitReply(handle, deadline, quit, reply);
  if (r != ERR_SUCCESS && quit.Stopped()) r = ERR_TIMEOUT;  // ended by the library's shut-down
  {
    std::lock_guard<std::mutex> lk(handle->m_csHandle);
    handle->m_bWaiting = false;
    handle->m_bHasReply = false;
    handle->m_reply.clear();
  }
  return r;
}

void ControlRecvThread(StCameraHandle* h) {
  h->m_evStart.Wait(-1);
  t_recvHandle = h;
  const StRecvState::Handler handler = [h](std::vector<uint8_t>& f) {
    HandleControlFrame(h, f, h->m_recv.FrameStart());
  };
  bool linkUp = true;
  int pauses = 0;
  while (!h->m_bClosing.load()) {
    if (linkUp) {
      const pf::SOCKET s = h->m_hSocket.load();
      if (!pf::WaitReadableUntil(s, h->m_recv.DeadlineMs())) {
        // A frame whose body never came: what it had taken is parsed again.
        h->m_recv.Expire(pf::MonotonicMs(), handler);
        continue;
      }
      const int n = pf::Recv(s, h->m_recv.RecvPtr(), h->m_recv.RecvSpace());
      if (h->m_bClosing.load()) break;
      if (n > 0) {
        h->m_recv.Feed(static_cast<size_t>(n), handler, pf::MonotonicMs());
        continue;
      }
      const int err = pf::WSAGetLastError();
      WriteLog("控制端口连接断开");
      linkUp = false;  // connected stays 1 until the reconnection attempt
      pauses = 0;
      pf::WSASetLastError(err);
      LogSocketError();
      if (h->m_bServerMade) {
        // A camera that connected to us does not come back on this handle.
        ReportServerHandleEvent(h, 3);
        Qelm_CloseCamera(h);
        break;
      }
      ReportConnEvent(h, 3);
      continue;
    }
    h->m_evWake.Wait(g_reconnectStepMs.load());
    if (h->m_bClosing.load()) break;
    if (++pauses < kReconnectSteps) continue;
    pauses = 0;
    WriteLog("控制端口重连");
    DropLinkSocket(h);
    h->m_bConnected.store(0);
    h->m_recv.Clear();  // a frame cut off by the loss must not swallow the new stream
    const pf::SOCKET s = CreateSocket(h->m_port, h->m_ip, false, &h->m_bClosing);
    if (s == pf::INVALID_SOCKET) continue;
    {
      std::lock_guard<std::mutex> lk(h->m_socketLock);
      if (!h->m_bClosing.load()) h->m_hSocket.store(s);
    }
    if (h->m_hSocket.load() != s) {  // closed while connecting
      pf::CloseSocket(s);
      break;
    }
    h->m_bConnected.store(1);
    linkUp = true;
    ReportConnEvent(h, 4);
  }
  LeaveRecvThread(h);
}

void HandleControlFrame(StCameraHandle* h, std::vector<uint8_t>& frame, uint64_t start) {
  if (h->m_bClosing.load() || frame.size() < kMinFrame) return;
  const StCommandHead head = StCommandHead::Read(frame.data());
  bool awaited = false;
  {
    std::lock_guard<std::mutex> lk(h->m_csHandle);
    // A frame that had come before the request went out (held behind a bad
    // frame, found again after its drop) is no reply to it, whatever it echoes.
    if (h->m_bWaiting && head.echo == h->m_sequence && start >= h->m_sentAt) {
      h->m_bWaiting = false;
      h->m_reply.swap(frame);  // the reassembly reuses the slot's old buffer for the next frame
      h->m_bHasReply = true;
      awaited = true;
    }
  }
  if (awaited) {
    // Signalled after the slot is let go, so that the woken request does not
    // at once wait for the slot's lock. A signal that comes after the request
    // took its reply only makes the next request look at its slot once more.
    h->m_evReply.Set();
    return;
  }
  ItemWalker walker(frame.data(), frame.size());
  ItemView item;
  while (!h->m_bClosing.load() && walker.Next(&item)) DispatchControlItem(h, item);
}

void DispatchControlItem(StCameraHandle* h, const ItemView& item) {
  CForGlobal& g = Global();
  switch (item.head.code) {
    case kCodeAlgResult:
      if (AlgResultCallback cb = g.m_pfnAlgResult.load()) {
        StAlgResult result{h->m_ip, item.data};
        cb(g.m_pAlgResultUser.load(), &result);
      }
      break;
    case kCodeStatus:
      DispatchStatus(h, item.data, item.head.length);
      break;
    default:
      break;
  }
}

void HeartbeatThread() {
  CForGlobal& g = Global();
  HeartbeatState& hb = Heartbeat();
  int64_t next = pf::MonotonicMs() + g_heartbeatFirstMs.load();
  for (;;) {
    const int64_t wait = next - pf::MonotonicMs();
    if (wait > 0) hb.wake.Wait(static_cast<long>(wait));
    if (hb.stop.load() || !g.m_bRunning.load()) break;
    const int64_t now = pf::MonotonicMs();
    if (now < next) continue;
    SendHeartbeats();
    next += g_heartbeatPeriodMs.load();
    if (next <= now) next = now + g_heartbeatPeriodMs.load();  // no burst after a stall
  }
  hb.ended.store(true);
}

void StartHeartbeat() {
  HeartbeatState& hb = Heartbeat();
  pf::Lock lk(hb.cs);
  if (hb.thread.Joinable() && !hb.ended.load()) return;  // one heartbeat serves every handle
  hb.thread.Join();
  hb.stop.store(false);
  hb.ended.store(false);
  hb.wake.Reset();
  hb.thread.Start([] { HeartbeatThread(); });
}

void StopHeartbeat() {
  HeartbeatState& hb = Heartbeat();
  pf::Lock lk(hb.cs);
  hb.stop.store(true);
  hb.wake.Set();
  hb.thread.Join();
}

void WakeWaitingRequests() {
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csCamera);
  for (StCameraHandle* h : g.m_listCamera) h->m_evReply.Set();
}

void CloseAllCameraHandles() {
  CForGlobal& g = Global();
  std::list<StCameraHandle*> all;
  {
    pf::Lock lk(g.m_csCamera);
    all.swap(g.m_listCamera);
    for (StCameraHandle* h : all) MarkClosingLocked(h);
  }
  for (StCameraHandle* h : all) WakeClosingHandle(h);
  for (StCameraHandle* h : all) FinishClose(h);
}

}  // namespace qelm

using namespace qelm;

extern "C" {

QELM_API int QELM_CALL Qelm_OpenCamera(uint32_t ip, StCameraHandle** handle, void* user,
                                       ConnEventCallback cb) {
  if (!handle) return ERR_PARAM;
  *handle = nullptr;
  if (ip == 0) {
    WriteLog("打开相机，IP地址不正确");
    return ERR_PARAM;
  }
  CForGlobal& g = Global();
  g.m_pfnConnEvent.store(cb);
  {
    pf::Lock lk(g.m_csCamera);
    for (const StCameraHandle* h : g.m_listCamera)
      if (h->m_ip == ip) return ERR_ALREADY_OPEN;
  }
  const pf::SOCKET s = CreateSocket(kControlPort, ip, false);
  if (s == pf::INVALID_SOCKET) {
    WriteLog("打开相机，生成SOCKET失败");
    return ERR_SOCKET_NULL;
  }
  StCameraHandle* h = NewHandle(s, ip, false, user);
  if (!h) {
    WriteLog("打开相机，分配内存错误");
    pf::CloseSocket(s);
    return ERR_OTHER;
  }
  if (!StartHandleThread(h)) {
    WriteLog("打开相机，启用Control线程失败");
    LogSystemError();
    pf::CloseSocket(s);
    delete h;
    return ERR_CONTROL_THREAD;
  }
  {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lk(TheOpenHook().lock);
      hook = TheOpenHook().fn;
    }
    if (hook) hook();
  }
  // Two opens of one address may both have got this far.
  if (!ReleaseHandle(h, true)) return ERR_ALREADY_OPEN;
  *handle = h;
  WriteLog("打开相机成功");
  HandleUse use(h);
  if (use && !SendWithoutWaiting(h, DeviceInfoRequest())) LogSocketError();
  return ERR_SUCCESS;
}

QELM_API int QELM_CALL Qelm_CloseCamera(StCameraHandle* handle) {
  if (!handle) return ERR_PARAM;
  CForGlobal& g = Global();
  {
    pf::Lock lk(g.m_csCamera);
    auto it = std::find(g.m_listCamera.begin(), g.m_listCamera.end(), handle);
    if (it == g.m_listCamera.end()) {
      WriteLog("关闭相机失败");
      return ERR_NO_DEVICE;
    }
    g.m_listCamera.erase(it);
    MarkClosingLocked(handle);
  }
  WakeClosingHandle(handle);
  FinishClose(handle);
  WriteLog("关闭相机成功");
  return ERR_SUCCESS;
}

QELM_API int QELM_CALL Qelm_CheckStatus(StCameraHandle* handle, int* state) {
  if (!state) return ERR_PARAM;
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csCamera);
  if (!ListedLocked(g, handle)) {
    *state = 1;
    return ERR_NO_DEVICE;
  }
  if (handle->m_bConnected.load()) {
    *state = 4;
    return ERR_SUCCESS;
  }
  *state = 3;
  return ERR_DISCONNECTED;
}

}  // extern "C"

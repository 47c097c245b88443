#include "server.h"

#include <algorithm>
#include <list>
#include <new>
#include <vector>

#include "bytes.h"
#include "context.h"
#include "control.h"
#include "errors.h"
#include "frame.h"
#include "log.h"
#include "message_wnd.h"

namespace qelm {

namespace {

constexpr uint16_t kReplyNamespace = 8;
constexpr uint16_t kReplySender = 2;  // the namespace of the opening get
constexpr uint32_t kClassGetReply = 0x8002;
constexpr uint32_t kStatusWordOffset = 8;
constexpr uint32_t kShortStatusLeast = 96;
constexpr int kLinkSendTimeoutMs = 60000;
constexpr uint32_t kNoAddress = 0xFFFFFFFF;
// Pause after a failed accept (a process out of descriptors would otherwise
// spin on it).
constexpr int kAcceptRetryMs = 50;

std::atomic<int> g_linkTimeoutMs{60000};

// Closes a socket without losing the sockets error that made us close it.
void CloseKeepingError(pf::SOCKET s) {
  const int err = pf::WSAGetLastError();
  pf::CloseSocket(s);
  pf::WSASetLastError(err);
}

// Sends the opening get and takes the camera's one answer (at most 8192
// bytes, within 1000 ms).
bool Handshake(pf::SOCKET s, std::vector<uint8_t>& buf) {
  pf::SetSendTimeout(s, kHandshakeTimeoutMs);
  pf::SetRecvTimeout(s, kHandshakeTimeoutMs);
  const std::vector<uint8_t>& request = DeviceInfoRequest();
  if (pf::Send(s, request.data(), request.size()) != static_cast<int>(request.size())) return false;
  const int n = pf::Recv(s, buf.data(), buf.size());
  return n > 0 && CheckHandshakeReply(buf.data(), static_cast<size_t>(n));
}

// Makes a device handle of a camera that passed the handshake and announces it.
void AdoptCamera(pf::SOCKET s, uint32_t peer) {
  pf::SetSendTimeout(s, kLinkSendTimeoutMs);
  pf::SetRecvTimeout(s, g_linkTimeoutMs.load());
  StCameraHandle* h = NewHandle(s, peer, true, nullptr);
  if (!h) {
    pf::CloseSocket(s);
    return;
  }
  if (!StartHandleThread(h)) {
    pf::CloseSocket(s);
    delete h;
    return;
  }
  ReleaseServerHandle(h);
}

// Wakes a listener that is out of the list: its accept, the handshake under
// way and the pause after a failed accept all end.
void WakeListener(StServerListener* l) {
  l->m_bStop.store(1);
  pf::ShutdownSocket(l->m_hSocket);
  {
    std::lock_guard<std::mutex> lk(l->m_pendingLock);
    if (l->m_hPending != pf::INVALID_SOCKET) pf::ShutdownSocket(l->m_hPending);
  }
  l->m_evWake.Set();
}

void FreeListener(StServerListener* l) {
  pf::CloseSocket(l->m_hSocket);
  delete l;
}

// Joins the accept thread of a woken listener and frees the record; on the
// accept thread itself (a stop from a direct callback) the thread frees it as
// it leaves its loop.
void FinishListener(StServerListener* l) {
  if (l->m_thread.IsCurrent()) {
    l->m_bFreeOnExit.store(true);
    return;
  }
  l->m_thread.Join();
  FreeListener(l);
}

}  // namespace

void test::SetServerLinkTimeoutMs(int ms) { g_linkTimeoutMs.store(ms); }

pf::SOCKET CreateServerListener(const char* ip, uint16_t port) {
  const pf::SOCKET s = pf::TcpSocket();
  if (s == pf::INVALID_SOCKET) return pf::INVALID_SOCKET;
  pf::SetReuseAddr(s, true);
  const uint32_t addr = ip ? pf::InetAddr(ip) : 0;
  // The broadcast address (also what a text that is no address gives) is no
  // address to listen at; Linux would bind it, Windows Sockets refuses.
  bool bound = false;
  if (addr == kNoAddress)
    pf::WSASetLastError(pf::WSAEADDRNOTAVAIL);
  else
    bound = pf::Bind(s, addr, port) == 0;
  if (!bound) {
    WriteLog("启用服务端模式，bind执行失败");
    CloseKeepingError(s);
    LogSocketError();
    return pf::INVALID_SOCKET;
  }
  if (pf::Listen(s, kServerBacklog) != 0) {
    WriteLog("启用服务端模式，listen执行失败");
    CloseKeepingError(s);
    LogSocketError();
    return pf::INVALID_SOCKET;
  }
  return s;
}

bool CheckHandshakeReply(const uint8_t* reply, size_t received) {
  if (!reply || received < StCommandHead::kSize) return false;
  const StCommandHead head = StCommandHead::Read(reply);
  if (head.head != kFrameHead || head.version != kFrameVersion) return false;
  if (head.length != received) return false;
  if (head.ns != kReplyNamespace || head.sender != kReplySender) return false;
  if (head.echo != 0 || head.cls != kClassGetReply) return false;
  if (head.count == 0) return false;
  // Only items that lie wholly inside the bytes received are looked at.
  ItemWalker walker(reply, received);
  ItemView item;
  while (walker.Next(&item)) {
    if (item.head.code != kCodeStatus) continue;
    const uint32_t len = item.head.length;
    if (len == kLongStatusSize && kit::ReadLE32(item.data + kStatusWordOffset) == kLongStatusSize)
      return true;
    return len >= kShortStatusLeast && kit::ReadLE32(item.data + kStatusWordOffset) == kShortStatusLeast;
  }
  return false;
}

void ServerAcceptThread(StServerListener* l) {
  std::vector<uint8_t> buf(kHandshakeBuffer);
  while (!l->m_bStop.load()) {
    uint32_t peer = 0;
    const pf::SOCKET s = pf::Accept(l->m_hSocket, &peer, nullptr);
    if (s == pf::INVALID_SOCKET) {
      if (!l->m_bStop.load()) l->m_evWake.Wait(kAcceptRetryMs);
      continue;
    }
    {
      std::lock_guard<std::mutex> lk(l->m_pendingLock);
      if (l->m_bStop.load()) {
        pf::CloseSocket(s);
        break;
      }
      l->m_hPending = s;  // a stop now shuts it down
    }
    bool accepted = Handshake(s, buf);
    {
      std::lock_guard<std::mutex> lk(l->m_pendingLock);
      l->m_hPending = pf::INVALID_SOCKET;
      accepted = accepted && !l->m_bStop.load();
    }
    if (!accepted) {
      // A camera that fails the handshake may simply connect again.
      pf::CloseSocket(s);
      continue;
    }
    AdoptCamera(s, peer);
  }
  if (l->m_bFreeOnExit.load()) {
    l->m_thread.Detach();
    FreeListener(l);
  }
}

void StopAllServerListeners() {
  CForGlobal& g = Global();
  std::list<StServerListener*> all;
  {
    pf::Lock call(g.m_csServerCall);  // a start under way lists its listener first
    pf::Lock lk(g.m_csServer);
    all.swap(g.m_listServer);
  }
  for (StServerListener* l : all) WakeListener(l);
  for (StServerListener* l : all) FinishListener(l);
}

}  // namespace qelm

using namespace qelm;

extern "C" {

QELM_API int QELM_CALL Qelm_ControlServer(const char* ip, int port, int start) {
  // A port that does not fit 16 bits would listen on another port than asked.
  if (!ip || port <= 0 || port > 0xFFFF) return ERR_PARAM;
  const uint32_t addr = pf::InetAddr(ip);
  const uint32_t portWord = static_cast<uint32_t>(port);
  const bool want = (start & 0xFF) != 0;
  CForGlobal& g = Global();
  StServerListener* stopped = nullptr;
  {
    pf::Lock call(g.m_csServerCall);
    {
      pf::Lock lk(g.m_csServer);
      auto it = std::find_if(g.m_listServer.begin(), g.m_listServer.end(), [&](const StServerListener* l) {
        return l->m_ip == addr && l->m_port == portWord;
      });
      if (it != g.m_listServer.end()) {
        if (want) return ERR_SUCCESS;  // it runs already
        stopped = *it;
        g.m_listServer.erase(it);
      }
    }
    if (!stopped) {
      if (!want) return ERR_PARAM;
      const pf::SOCKET s = CreateServerListener(ip, static_cast<uint16_t>(port));
      if (s == pf::INVALID_SOCKET) return ERR_SOCKET_NULL;
      auto* l = new (std::nothrow) StServerListener;
      if (!l) {
        pf::CloseSocket(s);
        return ERR_SOCKET_NULL;
      }
      l->m_ip = addr;
      l->m_port = portWord;
      l->m_hSocket = s;
      if (!l->m_thread.Start([l] { ServerAcceptThread(l); })) {
        FreeListener(l);
        return ERR_DATA_THREAD;
      }
      pf::Lock lk(g.m_csServer);
      g.m_listServer.push_back(l);
      return ERR_SUCCESS;
    }
  }
  // Stopped outside the locks: its thread may be in a callback that calls here.
  WakeListener(stopped);
  FinishListener(stopped);
  return ERR_SUCCESS;
}

}  // extern "C"

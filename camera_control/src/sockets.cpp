#include "sockets.h"

#include <algorithm>
#include <atomic>

#include "context.h"
#include "log.h"
#include "platform/system.h"

namespace qelm {

namespace {
std::atomic<int> g_connectTimeoutMs{2000};
// Room for a few hundred discovery answers arriving at once.
constexpr int kUdpReceiveBuffer = 1 << 20;
}  // namespace

void test::SetConnectTimeoutMs(int ms) { g_connectTimeoutMs.store(ms); }

namespace {

// Waits for a pending connect to complete, at most `ms`, in short steps when
// the wait may be cancelled. True when it connected.
bool AwaitConnect(pf::SOCKET s, int ms, const std::atomic<uint8_t>* cancel) {
  constexpr int kStepMs = 50;
  const int64_t end = pf::MonotonicMs() + ms;
  for (;;) {
    const int64_t left = end - pf::MonotonicMs();
    if (left <= 0) return false;
    const int step = cancel ? static_cast<int>(std::min<int64_t>(left, kStepMs)) : static_cast<int>(left);
    const int r = pf::WaitWritable(s, step);
    if (r == 1) return pf::PendingError(s) == 0;
    if (r < 0 || (cancel && cancel->load())) return false;
  }
}

}  // namespace

pf::SOCKET CreateSocket(uint16_t port, uint32_t ip, bool udp, const std::atomic<uint8_t>* cancel) {
  const std::string ipText = pf::InetNtoa(ip);
  pf::SOCKET s = udp ? pf::UdpSocket() : pf::TcpSocket();
  if (s == pf::INVALID_SOCKET) {
    WriteLogF("create socket IP = %s port = %d 失败", ipText.c_str(), port);
    LogSocketError();
    return pf::INVALID_SOCKET;
  }
  if (udp) {
    if (pf::SetBroadcast(s, true) != 0) {
      WriteLog("启用UDP时，调用setsockopt函数失败");
      pf::CloseSocket(s);
      LogSocketError();
      return pf::INVALID_SOCKET;
    }
    bool bound = false;
    for (int i = 0; i < 100 && !bound; ++i)
      bound = pf::Bind(s, 0, static_cast<uint16_t>(port + i)) == 0;
    if (!bound) {
      WriteLog("启用UDP时，绑定socket失败");
      pf::CloseSocket(s);
      return pf::INVALID_SOCKET;
    }
    pf::SetRecvBuffer(s, kUdpReceiveBuffer);
    WriteLogF("Create socket IP = %s port = %d 成功", ipText.c_str(), port);
    return s;
  }

  if (ip == 0) {
    WriteLog("生成socket时，IP地址为0");
    pf::CloseSocket(s);
    return pf::INVALID_SOCKET;
  }
  pf::SetNonBlocking(s, true);
  bool connected = pf::Connect(s, ip, port) == 0;
  if (!connected) {
    const int err = pf::WSAGetLastError();
    WriteLogF("connect IP = %s port = %d 失败", ipText.c_str(), port);
    LogSocketError();
    if (err == pf::WSAEWOULDBLOCK) connected = AwaitConnect(s, g_connectTimeoutMs.load(), cancel);
  }
  pf::SetNonBlocking(s, false);
  if (!connected) {
    pf::CloseSocket(s);
    return pf::INVALID_SOCKET;
  }
  WriteLogF("Create socket IP = %s port = %d 成功", ipText.c_str(), port);
  return s;
}

int GetLocalIPList() {
  CForGlobal& g = Global();
  std::vector<std::string> list = pf::ListLocalIPv4();
  pf::Lock lk(g.m_csLocalIP);
  g.m_arrLocalIP = std::move(list);
  return static_cast<int>(g.m_arrLocalIP.size());
}

std::vector<std::string> LocalIPList() {
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csLocalIP);
  return g.m_arrLocalIP;
}

}  // namespace qelm

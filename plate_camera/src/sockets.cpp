#include "sockets.h"

#include <cerrno>

#include "discovery_socket.h"
#include "log.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace nardix {

namespace {
std::atomic<int> g_connectTimeoutMs{2000};
// A send that cannot go on for this long fails, so that a camera that stops
// reading never holds a sender (and the socket's lock) for good.
constexpr int kSendTimeoutMs = 3000;
}  // namespace

void test::SetConnectTimeoutMs(int ms) { g_connectTimeoutMs.store(ms); }

pf::SOCKET CreateSocket(bool udp, uint32_t ip, uint16_t port, const std::atomic<uint8_t>* stop) {
  pf::SOCKET s = udp ? pf::UdpSocket() : pf::TcpSocket();
  if (s == pf::INVALID_SOCKET) {
    const int err = errno;
    WriteLogF("创建（%d）SOCKET失败，原因：%s", udp ? 1 : 0, pf::SystemErrorText(err));
    return pf::INVALID_SOCKET;
  }
  if (udp) {
    if (pf::SetBroadcast(s, true) != 0) {
      WriteLog("启用UDP时，调用setsockopt函数失败");
      pf::CloseSocket(s);
      return pf::INVALID_SOCKET;
    }
    for (int i = 0; i < 50; ++i) {
      if (pf::Bind(s, 0, static_cast<uint16_t>(port + 2 * i)) != 0) continue;
      // The discovery socket: every camera of a site answers a scan at once.
      const std::string shortBuffer = kit::SizeDiscoverySocket(s);
      if (!shortBuffer.empty()) WriteLog(shortBuffer);
      return s;
    }
    WriteLog("启用UDP时，绑定socket失败");
    pf::CloseSocket(s);
    return pf::INVALID_SOCKET;
  }

  if (ip == 0) {
    WriteLog("生成socket时，IP地址为0");
    pf::CloseSocket(s);
    return pf::INVALID_SOCKET;
  }
  pf::SetNonBlocking(s, true);
  bool connected = pf::Connect(s, ip, port) == 0;
  if (!connected && pf::WSAGetLastError() == pf::WSAEWOULDBLOCK)
    connected = pf::AwaitConnect(s, g_connectTimeoutMs.load(), stop) == 0;
  pf::SetNonBlocking(s, false);
  if (!connected) {
    pf::CloseSocket(s);
    return pf::INVALID_SOCKET;
  }
  pf::SetSendTimeout(s, kSendTimeoutMs);
  return s;
}

int SendLocked(pf::CriticalSection& cs, const std::atomic<pf::SOCKET>& sock, const void* data,
               size_t len) {
  pf::Lock lk(cs);
  const pf::SOCKET s = sock.load();
  if (s == pf::INVALID_SOCKET) {
    pf::WSASetLastError(pf::WSAENOTSOCK);
    return pf::SOCKET_ERROR;
  }
  return pf::Send(s, data, len);
}

void ShutdownLocked(pf::CriticalSection& cs, const std::atomic<pf::SOCKET>& sock) {
  pf::Lock lk(cs);
  const pf::SOCKET s = sock.load();
  if (s != pf::INVALID_SOCKET) pf::ShutdownSocket(s);
}

void CloseLocked(pf::CriticalSection& cs, std::atomic<pf::SOCKET>& sock) {
  pf::Lock lk(cs);
  const pf::SOCKET s = sock.exchange(pf::INVALID_SOCKET);
  if (s != pf::INVALID_SOCKET) pf::CloseSocket(s);
}

int Reconnect(pf::CriticalSection& cs, std::atomic<pf::SOCKET>& sock, uint32_t ip, uint16_t port,
              const std::atomic<uint8_t>& stop) {
  CloseLocked(cs, sock);
  const pf::SOCKET s = CreateSocket(false, ip, port, &stop);
  if (s == pf::INVALID_SOCKET) return stop.load() ? -1 : 0;
  pf::Lock lk(cs);
  if (stop.load()) {
    pf::CloseSocket(s);
    return -1;
  }
  sock.store(s);
  return 1;
}

}  // namespace nardix

#include "sockets.h"

#include <atomic>

#include "context.h"
#include "discovery_socket.h"
#include "log.h"
#include "platform/system.h"

namespace qelm {

namespace {
std::atomic<int> g_connectTimeoutMs{2000};
}  // namespace

void test::SetConnectTimeoutMs(int ms) { g_connectTimeoutMs.store(ms); }

pf::SOCKET CreateSocket(uint16_t port, uint32_t ip, bool udp, const std::atomic<uint8_t>* cancel, int limitMs) {
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
    // The discovery socket: every camera of a site answers a search at once.
    const std::string shortBuffer = kit::SizeDiscoverySocket(s);
    if (!shortBuffer.empty()) WriteLog(shortBuffer);
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
    int wait = g_connectTimeoutMs.load();
    if (limitMs >= 0 && limitMs < wait) wait = limitMs;
    if (err == pf::WSAEWOULDBLOCK) connected = pf::AwaitConnect(s, wait, cancel) == 0;
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

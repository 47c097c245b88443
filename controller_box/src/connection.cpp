#include "connection.h"

#include <cstring>

#include "context.h"
#include "discovery.h"
#include "log.h"
#include "platform/system.h"
#include "update.h"

namespace pyrn {

namespace {

constexpr uint16_t kBoxPort = 10028;
constexpr int kTicksPerTry = 12;
// A send that cannot go within this time fails, so a box that stops reading
// cannot stall the library.
constexpr int kSendTimeoutMs = 3000;

void CopyIpText(char (&dst)[16], const char* ip) {
  size_t n = 0;
  while (n < sizeof dst - 1 && ip[n]) ++n;
  memcpy(dst, ip, n);
  dst[n] = 0;
}

// Closes a socket that this thread owns, taking it out of `field` first.
void CloseOwned(CBoxDevice& d, std::atomic<pf::SOCKET>& field, pf::SOCKET& s) {
  if (s == pf::INVALID_SOCKET) return;
  pf::Lock lk(d.m_csSocket);
  pf::SOCKET expected = s;
  field.compare_exchange_strong(expected, pf::INVALID_SOCKET);
  pf::CloseSocket(s);
  s = pf::INVALID_SOCKET;
}

// Receives and parses on a socket not yet installed, until a receive yields
// nothing.
void DrainNewSocket(CBoxDevice& d, pf::SOCKET s) {
  while (!d.m_bStop.load()) {
    const int n = pf::Recv(s, d.m_parser.RecvPtr(), d.m_parser.RecvSpace());
    if (n <= 0) return;
    d.m_tLastRecv.store(pf::MonotonicMs());
    d.ParseReceived(static_cast<size_t>(n));
  }
}

}  // namespace

pf::SOCKET ConnectTcp(uint32_t ip, uint16_t port, const std::atomic<uint8_t>* stop,
                      std::atomic<pf::SOCKET>* pending, pf::CriticalSection* pendingLock) {
  if (ip == 0 || ip == 0xFFFFFFFFu) {
    pf::WSASetLastError(pf::WSAEADDRNOTAVAIL);
    return pf::INVALID_SOCKET;
  }
  pf::SOCKET s = pf::TcpSocket();
  if (s == pf::INVALID_SOCKET) return s;
  if (pending) {
    pf::Lock lk(*pendingLock);
    pending->store(s);
  }
  auto giveUp = [&](int err) {
    if (pending) {
      pf::Lock lk(*pendingLock);
      pending->store(pf::INVALID_SOCKET);
    }
    pf::CloseSocket(s);
    pf::WSASetLastError(err);
    return pf::INVALID_SOCKET;
  };
  pf::SetNonBlocking(s, true);
  if (pf::Connect(s, ip, port) != 0) {
    if (pf::WSAGetLastError() != pf::WSAEWOULDBLOCK) return giveUp(pf::WSAGetLastError());
    const int err = pf::AwaitConnect(s, Timing().connectMs.load(), stop);
    if (err != 0) return giveUp(err);
  }
  pf::SetNonBlocking(s, false);
  pf::SetRecvTimeout(s, Timing().silenceMs.load());
  pf::SetSendTimeout(s, kSendTimeoutMs);
  return s;
}

void ReportStatus(CBoxDevice* d, uint32_t code) {
  CBoxGlobal& g = Global();
  if (PyrnStatusCallback cb = g.m_pfnStatus.load()) {
    StBoxStatus st{d, code};
    cb(g.m_pUser.load(), &st);
  }
}

void RecvThreadProc(std::shared_ptr<CBoxDevice> d) {
  d->m_recvThreadId.store(std::this_thread::get_id());
  pf::SOCKET cur = d->m_hSocket.load();
  bool receiving = true;
  int ticks = 0;
  while (!d->m_bStop.load()) {
    if (receiving) {
      // A frame under way whose time runs out before the receive time-out
      // is dropped on time, even when nothing more arrives.
      const int left = d->ExpireFrame();
      if (left >= 0 && left < Timing().silenceMs.load() && pf::WaitReadable(cur, left) == 0)
        continue;
      const int n = pf::Recv(cur, d->m_parser.RecvPtr(), d->m_parser.RecvSpace());
      if (n > 0) {
        d->m_tLastRecv.store(pf::MonotonicMs());
        d->m_nUnanswered.store(0);
        d->ParseReceived(static_cast<size_t>(n));
        continue;
      }
      const bool timedOut = n < 0 && pf::WSAGetLastError() == pf::WSAEWOULDBLOCK;
      if (d->m_bStop.load()) break;
      if (d->m_bLost.load()) {
        CloseOwned(*d, d->m_hSocket, cur);
        d->m_bConnected.store(0);
        receiving = false;
        ticks = 0;
        continue;
      }
      // A closed or failing socket returns at once: wait for the heartbeat
      // to drop the link instead of spinning.
      if (!timedOut) d->m_evWake.Wait(Timing().silenceMs.load());
      continue;
    }

    d->m_evWake.Wait(Timing().reconnectTickMs.load());
    if (d->m_bStop.load()) break;
    if (++ticks % kTicksPerTry != 0) continue;
    pf::SOCKET s = ConnectTcp(d->m_dwIP, d->m_wPort, &d->m_bStop, &d->m_hPending, &d->m_csSocket);
    if (s == pf::INVALID_SOCKET) {
      if (!d->m_bStop.load()) LogSocketError(d->m_szIP);
      continue;
    }
    WriteLogF("设备%s  重连成功 ", d->m_szIP);
    // The new link starts afresh: a half frame of the old one would take its
    // bytes as body.
    d->m_parser.Reset();
    DrainNewSocket(*d, s);
    const std::vector<uint8_t> tf = MakeTimeFrame();
    pf::Send(s, tf.data(), tf.size());
    d->m_nReconnectCount.fetch_add(1);
    DrainNewSocket(*d, s);
    if (d->m_bStop.load()) {
      CloseOwned(*d, d->m_hPending, s);
      break;
    }
    d->m_bLost.store(0);
    {
      pf::Lock lk(d->m_csSocket);
      d->m_hPending.store(pf::INVALID_SOCKET);
      d->m_hSocket.store(s);
    }
    cur = s;
    d->m_bConnected.store(1);
    d->m_nUnanswered.store(0);
    receiving = true;
    // Reported once requests can use the link again.
    ReportStatus(d.get(), 4);
  }
  CloseOwned(*d, d->m_hSocket, cur);
  d->m_bConnected.store(0);
}

void StopDevice(const std::shared_ptr<CBoxDevice>& d) {
  if (!d) return;
  d->m_bStop.store(1);
  // A heartbeat pass that is sending to this device or telling its status
  // ends first; later passes pass it by.
  { pf::Lock hk(d->m_csHeart); }
  {
    pf::Lock lk(d->m_csSocket);
    const pf::SOCKET s = d->m_hSocket.load();
    if (s != pf::INVALID_SOCKET) pf::ShutdownSocket(s);
    const pf::SOCKET p = d->m_hPending.load();
    if (p != pf::INVALID_SOCKET) pf::ShutdownSocket(p);
  }
  d->m_evWake.Set();
  d->m_evPause.Set();
  d->WakeWaiters();
  d->m_recvThread.Join();  // not when called on the receive thread itself
  d->m_serial.ClosePort();
}

namespace {

// Drops a link that has stayed silent: the receive thread closes the socket
// and reconnects.
void DropLink(CBoxDevice& d) {
  bool wasLost;
  {
    pf::Lock lk(d.m_csSocket);
    const pf::SOCKET s = d.m_hSocket.exchange(pf::INVALID_SOCKET);
    if (s == pf::INVALID_SOCKET) return;
    wasLost = d.m_bLost.exchange(1) != 0;
    d.m_bConnected.store(0);
    pf::ShutdownSocket(s);
  }
  d.m_tLastRecv.store(0);
  d.m_tLastBeat.store(0);
  d.m_nDropCount.fetch_add(1);
  d.m_evWake.Set();
  if (!wasLost) ReportStatus(&d, 3);
}

void HeartbeatPass() {
  CBoxGlobal& g = Global();
  std::vector<std::shared_ptr<CBoxDevice>> devices;
  {
    pf::Lock lk(g.m_csDevice);
    devices.assign(g.m_listDevice.begin(), g.m_listDevice.end());
  }
  const std::vector<uint8_t> tf = MakeTimeFrame();
  for (const auto& d : devices) {
    pf::Lock hk(d->m_csHeart);
    if (d->m_bStop.load()) continue;  // disconnected since the copy
    if (!d->m_bTcp.load() || d->m_hSocket.load() == pf::INVALID_SOCKET) continue;
    d->m_tLastBeat.store(pf::MonotonicMs());
    if (d->m_nUnanswered.load() > 4) {
      DropLink(*d);
    } else if (!d->m_bLost.load()) {
      d->m_nUnanswered.fetch_add(1);
      SendFrame(*d, tf.data(), tf.size());
    }
  }
}

}  // namespace

bool StartHeartbeat() {
  CBoxGlobal& g = Global();
  g.m_bHeartStop.store(false);
  g.m_evHeartStop.Reset();
  return g.m_heartThread.Start([&g] {
    int ticks = 0;
    g.m_evHeartStop.Wait(Timing().heartTickMs.load());
    while (g.g_bInit.load() && !g.m_bHeartStop.load()) {
      g.m_evHeartStop.Wait(Timing().heartTickMs.load());
      if (g.m_bHeartStop.load() || !g.g_bInit.load()) break;
      if (++ticks % kTicksPerTry == 0) HeartbeatPass();
    }
  });
}

void StopHeartbeat() {
  CBoxGlobal& g = Global();
  g.m_bHeartStop.store(true);
  g.m_evHeartStop.Set();
  g.m_heartThread.Join();
}

}  // namespace pyrn

using namespace pyrn;

extern "C" {

PYRN_API int PYRN_CALL PyrnBox_Init(PyrnByteReportCallback report1,
                                    PyrnValueReportCallback report0, PyrnStatusCallback status,
                                    void* user) {
  CBoxGlobal& g = Global();
  pf::Lock life(g.m_csLife);
  if (g.m_bStarted.load()) return 0;
  {
    pf::Lock lk(g.m_csModule);
    if (g.m_strModulePath.empty())
      g.m_strModulePath = pf::LibraryFolder(reinterpret_cast<const void*>(&Global));
  }
  g.m_pfnReport1.store(report1);
  g.m_pfnReport0.store(report0);
  g.m_pfnStatus.store(status);
  g.m_pUser.store(user);
  g.g_bInit.store(1);
  g.m_bStarted.store(1);
  StartHeartbeat();
  g.m_logWriter.Start();
  return 0;
}

PYRN_API int PYRN_CALL PyrnBox_Quit(void) {
  CBoxGlobal& g = Global();
  pf::Lock life(g.m_csLife);
  CloseAllUdpContexts();
  JoinResendThreads();
  FreeUpdateImage();
  g.g_bInit.store(0);
  g.m_bStarted.store(0);
  StopHeartbeat();
  g.m_logWriter.Stop();  // writes what is queued, then ends
  return 0;
}

PYRN_API int PYRN_CALL PyrnBox_ConnectDevice(const char* ip, CBoxDevice** handle) {
  if (!handle) return 1;
  *handle = nullptr;
  if (!ip) return 1;
  CBoxGlobal& g = Global();
  const uint32_t addr = pf::InetAddr(ip);
  const pf::SOCKET s = ConnectTcp(addr, kBoxPort, nullptr, nullptr, nullptr);
  if (s == pf::INVALID_SOCKET) return 2;

  auto d = std::make_shared<CBoxDevice>();
  d->m_dwIP = addr;
  d->m_wPort = kBoxPort;
  CopyIpText(d->m_szIP, ip);
  d->m_hSocket.store(s);
  d->m_bConnected.store(1);
  {
    pf::Lock lk(d->m_csDevice);
    d->m_bLinkWaiting = true;
  }
  if (!d->m_recvThread.Start([d] { RecvThreadProc(d); })) {
    d->m_hSocket.store(pf::INVALID_SOCKET);
    pf::CloseSocket(s);
    return 3;
  }

  // The box tells at once whether it takes another link.
  const int64_t end = pf::MonotonicMs() + Timing().linkWaitMs.load();
  bool got = false;
  StMaxLinkInfo info;
  memset(&info, 0, sizeof info);
  for (;;) {
    {
      pf::Lock lk(d->m_csDevice);
      if (d->m_bLinkGot) {
        got = true;
        memcpy(&info, d->m_linkInfo, sizeof info);
      }
      if (got || pf::MonotonicMs() >= end) {
        d->m_bLinkWaiting = false;
        break;
      }
    }
    const int64_t left = end - pf::MonotonicMs();
    if (left > 0) d->m_evLink.Wait(static_cast<long>(left));
  }
  if (got) {
    if (PyrnMaxLinkInfoCallback cb = g.m_pfnMaxLink.load()) cb(g.m_pUser.load(), &info, d->m_szIP);
    if (info.linkCount == info.maxLinkCount) {
      StopDevice(d);
      return 202;
    }
  }

  *handle = d.get();
  const std::vector<uint8_t> tf = MakeTimeFrame();
  SendFrame(*d, tf.data(), tf.size());
  {
    pf::Lock lk(g.m_csDevice);
    g.m_listDevice.push_back(d);
  }
  return 0;
}

PYRN_API int PYRN_CALL PyrnBox_ConnectDeviceEx(const char* ip, CBoxDevice** handle,
                                               const char* portName, uint32_t baudRate,
                                               int parity, int byteSize, int stopBits) {
  if (!handle) return 1;
  *handle = nullptr;
  if (!portName || !ip) return 1;
  auto d = std::make_shared<CBoxDevice>();
  d->m_bTcp.store(0);
  // A frame's time on the line: a start bit, the data bits, the parity bit
  // and the stop bits (one and a half counted as two) for each byte.
  const uint8_t bits = static_cast<uint8_t>(byteSize);
  d->m_parser.SetLineRate(baudRate, 1u + bits + (static_cast<uint8_t>(parity) ? 1u : 0u) +
                                        (static_cast<uint8_t>(stopBits) ? 2u : 1u));
  std::weak_ptr<CBoxDevice> weak = d;
  const bool open = d->m_serial.InitPort(
      portName, baudRate, bits, static_cast<uint8_t>(stopBits), static_cast<uint8_t>(parity),
      [weak](const uint8_t* data, size_t n) {
        // Held while its bytes are handled, so a disconnection from inside a
        // callback cannot free it under the reader.
        if (std::shared_ptr<CBoxDevice> dev = weak.lock()) {
          dev->m_recvThreadId.store(std::this_thread::get_id());
          dev->ReceiveBytes(data, n);
        }
      },
      [weak] {
        // A frame under way is dropped by its deadline, even when nothing
        // more arrives.
        if (std::shared_ptr<CBoxDevice> dev = weak.lock()) return dev->ExpireFrame();
        return -1;
      });
  if (!open) return 26;
  d->m_dwIP = pf::InetAddr(ip);
  d->m_wPort = kBoxPort;
  CopyIpText(d->m_szIP, ip);
  d->m_bConnected.store(1);
  *handle = d.get();
  CBoxGlobal& g = Global();
  pf::Lock lk(g.m_csDevice);
  g.m_listDevice.push_back(d);
  return 0;
}

PYRN_API int PYRN_CALL PyrnBox_DisconnectDevice(CBoxDevice* handle) {
  if (!handle) return 1;
  CBoxGlobal& g = Global();
  std::shared_ptr<CBoxDevice> d;
  {
    pf::Lock lk(g.m_csDevice);
    for (auto it = g.m_listDevice.begin(); it != g.m_listDevice.end(); ++it) {
      if (it->get() == handle) {
        d = *it;
        g.m_listDevice.erase(it);
        break;
      }
    }
  }
  if (!d) return 7;
  StopDevice(d);
  return 0;
}

}  // extern "C"

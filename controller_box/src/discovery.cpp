#include "discovery.h"

#include <cstddef>
#include <cstring>
#include <string>

#include "bytes.h"
#include "context.h"
#include "device.h"
#include "discovery_socket.h"
#include "log.h"
#include "platform/system.h"

static_assert(offsetof(StSearchResult, factory.mac) == 304, "MAC at 304");

namespace pyrn {

using kit::StDeviceScanInfo;

namespace {

constexpr uint32_t kBroadcast = 0xFFFFFFFF;  // 255.255.255.255
constexpr int kBindTries = 100;

StDeviceScanInfo BoxScanRequest() {
  StDeviceScanInfo r;
  kit::SetTextField(r.senderTag, sizeof r.senderTag, "QV-ZNPC");
  kit::SetTextField(r.deviceType, sizeof r.deviceType, "VELD");
  r.net.version = 0;
  return r;
}

template <class Fill>
std::vector<StDeviceScanInfo> PerHostAddress(Fill fill) {
  CHostIpList& hosts = Global().m_hostIps;
  pf::Lock lk(hosts.m_cs);
  std::vector<StDeviceScanInfo> out;
  if (hosts.Refresh() == 0) return out;
  for (const auto& ip : hosts.m_arrIP) {
    out.push_back(BoxScanRequest());
    fill(out.back(), pf::InetAddr(ip.c_str()));
  }
  return out;
}

void UdpRecvThreadProc(const std::shared_ptr<StUdpContext>& ctx) {
  CBoxGlobal& g = Global();
  while (g.g_bInit.load() && !ctx->m_bStop.load()) {
    const int n = pf::Recv(ctx->m_hSocket.load(), ctx->m_recv, sizeof ctx->m_recv);
    if (ctx->m_bStop.load()) break;
    if (n > 0) {
      ctx->m_nCount = static_cast<uint32_t>(n);
      HandleScanReply(*ctx, static_cast<size_t>(n));
      ctx->m_nCount = 0;
      continue;
    }
    // Any host may send an empty datagram, and a UDP socket reports passing
    // errors: neither ends discovery, only the library's quit does.
    if (n < 0) pf::WaitReadable(ctx->m_hSocket.load(), 100);
  }
  WriteLog("UDP线程退出");
}

// A UDP socket bound to the host address on the first free port from 58590.
pf::SOCKET CreateUdpSocket(uint32_t host) {
  pf::SOCKET s = pf::UdpSocket();
  if (s == pf::INVALID_SOCKET) return s;
  pf::SetBroadcast(s, true);
  const std::string hostText = pf::InetNtoa(host);
  for (int i = 0; i < kBindTries; ++i) {
    if (pf::Bind(s, host, static_cast<uint16_t>(kUdpBasePort + i)) == 0) {
      // Every box of the host's network answers a search at once.
      const std::string shortBuffer = kit::SizeDiscoverySocket(s, hostText.c_str());
      if (!shortBuffer.empty()) WriteLog(shortBuffer);
      return s;
    }
    LogSocketError(hostText.c_str());
  }
  pf::CloseSocket(s);
  return pf::INVALID_SOCKET;
}

// The context of a host address, made (with its thread) on first use.
std::shared_ptr<StUdpContext> GetUdpContext(uint32_t host) {
  CBoxGlobal& g = Global();
  pf::Lock lk(g.m_csUdp);
  for (const auto& c : g.m_listUdp)
    if (c->m_dwHost == host && c->m_wPort == kUdpBasePort) return c;
  const pf::SOCKET s = CreateUdpSocket(host);
  if (s == pf::INVALID_SOCKET) return nullptr;
  auto ctx = std::make_shared<StUdpContext>();
  ctx->m_hSocket.store(s);
  ctx->m_dwHost = host;
  g.g_bInit.store(1);
  if (!ctx->m_thread.Start([ctx] { UdpRecvThreadProc(ctx); })) {
    pf::CloseSocket(s);
    return nullptr;
  }
  g.m_listUdp.push_back(ctx);
  return ctx;
}

// Sends each packet from the context of its host address to 58588; true when
// any went.
bool SendFromHosts(const std::vector<StDeviceScanInfo>& packets,
                   uint32_t StDeviceScanInfo::*host) {
  bool any = false;
  uint8_t wire[StDeviceScanInfo::kSize];
  CBoxGlobal& g = Global();
  for (const auto& p : packets) {
    // Under the list's lock, so that a quit cannot close the socket meanwhile.
    pf::Lock lk(g.m_csUdp);
    const std::shared_ptr<StUdpContext> ctx = GetUdpContext(p.*host);
    if (!ctx) continue;
    p.Write(wire);
    if (pf::SendToFrom(ctx->m_hSocket.load(), wire, sizeof wire, kBroadcast, kit::kScanPort,
                       ctx->m_dwHost) > 0)
      any = true;
  }
  return any;
}

struct SetNetBlock {
  uint32_t current;
  uint32_t words[4];
};

// 600 ms after a broadcast: every packet again, through every context, to
// 58599. No block: search packets.
void SearchResendThreadProc(StResend& self, std::unique_ptr<SetNetBlock> block) {
  self.wake.Wait(Timing().resendDelayMs.load());
  if (self.stop.load()) return;
  const std::vector<StDeviceScanInfo> packets =
      block ? BuildSetNetPackets(block->current, block->words) : BuildSearchPackets();
  if (packets.empty()) {
    WriteLog("搜索相机时，生成搜索命令失败");
    return;
  }
  CBoxGlobal& g = Global();
  uint8_t wire[StDeviceScanInfo::kSize];
  for (const auto& p : packets) {
    p.Write(wire);
    pf::Lock lk(g.m_csUdp);
    for (const auto& ctx : g.m_listUdp) {
      const pf::SOCKET s = ctx->m_hSocket.load();
      if (s == pf::INVALID_SOCKET) continue;
      pf::SendToFrom(s, wire, sizeof wire, kBroadcast, kResendPort, ctx->m_dwHost);
    }
  }
}

void StartResend(std::unique_ptr<SetNetBlock> block) {
  CBoxGlobal& g = Global();
  pf::Lock lk(g.m_csResend);
  // Repeats that are over are joined and dropped.
  for (auto it = g.m_listResend.begin(); it != g.m_listResend.end();) {
    if ((*it)->done.load()) {
      (*it)->thread.Join();
      it = g.m_listResend.erase(it);
    } else {
      ++it;
    }
  }
  auto r = std::make_shared<StResend>();
  SetNetBlock* raw = block.release();
  StResend* self = r.get();
  if (r->thread.Start([self, raw] {
        SearchResendThreadProc(*self, std::unique_ptr<SetNetBlock>(raw));
        self->done.store(true);
      })) {
    g.m_listResend.push_back(std::move(r));
  } else {
    delete raw;
  }
}

}  // namespace

int CHostIpList::Refresh() {
  std::vector<std::string> list = pf::ListLocalIPv4();
  pf::Lock lk(m_cs);
  m_arrIP = std::move(list);
  return static_cast<int>(m_arrIP.size());
}

std::vector<std::string> CHostIpList::Copy() {
  pf::Lock lk(m_cs);
  return m_arrIP;
}

std::vector<StDeviceScanInfo> BuildSearchPackets() {
  return PerHostAddress([](StDeviceScanInfo& r, uint32_t host) {
    r.addressA = 0xFFFFFFFF;
    r.addressB = host;
  });
}

std::vector<StDeviceScanInfo> BuildSetNetPackets(uint32_t currentIp, const uint32_t words[4]) {
  return PerHostAddress([&](StDeviceScanInfo& r, uint32_t host) {
    r.addressA = host;
    r.addressB = currentIp;
    r.command = kit::kScanSetNetwork;
    r.net.magic = kit::kNetInfoMagic;
    r.net.ip = words[0];
    r.net.mask = words[1];
    r.net.gateway = words[2];
    r.net.fourth = words[3];
  });
}

void FillSearchResult(const StDeviceScanInfo& a, StSearchResult* out) {
  memset(out, 0, sizeof *out);
  kit::CopyFoundDevice(a, out);
  out->deviceWord = a.deviceWord;
  // The type text up to its NUL (within its field), then the device text's 64
  // bytes as they are; the record's zeros behind them end the text.
  const std::string type = kit::DeviceTypeText(a);
  static_assert(sizeof a.deviceType + sizeof a.deviceText < sizeof out->version,
                "type and device text fit with a terminator");
  memcpy(out->version, type.data(), type.size());
  memcpy(out->version + type.size(), a.deviceText, sizeof a.deviceText);
}

void HandleScanReply(StUdpContext& ctx, size_t n) {
  if (n < StDeviceScanInfo::kSize) {
    WriteLogF("处理UDP数据，实际长度是%d,StDeviceScanInfo的size是%d，不相同", static_cast<int>(n),
              static_cast<int>(StDeviceScanInfo::kSize));
    return;
  }
  const StDeviceScanInfo a = StDeviceScanInfo::Read(ctx.m_recv);
  if (a.replyCode != kit::kScanReplyCode) {
    WriteLogF("处理UDP数据，反馈码0x%08X不正确", a.replyCode);
    return;
  }
  const std::string asked = pf::InetNtoa(a.addressA);
  WriteLogF("收到设备反馈主机 IP %s，设备 IP %s", asked.c_str(), pf::InetNtoa(a.net.ip).c_str());
  // Cameras answer on the same ports; theirs are the camera library's.
  if (!kit::IsBoxDeviceType(a)) return;
  if (a.head != kit::kScanHead || a.tail != kit::kScanTail || (a.command & 0xFFFF) != 0) return;
  CBoxGlobal& g = Global();
  pf::Lock lk(g.m_hostIps.m_cs);
  for (const auto& ip : g.m_hostIps.m_arrIP) {
    if (ip != asked) continue;
    BoxFoundCallback cb = g.m_pfnFound.load();
    if (!cb) return;
    StSearchResult r;
    FillSearchResult(a, &r);
    cb(&r);
  }
}

void CloseAllUdpContexts() {
  CBoxGlobal& g = Global();
  std::list<std::shared_ptr<StUdpContext>> all;
  {
    pf::Lock lk(g.m_csUdp);
    all.swap(g.m_listUdp);
  }
  for (const auto& ctx : all) {
    ctx->m_bStop.store(true);
    pf::ShutdownSocket(ctx->m_hSocket.load());  // wakes its receive
    // From inside the search callback the thread is this one: it ends once
    // the callback returns, without touching the socket again.
    if (ctx->m_thread.IsCurrent())
      ctx->m_thread.Detach();
    else
      ctx->m_thread.Join();
    pf::CloseSocket(ctx->m_hSocket.exchange(pf::INVALID_SOCKET));
  }
}

void JoinResendThreads() {
  CBoxGlobal& g = Global();
  std::list<std::shared_ptr<StResend>> all;
  {
    pf::Lock lk(g.m_csResend);
    all.swap(g.m_listResend);
  }
  for (const auto& r : all) {
    r->stop.store(true);
    r->wake.Set();
    r->thread.Join();
  }
}

}  // namespace pyrn

using namespace pyrn;

extern "C" {

PYRN_API int PYRN_CALL PyrnBox_SearchPyrnCore(BoxFoundCallback cb) {
  CBoxGlobal& g = Global();
  g.m_pfnFound.store(cb);
  const std::vector<StDeviceScanInfo> packets = BuildSearchPackets();
  if (packets.empty()) {
    WriteLog("搜索相机时，生成搜索命令失败");
    return 19;
  }
  const bool any = SendFromHosts(packets, &StDeviceScanInfo::addressB);
  g.g_bInit.store(1);
  StartResend(nullptr);
  if (!any) {
    WriteLog("搜索相机时，发送搜索命令失败");
    return 17;
  }
  WriteLog("搜索相机执行成功");
  return 0;
}

PYRN_API int PYRN_CALL PyrnBox_SetNetParams(CBoxDevice* handle, uint32_t currentIp,
                                            const StNetParams* params, int broadcast) {
  CBoxGlobal& g = Global();
  if (!g.g_bInit.load()) return 200;
  if (!params) return 1;
  g.m_hostIps.Refresh();
  const std::string newIp = pf::InetNtoa(params->ip);
  for (const auto& ip : g.m_hostIps.Copy())
    if (ip == newIp) return 50;
  const uint32_t words[4] = {SwapBytes32(params->ip), SwapBytes32(params->mask),
                             SwapBytes32(params->gateway), SwapBytes32(params->fourth)};
  if (broadcast & 0xFF) {
    if (currentIp == 0) return 1;
    const std::vector<StDeviceScanInfo> packets = BuildSetNetPackets(currentIp, words);
    if (packets.empty()) {
      WriteLog("设置相机网络参数时，生成设置命令失败");
      return 19;
    }
    const bool any = SendFromHosts(packets, &StDeviceScanInfo::addressA);
    auto block = std::make_unique<SetNetBlock>();
    block->current = currentIp;
    memcpy(block->words, words, sizeof words);
    StartResend(std::move(block));
    if (!any) {
      WriteLog("设置相机网络参数时，发送搜索命令失败");
      return 17;
    }
    WriteLog("设置相机网络参数执行成功");
    return 0;
  }
  if (!handle) return 1;
  std::shared_ptr<CBoxDevice> d;
  int timeout = 0;
  int r = CheckConnection(handle, &d, &timeout);
  if (r != 0) return r;
  uint8_t payload[16];
  for (int i = 0; i < 4; ++i) kit::WriteLE32(payload + 4 * i, words[i]);
  const BoxRequest rq{1, 0, 14, payload, sizeof payload};
  std::vector<uint8_t> reply;
  // Taken only when the box says it took the settings.
  r = Exchange(*d, rq, timeout, &reply);
  return r != 0 ? r : CheckReply(reply, rq);
}

}  // extern "C"

#include "discovery.h"

#include <cstring>
#include <new>

#include "bytes.h"
#include "codes.h"
#include "handle.h"
#include "log.h"
#include "message_wnd.h"
#include "dictate.h"
#include "platform/system.h"

namespace nardix {

namespace {


void PutText(uint8_t* p, size_t offset, size_t field, const char* text, size_t textField) {
  const size_t n = strnlen(text, textField < field - 1 ? textField : field - 1);
  memcpy(p + offset, text, n);
}

// A text field of a peer's packet: read within the field, at most field - 1
// characters.
std::string FieldText(const uint8_t* p, size_t field) {
  char buf[256];
  kit::CopyTextField(buf, field < sizeof buf ? field : sizeof buf, p, field);
  return buf;
}

UdpChannelPtr CurrentUdpChannel() {
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csInfo);
  return g.m_pCameraInfo;
}

void UdpRecvThread(const UdpChannelPtr& ch) {
  if (!ch || ch->m_hSocket == pf::INVALID_SOCKET) return;
  CForGlobal& g = Global();
  while (g.m_bRunning.load() && !ch->m_bStop.load()) {
    const int n = pf::RecvFrom(ch->m_hSocket, ch->m_byRecv, sizeof ch->m_byRecv, nullptr, nullptr);
    if (ch->m_bStop.load() || !g.m_bRunning.load()) break;
    if (n < 1) {
      // Any host can send an empty datagram, and a UDP socket reports errors
      // that others caused: neither ends discovery, only the library's stop does.
      WriteLog("UDP网络异常");
      if (n < 0) ch->m_evStop.Wait(100);
      continue;
    }
    CheckScanReply(ch->m_byRecv, static_cast<size_t>(n), pf::ListLocalIPv4());
    memset(ch->m_byRecv, 0, sizeof ch->m_byRecv);
  }
}

void StartPacket(uint8_t* p, uint8_t sub) {
  memset(p, 0, kScanPacketSize);
  p[0] = 0xAA;
  p[1] = 0x55;
  p[2] = 0xF0;
  p[3] = sub;
  kit::WriteLE32(p + 4, 148);
  PutText(p, 40, 8, "QVY", 8);
  p[156] = 0x0F;
  p[157] = 0x55;
  p[158] = 0xAA;
}

}  // namespace

StLprUdpChannel::~StLprUdpChannel() {
  if (m_hSocket != pf::INVALID_SOCKET) pf::CloseSocket(m_hSocket);
}

UdpChannelPtr NewUdpChannel(pf::SOCKET s) {
  if (test::TakeChannelAllocFailure()) return nullptr;
  auto* raw = new (std::nothrow) StLprUdpChannel(s);
  return raw ? UdpChannelPtr(raw) : nullptr;
}

bool StartUdpChannel(const UdpChannelPtr& ch) {
  return ch->m_thread.Start([ch] { UdpRecvThread(ch); });
}

void StopUdpChannel(const UdpChannelPtr& ch) {
  if (!ch) return;
  ch->m_bStop.store(true);
  pf::ShutdownSocket(ch->m_hSocket);  // wakes the receive (the socket stays open)
  ch->m_evStop.Set();
  ch->m_thread.Join();
}

void BuildScanPacket(uint8_t* p) {
  StartPacket(p, 0);
  PutText(p, 8, 16, "255.255.255.255", 16);
}

void BuildSetPacket(uint8_t* p, const StLprNetParams& current, const StLprNetParams& next) {
  StartPacket(p, 1);
  PutText(p, 8, 16, current.ip, sizeof current.ip);
  memcpy(p + 63, next.mac, 6);
  PutText(p, 69, 16, next.ip, sizeof next.ip);
  PutText(p, 85, 6, "12000", 6);
  PutText(p, 91, 16, next.mask, sizeof next.mask);
  PutText(p, 107, 16, next.gateway, sizeof next.gateway);
}

void PutLocalAddress(uint8_t* p, const std::string& address, bool set) {
  memset(p + 24, 0, 16);
  PutText(p, 24, 16, address.c_str(), 16);
  if (set) {
    memset(p + 139, 0, 16);
    PutText(p, 139, 16, address.c_str(), 16);
  }
}

bool ParseScanReply(const uint8_t* d, StLprDeviceInfo* info) {
  if (d[3] != 2) return false;
  // The type text ends within its field: "ParkingX" with no end in the field
  // is another type, not "Parking" cut short.
  if (!memchr(d + 48, 0, 8)) return false;
  const std::string type = FieldText(d + 48, 8);
  if (type != "Parking" && type != "MOLQ-SD") return false;
  memset(info, 0, sizeof *info);
  kit::CopyTextField(info->ip, sizeof info->ip, d + 69, 16);
  kit::CopyTextField(info->mask, sizeof info->mask, d + 91, 16);
  kit::CopyTextField(info->gateway, sizeof info->gateway, d + 107, 16);
  memcpy(info->mac, d + 63, 6);
  const std::string text = type + FieldText(d + 56, 6);
  kit::CopyTextField(info->type, sizeof info->type, reinterpret_cast<const uint8_t*>(text.c_str()),
                     text.size());
  info->extra = d[62];
  return true;
}

int CheckScanReply(const uint8_t* d, size_t n, const std::vector<std::string>& locals) {
  // The answer's fields reach up to its end markers; a shorter datagram has none.
  if (n < kScanPacketSize) return 0;
  if (d[0] != 0xAA || d[1] != 0x55 || d[2] != 0xF0 || d[156] != 0x0F || d[157] != 0x55 || d[158] != 0xAA)
    return 0;
  const std::string target = FieldText(d + 8, 16);
  int delivered = 0;
  for (const auto& local : locals) {
    if (local != target) continue;
    StLprDeviceInfo info;
    if (!ParseScanReply(d, &info)) continue;
    Deliver(kNotifyFound, new (std::nothrow) StLprDeviceInfo(info));
    ++delivered;
  }
  return delivered;
}

}  // namespace nardix

using namespace nardix;

extern "C" {

NARDIX_API int NARDIX_CALL LPR_ScanDevice(void) {
  if (!Global().m_bRunning.load()) return kNotRunning;
  const UdpChannelPtr ch = CurrentUdpChannel();
  if (!ch) return kOther;
  if (ch->m_hSocket == pf::INVALID_SOCKET) return kNoSocket;
  uint8_t p[kScanPacketSize];
  BuildScanPacket(p);
  for (const auto& local : pf::ListLocalIPv4()) {
    PutLocalAddress(p, local, false);
    pf::SendToFrom(ch->m_hSocket, p, sizeof p, 0xFFFFFFFFu, kDiscoveryPort, pf::InetAddr(local.c_str()));
  }
  WriteLog("扫描执行成功");
  return kOk;
}

NARDIX_API int NARDIX_CALL LPR_SetNetParams(StLprCameraHandle* handle, const StLprNetParams* current,
                                            const StLprNetParams* next) {
  if (!Global().m_bRunning.load()) return kNotRunning;
  if (!next || (!handle && !current)) return kBadArgument;
  char newIp[16];
  kit::CopyTextField(newIp, sizeof newIp, reinterpret_cast<const uint8_t*>(next->ip), sizeof next->ip);
  const std::vector<std::string> locals = pf::ListLocalIPv4();
  for (const auto& local : locals)
    if (local == newIp) return ERR_IP_CONFLICT;

  if (handle) {
    HandlePtr h = FindHandle(handle);
    if (!h) {
      WriteLog("TCP设置网络参数未找到设备");
      return kNoDevice;
    }
    if (!h->m_pControl) {
      WriteLog("TCP设置网络参数控制端未连接");
      return kNoControlChannel;
    }
    char mask[16], gateway[16];
    kit::CopyTextField(mask, sizeof mask, reinterpret_cast<const uint8_t*>(next->mask), sizeof next->mask);
    kit::CopyTextField(gateway, sizeof gateway, reinterpret_cast<const uint8_t*>(next->gateway),
                       sizeof next->gateway);
    uint8_t payload[24] = {};
    kit::WriteLE32(payload + 4, pf::InetAddr(newIp));
    kit::WriteLE32(payload + 12, pf::InetAddr(gateway));
    kit::WriteLE32(payload + 16, pf::InetAddr(mask));
    const StDictateItem item{0x80, 0x21, 1, payload, sizeof payload};
    pf::Lock request(h->m_csRequest);
    StReplySlot slot;
    slot.kind = ReplyKind::kNetParams;
    const int rc = Exchange(h.get(), slot, &item, 1, kReplyTimeoutMs);
    if (rc == kTimeout)
      WriteLog("TCP设置网络参数超时");
    else if (rc != kOk)
      WriteLog("TCP设置网络参数发送指令失败");
    else
      WriteLog("TCP设置网络参数成功");
    return rc;
  }

  const UdpChannelPtr ch = CurrentUdpChannel();
  if (!ch) return kOther;
  uint8_t p[kScanPacketSize];
  BuildSetPacket(p, *current, *next);
  for (const auto& local : locals) {
    PutLocalAddress(p, local, true);
    pf::SendToFrom(ch->m_hSocket, p, sizeof p, 0xFFFFFFFFu, kDiscoveryPort, pf::InetAddr(local.c_str()));
  }
  WriteLog("UDP设置网络参数成功");
  return kOk;
}

}  // extern "C"

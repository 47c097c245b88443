#include "discovery.h"

#include "info_channel.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "bytes.h"
#include "context.h"
#include "errors.h"
#include "info_channel.h"
#include "log.h"
#include "log_queue.h"
#include "message_wnd.h"
#include "platform/system.h"
#include "sockets.h"

namespace qelm {

using kit::StDeviceScanInfo;

namespace {

constexpr uint32_t kAllDevices = 0xFFFFFFFF;
constexpr uint32_t kBroadcast = 0xFFFFFFFF;  // 255.255.255.255
std::atomic<bool> g_failBroadcastSends{false};

StDeviceScanInfo CameraRequest() {
  StDeviceScanInfo r;
  r.addressA = kAllDevices;
  kit::SetTextField(r.senderTag, sizeof r.senderTag, "QV-IPNC");
  kit::SetTextField(r.deviceType, sizeof r.deviceType, "IPNC");
  r.net.version = kit::kScanVersion;
  return r;
}

// One request per local address; `fill` completes request i for address i.
template <class Fill>
std::vector<StDeviceScanInfo> BuildPerLocalAddress(Fill fill) {
  GetLocalIPList();
  const std::vector<std::string> local = LocalIPList();
  std::vector<StDeviceScanInfo> out;
  try {
    out.reserve(local.size());
    for (const auto& ip : local) {
      out.push_back(CameraRequest());
      fill(out.back(), pf::InetAddr(ip.c_str()));
    }
  } catch (const std::bad_alloc&) {
    out.clear();
  }
  return out;
}

enum class Broadcast { kNoChannel, kNoSocket, kNoPackets, kNoneSent, kSent };

// Builds the requests and sends each from the discovery socket to port 58588,
// then each again to 58589, every one with its own local address (the member
// `source` of the request) as source, so that every network of this PC is
// reached. The channel is held under m_csInfo while it is used, so a
// shut-down cannot free it meanwhile; the lock is not held while the address
// list is refilled. Failed sends leave their error numbers in `errors`.
template <class Build>
Broadcast BroadcastRequests(Build build, uint32_t StDeviceScanInfo::*source,
                            std::vector<int>* errors) {
  CForGlobal& g = Global();
  {
    pf::Lock lk(g.m_csInfo);
    if (!g.m_pCameraInfo) return Broadcast::kNoChannel;
    if (g.m_pCameraInfo->m_hSocket.load() == pf::INVALID_SOCKET) return Broadcast::kNoSocket;
  }
  const std::vector<StDeviceScanInfo> packets = build();
  if (packets.empty()) return Broadcast::kNoPackets;
  std::vector<uint8_t> wire(packets.size() * StDeviceScanInfo::kSize);
  for (size_t i = 0; i < packets.size(); ++i) packets[i].Write(&wire[i * StDeviceScanInfo::kSize]);

  pf::Lock lk(g.m_csInfo);
  if (!g.m_pCameraInfo) return Broadcast::kNoChannel;
  const pf::SOCKET s = g.m_pCameraInfo->m_hSocket.load();
  if (s == pf::INVALID_SOCKET) return Broadcast::kNoSocket;
  int sent = 0;
  for (const uint16_t port : {kit::kScanPort, kit::kScanPortAlt}) {
    for (size_t i = 0; i < packets.size(); ++i) {
      int n;
      if (g_failBroadcastSends.load()) {
        pf::WSASetLastError(pf::WSAENETUNREACH);
        n = pf::SOCKET_ERROR;
      } else {
        n = pf::SendToFrom(s, &wire[i * StDeviceScanInfo::kSize], StDeviceScanInfo::kSize,
                           kBroadcast, port, packets[i].*source);
      }
      if (n > 0)
        ++sent;
      else if (errors)
        errors->push_back(pf::WSAGetLastError());
    }
  }
  return sent > 0 ? Broadcast::kSent : Broadcast::kNoneSent;
}

}  // namespace

void test::FailBroadcastSends(bool on) { g_failBroadcastSends.store(on); }

std::vector<StDeviceScanInfo> BuildSearchPackets() {
  return BuildPerLocalAddress([](StDeviceScanInfo& r, uint32_t local) { r.addressB = local; });
}

std::vector<StDeviceScanInfo> BuildNetParamPackets(const StNetParams* params, uint32_t currentIp) {
  return BuildPerLocalAddress([&](StDeviceScanInfo& r, uint32_t local) {
    r.addressA = local;
    r.addressB = currentIp;
    r.command = kit::kScanSetNetwork;
    r.net.magic = kit::kNetInfoMagic;
    r.net.ip = params->ip;
    r.net.mask = params->mask;
    r.net.gateway = params->gateway;
  });
}

void FillCameraInfo(const StDeviceScanInfo& a, StCameraInfo* info) {
  kit::CopyFoundDevice(a, info);
  kit::ComposeVersionText(a, info->version, sizeof info->version);
  info->deviceValue1 = a.net.value1;
  info->deviceValue2 = a.net.value2;
  for (int i = 0; i < 5; ++i) info->deviceValue3to7[i] = a.net.value3to7[i];
  info->deviceValue8 = a.net.value8;
}

StInfoChannel* NewInfoChannel() {
  if (test::TakeChannelAllocFailure()) return nullptr;
  return new (std::nothrow) StInfoChannel;
}

void StopInfoChannel(StInfoChannel* ch) {
  if (!ch) return;
  ch->m_bStop.store(true);
  const pf::SOCKET s = ch->m_hSocket.load();
  if (s != pf::INVALID_SOCKET) pf::ShutdownSocket(s);
  ch->m_thread.Join();
  const pf::SOCKET left = ch->m_hSocket.exchange(pf::INVALID_SOCKET);
  if (left != pf::INVALID_SOCKET) pf::CloseSocket(left);
  delete ch;
}

void InfoRecvThread(StInfoChannel* ch) {
  if (!ch) return;
  const pf::SOCKET s = ch->m_hSocket.load();
  if (s == pf::INVALID_SOCKET) return;
  CForGlobal& g = Global();
  const StRecvState::Handler handler = [ch](std::vector<uint8_t>& frame) {
    if (ch->m_mode == 1)
      HandleSearchAnswer(ch, frame);
    else
      HandleCameraInfoReply(ch, frame);
  };
  while (g.m_bRunning.load() && !ch->m_bStop.load()) {
    if (ch->m_mode == 0 && !pf::WaitReadableUntil(s, ch->m_recv.DeadlineMs())) {
      ch->m_recv.Expire(pf::MonotonicMs(), handler);
      continue;
    }
    const int n = pf::Recv(s, ch->m_recv.RecvPtr(), ch->m_recv.RecvSpace());
    if (ch->m_bStop.load() || !g.m_bRunning.load()) break;
    if (n > 0) {
      ch->m_recv.Feed(static_cast<size_t>(n), handler, pf::MonotonicMs());
      // A datagram is a whole message: a record one leaves unfinished (cut
      // short, or forged by any host) is bad at its end, and must not swallow
      // the next camera's answer.
      if (ch->m_mode == 1) ch->m_recv.Finish(handler);
      continue;
    }
    if (ch->m_mode == 1) {
      // Any host can send an empty datagram, and a UDP socket reports
      // transient errors: neither ends discovery, only the library's stop does.
      if (n < 0) {
        WriteLog("UDP网络异常");
        LogSocketError();
        pf::WaitReadable(s, 100);
      }
      continue;
    }
    WriteLog("UDP网络异常");
    LogSocketError();
    break;
  }
  if (ch->m_mode == 0) {
    // An information connection belongs to its thread: the export only shuts
    // it down, the thread closes it once it has let go.
    pf::Lock lk(ch->m_csData);
    const pf::SOCKET left = ch->m_hSocket.exchange(pf::INVALID_SOCKET);
    if (left != pf::INVALID_SOCKET) pf::CloseSocket(left);
  }
}

void HandleSearchAnswer(StInfoChannel*, std::vector<uint8_t>& frame) {
  if (frame.size() < StDeviceScanInfo::kSize) {
    WriteLogF("处理UDP数据，实际长度是%d,StDeviceScanInfo的size是%d，不相同",
              static_cast<int>(frame.size()), static_cast<int>(StDeviceScanInfo::kSize));
    return;
  }
  const StDeviceScanInfo a = StDeviceScanInfo::Read(frame.data());
  if (a.replyCode != kit::kScanReplyCode) {
    WriteLogF("处理UDP数据，反馈码0x%08X不正确", a.replyCode);
    return;
  }
  // Controller boxes answer on the same ports; their answers are the box
  // library's.
  if (kit::IsBoxDeviceType(a)) return;
  if (a.head != kit::kScanHead || a.tail != kit::kScanTail || (a.command & 0xFFFF) != 0) return;

  // Only an answer to this host's own search: address A names one of its
  // addresses (the list holds each once).
  const std::string asked = pf::InetNtoa(a.addressA);
  int matches = 0;
  {
    CForGlobal& g = Global();
    pf::Lock lk(g.m_csLocalIP);
    for (const auto& ip : g.m_arrLocalIP)
      if (ip == asked) ++matches;
  }
  for (int i = 0; i < matches; ++i) {
    CMessageWnd* window = MessageWnd();
    if (!window) return;
    auto* info = new (std::nothrow) StCameraInfo();  // zeroed
    if (!info) return;
    FillCameraInfo(a, info);
    PostRecord(window, WM_DEVICE_FOUND, 0, info);
  }
}

}  // namespace qelm

using namespace qelm;

namespace {

void LogSocketErrors(const std::vector<int>& errors) {
  for (const int e : errors) WriteLog(kit::SocketErrorText(e));
}

// Result of a broadcast set-network or restart request.
int SettingResult(Broadcast outcome, const char* noneSentLine) {
  switch (outcome) {
    case Broadcast::kNoChannel:
    case Broadcast::kNoSocket:
      return ERR_NOT_INIT;
    case Broadcast::kNoPackets:
      WriteLog("设置网络信息，生成设置命令失败");
      return ERR_SEARCH_CMD;
    case Broadcast::kNoneSent:
      WriteLog(noneSentLine);
      return ERR_SEND;
    case Broadcast::kSent:
      break;
  }
  return ERR_SUCCESS;
}

}  // namespace

extern "C" {

QELM_API int QELM_CALL Qelm_SearchCamera(void) {
  std::vector<int> errors;
  switch (BroadcastRequests(BuildSearchPackets, &StDeviceScanInfo::addressB, &errors)) {
    case Broadcast::kNoChannel:
      WriteLog("搜索相机时，CForGlobal::m_pCameraInfo 为NULL");
      return ERR_SEARCH_HANDLE_NULL;
    case Broadcast::kNoSocket:
      WriteLog("搜索相机时，CForGlobal::m_pCameraInfo 中的socket为NULL");
      return ERR_SOCKET_NULL;
    case Broadcast::kNoPackets:
      WriteLog("搜索相机时，生成搜索命令失败");
      return ERR_BUILD_CMD;
    case Broadcast::kNoneSent:
      LogSocketErrors(errors);
      WriteLog("搜索相机时，发送搜索命令失败");
      return ERR_SEARCH_SEND;
    case Broadcast::kSent:
      break;
  }
  LogSocketErrors(errors);
  WriteLog("搜索相机执行成功");
  return ERR_SUCCESS;
}

QELM_API int QELM_CALL Qelm_SetCameraNetParams(uint32_t ip, const StNetParams* params,
                                               int broadcast) {
  if (ip == 0 || !params || params->ip == 0) return ERR_PARAM;
  // Without broadcast the network values go over the device's information
  // port, not awaited.
  if ((broadcast & 0xFF) == 0) return SendInfoRequest(ip, kInfoNetValues, 0, params);
  const auto build = [&] { return BuildNetParamPackets(params, ip); };
  return SettingResult(BroadcastRequests(build, &StDeviceScanInfo::addressA, nullptr),
                       "设置网络信息，UDP广播失败");
}

QELM_API int QELM_CALL Qelm_UDPReset(uint32_t ip) {
  if (ip == 0) return ERR_PARAM;
  const auto build = [ip] {
    std::vector<StDeviceScanInfo> packets = BuildSearchPackets();
    for (auto& r : packets) {
      r.addressA = r.addressB;  // the sending local address
      r.addressB = ip;
      r.command = kit::kScanReset;
    }
    return packets;
  };
  return SettingResult(BroadcastRequests(build, &StDeviceScanInfo::addressA, nullptr),
                       "UDP指定复位失败");
}

}  // extern "C"

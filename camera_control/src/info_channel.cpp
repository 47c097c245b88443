#include "info_channel.h"

#include <atomic>
#include <cstring>
#include <list>
#include <memory>

#include "bytes.h"
#include "context.h"
#include "discovery.h"
#include "errors.h"
#include "frame.h"
#include "log.h"
#include "sockets.h"

namespace qelm {

namespace {

using ChannelPtr = std::shared_ptr<StInfoChannel>;

std::atomic<int> g_unawaitedLifeMs{5000};

// Information connections still open, so that shut-down can stop and join
// their threads. A channel is owned jointly by its export and its thread:
// whichever lets go last frees it.
struct LiveChannels {
  pf::CriticalSection cs;
  std::list<ChannelPtr> list;
};
LiveChannels& Live() {
  static LiveChannels* live = new LiveChannels;  // never destroyed, on purpose
  return *live;
}

// The requests waiting for their answer, so that a shut-down can end their
// waits (their channels' threads may have ended already).
struct WaitingRequests {
  pf::CriticalSection cs;
  std::list<StInfoChannel*> list;
};
WaitingRequests& Waiting() {
  static WaitingRequests* waiting = new WaitingRequests;  // never destroyed, on purpose
  return *waiting;
}

// Waits for the channel's answer, listed among the waiting requests meanwhile.
bool WaitForAnswer(StInfoChannel* ch, int timeoutMs, const QuitWatch& quit) {
  WaitingRequests& w = Waiting();
  std::list<StInfoChannel*>::iterator at;
  {
    pf::Lock lk(w.cs);
    at = w.list.insert(w.list.end(), ch);
  }
  const bool answered = WaitUnlessQuit(ch->m_evReply, timeoutMs, quit);
  pf::Lock lk(w.cs);
  w.list.erase(at);
  return answered;
}

void AppendItem(std::vector<uint8_t>& f, uint32_t code, uint32_t number, const void* data, uint32_t len) {
  const size_t at = f.size();
  f.resize(at + StCommandItem::kSize + len, 0);
  uint8_t* p = f.data() + at;
  kit::WriteLE32(p + 0, kInfoItemMagic);
  kit::WriteLE32(p + 4, code);
  kit::WriteLE32(p + 8, number);
  kit::WriteLE32(p + 12, 0);
  kit::WriteLE32(p + 16, len);
  if (len && data) memcpy(p + StCommandItem::kSize, data, len);
}

// A user text as sent: the text (at most 63 characters, never read beyond its
// 64-byte field), its terminator and zero padding; the length is the text
// length plus one rounded down to a multiple of 4, plus 4.
std::vector<uint8_t> UserTextData(const char* field) {
  const size_t n = strnlen(field, 63);
  std::vector<uint8_t> data((n + 1) / 4 * 4 + 4, 0);
  memcpy(data.data(), field, n);
  return data;
}

ChannelPtr NewRequestChannel(pf::SOCKET s) {
  StInfoChannel* raw = NewInfoChannel();
  if (!raw) return nullptr;
  raw->m_hSocket.store(s);
  raw->m_mode = 0;
  return ChannelPtr(raw);
}

bool StartRequestThread(const ChannelPtr& ch) {
  LiveChannels& live = Live();
  pf::Lock lk(live.cs);  // the thread cannot leave the list before it is in it
  const bool started = ch->m_thread.Start([ch] {
    InfoRecvThread(ch.get());
    LiveChannels& l = Live();
    pf::Lock lock(l.cs);
    l.list.remove(ch);
  });
  if (started) live.list.push_back(ch);
  return started;
}

// Ends the connection: the thread's receive returns and the thread closes it.
void ShutdownChannel(StInfoChannel* ch) {
  ch->m_bStop.store(true);
  pf::Lock lk(ch->m_csData);
  const pf::SOCKET s = ch->m_hSocket.load();
  if (s != pf::INVALID_SOCKET) pf::ShutdownSocket(s);
}

}  // namespace

void test::SetUnawaitedLifeMs(int ms) { g_unawaitedLifeMs.store(ms); }

std::vector<uint8_t> BuildInfoFrame(const void* record, bool write, int mode, bool secondSet) {
  std::vector<uint8_t> f(StCommandHead::kSize, 0);
  uint32_t count = 0;
  auto item = [&](uint32_t code, uint32_t number, const void* data, uint32_t len) {
    AppendItem(f, code, number, data, len);
    ++count;
  };
  if (!write) {
    const uint32_t codes[] = {kInfoIp, kInfoMask, kInfoGateway, kInfoSerial, kInfoMac};
    for (uint32_t i = 0; i < 5; ++i) item(codes[i], i, nullptr, 0);
    for (uint32_t i = 0; i < 4; ++i) item(kInfoUserText0 + (i << 16), i, nullptr, 0);
  } else {
    if (!record) return {};
    const uint8_t* r = static_cast<const uint8_t*>(record);
    switch (mode) {
      case kInfoNetValues:
        item(kInfoIp, 0, r + 0, 4);
        item(kInfoMask, 1, r + 4, 4);
        item(kInfoGateway, 2, r + 8, 4);
        item(kInfoApplyNet, 3, nullptr, 0);
        break;
      case kInfoUserTexts:
        for (uint32_t i = 0; i < 4; ++i) {
          const auto data = UserTextData(reinterpret_cast<const char*>(r) + 64 * i);
          item(kInfoUserText0 + (i << 16), i, data.data(), static_cast<uint32_t>(data.size()));
        }
        item(kInfoApplyUserTexts, 4, nullptr, 0);
        break;
      case kInfoFactory: {
        const auto* fi = static_cast<const StDeviceFactoryInfo*>(record);
        uint8_t mac[8] = {};
        memcpy(mac, fi->mac, 6);
        item(secondSet ? kInfoSerial2 : kInfoSerial, 0, fi->serial, 32);
        item(secondSet ? kInfoMac2 : kInfoMac, 1, mac, 8);
        item(secondSet ? kInfoApplyFactory2 : kInfoApplyFactory, 2, nullptr, 0);
        break;
      }
      default:
        return {};
    }
  }
  f.resize(f.size() + kTailSize);
  kit::WriteLE32(f.data() + f.size() - kTailSize, kFrameTail);
  StCommandHead h;
  h.length = static_cast<uint32_t>(f.size());
  h.ns = 2;
  h.cls = write ? 3 : 2;
  h.count = count;
  h.Write(f.data());
  return f;
}

bool SendNetParamCommand(const void* record, StInfoChannel* ch, bool write, int mode, bool secondSet) {
  const std::vector<uint8_t> f = BuildInfoFrame(record, write, mode, secondSet);
  if (f.empty() || !ch) return false;
  // Under the channel's lock: the thread cannot close the socket meanwhile.
  pf::Lock lk(ch->m_csData);
  const pf::SOCKET s = ch->m_hSocket.load();
  if (ch->m_sentAt == UINT64_MAX) ch->m_sentAt = ch->m_recv.Taken();
  return s != pf::INVALID_SOCKET && pf::Send(s, f.data(), f.size()) > 0;
}

void HandleCameraInfoReply(StInfoChannel* ch, std::vector<uint8_t>& frame) {
  {
    pf::Lock lk(ch->m_csData);
    // What came before the request went out answers nothing.
    if (ch->m_recv.FrameStart() < ch->m_sentAt) return;
    StCameraInfo& info = ch->m_info;
    ItemWalker walk(frame.data(), frame.size());
    ItemView it;
    while (walk.Next(&it)) {
      const uint32_t code = it.head.code;
      const uint32_t len = it.head.length;
      auto word = [&](uint32_t* dst) {
        if (len >= 4) *dst = kit::ReadLE32(it.data);
      };
      auto text = [&](char* dst, uint32_t limit) {
        if (len <= limit) memcpy(dst, it.data, len);  // as received, no terminator added
      };
      if (code == kInfoIp) {
        word(&info.ip);
      } else if (code == kInfoMask) {
        word(&info.mask);
      } else if (code == kInfoGateway) {
        word(&info.gateway);
      } else if (code == kInfoSerial) {
        text(info.factory.serial, sizeof info.factory.serial);
      } else if (code == kInfoMac) {
        if (len >= 6) memcpy(info.factory.mac, it.data, 6);
      } else if (code == kInfoVersion) {
        text(info.version, sizeof info.version);
      } else if ((code & 0xFF00FFFF) == kInfoUserText0 && ((code >> 16) & 0xFF) < 4) {
        text(info.userText[(code >> 16) & 0xFF], 64);
      }
    }
  }
  ch->m_evReply.Set();
}

int SendInfoRequest(uint32_t ip, int mode, int timeoutMs, const void* record) {
  if (ip == 0 || !record) return ERR_PARAM;
  const QuitWatch quit;
  const pf::SOCKET s = CreateSocket(kInfoPort, ip, false);
  if (s == pf::INVALID_SOCKET) return 2;
  ChannelPtr ch = NewRequestChannel(s);
  if (!ch) {
    pf::CloseSocket(s);
    return 100;
  }
  if (mode == kInfoNetValues) pf::SetRecvTimeout(s, g_unawaitedLifeMs.load());
  if (!StartRequestThread(ch)) {
    LogSystemError();
    ch->m_hSocket.store(pf::INVALID_SOCKET);
    pf::CloseSocket(s);
    return 3;
  }
  bool sent;
  if (mode == kInfoFactory) {
    SendNetParamCommand(record, ch.get(), true, mode, false);  // only the second send decides
    sent = SendNetParamCommand(record, ch.get(), true, mode, true);
  } else {
    sent = SendNetParamCommand(record, ch.get(), true, mode, false);
  }
  if (!sent) {
    ShutdownChannel(ch.get());
    return 6;
  }
  // Network values are not awaited: the device may already be moving to its
  // new address. The connection ends when the device closes it or its life runs out.
  if (mode == kInfoNetValues) return 0;
  const bool answered = WaitForAnswer(ch.get(), timeoutMs, quit);
  ShutdownChannel(ch.get());
  return answered ? 0 : 209;
}

void WakeInfoRequests() {
  WaitingRequests& w = Waiting();
  pf::Lock lk(w.cs);
  for (StInfoChannel* ch : w.list) ch->m_evReply.Set();
}

void StopAllInfoRequests() {
  std::list<ChannelPtr> all;
  {
    LiveChannels& live = Live();
    pf::Lock lk(live.cs);
    all = live.list;
  }
  for (auto& ch : all) {
    ShutdownChannel(ch.get());
    ch->m_thread.Join();
  }
}

}  // namespace qelm

using namespace qelm;

extern "C" {

QELM_API int QELM_CALL Qelm_GetCameraInfo(uint32_t ip, StCameraInfo* info, int timeoutMs) {
  if (ip == 0 || !info) {
    WriteLog("获取相机信息，参数错误");
    return 1;
  }
  const QuitWatch quit;
  const pf::SOCKET s = CreateSocket(kInfoPort, ip, false);
  if (s == pf::INVALID_SOCKET) {
    WriteLog("获取相机信息，生成SOCKET失败");
    return 2;
  }
  ChannelPtr ch = NewRequestChannel(s);
  if (!ch) {
    WriteLog("获取相机信息，分配内存错误");
    pf::CloseSocket(s);
    return 100;
  }
  if (!StartRequestThread(ch)) {
    WriteLog("获取相机信息，启用UDP线程失败");
    LogSystemError();
    ch->m_hSocket.store(pf::INVALID_SOCKET);
    pf::CloseSocket(s);
    return 3;
  }
  if (!SendNetParamCommand(nullptr, ch.get(), false, 0, false)) {
    WriteLog("获取相机信息，组织发送命令失败");
    ShutdownChannel(ch.get());
    return 100;
  }
  if (!WaitForAnswer(ch.get(), timeoutMs, quit)) {
    ShutdownChannel(ch.get());
    WriteLog("获取相机信息，超时");
    return 209;
  }
  {
    pf::Lock lk(ch->m_csData);
    *info = ch->m_info;
  }
  ShutdownChannel(ch.get());
  WriteLog("获取相机信息成功");
  return 0;
}

QELM_API int QELM_CALL Qelm_SetCameraUserInfo(uint32_t ip, const char* texts, int timeoutMs) {
  return SendInfoRequest(ip, kInfoUserTexts, timeoutMs, texts);
}

QELM_API int QELM_CALL Qelm_SetFactoryInfo(uint32_t ip, const StDeviceFactoryInfo* info, int timeoutMs) {
  if (!info) return 1;
  return SendInfoRequest(ip, kInfoFactory, timeoutMs, info);
}

}  // extern "C"

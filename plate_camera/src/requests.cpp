// Requests to a camera over its control channel, and the heartbeat thread.
#include <chrono>
#include <cstring>
#include <list>
#include <thread>

#include "bytes.h"
#include "codes.h"
#include "context.h"
#include "dictate.h"
#include "handle.h"
#include "heartbeat.h"
#include "log.h"
#include "platform/system.h"

namespace nardix {

namespace {

constexpr int kCapturePolls = 50;
constexpr int kCapturePollMs = 20;

std::atomic<int> g_tickMs{200};
std::atomic<int> g_heartbeatTicks{102};
std::atomic<int> g_clockTicks{9002};

// Looks the handle up for a request: 2 not running, 8 not listed, 11 no
// control channel.
int FindForRequest(StLprCameraHandle* raw, HandlePtr* out) {
  if (!Global().m_bRunning.load()) return kNotRunning;
  HandlePtr h = FindHandle(raw);
  if (!h) return kNoDevice;
  if (!h->m_pControl) return kNoControlChannel;
  *out = std::move(h);
  return kOk;
}

std::list<HandlePtr> Cameras() {
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csCamera);
  return g.m_listCamera;
}

void HeartbeatThread(StHeartbeat* hb) {
  CForGlobal& g = Global();
  auto pause = [&] {
    hb->wake.Wait(g_tickMs.load());
    return !hb->stop.load() && g.m_bRunning.load();
  };
  if (!pause()) return;
  int beats = 0;
  int clocks = 0;
  while (pause()) {
    if (++beats >= g_heartbeatTicks.load()) {
      beats = 0;
      const StDictateItem beat{0x00, 0x00, 0, nullptr, 0};
      for (const auto& h : Cameras()) SendDictate(h.get(), &beat, 1, true);
    } else if (++clocks >= g_clockTicks.load()) {
      clocks = 0;
      for (const auto& h : Cameras()) SendClock(h.get(), 0);
    }
  }
}

}  // namespace

// The slot is in place, and empty, before the frame goes out, and out of reach
// once this returns: a reply that comes late completes nothing.
int Exchange(StLprCameraHandle* h, StReplySlot& slot, const StDictateItem* items, int count, int timeoutMs) {
  {
    pf::Lock lk(h->m_csReply);
    slot.done = false;
    // Noted before the frame goes out: its reply can only be received later.
    StLprControlChannel* c = h->m_pControl.get();
    slot.sendNo = c ? c->m_recv.NoteSend() : 0;
    h->m_pSlot = &slot;
    h->m_evReply.Reset();
  }
  const int sent = SendDictate(h, items, count, false);
  if (sent == kOk && !h->m_bStop.load()) h->m_evReply.Wait(timeoutMs);
  pf::Lock lk(h->m_csReply);
  h->m_pSlot = nullptr;
  if (sent != kOk) return sent;
  return slot.done ? kOk : kTimeout;
}

void test::SetHeartbeatTiming(int tickMs, int heartbeatTicks, int clockTicks) {
  g_tickMs.store(tickMs);
  g_heartbeatTicks.store(heartbeatTicks);
  g_clockTicks.store(clockTicks);
}

std::shared_ptr<StHeartbeat> StartHeartbeat() {
  auto hb = std::make_shared<StHeartbeat>();
  StHeartbeat* raw = hb.get();
  if (!hb->thread.Start([raw] { HeartbeatThread(raw); })) return nullptr;
  return hb;
}

void StopHeartbeat(const std::shared_ptr<StHeartbeat>& hb) {
  if (!hb) return;
  hb->stop.store(true);
  hb->wake.Set();
  hb->thread.Join();
}

}  // namespace nardix

using namespace nardix;

extern "C" {

NARDIX_API int NARDIX_CALL LPR_Capture(StLprCameraHandle* handle) {
  WriteLog("start LPR_Capture");
  if (!Global().m_bRunning.load()) return kNotRunning;
  WriteLogF("LPR_Capture pHandle = 0x%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)));
  HandlePtr h = FindHandle(handle);
  WriteLogF("find device = %d", h ? 1 : 0);
  if (!h) return kNoDevice;
  WriteLog("LPR_Capture  start (*posData)->m_pControl == NULL");
  if (!h->m_pControl) return kNoControlChannel;
  WriteLog("LPR_Capture  end (*posData)->m_pControl == NULL");
  const StDictateItem item{0x80, 0x00, 0, nullptr, 0};
  return SendDictate(h.get(), &item, 1, false);
}

NARDIX_API int NARDIX_CALL LPR_CaptureEx(StLprCameraHandle* handle, int) {
  HandlePtr h;
  if (const int rc = FindForRequest(handle, &h)) return rc;
  // Only a result whose first bytes arrived after the capture went out
  // answers it.
  const uint64_t sendNo = h->m_recv.NoteSend();
  h->m_bResultReady.store(0);
  const StDictateItem item{0x80, 0x00, 0, nullptr, 0};
  if (const int rc = SendDictate(h.get(), &item, 1, false)) return rc;
  for (int i = 0; i < kCapturePolls; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kCapturePollMs));
    if (h->m_bResultReady.load() && h->m_nResultSends.load() >= sendNo) return kOk;
  }
  return kNoResult;
}

NARDIX_API int NARDIX_CALL LPR_AdjustTime(StLprCameraHandle* handle, int64_t time) {
  HandlePtr h;
  if (const int rc = FindForRequest(handle, &h)) return rc;
  return SendClock(h.get(), time);
}

NARDIX_API int NARDIX_CALL LPR_NTPEnable(StLprCameraHandle* handle, int on, const char* serverIp) {
  const bool enable = (on & 0xFF) != 0;
  if (enable && !serverIp) return kBadArgument;
  HandlePtr h;
  if (const int rc = FindForRequest(handle, &h)) return rc;
  uint8_t server[4];
  kit::WriteLE32(server, pf::InetAddr(serverIp ? serverIp : ""));
  const uint8_t mode[4] = {2, 0, 0, 0};
  const uint8_t one = 1;
  const StDictateItem onItems[3] = {
      {0x00, 0x20, 1, server, 4}, {0x00, 0x21, 1, mode, 4}, {0x00, 0x1F, 1, &one, 1}};
  const StDictateItem offItem{0x00, 0x1F, 1, nullptr, 0};
  pf::Lock request(h->m_csRequest);
  StReplySlot slot;
  slot.kind = ReplyKind::kNtp;
  return enable ? Exchange(h.get(), slot, onItems, 3, kReplyTimeoutMs)
                : Exchange(h.get(), slot, &offItem, 1, kReplyTimeoutMs);
}

NARDIX_API int NARDIX_CALL LPR_GetAllVersion(StLprCameraHandle* handle, StLprVersionInfo* info) {
  if (!info) return kBadArgument;
  HandlePtr h;
  if (const int rc = FindForRequest(handle, &h)) return rc;
  static const uint8_t kItems[5] = {0, 3, 1, 2, 5};
  StDictateItem items[5];
  for (int i = 0; i < 5; ++i) items[i] = StDictateItem{0x00, 0x04, 0, &kItems[i], 1};
  pf::Lock request(h->m_csRequest);
  {
    pf::Lock lk(h->m_csReply);
    memset(h->m_szVersion, 0, sizeof h->m_szVersion);
  }
  StReplySlot slot;
  slot.kind = ReplyKind::kVersion;
  const int rc = Exchange(h.get(), slot, items, 5, kReplyTimeoutMs);
  if (rc != kOk) return rc;
  pf::Lock lk(h->m_csReply);
  memcpy(info->version, h->m_szVersion, sizeof info->version);
  return kOk;
}

NARDIX_API int NARDIX_CALL LPR_GetShutterValue(StLprCameraHandle* handle, int* value) {
  if (!value) return kBadArgument;
  HandlePtr h;
  if (const int rc = FindForRequest(handle, &h)) return rc;
  const uint8_t zero = 0;
  const StDictateItem item{0x20, 0x0B, 0, &zero, 1};
  pf::Lock request(h->m_csRequest);
  StReplySlot slot;
  slot.kind = ReplyKind::kShutterGet;
  const int rc = Exchange(h.get(), slot, &item, 1, kReplyTimeoutMs);
  if (rc != kOk) return rc;
  pf::Lock lk(h->m_csReply);
  *value = h->m_nShutter;
  return kOk;
}

NARDIX_API int NARDIX_CALL LPR_SetShutterValue(StLprCameraHandle* handle, int value) {
  HandlePtr h;
  if (const int rc = FindForRequest(handle, &h)) return rc;
  const uint8_t shutter[2] = {0, static_cast<uint8_t>(value & 0xFF)};
  const uint8_t one = 1;
  const StDictateItem items[2] = {{0x20, 0x0B, 1, shutter, 2}, {0x60, 0x0A, 1, &one, 1}};
  pf::Lock request(h->m_csRequest);
  StReplySlot slot;
  slot.kind = ReplyKind::kShutterSet;
  const int rc = Exchange(h.get(), slot, items, 2, kReplyTimeoutMs);
  if (rc != kOk) return rc;
  const StDictateItem apply{0x80, 0x0C, 1, nullptr, 0};
  SendDictate(h.get(), &apply, 1, false);
  return kOk;
}

NARDIX_API int NARDIX_CALL LPR_SetWorkMode(StLprCameraHandle* handle, int mode) {
  HandlePtr h;
  if (const int rc = FindForRequest(handle, &h)) return rc;
  const uint8_t m = static_cast<uint8_t>(mode & 0xFF);
  const StDictateItem item{0x00, 0x1E, 1, &m, 1};
  pf::Lock request(h->m_csRequest);
  StReplySlot slot;
  slot.kind = ReplyKind::kWorkMode;
  return Exchange(h.get(), slot, &item, 1, kReplyTimeoutMs);
}

NARDIX_API int NARDIX_CALL LPR_ControlParams(StLprCameraHandle* handle, StLprControlParams* params,
                                             int timeoutMs) {
  if (!Global().m_bRunning.load()) return kNotRunning;
  if (!params) return kBadArgument;
  // The data field holds 512 bytes; a longer length would send what lies beyond it.
  if (params->length > sizeof params->data) return kBadArgument;
  HandlePtr h;
  if (const int rc = FindForRequest(handle, &h)) return rc;
  uint8_t payload[1 + sizeof params->data];
  uint16_t len = 0;
  if (params->hasPrefix) payload[len++] = params->prefix;
  memcpy(payload + len, params->data, params->length);
  len = static_cast<uint16_t>(len + params->length);
  const StDictateItem item{params->type, params->code, params->direction, payload, len};
  pf::Lock request(h->m_csRequest);
  StReplySlot slot;
  slot.kind = ReplyKind::kRaw;
  slot.type = params->type;
  slot.code = params->code;
  const int rc = Exchange(h.get(), slot, &item, 1, timeoutMs);
  if (rc != kOk || params->direction != 0) return rc;
  memset(params->data, 0, sizeof params->data);
  const uint32_t held = slot.rawLen < kRawReplySize ? slot.rawLen : kRawReplySize;
  uint32_t count = 0;
  if (params->hasPrefix) {
    // The reply repeats the prefix byte first; the data is what follows.
    count = held > 0 ? held - 1 : 0;
    if (count > kRawReplySize - 1) count = kRawReplySize - 1;
    memcpy(params->data, slot.raw + 1, count);
  } else {
    count = held;
    memcpy(params->data, slot.raw, count);
  }
  params->length = static_cast<uint16_t>(count);
  return kOk;
}

NARDIX_API int NARDIX_CALL LPR_GetAlgParams(StLprCameraHandle* handle, StLprAlgParams* params, int timeoutMs) {
  if (!Global().m_bRunning.load()) return kNotRunning;
  if (!params) return kBadArgument;
  HandlePtr h;
  if (const int rc = FindForRequest(handle, &h)) return rc;
  const StDictateItem item{0x00, 0x1A, 0, nullptr, 0};
  pf::Lock request(h->m_csRequest);
  StReplySlot slot;
  slot.kind = ReplyKind::kRaw;
  slot.type = 0x00;
  slot.code = 0x1A;
  const int rc = Exchange(h.get(), slot, &item, 1, timeoutMs);
  if (rc != kOk) return rc;
  // Bytes beyond the reply's payload read as 0 (the slot is zeroed).
  const uint8_t* p = slot.raw;
  params->value0 = static_cast<int32_t>(kit::ReadLE32(p + 4));
  params->value1 = kit::ReadLE16(p + 12);
  params->value2 = kit::ReadLE16(p + 20);
  params->value3 = kit::ReadLE16(p + 16);
  params->value4 = kit::ReadLE16(p + 24);
  params->value5 = static_cast<int32_t>(kit::ReadLE32(p + 32));
  params->flag = p[36] != 0 ? 1 : 0;
  return kOk;
}

}  // extern "C"

// Command frames, the control channel's thread with its reconnection, the
// reply stream parser and the dispatch of replies into the camera handle.
#include <cstring>
#include <ctime>
#include <functional>

#include "bytes.h"
#include "codes.h"
#include "dictate.h"
#include "handle.h"
#include "log.h"
#include "message_wnd.h"
#include "platform/system.h"
#include "sockets.h"

namespace nardix {

namespace {

constexpr int kReconnectTicks = 12;

uint8_t Sum8(const uint8_t* p, size_t n) {
  uint8_t s = 0;
  for (size_t i = 0; i < n; ++i) s = static_cast<uint8_t>(s + p[i]);
  return s;
}

// Head, sequence, type, code and the length pair; the shortest reply adds
// its checksum and tail.
constexpr uint32_t kReplyHeadSize = 12;
constexpr uint32_t kMinReplyFrame = kReplyHeadSize + 1 + 4;

// Size of the reply a head announces (two equal lengths below the limit), 0
// when its length pair is broken.
uint32_t ReplyFrameAt(const uint8_t* f) {
  const uint32_t a = kit::ReadLE16(f + 8);
  const uint32_t b = kit::ReadLE16(f + 10);
  return a == b && a + 1 < kReplyPayloadLimit ? kMinReplyFrame + a : 0;
}

// Index of a version item's text, or -1 for items that are not kept.
int VersionSlot(uint8_t item) {
  switch (item) {
    case 0: case 1: case 2: case 3: return item;
    case 5: return 4;
    default: return -1;
  }
}

// Type 0x00 replies. Returns true when the camera reported a reset.
bool DispatchParamReply(StLprCameraHandle* h, StReplySlot* slot, bool stale, uint8_t code,
                        const uint8_t* payload, uint32_t n, const std::function<void()>& complete) {
  switch (code) {
    case 0x00:
      return n >= 1 && payload[0] == 1;
    case 0x04: {
      if (n < 1) return false;
      const int at = VersionSlot(payload[0]);
      // Texts of a reply from before the versions were asked for stay out.
      if (at < 0 || stale) return false;
      memset(h->m_szVersion[at], 0, kVersionSize);
      kit::CopyTextField(h->m_szVersion[at], kVersionSize, payload + 1, n - 1);
      if (payload[0] == 5 && slot && slot->kind == ReplyKind::kVersion) complete();
      return false;
    }
    case 0x1E:
    case 0x1F: {
      const ReplyKind want = code == 0x1E ? ReplyKind::kWorkMode : ReplyKind::kNtp;
      if (slot && slot->kind == want && n >= 1 && payload[0] == 0xBB) complete();
      return false;
    }
    default:
      return false;
  }
}

}  // namespace

bool CreateDictate(StLprCameraHandle* h, const StDictateItem* items, int count, uint8_t* out,
                   uint32_t* outLen) {
  size_t pos = 0;
  h->m_nSeq.store(0);
  for (int i = 0; i < count; ++i) {
    const StDictateItem& it = items[i];
    if (it.length && !it.payload) return false;
    if (pos + kDictateItemOverhead + it.length > kDictateBufferSize) return false;
    uint8_t* p = out + pos;
    p[0] = 0xAA;
    p[1] = 0x55;
    kit::WriteLE32(p + 2, h->m_nSeq.load());
    p[6] = it.type;
    p[7] = it.code;
    kit::WriteLE16(p + 8, it.length);
    p[10] = it.direction;
    if (it.length) memcpy(p + 11, it.payload, it.length);
    p[11 + it.length] = Sum8(p + 11, it.length);
    kit::WriteLE32(p + 12 + it.length, kFrameTail);
    pos += kDictateItemOverhead + it.length;
  }
  *outLen = static_cast<uint32_t>(pos);
  return true;
}

int SendDictate(StLprCameraHandle* h, const StDictateItem* items, int count, bool broadcast) {
  uint8_t frame[kDictateBufferSize];
  uint32_t len = 0;
  WriteLog("start CreateDictate");
  if (!CreateDictate(h, items, count, frame, &len)) return kBuildFailed;
  WriteLog("end CreateDictate");
  StLprControlChannel* c = h->m_pControl.get();
  if (broadcast) {
    SendLocked(h->m_csSocket, h->m_hSocket, frame, len);
    if (c) SendLocked(c->m_csSocket, c->m_hSocket, frame, len);
    SendLocked(h->m_csSocket, h->m_hSocket, frame, len);
    return kOk;
  }
  WriteLog("start control send m_pControl");
  if (!c) return kNoControlChannel;
  WriteLog("start control send m_pControl socket");
  const pf::SOCKET s = c->m_hSocket.load();
  if (s == pf::INVALID_SOCKET) return kNoControlChannel;
  WriteLogF(
      "start control send m_pControl send m_pControl = 0x%08d , m_pControl->m_hSocket = %d,ucSendCmd = "
      "0x%08x,uiSendCmdLen = %d",
      static_cast<int>(reinterpret_cast<uintptr_t>(c)), s,
      static_cast<unsigned>(reinterpret_cast<uintptr_t>(frame)), static_cast<int>(len));
  if (SendLocked(c->m_csSocket, c->m_hSocket, frame, len) < 1) {
    WriteLog("send fail end");
    return kSendFailed;
  }
  WriteLog("send success end");
  return kOk;
}

void ClockPayload(int64_t time, uint8_t out[6]) {
  const time_t t = static_cast<time_t>(time ? time : pf::Now().sec);
  std::tm tm{};
  if (!localtime_r(&t, &tm)) {
    const uint8_t none[6] = {0, 0, 0, 0xFF, 0xFF, 0xFF};
    memcpy(out, none, sizeof none);
    return;
  }
  out[0] = static_cast<uint8_t>(tm.tm_year + 1900 - 2000);
  out[1] = static_cast<uint8_t>(tm.tm_mon + 1);
  out[2] = static_cast<uint8_t>(tm.tm_mday);
  out[3] = static_cast<uint8_t>(tm.tm_hour);
  out[4] = static_cast<uint8_t>(tm.tm_min);
  out[5] = static_cast<uint8_t>(tm.tm_sec);
}

int SendClock(StLprCameraHandle* h, int64_t time) {
  uint8_t clock[6];
  ClockPayload(time, clock);
  const StDictateItem item{0x20, 0x02, 1, clock, 6};
  return SendDictate(h, &item, 1, false);
}

void ControlChannelThread(const HandlePtr& hp) {
  StLprControlChannel* c = hp ? hp->m_pControl.get() : nullptr;
  if (!c) return;
  bool up = true;
  int ticks = 0;
  while (!c->m_bStop.load()) {
    const pf::SOCKET s = c->m_hSocket.load();
    if (up && s != pf::INVALID_SOCKET) {
      const int n = ReceiveAndParse(c, s, [c](int64_t now) { ParseControlStream(c, now); });
      if (n >= 1) continue;
      if (c->m_bStop.load()) break;
      up = false;
      ticks = 0;
      continue;
    }
    c->m_evStop.Wait(test::ReconnectTickMs());
    if (c->m_bStop.load()) break;
    if (++ticks < kReconnectTicks) continue;
    ticks = 0;
    c->m_bConnected.store(0);
    const int again = Reconnect(c->m_csSocket, c->m_hSocket, c->m_nIp, c->m_nPort, c->m_bStop);
    if (again < 0) break;
    if (again == 0) continue;
    // Bytes of the lost connection never continue a reply of the new one.
    RestartStream(c);
    c->m_bConnected.store(1);
    up = true;
    SendClock(hp.get(), 0);
  }
  CloseLocked(c->m_csSocket, c->m_hSocket);
}

void ParseReplyFrames(StLprControlChannel* c, int64_t nowMs) {
  StReplyParse& p = c->m_parse;
  StreamWindow& w = c->m_recv;
  w.Want(0);
  for (;;) {
    if (!p.headFound) {
      if (!w.SeekHead(2)) return;
      p.Start(w.ArrivedLatestMs());
    }
    // Head, sequence, type, code and the length pair come first.
    bool bad = false;
    if (w.Held() >= kReplyHeadSize) {
      const uint8_t* const f = w.Data();
      const uint32_t size = ReplyFrameAt(f);
      bad = size == 0;
      if (!bad && w.Held() >= size) {
        const uint32_t n = size - kMinReplyFrame;  // payload bytes before the checksum
        bad = kit::ReadLE32(f + size - 4) != kFrameTail || w.Sum(kReplyHeadSize, n) != f[kReplyHeadSize + n] ||
              c->m_owners.Shared(w, size, kMinReplyFrame, ReplyFrameAt);
        if (!bad) {
          // Sequence at 2, type and code at 6 and 7; payload and checksum from 12.
          if (c->m_pOwner)
            DispatchReply(c->m_pOwner, f + kReplyHeadSize, f[6], f[7], kit::ReadLE32(f + 2), n + 1,
                          w.SendsBefore());
          w.Take(size);
          p.Clear();
          continue;
        }
      }
    }
    if (!bad && !p.Expired(nowMs)) {
      if (w.Held() >= kReplyHeadSize) w.Want(p.size = ReplyFrameAt(w.Data()));
      return;
    }
    // A bad reply: nothing of it was used, and its bytes after the first are
    // searched again, so the replies among them are found.
    w.Take(1);
    p.Clear();
  }
}

void DispatchReply(StLprCameraHandle* h, const uint8_t* payload, uint8_t type, uint8_t code, uint32_t seq,
                   uint32_t total, uint64_t sendsBefore) {
  if (total < 1) return;
  const uint32_t n = total - 1;  // payload bytes before the checksum (checked by the parser)
  bool reset = false;
  {
    pf::Lock lk(h->m_csReply);
    StReplySlot* slot = h->m_pSlot;
    // A reply received before the waiting request went out answers an
    // earlier one (one that timed out, say): it never completes this one.
    const bool stale = slot && sendsBefore < slot->sendNo;
    if (slot && (slot->done || stale)) slot = nullptr;  // a reply completes a request once
    auto complete = [&] {
      slot->done = true;
      slot = nullptr;
      h->m_evReply.Set();
    };
    if (slot && slot->kind == ReplyKind::kRaw && seq == h->m_nSeq.load() && type == slot->type &&
        code == slot->code) {
      memset(slot->raw, 0, sizeof slot->raw);
      memcpy(slot->raw, payload, total < kRawReplySize ? total : kRawReplySize);
      slot->rawLen = static_cast<uint16_t>(n);
      complete();
    }
    switch (type) {
      case 0x00:
        reset = DispatchParamReply(h, slot, stale, code, payload, n, complete);
        break;
      case 0x20:
        if (code == 0x0B && slot && n >= 1 && payload[0] == 0) {
          if (slot->kind == ReplyKind::kShutterSet) {
            complete();
          } else if (slot->kind == ReplyKind::kShutterGet && n >= 2) {
            h->m_nShutter = payload[1];
            complete();
          }
        }
        break;
      case 0x80:
        if (code == 0x21 && slot && slot->kind == ReplyKind::kNetParams && n >= 1 && payload[0] == 0xBB)
          complete();
        break;
      default:
        break;
    }
  }
  // Reported outside the reply lock: a callback may make requests.
  if (reset) Deliver(kNotifyConnEvent, NewConnEvent(h, 4));
}

}  // namespace nardix

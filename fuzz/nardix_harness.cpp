#include "nardix_harness.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"

#include "context.h"
#include "discovery.h"
#include "result.h"

namespace nardixfuzz {

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

// What a delivered result carries, to compare with the reference reading.
struct Delivered {
  uint16_t id = 0;
  std::string infoText, blockText;
  int32_t infoValue62 = 0;
  uint16_t image3Width = 0;
  std::vector<uint8_t> images[4];  // image 1, 2, 3 and the debug data
  bool operator==(const Delivered& o) const {
    return id == o.id && infoText == o.infoText && blockText == o.blockText && infoValue62 == o.infoValue62 &&
           image3Width == o.image3Width && images[0] == o.images[0] && images[1] == o.images[1] &&
           images[2] == o.images[2] && images[3] == o.images[3];
  }
};
std::vector<Delivered> g_delivered;
int g_events = 0;

void NARDIX_CALL OnResult(void*, StLprResult* r) {
  Check(r->image1Length >= 0 && static_cast<uint32_t>(r->image1Length) <= nardix::kImage1Size);
  Check(r->image2Length >= 0 && static_cast<uint32_t>(r->image2Length) <= nardix::kImage2Size);
  Check(r->image3Length >= 0 && static_cast<uint32_t>(r->image3Length) <= nardix::kImage3Size);
  Check(r->debugLength >= 0 && static_cast<uint32_t>(r->debugLength) <= nardix::kDebugSize);
  Check(memchr(r->blockText, 0, sizeof r->blockText) && memchr(r->infoText, 0, sizeof r->infoText));
  Check(memchr(r->ip, 0, sizeof r->ip));
  // Every byte the record names is readable.
  volatile uint8_t sink = 0;
  for (int32_t i = 0; i < r->image1Length; i += 4096) sink = sink + r->image1[i];
  (void)sink;
  Delivered got;
  got.id = r->resultId;
  got.infoText = r->infoText;
  got.blockText = r->blockText;
  got.infoValue62 = r->infoValue62;
  got.image3Width = r->image3Width;
  got.images[0].assign(r->image1, r->image1 + r->image1Length);
  got.images[1].assign(r->image2, r->image2 + r->image2Length);
  got.images[2].assign(r->image3, r->image3 + r->image3Length);
  got.images[3].assign(r->debug, r->debug + r->debugLength);
  g_delivered.push_back(std::move(got));
}

void NARDIX_CALL OnDebug(void*, uint8_t* block) {
  volatile uint8_t sink = block[0] + block[LPR_ALG_DEBUG_SIZE - 1];
  (void)sink;
}

void NARDIX_CALL OnEvent(void*, StLprConnEvent* ev) {
  Check(ev->code == 4 && memchr(ev->ip, 0, 16));
  ++g_events;
}

int g_found = 0;

void NARDIX_CALL OnFound(void*, StLprDeviceInfo* info) {
  ++g_found;
  Check(memchr(info->ip, 0, sizeof info->ip) && memchr(info->mask, 0, sizeof info->mask));
  Check(memchr(info->gateway, 0, sizeof info->gateway) && memchr(info->type, 0, sizeof info->type));
  for (uint8_t b : info->reserved) Check(b == 0);
  // Only the two device types are found, each followed by at most five
  // characters of its model.
  const size_t len = strlen(info->type);
  Check((strncmp(info->type, "Parking", 7) == 0 && len <= 7 + 5) ||
        (strncmp(info->type, "MOLQ-SD", 7) == 0 && len <= 7 + 5));
}

void NoDump(const std::string&, const uint8_t*, size_t) {}

void Setup() {
  static bool done = false;
  if (done) return;
  done = true;
  nardix::CForGlobal& g = nardix::Global();
  g.m_log.m_bLogOn.store(0);  // no folders, no queued lines
  g.m_bDirectCall.store(1);
  g.m_pfnLprResult.store(&OnResult);
  g.m_pfnAlgDebug.store(&OnDebug);
  g.m_pfnLprConnEvent.store(&OnEvent);
  g.m_pfnLprFound.store(&OnFound);
  nardix::test::SetDumpWriter(&NoDump);
}

size_t ChunkOf(uint8_t b) { return b == 0 ? SIZE_MAX : b * 37u; }
// The time between two receives, from the upper five bits of a settings byte:
// 0 to 7.75 s, so that frames under way expire between receives or do not.
int64_t StepOf(uint8_t b) { return (b >> 3) * 250; }
constexpr int64_t kStartMs = 1000000;

// One run of a parser: the bytes received by then and the clock.
struct Run {
  size_t received;
  int64_t nowMs;
};

// After the last receive, the receive thread wakes at the deadlines of the
// frames still under way (each wake drops one and parses its bytes again).
template <class Rec, class Parse>
void WakeAtDeadlines(Rec* r, Parse parse, std::vector<Run>* runs, size_t received) {
  for (int i = 0; i < 4 && r->m_parse.headFound; ++i) {
    const int64_t now = r->m_parse.DeadlineMs();
    if (runs) runs->push_back({received, now});
    parse(now);
    // Every head found meanwhile counts from its own bytes' arrival, all
    // of which came before: none under way now outlives this wake by 5 s.
    Check(!r->m_parse.headFound || r->m_parse.DeadlineMs() > now);
    Check(!r->m_parse.headFound || r->m_parse.DeadlineMs() <= now + nardix::kFrameTimeLimitMs);
  }
}

}  // namespace

namespace {

// A request noted as sent on the store: before receive number `receive`, or
// while that receive waits (it then brings bytes from after the send);
// `number` gets what the store gave it.
struct SendAt {
  size_t receive;
  bool during;
  uint64_t* number;
};

// Copies the bytes into the record's receive store as receives of at most
// `chunk` bytes, each followed by the parser (as the receive threads do), the
// clock `now` moving on by `stepMs` before each receive. No bytes: the parser
// runs once, as when the thread wakes at a frame's deadline.
template <class Rec, class Parse>
void Feed(Rec* r, const uint8_t* d, size_t n, size_t chunk, int64_t& now, int64_t stepMs, Parse parse,
          std::vector<Run>* runs = nullptr, const SendAt* send = nullptr) {
  size_t pos = 0;
  for (size_t receive = 0;; ++receive) {
    const bool sendNow = send && send->receive == receive;
    if (sendNow && !send->during) *send->number = r->m_recv.NoteSend();
    uint32_t room = 0;
    uint8_t* at = r->m_recv.Space(&room);
    size_t take = room;
    if (take > chunk) take = chunk;
    if (take > n - pos) take = n - pos;
    if (take) memcpy(at, d + pos, take);
    if (sendNow && send->during) *send->number = r->m_recv.NoteSend();
    now += stepMs;
    r->m_recv.Arrived(static_cast<uint32_t>(take), now);
    pos += take;
    if (runs) runs->push_back({pos, now});
    parse(now);
    if (pos >= n) break;
  }
}

}  // namespace

void FeedResult(StLprCameraHandle* h, const uint8_t* d, size_t n, size_t chunk, int64_t nowMs,
                int64_t stepMs) {
  Feed(h, d, n, chunk, nowMs, stepMs,
       [h](int64_t now) { nardix::ParseResultStream(h, now); });
}

void FeedReplies(nardix::StLprControlChannel* c, const uint8_t* d, size_t n, size_t chunk, int64_t nowMs,
                 int64_t stepMs) {
  Feed(c, d, n, chunk, nowMs, stepMs,
       [c](int64_t now) { nardix::ParseControlStream(c, now); });
}

namespace {

// One camera record serves every input (its buffers are large); each input
// starts from a clean parse state.
StLprCameraHandle* FreshHandle() {
  static nardix::HandlePtr h = nardix::NewCameraHandle(0x0100007F);
  if (!h) return nullptr;
  nardix::RestartStream(h.get());
  h->m_parse = nardix::StResultParse();
  memset(h->m_byInfo, 0, sizeof h->m_byInfo);
  memset(h->m_byBlock, 0, sizeof h->m_byBlock);
  memset(h->m_szVersion, 0, sizeof h->m_szVersion);
  nardix::ResetResult(h->m_pResult, h.get());
  if (!h->m_pControl) {
    h->m_pControl.reset(new nardix::StLprControlChannel);
    h->m_pControl->m_pOwner = h.get();
  }
  nardix::StLprControlChannel* c = h->m_pControl.get();
  nardix::RestartStream(c);
  c->m_parse = nardix::StReplyParse();
  return h.get();
}

}  // namespace

namespace {

using fuzzcheck::Le16;
using fuzzcheck::Le32;

// A plain reading of the stream rules, written here and not taken from the
// library. Heads are searched from the read position on; a head counts once
// the bytes it needs are there; a frame is taken when all of it is there, its
// tail is in place, its check holds and no head inside it announces a frame
// that ends where it ends. A frame is dropped (parsing goes on one byte after
// its head) when one of these fails, or when a run comes 5 s or more after its
// head's first byte arrived while its bytes are not all there. `arrived[i]` is
// when byte i came.
struct StreamRules {
  size_t seekBytes;  // held from AA 55 on for a head to count
  size_t headBytes;  // to read a head's length
  size_t minFrame;
  // Size of the frame a head at p announces (p + headBytes readable); 0 when
  // its length is impossible; -1: drop all that is held (the result
  // channel's oversized frame).
  long (*size)(const uint8_t* p);
  // Size of the frame a head inside a frame announces, when it is one that
  // owns a tail; 0 otherwise.
  size_t (*inner)(const uint8_t* p);
  bool (*check)(const uint8_t* f, size_t size);
};

template <class Take>
void ReferenceParse(const StreamRules& rules, const uint8_t* s, const std::vector<int64_t>& arrived,
                    const std::vector<Run>& runs, Take take) {
  size_t pos = 0;
  for (const Run& run : runs) {
    const size_t avail = run.received;
    for (;;) {
      size_t i = pos;
      while (i + rules.seekBytes <= avail && !(s[i] == 0xAA && s[i + 1] == 0x55)) ++i;
      if (i + rules.seekBytes > avail) {  // the last bytes may begin a head
        if (avail >= pos + rules.seekBytes) pos = avail - rules.seekBytes + 1;
        break;
      }
      pos = i;
      const bool late = run.nowMs >= arrived[i] + nardix::kFrameTimeLimitMs;
      if (i + rules.headBytes > avail) {  // its length is not here yet
        if (late) {
          pos = i + 1;
          continue;
        }
        break;
      }
      const long size = rules.size(s + i);
      if (size < 0) {
        pos = avail;
        break;
      }
      if (size == 0) {
        pos = i + 1;
        continue;
      }
      const size_t end = i + static_cast<size_t>(size);
      if (end > avail) {
        if (late) {
          pos = i + 1;
          continue;
        }
        break;
      }
      bool owned = false;
      for (size_t q = i + 1; q + rules.minFrame <= end && !owned; ++q)
        owned = s[q] == 0xAA && s[q + 1] == 0x55 && rules.inner(s + q) && q + rules.inner(s + q) == end;
      if (Le32(s + end - 4) != 0x550FF0AA || !rules.check(s + i, end - i) || owned) {
        pos = i + 1;
        continue;
      }
      take(s + i, end - i, i);
      pos = end;
    }
  }
}

uint32_t ReferenceLimit(uint8_t kind) {
  switch (kind) {
    case 0x00: return 64;
    case 0x10: return 308;
    case 0x20: return 10240;
    case 0x40: return 204800;
    case 0x42: return 51200;
    case 0x60: return 1344;
    default: return 0xFFFFFFFFu;
  }
}

const StreamRules kResultRules = {
    8, 8, 14,
    [](const uint8_t* p) -> long {
      const uint32_t len = Le32(p + 4);
      if (static_cast<int32_t>(len) > 204800) return -1;
      if (len > 204800 || (p[2] == 0xFF && len < 2)) return 0;
      return 12 + static_cast<long>(len);
    },
    [](const uint8_t* p) -> size_t {
      const uint32_t len = Le32(p + 4);
      if (p[2] != 0xFF || len < 2 || len > 204800) return 0;
      if (p[3] != 0x50 && (ReferenceLimit(p[3]) == 0xFFFFFFFFu || len - 2 > ReferenceLimit(p[3]))) return 0;
      return 12 + len;
    },
    [](const uint8_t*, size_t) { return true; }};

const StreamRules kReplyRules = {
    2, 12, 17,
    [](const uint8_t* p) -> long {
      const uint16_t a = Le16(p + 8);
      return a == Le16(p + 10) && a + 1 < 1024 ? 17 + a : 0;
    },
    [](const uint8_t* p) -> size_t {
      const uint16_t a = Le16(p + 8);
      return a == Le16(p + 10) && a + 1 < 1024 ? 17 + static_cast<size_t>(a) : 0;
    },
    [](const uint8_t* f, size_t size) {
      uint8_t sum = 0;
      for (size_t k = 12; k < size - 5; ++k) sum = static_cast<uint8_t>(sum + f[k]);
      return sum == f[size - 5];
    }};

std::string TextOf(const uint8_t* p, size_t field, size_t out) {
  std::string t;
  for (size_t k = 0; k < field && k + 1 < out && p[k]; ++k) t.push_back(static_cast<char>(p[k]));
  return t;
}

// The results the frames of a result stream make: a new id starts a result
// with nothing of the one before, a segment within its kind's limit replaces
// its place, and the end frame hands the result over.
std::vector<Delivered> ReferenceResults(const uint8_t* s, const std::vector<int64_t>& arrived,
                                        const std::vector<Run>& runs, const bool want[3]) {
  std::vector<Delivered> out;
  uint16_t id = 0;
  uint8_t info[1024] = {}, block[308] = {};
  std::vector<uint8_t> images[4];
  auto clear = [&] {
    memset(info, 0, sizeof info);
    memset(block, 0, sizeof block);
    for (auto& i : images) i.clear();
  };
  ReferenceParse(kResultRules, s, arrived, runs, [&](const uint8_t* f, size_t size, size_t) {
    if (f[2] != 0xFF) return;
    const uint8_t kind = f[3];
    const uint8_t* body = f + 10;
    const size_t count = size - 14;
    if (Le16(f + 8) != id) {
      id = Le16(f + 8);
      clear();
    }
    if (count <= ReferenceLimit(kind)) {
      switch (kind) {
        case 0x00: memcpy(info, body, count); break;
        case 0x10: memcpy(block, body, count); break;
        case 0x40: images[0].assign(body, body + count); break;
        case 0x42: images[1].assign(body, body + count); break;
        case 0x20: images[2].assign(body, body + count); break;
        case 0x60: images[3].assign(body, body + count); break;
        default: break;
      }
    }
    if (kind != 0x50) return;
    Delivered r;
    r.id = id;
    r.infoText = TextOf(info, sizeof info, 16);
    r.blockText = TextOf(block + 36, sizeof block - 36, 255);
    r.infoValue62 = info[62];
    r.image3Width = static_cast<uint16_t>(Le16(info + 24) - Le16(info + 20));
    for (int k = 0; k < 4; ++k) r.images[k] = k < 3 && !want[k] ? std::vector<uint8_t>() : images[k];
    out.push_back(std::move(r));
    clear();
  });
  return out;
}

std::vector<int64_t> ArrivalTimes(const std::vector<Run>& runs, size_t n) {
  std::vector<int64_t> at(n);
  size_t from = 0;
  for (const Run& r : runs)
    for (; from < r.received; ++from) at[from] = r.nowMs;
  return at;
}

// What the replies of a reply stream leave behind with one request waiting:
// a reply whose first byte is one of the `sentAt` bytes received before the
// request went out completes nothing and writes no version text; otherwise
// the first reply that fits completes it.
struct ReplyOutcome {
  bool done = false;
  uint16_t rawLen = 0;
  uint8_t raw[nardix::kRawReplySize] = {};
  int32_t shutter = 0;
  char version[5][nardix::kVersionSize] = {};
  int events = 0;
};

ReplyOutcome ReferenceReplies(const uint8_t* s, const std::vector<int64_t>& arrived, const std::vector<Run>& runs,
                              const nardix::StReplySlot& slot, size_t sentAt) {
  using nardix::ReplyKind;
  ReplyOutcome out;
  ReferenceParse(kReplyRules, s, arrived, runs, [&](const uint8_t* f, size_t size, size_t at) {
    const uint8_t type = f[6], code = f[7];
    const uint8_t* p = f + 12;
    const size_t n = size - 17;
    const bool stale = at < sentAt;
    bool waiting = !out.done && !stale && slot.kind != ReplyKind::kNone;
    auto complete = [&] {
      out.done = true;
      waiting = false;
    };
    if (waiting && slot.kind == ReplyKind::kRaw && Le32(f + 2) == 0 && type == slot.type && code == slot.code) {
      memset(out.raw, 0, sizeof out.raw);
      memcpy(out.raw, p, std::min<size_t>(n + 1, sizeof out.raw));
      out.rawLen = static_cast<uint16_t>(n);
      complete();
    }
    if (type == 0x00 && code == 0x00 && n >= 1 && p[0] == 1) ++out.events;
    if (type == 0x00 && code == 0x04 && n >= 1 && !stale) {
      const int k = p[0] <= 3 ? p[0] : p[0] == 5 ? 4 : -1;
      if (k >= 0) {
        memset(out.version[k], 0, sizeof out.version[k]);
        for (size_t j = 0; j + 1 < n && j + 1 < sizeof out.version[k] && p[1 + j]; ++j)
          out.version[k][j] = static_cast<char>(p[1 + j]);
        if (p[0] == 5 && waiting && slot.kind == ReplyKind::kVersion) complete();
      }
    }
    if (type == 0x00 && (code == 0x1E || code == 0x1F) && waiting &&
        slot.kind == (code == 0x1E ? ReplyKind::kWorkMode : ReplyKind::kNtp) && n >= 1 && p[0] == 0xBB)
      complete();
    if (type == 0x20 && code == 0x0B && waiting && n >= 1 && p[0] == 0) {
      if (slot.kind == ReplyKind::kShutterSet) complete();
      if (slot.kind == ReplyKind::kShutterGet && n >= 2) {
        out.shutter = p[1];
        complete();
      }
    }
    if (type == 0x80 && code == 0x21 && waiting && slot.kind == ReplyKind::kNetParams && n >= 1 && p[0] == 0xBB)
      complete();
  });
  return out;
}

}  // namespace

int FuzzResultStream(const uint8_t* d, size_t n) {
  if (n < 2) return 0;
  Setup();
  nardix::CForGlobal& g = nardix::Global();
  bool want[3];
  for (int i = 0; i < 3; ++i) g.m_bWantImage[i].store(want[i] = (d[1] >> i) & 1);
  StLprCameraHandle* h = FreshHandle();
  if (!h) return 0;
  const uint8_t* s = d + 2;
  const size_t len = n - 2;
  std::vector<Run> runs;
  int64_t now = kStartMs;
  g_delivered.clear();
  Feed(h, s, len, ChunkOf(d[0]), now, StepOf(d[1]), [h](int64_t t) { nardix::ParseResultStream(h, t); }, &runs);
  Check(h->m_recv.Held() < nardix::kMaxResultFrame);
  WakeAtDeadlines(h, [h](int64_t t) { nardix::ParseResultStream(h, t); }, &runs, len);
  FUZZ_CHECK(g_delivered == ReferenceResults(s, ArrivalTimes(runs, len), runs, want));
  return 0;
}

int FuzzReplyStream(const uint8_t* d, size_t n) {
  if (n < 4) return 0;
  Setup();
  StLprCameraHandle* h = FreshHandle();
  if (!h) return 0;
  nardix::StLprControlChannel* c = h->m_pControl.get();
  nardix::StReplySlot slot;
  slot.kind = static_cast<nardix::ReplyKind>(d[1] % 8);
  slot.type = d[2];
  slot.code = d[3];
  // The request goes out before receive number d[0] & 3, or while it waits
  // (d[0] bit 2), or after the last one when there are fewer; until then no
  // reply completes it.
  slot.sendNo = UINT64_MAX;
  const SendAt send{static_cast<size_t>(d[0] & 3), (d[0] & 4) != 0, &slot.sendNo};
  h->m_pSlot = &slot;
  h->m_nShutter = 0;
  g_events = 0;
  const uint8_t* s = d + 4;
  const size_t len = n - 4;
  std::vector<Run> runs;
  int64_t now = kStartMs;
  Feed(c, s, len, ChunkOf(d[0]), now, StepOf(d[1]), [c](int64_t t) { nardix::ParseControlStream(c, t); }, &runs,
       &send);
  size_t sentAt = len;  // bytes received before the request went out
  if (send.receive < runs.size())
    sentAt = send.receive ? runs[send.receive - 1].received : 0;
  else
    slot.sendNo = c->m_recv.NoteSend();
  WakeAtDeadlines(c, [c](int64_t t) { nardix::ParseControlStream(c, t); }, &runs, len);
  h->m_pSlot = nullptr;
  Check(c->m_recv.Held() < nardix::kMaxReplyFrame);
  Check(slot.rawLen < nardix::kMaxReplyFrame);
  for (const auto& v : h->m_szVersion) Check(memchr(v, 0, sizeof v) != nullptr);
  const ReplyOutcome want = ReferenceReplies(s, ArrivalTimes(runs, len), runs, slot, sentAt);
  FUZZ_CHECK(slot.done == want.done);
  FUZZ_CHECK(slot.rawLen == want.rawLen && memcmp(slot.raw, want.raw, sizeof want.raw) == 0);
  FUZZ_CHECK(h->m_nShutter == want.shutter);
  FUZZ_CHECK(memcmp(h->m_szVersion, want.version, sizeof want.version) == 0);
  FUZZ_CHECK(g_events == want.events);
  return 0;
}

int FuzzScanAnswer(const uint8_t* d, size_t n) {
  Setup();
  // The addresses of a PC with two networks; a datagram names at most one.
  static const std::vector<std::string> locals = {"198.51.100.1", "198.51.100.7", "127.0.0.1"};
  g_found = 0;
  const size_t len = n < nardix::kUdpRecvSize ? n : nardix::kUdpRecvSize;
  const int delivered = nardix::CheckScanReply(d, len, locals);
  Check(delivered == g_found && delivered <= 1);
  StLprDeviceInfo info;
  if (len >= nardix::kScanPacketSize && nardix::ParseScanReply(d, &info)) OnFound(nullptr, &info);
  return 0;
}

}  // namespace nardixfuzz

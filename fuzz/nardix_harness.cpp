#include "nardix_harness.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "context.h"
#include "discovery.h"
#include "result.h"

namespace nardixfuzz {

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

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
}

void NARDIX_CALL OnDebug(void*, uint8_t* block) {
  volatile uint8_t sink = block[0] + block[LPR_ALG_DEBUG_SIZE - 1];
  (void)sink;
}

void NARDIX_CALL OnEvent(void*, StLprConnEvent* ev) { Check(ev->code == 4 && memchr(ev->ip, 0, 16)); }

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

// After the last receive, the receive thread wakes at the deadlines of the
// frames still under way (each wake drops one and parses its bytes again).
template <class Rec, class Parse>
void WakeAtDeadlines(Rec* r, Parse parse) {
  for (int i = 0; i < 4 && r->m_parse.headFound; ++i) {
    const int64_t now = r->m_parse.DeadlineMs();
    parse(now);
    // Every head found meanwhile counts from its own bytes' arrival, all
    // of which came before: none under way now outlives this wake by 5 s.
    Check(!r->m_parse.headFound || r->m_parse.DeadlineMs() > now);
    Check(!r->m_parse.headFound || r->m_parse.DeadlineMs() <= now + nardix::kFrameTimeLimitMs);
  }
}

}  // namespace

namespace {

// Copies the bytes into the record's receive store as receives of at most
// `chunk` bytes, each followed by the parser (as the receive threads do), the
// clock `now` moving on by `stepMs` before each receive. No bytes: the parser
// runs once, as when the thread wakes at a frame's deadline.
template <class Rec, class Parse>
void Feed(Rec* r, const uint8_t* d, size_t n, size_t chunk, int64_t& now, int64_t stepMs, Parse parse) {
  size_t pos = 0;
  do {
    uint32_t room = 0;
    uint8_t* at = r->m_recv.Space(&room);
    size_t take = room;
    if (take > chunk) take = chunk;
    if (take > n - pos) take = n - pos;
    if (take) memcpy(at, d + pos, take);
    now += stepMs;
    r->m_recv.Arrived(static_cast<uint32_t>(take), now);
    parse(now);
    pos += take;
  } while (pos < n);
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

int FuzzResultStream(const uint8_t* d, size_t n) {
  if (n < 2) return 0;
  Setup();
  nardix::CForGlobal& g = nardix::Global();
  for (int i = 0; i < 3; ++i) g.m_bWantImage[i].store((d[1] >> i) & 1);
  StLprCameraHandle* h = FreshHandle();
  if (!h) return 0;
  FeedResult(h, d + 2, n - 2, ChunkOf(d[0]), kStartMs, StepOf(d[1]));
  Check(h->m_recv.Held() < nardix::kMaxResultFrame);
  WakeAtDeadlines(h, [h](int64_t now) { nardix::ParseResultStream(h, now); });
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
  h->m_pSlot = &slot;
  FeedReplies(c, d + 4, n - 4, ChunkOf(d[0]), kStartMs, StepOf(d[1]));
  WakeAtDeadlines(c, [c](int64_t now) { nardix::ParseControlStream(c, now); });
  h->m_pSlot = nullptr;
  Check(c->m_recv.Held() < nardix::kMaxReplyFrame);
  Check(slot.rawLen < nardix::kMaxReplyFrame);
  for (const auto& v : h->m_szVersion) Check(memchr(v, 0, sizeof v) != nullptr);
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

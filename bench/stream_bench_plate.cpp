// The plate-recognition library's two stream parsers: the result channel and
// the control channel's replies, fed in memory as their receive threads feed
// them (receives of what the store has room for, the clock between receives,
// a wake at the deadline of a frame under way).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

// The library's own headers (handle.h brings its context with it), and the
// tests' encoder of its wire formats.
#include "../plate_camera/tests/fake_camera.h"
#include "context.h"
#include "handle.h"
#include "process.h"
#include "result.h"
#include "stream_bench.h"

namespace streambench {

namespace {

using lprtest::Bytes;
using lprtest::Filled;
using lprtest::ReplyFrame;
using lprtest::ResultFrame;

void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
Bytes Concat2(const Bytes& a, const Bytes& b) { return lprtest::Concat({a, b}); }

// Heads alone, whose bodies never come.
Bytes ResultHead(uint8_t kind, uint32_t len) {
  return {0xAA, 0x55, 0xFF, kind, uint8_t(len), uint8_t(len >> 8), uint8_t(len >> 16), uint8_t(len >> 24)};
}
Bytes ReplyHead(uint32_t n) {
  const uint8_t lo = uint8_t(n), hi = uint8_t(n >> 8);
  return {0xAA, 0x55, 0, 0, 0, 0, 0x20, 0x0B, lo, hi, lo, hi};
}

// `unit` repeated to at least `bytes` bytes.
Bytes Repeat(const Bytes& unit, size_t bytes) {
  Bytes b;
  b.reserve(bytes + unit.size());
  while (b.size() < bytes) Append(b, unit);
  return b;
}

void NARDIX_CALL OnResult(void*, StLprResult*) {}

// Logging on while it lasts, in a library folder where the camera's
// error-data folder cannot be made (a file stands in its place).
struct LoggingWithoutCameraFolder {
  LoggingWithoutCameraFolder() {
    static const std::string folder = [] {
      const std::string f = kittest::MakeTempFolder("plate_bench");
      if (FILE* file = fopen((f + "ErrorData").c_str(), "w")) fclose(file);
      return f;
    }();
    nardix::test::SetModulePath(folder);
    nardix::Global().m_log.m_bLogOn.store(1);
  }
  ~LoggingWithoutCameraFolder() {
    nardix::Global().m_log.m_bLogOn.store(0);
    nardix::test::SetModulePath("");
  }
};

// One parser's record, its clock and how a receive thread drives it.
template <class Rec>
struct Driver {
  Rec* rec;
  void (*parse)(Rec*, int64_t);
  int64_t now = 1000000;

  // Receives of at most `chunk` bytes, `stepMs` apart.
  void Feed(const Bytes& s, size_t chunk, int64_t stepMs) {
    for (size_t pos = 0; pos < s.size();) {
      uint32_t room = 0;
      uint8_t* at = rec->m_recv.Space(&room);
      size_t take = std::min<size_t>({room, chunk, s.size() - pos});
      memcpy(at, s.data() + pos, take);
      now += stepMs;
      rec->m_recv.Arrived(static_cast<uint32_t>(take), now);
      parse(rec, now);
      pos += take;
    }
  }
  // The thread wakes at the deadline of each frame still under way.
  void WakeAtDeadlines() {
    while (rec->m_parse.headFound) {
      now = rec->m_parse.DeadlineMs();
      parse(rec, now);
    }
  }
};

constexpr size_t kStreamBytes = 2 * 1024 * 1024;

struct Plate {
  nardix::HandlePtr h;
  Driver<StLprCameraHandle> result;
  Driver<nardix::StLprControlChannel> control;
};

std::shared_ptr<Plate> MakePlate() {
  nardix::CForGlobal& g = nardix::Global();
  g.m_log.m_bLogOn.store(0);
  g.m_bDirectCall.store(1);
  g.m_pfnLprResult.store(&OnResult);
  auto p = std::make_shared<Plate>();
  p->h = nardix::NewCameraHandle(0x0100007F);
  p->h->m_pControl.reset(new nardix::StLprControlChannel);
  p->h->m_pControl->m_pOwner = p->h.get();
  p->result = {p->h.get(), &nardix::ParseResultStream};
  p->control = {p->h->m_pControl.get(), &nardix::ParseControlStream};
  return p;
}

template <class Rec>
Stream Make(const std::string& name, size_t bytes, Driver<Rec>* d, std::function<void(Driver<Rec>&)> run) {
  return Stream{name, bytes, [d, run] { run(*d); }};
}

}  // namespace

void AddPlateParsers(std::vector<Parser>& out) {
  static std::shared_ptr<Plate> plate = MakePlate();
  Driver<StLprCameraHandle>* r = &plate->result;
  Driver<nardix::StLprControlChannel>* c = &plate->control;

  {
    // Results as a camera sends them: info, recognition block, three images
    // and the end, one id each.
    Bytes good;
    for (uint16_t id = 1; good.size() < kStreamBytes; ++id) {
      Append(good, ResultFrame(0x00, id, Filled(64, 1)));
      Append(good, ResultFrame(0x10, id, Filled(308, 2)));
      Append(good, ResultFrame(0x40, id, Filled(60000, 3)));
      Append(good, ResultFrame(0x42, id, Filled(20000, 4)));
      Append(good, ResultFrame(0x20, id, Filled(4000, 5)));
      Append(good, ResultFrame(0x50, id, {}));
    }
    // Heads of the longest image 8 bytes apart, as a flood at 1 MB/s.
    const Bytes flood = Repeat(ResultHead(0x40, 204800), good.size());
    // Chains of heads nested one inside another, all ending at one point
    // that never comes; each chain held until its deadline.
    Bytes chain;
    for (uint32_t i = 0; i < 25000; ++i) Append(chain, ResultHead(0x40, 204800 - 8 * i));
    // Heads whose lengths end on the tails of small good frames further on
    // (every head a complete frame with its tail in place, refused because
    // a frame inside it owns that tail).
    const Bytes unit = Concat2(ResultHead(0x00, 32 * 6000 - 12), ResultFrame(0x00, 1, Filled(10, 6)));
    const Bytes onTails = Repeat(unit, good.size());
    // Single heads, a receive each, 1 ms apart.
    const Bytes single = ResultHead(0x40, 204800);
    const size_t singles = 20000;

    Parser p{"plate result channel", Make<StLprCameraHandle>("good results", good.size(), r,
                                                             [good](auto& d) { d.Feed(good, SIZE_MAX, 0); }),
             {}};
    p.hostile.push_back(Make<StLprCameraHandle>("flood of longest heads", flood.size(), r, [flood](auto& d) {
      d.Feed(flood, 10000, 10);
      d.WakeAtDeadlines();
    }));
    p.hostile.push_back(Make<StLprCameraHandle>("the flood, logging, no folder", flood.size(), r, [flood](auto& d) {
      LoggingWithoutCameraFolder logging;
      d.Feed(flood, 10000, 10);
      d.WakeAtDeadlines();
    }));
    p.hostile.push_back(Make<StLprCameraHandle>("nested chains, each held 5 s", chain.size() * 10, r,
                                                [chain](auto& d) {
                                                  for (int k = 0; k < 10; ++k) {
                                                    d.Feed(chain, SIZE_MAX, 0);
                                                    d.WakeAtDeadlines();
                                                  }
                                                }));
    p.hostile.push_back(Make<StLprCameraHandle>("heads ending on good tails", onTails.size(), r,
                                                [onTails](auto& d) {
                                                  d.Feed(onTails, SIZE_MAX, 0);
                                                  d.WakeAtDeadlines();
                                                }));
    out.push_back(std::move(p));

    // A receive of a few bytes costs the same fixed work whatever it holds:
    // single heads, a receive each, are set against good results arriving
    // in receives of the same size.
    Bytes goodPart(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(singles * single.size()));
    Parser small{"plate result, 8-byte receives", Make<StLprCameraHandle>("good results", goodPart.size(), r,
                                                                       [goodPart, single](auto& d) {
                                                                         d.Feed(goodPart, single.size(), 1);
                                                                         d.WakeAtDeadlines();
                                                                       }),
                 {}};
    small.hostile.push_back(Make<StLprCameraHandle>("single heads, a receive each", singles * single.size(), r,
                                                    [single](auto& d) {
                                                      for (size_t k = 0; k < singles; ++k) d.Feed(single, SIZE_MAX, 1);
                                                      d.WakeAtDeadlines();
                                                    }));
    out.push_back(std::move(small));
  }

  {
    // Replies as a camera sends them: shutter values, version texts and
    // parameter blocks.
    Bytes good;
    while (good.size() < kStreamBytes / 4) {
      Append(good, ReplyFrame(0x20, 0x0B, {0x00, 0x2A}));
      Append(good, ReplyFrame(0x00, 0x04, Concat2({1}, Filled(40, 7))));
      Append(good, ReplyFrame(0x00, 0x1A, Filled(200, 8)));
    }
    const Bytes flood = Repeat(ReplyHead(1022), good.size());
    Bytes chain;
    for (uint32_t i = 0; i < 80; ++i) Append(chain, ReplyHead(1022 - 12 * i));
    const size_t chains = good.size() / chain.size();
    const Bytes reply = ReplyFrame(0x20, 0x0B, {0x00, 0x2A});
    // A head whose reply would end on the tail of the good reply behind it,
    // its checksum made to match.
    Bytes onTail = ReplyHead(static_cast<uint32_t>(1 + reply.size() - 5));
    uint8_t sum = 0;
    for (size_t i = 0; i + 5 < reply.size(); ++i) sum = static_cast<uint8_t>(sum + reply[i]);
    onTail.push_back(static_cast<uint8_t>(reply[reply.size() - 5] - sum));
    const Bytes onTails = Repeat(Concat2(onTail, reply), good.size());

    Parser p{"plate control channel", Make<nardix::StLprControlChannel>("good replies", good.size(), c,
                                                                        [good](auto& d) { d.Feed(good, SIZE_MAX, 0); }),
             {}};
    p.hostile.push_back(Make<nardix::StLprControlChannel>("flood of longest heads", flood.size(), c,
                                                          [flood](auto& d) {
                                                            d.Feed(flood, 10000, 10);
                                                            d.WakeAtDeadlines();
                                                          }));
    p.hostile.push_back(Make<nardix::StLprControlChannel>("nested chains, each held 5 s", chains * chain.size(), c,
                                                          [chain, chains](auto& d) {
                                                            for (size_t k = 0; k < chains; ++k) {
                                                              d.Feed(chain, SIZE_MAX, 0);
                                                              d.WakeAtDeadlines();
                                                            }
                                                          }));
    p.hostile.push_back(Make<nardix::StLprControlChannel>("heads ending on good tails", onTails.size(), c,
                                                          [onTails](auto& d) {
                                                            d.Feed(onTails, SIZE_MAX, 0);
                                                            d.WakeAtDeadlines();
                                                          }));
    out.push_back(std::move(p));
  }
}

}  // namespace streambench

// The box frame parser, fed in memory as a receive thread feeds it: receives
// of up to 4096 bytes, the clock advancing as given, and a wake at each
// deadline once the bytes have stopped.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "box_codec.h"
#include "frame.h"
#include "stream_bench.h"

namespace streambench {

namespace {

using boxtest::Bytes;

constexpr size_t kBytes = 256 * 1024;  // of each stream
constexpr size_t kRecv = 4096;


// Repeats `unit` up to kBytes.
Bytes Fill(const Bytes& unit) {
  Bytes s;
  while (s.size() + unit.size() <= kBytes) s.insert(s.end(), unit.begin(), unit.end());
  return s;
}

// A good frame of class 3 (serial pass-through) with a payload of n bytes.
Bytes Good(size_t n, uint16_t seq) {
  Bytes payload(n);
  for (size_t i = 0; i < n; ++i) payload[i] = static_cast<uint8_t>(i * 7 + seq);
  return pyrn::MakeFrame(0, seq, 3, 2, payload.data(), static_cast<uint16_t>(n));
}

// A stream fed in receives of `piece` bytes (at most kRecv), `stepMs` apart,
// then woken at every deadline until nothing is under way.
Stream Feeding(const char* name, Bytes bytes, size_t piece, int64_t stepMs) {
  auto parser = std::make_shared<pyrn::CBoxParser>();
  auto s = std::make_shared<Bytes>(std::move(bytes));
  auto frames = std::make_shared<size_t>(0);
  Stream out;
  out.name = name;
  out.bytes = s->size();
  auto clock = std::make_shared<int64_t>(0);
  out.feed = [parser, s, frames, clock, piece, stepMs] {
    // One link that goes on: each feed later than the one before, its store
    // grown once.
    pyrn::CBoxParser& p = *parser;
    auto take = [&](const pyrn::FrameView& f) { *frames += f.len; };
    int64_t& now = *clock;
    now += 100000;
    for (size_t at = 0; at < s->size(); now += stepMs) {
      const size_t n = std::min({piece, p.RecvSpace(), s->size() - at});
      memcpy(p.RecvPtr(), s->data() + at, n);
      at += n;
      p.Received(n, now, take);
    }
    while (p.Deadline() != pyrn::CBoxParser::kNoDeadline) p.Expire(p.Deadline(), take);
  };
  return out;
}

}  // namespace

void AddBoxParsers(std::vector<Parser>& out) {
  Bytes good;
  for (uint16_t seq = 1; good.size() + 1040 <= kBytes; ++seq) {
    const Bytes f = Good(1024, seq);
    good.insert(good.end(), f.begin(), f.end());
  }
  Parser p;
  p.name = "box frames";
  p.good = Feeding("good frames of 1040 bytes", good, kRecv, 0);
  p.hostile.push_back(Feeding("nested heads of 65535, at once", Fill(boxtest::Head(0xFFFF)), kRecv, 0));
  p.hostile.push_back(Feeding("nested heads of 65535, 1 ms apart", Fill(boxtest::Head(0xFFFF)), kRecv, 1));
  p.hostile.push_back(Feeding("nested heads of 7000", Fill(boxtest::Head(7000)), kRecv, 0));
  p.hostile.push_back(Feeding("nested heads ending on one tail", Fill(boxtest::HeadsOnOneTail(2000)), kRecv, 0));
  out.push_back(std::move(p));
  // A byte or a few at a time, as a slow serial line hands them over: each
  // receive costs the same, whatever it holds.
  Parser slow;
  slow.name = "box frames, 6-byte receives";
  slow.good = Feeding("good frames of 1040 bytes", good, 6, 1);
  slow.hostile.push_back(Feeding("nested heads of 65535", Fill(boxtest::Head(0xFFFF)), 6, 1));
  slow.hostile.push_back(Feeding("nested heads ending on one tail", Fill(boxtest::HeadsOnOneTail(2000)), 6, 1));
  out.push_back(std::move(slow));
}

}  // namespace streambench

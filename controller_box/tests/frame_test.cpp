// The frame packer and the stream parser, against frames written out here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "box_codec.h"
#include "frame.h"

namespace {

using boxtest::Bytes;
using boxtest::FromHex;
using boxtest::Head;
using boxtest::Hex;

TEST(PackFrame, GateCommandIsTheSeventeenBytesOfTheWire) {
  uint8_t buf[128] = {};
  uint16_t total = 99;
  const uint8_t one = 1;
  ASSERT_TRUE(pyrn::PackFrame(1, buf, 1, 1, 1, 1, &one, &total));
  EXPECT_EQ(total, 17);
  EXPECT_EQ(Hex(Bytes(buf, buf + total)), "AA 55 FF 00 11 00 01 00 00 00 01 01 01 01 ED 55 AA");
}

TEST(PackFrame, AllBytesSumToZeroAndStatusStaysAsTheBufferHeldIt) {
  struct Case {
    uint16_t seq;
    uint8_t cls, sub, dir;
    Bytes payload;
    const char* hex;
  } cases[] = {
      {0, 0, 0, 1, {24, 2, 29, 23, 59, 58}, "AA 55 FF 00 16 00 00 00 00 00 01 00 00 18 02 1D 17 3B 3A 29 55 AA"},
      {0x1234, 7, 1, 0, {}, "AA 55 FF 00 10 00 34 12 00 00 00 07 01 A5 55 AA"},
      {65535, 3, 17, 1, {0xFF}, "AA 55 FF 00 11 00 FF FF 00 00 01 03 11 FF E0 55 AA"},
  };
  for (const auto& c : cases) {
    uint8_t buf[128] = {};
    uint16_t total = 0;
    pyrn::PackFrame(static_cast<uint16_t>(c.payload.size()), buf, c.dir, c.seq, c.cls, c.sub,
                    c.payload.data(), &total);
    EXPECT_EQ(Hex(Bytes(buf, buf + total)), c.hex);
    uint8_t sum = 0;
    for (int i = 0; i < total; ++i) sum = static_cast<uint8_t>(sum + buf[i]);
    EXPECT_EQ(sum, 0);
  }
}

TEST(PackFrame, LeavesTheStatusBytesAsTheCallersBufferHoldsThem) {
  uint8_t buf[128];
  memset(buf, 0xEE, sizeof buf);
  buf[8] = 0x00;
  buf[9] = 0x80;
  uint16_t total = 99;
  ASSERT_TRUE(pyrn::PackFrame(0, buf, 0, 3, 7, 0, nullptr, &total));
  EXPECT_EQ(Hex(Bytes(buf, buf + total)), "AA 55 FF 00 10 00 03 00 00 80 00 07 00 69 55 AA");
  EXPECT_EQ(buf[16], 0xEE) << "nothing written past the frame";
}

TEST(SwapBytes32, ReversesTheByteOrder) {
  EXPECT_EQ(pyrn::SwapBytes32(0x0A01A8C0u), 0xC0A8010Au);
  EXPECT_EQ(pyrn::SwapBytes32(0x11223344u), 0x44332211u);
  EXPECT_EQ(pyrn::SwapBytes32(0u), 0u);
}

// Feeds a stream to a parser in pieces and collects the frames it hands out.
std::vector<Bytes> Parse(const Bytes& stream, size_t piece) {
  pyrn::CBoxParser p;
  std::vector<Bytes> out;
  for (size_t i = 0; i < stream.size(); i += piece) {
    const size_t n = stream.size() - i < piece ? stream.size() - i : piece;
    p.Feed(stream.data() + i, n, 0,
           [&](const pyrn::FrameView& f) { out.emplace_back(f.bytes, f.bytes + f.len); });
  }
  return out;
}

const Bytes kA = FromHex("AA 55 FF 00 11 00 01 00 00 80 01 01 01 01 6D 55 AA");
const Bytes kB = FromHex("AA 55 FF 00 10 00 02 00 00 80 00 00 21 50 55 AA");

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(Parser, StreamsAndTheFramesTheyGive) {
  const Bytes badSum = FromHex("AA 55 FF 00 11 00 03 00 00 80 01 01 01 01 00 55 AA");
  const Bytes badTail = FromHex("AA 55 FF 00 11 00 04 00 00 80 01 01 01 01 00 55 AB");
  struct Case {
    const char* name;
    Bytes stream;
    std::vector<Bytes> frames;
  } cases[] = {
      {"two frames in one piece", Cat({kA, kB}), {kA, kB}},
      {"noise before the head", Cat({FromHex("00 AA 55 13 AA"), kA}), {kA}},
      {"head with a wrong fourth byte", Cat({FromHex("AA 55 FF 01"), kA}), {kA}},
      {"head doubled", Cat({FromHex("AA 55 FF"), kA}), {kA}},
      {"wrong checksum, good tail: dropped, the next is found", Cat({badSum, kB}), {kB}},
      {"wrong tail: dropped, the next is found", Cat({badTail, kA}), {kA}},
      {"length below 16 is no frame", Cat({FromHex("AA 55 FF 00 03 00"), kA}), {kA}},
      {"length 0 is no frame", Cat({FromHex("AA 55 FF 00 00 00"), kB}), {kB}},
      {"frame cut at the end", Bytes(kA.begin(), kA.end() - 1), {}},
  };
  for (const auto& c : cases) {
    for (size_t piece : {size_t{1}, size_t{3}, size_t{4096}}) {
      EXPECT_EQ(Parse(c.stream, piece), c.frames) << c.name << ", pieces of " << piece;
    }
  }
}


TEST(Parser, ABadFrameIsDroppedAndTheFramesItTookAreFound) {
  Bytes nested;  // heads of 16 bytes each, every one inside the one before
  for (int i = 0; i < 700; ++i) {
    const Bytes h = Head(16);
    nested.insert(nested.end(), h.begin(), h.end());
  }
  boxtest::Frame inside;
  inside.cls = 3;
  inside.sub = 2;
  inside.payload = Head(16);
  const Bytes headInside = boxtest::Encode(inside);
  struct Case {
    const char* name;
    Bytes stream;
    std::vector<Bytes> frames;
  } cases[] = {
      // The tail where the length puts it is kB's, right by chance.
      {"wrong checksum where the length ends", Cat({Head(6 + 17 + 16), kA, kB}), {kA, kB}},
      {"wrong tail, the next frame cut by it", Cat({Head(6 + 17 + 5), kA, kB, kA}), {kA, kB, kA}},
      {"a bad frame inside a bad frame", Cat({Head(40), Head(30), kA, FromHex("01 02 03 04 05"), kB}),
       {kA, kB}},
      {"false heads in a row", Cat({nested, kA}), {kA}},
      {"a head inside a good frame's payload stays payload", Cat({headInside, kA}), {headInside, kA}},
  };
  for (const auto& c : cases) {
    for (size_t piece : {size_t{1}, size_t{3}, size_t{4096}}) {
      EXPECT_EQ(Parse(c.stream, piece), c.frames) << c.name << ", pieces of " << piece;
    }
  }
}

// A parser fed at given times (milliseconds of a clock of the test's own).
struct Timed {
  pyrn::CBoxParser p;
  std::vector<Bytes> out;
  void At(int64_t ms, const Bytes& b) {
    p.Feed(b.data(), b.size(), ms,
           [&](const pyrn::FrameView& f) { out.emplace_back(f.bytes, f.bytes + f.len); });
  }
  void Tick(int64_t ms) {
    p.Expire(ms, [&](const pyrn::FrameView& f) { out.emplace_back(f.bytes, f.bytes + f.len); });
  }
};

TEST(Parser, AFrameNotCompleteByItsDeadlineIsDroppedAndWhatItTookIsParsedAgain) {
  Timed t;
  EXPECT_EQ(t.p.Deadline(), pyrn::CBoxParser::kNoDeadline);
  t.At(1000, Head(0xFFFF));
  EXPECT_EQ(t.p.Deadline(), 1000 + pyrn::kFrameLimitMs);
  t.At(1100, kA);
  t.At(5000, Cat({kB, Bytes(kA.begin(), kA.begin() + 5)}));
  t.Tick(5999);
  EXPECT_TRUE(t.out.empty()) << "still within its time";
  t.Tick(6000);
  EXPECT_EQ(t.out, (std::vector<Bytes>{kA, kB})) << "the frames that the bad head took";
  EXPECT_EQ(t.p.Deadline(), pyrn::CBoxParser::kNoDeadline) << "the half head of kA waits for its length";
  t.At(6001, Bytes(kA.begin() + 5, kA.end()));
  EXPECT_EQ(t.out.size(), 3u);
  EXPECT_EQ(t.out.back(), kA) << "the frame cut off at the end is completed by what comes";
}

TEST(Parser, BytesThatComeAfterTheDeadlineDropTheFrameBeforeTheyAreParsed) {
  Timed t;
  t.At(0, Cat({Head(0xFFFF), kA}));
  t.At(7000, kB);  // no Tick in between: nothing woke the parser on time
  EXPECT_EQ(t.out, (std::vector<Bytes>{kA, kB}));
}

TEST(Parser, AHeadFoundInWhatIsParsedAgainKeepsTheTimeItArrived) {
  Timed t;
  t.At(0, Head(0xFFFF));
  t.At(2000, Cat({Head(0xFFFF), kA}));
  t.Tick(5000);
  EXPECT_TRUE(t.out.empty()) << "the second head now takes kA";
  EXPECT_EQ(t.p.Deadline(), 2000 + pyrn::kFrameLimitMs) << "5 s from its own arrival";
  t.Tick(6999);
  EXPECT_TRUE(t.out.empty());
  t.Tick(7000);
  EXPECT_EQ(t.out, std::vector<Bytes>{kA});
}

// A parser that also notes when each frame was handed over.
struct Clocked {
  pyrn::CBoxParser p;
  std::vector<std::pair<Bytes, int64_t>> out;
  int64_t now = 0;
  void Take(const pyrn::FrameView& f) { out.emplace_back(Bytes(f.bytes, f.bytes + f.len), now); }
  void At(int64_t ms, const Bytes& b) {
    now = ms;
    p.Feed(b.data(), b.size(), ms, [&](const pyrn::FrameView& f) { Take(f); });
  }
  // Wakes the parser at every millisecond up to `until`, as a receive
  // thread that waits for the deadline does.
  void RunUntil(int64_t until) {
    for (; now < until; ++now) {
      if (p.Deadline() > now) continue;
      p.Expire(now, [&](const pyrn::FrameView& f) { Take(f); });
    }
  }
};

TEST(Parser, AChainOfNestedHeadsClearsOnceTheTimeOfItsBytesIsUp) {
  // Heads, each announcing more than the bytes after it, every one inside
  // the one before; all in one piece at 1000 with a good frame after them.

  struct Case {
    const char* name;
    uint32_t baud;
    Bytes heads;
    int64_t handed;  // when kA must be handed over
  } cases[] = {
      {"ten of the longest length", 0, boxtest::Heads(10, 0xFFFF), 1000 + 5000},
      {"a thousand, each reaching past the good frame", 0, boxtest::Heads(1000, 7000), 1000 + 5000},
      {"lengths that grow towards the end", 0,
       Cat({Head(100), Head(200), Head(400), Head(800), Head(1600), Head(3200)}), 1000 + 5000},
      // On a line each head gets the time of its own length at the rate.
      {"ten at 115200 bit/s", 115200, boxtest::Heads(10, 1024), 1000 + 5000 + 89},
      {"longest at 9600 bit/s, the good frame's time from its own bytes", 9600,
       boxtest::Heads(10, 0xFFFF), 1000 + 5000 + 68266},
  };
  for (const auto& c : cases) {
    Clocked t;
    t.p.SetLineRate(c.baud);
    t.At(1000, Cat({c.heads, kA}));
    t.RunUntil(c.handed + 1000);
    ASSERT_EQ(t.out.size(), 1u) << c.name;
    EXPECT_EQ(t.out[0].first, kA) << c.name;
    EXPECT_EQ(t.out[0].second, c.handed) << c.name << ": once, not for every head";
    EXPECT_EQ(t.p.Deadline(), pyrn::CBoxParser::kNoDeadline) << c.name;
    EXPECT_EQ(t.p.Unconsumed(), 0u) << c.name;
  }
}

TEST(Parser, HeadsThatArriveSpreadOverTimeAreEachDroppedByTheirOwnTime) {
  struct Piece {
    int64_t at;
    Bytes bytes;
  };
  struct Case {
    const char* name;
    uint32_t baud;
    std::vector<Piece> pieces;
    std::vector<int64_t> deadlines;  // of the frame under way, one after another
    std::vector<std::pair<Bytes, int64_t>> frames;
  } cases[] = {
      {"one inside another, a second apart", 0,
       {{0, Head(0xFFFF)}, {1000, Head(0xFFFF)}, {2000, Head(0xFFFF)}, {3000, Head(0xFFFF)}, {3500, kA}},
       {5000, 6000, 7000, 8000},
       {{kA, 8000}}},
      {"a head whose length comes later counts from its first byte", 0,
       {{0, FromHex("AA 55 FF 00")}, {3000, FromHex("FF FF")}, {3100, kB}},
       {5000},
       {{kB, 5000}}},
      {"a good frame among them is handed over when the head before it goes", 0,
       {{0, Head(0xFFFF)}, {1000, kB}, {2000, Head(0xFFFF)}, {2500, kA}},
       {5000, 7000},
       {{kB, 5000}, {kA, 7000}}},
      // The inner frame is held whole by the outer head, whose length takes
      // long on the line, but its last bytes came after its own time.
      {"a frame whose bytes came after its own time is dropped though held whole", 9600,
       {{0, Head(2000)}, {100, Bytes(kA.begin(), kA.begin() + 10)}, {5300, Bytes(kA.begin() + 10, kA.end())},
        {5400, kB}},
       {5000 + 2084},
       {{kB, 7084}}},
  };
  for (const auto& c : cases) {
    Clocked t;
    t.p.SetLineRate(c.baud);
    std::vector<int64_t> deadlines;
    size_t next = 0;
    for (int64_t ms = 0; ms < 20000; ++ms) {
      t.now = ms;
      while (next < c.pieces.size() && c.pieces[next].at == ms) t.At(ms, c.pieces[next++].bytes);
      t.RunUntil(ms + 1);
      const int64_t d = t.p.Deadline();
      if (d != pyrn::CBoxParser::kNoDeadline && (deadlines.empty() || deadlines.back() != d))
        deadlines.push_back(d);
    }
    EXPECT_EQ(deadlines, c.deadlines) << c.name;
    EXPECT_EQ(t.out, c.frames) << c.name;
  }
}

TEST(Parser, HeadsThatEndOnOneTailAreEachJudgedAtOnce) {
  // Every head's length ends on the same 55 AA, but no checksum adds up:
  // each is dropped as soon as it is whole, and the good frame after them is
  // handed over at once.
  const Bytes s = boxtest::HeadsOnOneTail(2000);
  Clocked t;
  t.At(0, Cat({s, kA}));
  ASSERT_EQ(t.out.size(), 1u);
  EXPECT_EQ(t.out[0].first, kA);
  EXPECT_EQ(t.out[0].second, 0);
}

TEST(Parser, TheStoreGrowsOnlyWithTheBytesThatCame) {
  pyrn::CBoxParser p;
  int frames = 0;
  auto take = [&](const pyrn::FrameView&) { ++frames; };
  const Bytes head = Head(0xFFFF);
  p.Feed(head.data(), head.size(), 0, take);
  EXPECT_EQ(p.StoreSize(), pyrn::kRecvBufferSize) << "a head alone reserves nothing";
  const Bytes body(30000, 0x11);
  p.Feed(body.data(), body.size(), 0, take);
  EXPECT_EQ(p.Unconsumed(), 30006u);
  EXPECT_GE(p.StoreSize(), 30006u);
  EXPECT_LE(p.StoreSize(), 2 * 30006u + pyrn::kRecvBufferSize);
  const Bytes rest(0xFFFF - 30006 + 30000, 0x22);  // completes it (bad) and more
  p.Feed(rest.data(), rest.size(), 0, take);
  EXPECT_LE(p.StoreSize(), 2u * 65536) << "never more than twice the longest frame";
  p.Expire(5000, take);
  p.Feed(kA.data(), kA.size(), 5000, take);
  EXPECT_EQ(frames, 1);
  p.Reset();
  EXPECT_EQ(p.StoreSize(), pyrn::kRecvBufferSize) << "a new connection starts small";
}

// On a slow line every byte may come in a millisecond of its own, and a
// head's time there is long: what the held bytes cost stays within a bound
// while a stream of heads goes on, and is given back once they have gone.
TEST(Parser, WhatTheBytesHeldOnASlowLineCostIsBoundedAndGivenBack) {
  pyrn::CBoxParser p;
  p.SetLineRate(9600);
  int frames = 0;
  auto take = [&](const pyrn::FrameView&) { ++frames; };
  const Bytes heads = boxtest::Heads(30000, 0xFFFF);  // 180000 bytes, each head inside the last
  size_t most = 0;
  int64_t ms = 0;
  for (uint8_t b : heads) {
    p.Feed(&b, 1, ++ms, take);
    most = std::max(most, p.HeldMemory());
  }
  // The store (twice the longest frame, bytes and sums) and one time for
  // each byte that a head may hold.
  EXPECT_LE(most, 2 * (2 * 65536 + 1) + 65536 * 16);
  EXPECT_GE(p.Unconsumed(), 60000u) << "the last heads still hold their bytes";
  p.Expire(ms + 80000, take);
  for (int i = 0; i < 100; ++i) p.Feed(kA.data(), kA.size(), ms + 80000 + i, take);
  EXPECT_EQ(frames, 100);
  EXPECT_LE(p.HeldMemory(), 2 * (2 * 65536 + 1) + 64) << "the times of the bytes that went are given back";
}

// Each frame tells where its first byte was in the stream, and a frame's
// callback finds every byte of its receive counted as taken: a request sent
// from there, or in the same millisecond as a receive, comes after them all.
TEST(Parser, AFrameTellsWhereItsFirstByteCameInTheStream) {
  pyrn::CBoxParser p;
  std::vector<std::pair<uint64_t, uint64_t>> seen;  // where, and what was taken by then
  auto take = [&](const pyrn::FrameView& f) { seen.emplace_back(f.at, p.Taken()); };
  p.Feed(kA.data(), 5, 100, take);
  EXPECT_EQ(p.Taken(), 5u);
  const Bytes s = Cat({Bytes(kA.begin() + 5, kA.end()), Head(0xFFFF), kB, FromHex("00 00")});
  memcpy(p.RecvPtr(), s.data(), s.size());
  p.Received(s.size(), 100, take);
  p.Expire(5100, take);  // kB, parsed again
  p.Reset();  // a new connection: the count goes on
  p.Feed(kA.data(), kA.size(), 5200, take);
  EXPECT_EQ(seen, (std::vector<std::pair<uint64_t, uint64_t>>{{0, 41}, {23, 41}, {41, 58}}));
  EXPECT_EQ(p.Taken(), 58u);
}

TEST(Parser, ASlowFrameThatCompletesInTimeIsTakenWhole) {
  boxtest::Frame f;
  f.cls = 3;
  f.sub = 2;
  f.payload.resize(60000);
  for (size_t i = 0; i < f.payload.size(); ++i) f.payload[i] = static_cast<uint8_t>(i * 13);
  const Bytes big = boxtest::Encode(f);
  Timed t;
  // In 100 pieces over 4950 ms, checked for expiry between them.
  const size_t piece = big.size() / 100 + 1;
  for (size_t i = 0, k = 0; i < big.size(); i += piece, ++k) {
    const int64_t at = static_cast<int64_t>(k) * 50;
    t.Tick(at);
    t.At(at, Bytes(big.begin() + i, big.begin() + std::min(big.size(), i + piece)));
  }
  ASSERT_EQ(t.out.size(), 1u);
  EXPECT_EQ(t.out[0], big);
}

TEST(Parser, OnASerialLineTheLengthsTimeAtTheRateComesOnTop) {
  const struct {
    uint32_t baud, bitsPerByte;
    uint16_t len;
    int64_t limit;
  } cases[] = {
      {9600, 10, 0xFFFF, 5000 + 68266},  // 655350 bits at 9600 bit/s, rounded up
      {9600, 11, 1000, 5000 + 1146},     // a parity bit more
      {115200, 10, 1024, 5000 + 89},
      {4000000, 10, 0xFFFF, 5000 + 164},
      {0, 10, 0xFFFF, 5000},  // no line: TCP
  };
  for (const auto& c : cases) {
    Timed t;
    t.p.SetLineRate(c.baud, c.bitsPerByte);
    t.At(100, Head(c.len));
    EXPECT_EQ(t.p.Deadline(), 100 + c.limit) << c.baud << " " << c.len;
    t.At(100 + c.limit - 1, kA);
    t.Tick(100 + c.limit - 1);
    EXPECT_TRUE(t.out.empty()) << c.baud << " " << c.len;
    t.Tick(100 + c.limit);
    EXPECT_EQ(t.out, std::vector<Bytes>{kA}) << c.baud << " " << c.len;
  }
}

TEST(Parser, ResetForgetsTheFrameUnderWay) {
  Timed t;
  t.At(0, Cat({Head(0xFFFF), kA, FromHex("AA 55")}));
  t.p.Reset();
  EXPECT_EQ(t.p.Deadline(), pyrn::CBoxParser::kNoDeadline);
  EXPECT_EQ(t.p.Unconsumed(), 0u);
  t.At(10, kB);
  EXPECT_EQ(t.out, std::vector<Bytes>{kB}) << "at once, not after the old head's time";
}

TEST(Parser, FrameLongerThanTheReceiveBufferIsAssembledAcrossReceives) {
  boxtest::Frame f;
  f.cls = 3;
  f.sub = 9;
  f.seq = 5;
  f.payload.resize(10000);
  for (size_t i = 0; i < f.payload.size(); ++i) f.payload[i] = static_cast<uint8_t>(i * 7);
  const Bytes big = boxtest::Encode(f);
  const auto got = Parse(Cat({big, kA}), 4096);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], big);
  EXPECT_EQ(got[1], kA);
}

TEST(Parser, WhatIsLeftBetweenReceivesStaysSmall) {
  pyrn::CBoxParser p;
  int frames = 0;
  const Bytes s = Cat({kA, FromHex("AA 55 FF")});
  p.Feed(s.data(), s.size(), 0, [&](const pyrn::FrameView&) { ++frames; });
  EXPECT_EQ(frames, 1);
  EXPECT_EQ(p.Unconsumed(), 3u);  // a head needs its fourth byte before it counts
  EXPECT_EQ(p.RecvSpace(), pyrn::kRecvBufferSize - s.size()) << "nothing moved on a receive";
}

}  // namespace

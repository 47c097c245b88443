// Camera frames: the two request builders, the stream reassembly and the item
// walker. Inputs are made by the test's own encoder below, never by the
// library's builders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "frame.h"

namespace {

using Bytes = std::vector<uint8_t>;
using qelm::FrameLimits;

// --- the test's own encoder -------------------------------------------------

void Put16(Bytes& b, uint16_t v) {
  b.push_back(v & 0xFF);
  b.push_back(v >> 8);
}
void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back((v >> (8 * i)) & 0xFF);
}
void Set32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = (v >> (8 * i)) & 0xFF;
}

struct Item {
  uint32_t code = 0;
  uint8_t paraType = 0;
  uint8_t setFlag = 0;
  uint16_t reserved = 0;
  uint32_t status = 0;
  Bytes data;
  uint32_t magic = 0xAA55A55A;
};

struct Frame {
  uint32_t version = 0x00010000;
  uint16_t ns = 8;
  uint16_t sender = 2;
  uint32_t sequence = 0;
  uint32_t echo = 0;
  uint32_t cls = 0x8002;
  std::vector<Item> items;
  uint32_t tail = 0x550FF0AA;

  Bytes Encode() const {
    Bytes b;
    Put32(b, 0x0FF055AA);
    Put32(b, version);
    Put32(b, 0);  // length, below
    Put16(b, ns);
    Put16(b, sender);
    Put32(b, sequence);
    Put32(b, echo);
    Put32(b, cls);
    Put32(b, 0);
    Put32(b, static_cast<uint32_t>(items.size()));
    for (const Item& it : items) {
      Put32(b, it.magic);
      Put32(b, it.code);
      b.push_back(it.paraType);
      b.push_back(it.setFlag);
      Put16(b, it.reserved);
      Put32(b, it.status);
      Put32(b, static_cast<uint32_t>(it.data.size()));
      b.insert(b.end(), it.data.begin(), it.data.end());
    }
    Put32(b, tail);
    Set32(b, 8, static_cast<uint32_t>(b.size()));
    return b;
  }
};

// A well-formed reply frame told apart by its sequence number.
Bytes Good(uint32_t sequence, size_t dataBytes = 4) {
  Frame f;
  f.sequence = sequence;
  Item it;
  it.code = 0x20001;
  for (size_t i = 0; i < dataBytes; ++i) it.data.push_back(static_cast<uint8_t>(sequence + i));
  f.items.push_back(it);
  return f.Encode();
}

// A frame of exactly `total` bytes (at least 60): one item filling the rest.
Bytes GoodOfSize(uint32_t sequence, size_t total) { return Good(sequence, total - 60); }

// The first 12 bytes of a head: magic, version, length.
Bytes HeadOnly(uint32_t length, uint32_t version = 0x00010000) {
  Bytes b;
  Put32(b, 0x0FF055AA);
  Put32(b, version);
  Put32(b, length);
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string Hex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}
Bytes FromHex(const std::string& hex) {
  Bytes b;
  std::string digits;
  for (char c : hex)
    if (isxdigit(static_cast<unsigned char>(c))) digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) b.push_back(std::stoi(digits.substr(i, 2), nullptr, 16));
  return b;
}

// --- builders ----------------------------------------------------------------

// Builds into a buffer filled with a marker, so that a write past the frame
// shows.
constexpr uint8_t kMarker = 0xCC;
constexpr size_t kSlack = 64;

TEST(FrameBuilders, OneItemRequestMatchesTheGoldenBytes) {
  const uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  const qelm::ItemSpec item{0x10007, 5, 4, data};
  Bytes buf(64 + kSlack, kMarker);
  ASSERT_EQ(qelm::CommandPacketSize(&item, 1), 64u);
  ASSERT_EQ(qelm::BuildCommandPacket(buf.data(), 2, 0x01020304, 1, 3, &item, 1), 64u);
  const Bytes golden = FromHex(
      "aa55f00f 00000100 40000000 0200 0800 04030201 00000000 03000000 00000000 01000000"
      "5aa555aa 07000100 05 01 0000 00000000 04000000 deadbeef"
      "aaf00f55");
  ASSERT_EQ(golden.size(), 64u);
  EXPECT_EQ(Hex(buf.data(), 64), Hex(golden.data(), golden.size()));
  EXPECT_EQ(Bytes(buf.begin() + 64, buf.end()), Bytes(kSlack, kMarker));
}

TEST(FrameBuilders, CommandPacketsMatchTheEncoder) {
  const uint8_t d1[3] = {1, 2, 3};
  const uint8_t d3[7] = {9, 8, 7, 6, 5, 4, 3};
  struct Case {
    const char* name;
    std::vector<qelm::ItemSpec> items;
    uint8_t setFlag;
    uint32_t cls;
    size_t size;
  } cases[] = {
      {"heartbeat: one item, no data", {{0x20001, 0, 0, nullptr}}, 0, 2, 60},
      {"no data but a pointer", {{0x20010, 13, 0, d1}}, 0, 2, 60},
      {"length without data travels as no data", {{0x20010, 13, 5, nullptr}}, 0, 2, 60},
      {"three items", {{0x1, 1, 3, d1}, {0x2, 2, 0, nullptr}, {0x3, 3, 7, d3}}, 1, 3, 36 + 23 + 20 + 27 + 4},
      {"no item", {}, 0, 16, 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Frame want;
    want.ns = 4;
    want.sender = 8;
    want.sequence = 77;
    want.cls = c.cls;
    for (const auto& s : c.items) {
      Item it;
      it.code = s.code;
      it.paraType = s.paraType;
      it.setFlag = c.setFlag;
      if (s.data) it.data.assign(static_cast<const uint8_t*>(s.data), static_cast<const uint8_t*>(s.data) + s.length);
      want.items.push_back(it);
    }
    const Bytes golden = want.Encode();
    ASSERT_EQ(golden.size(), c.size);
    const uint32_t n = static_cast<uint32_t>(c.items.size());
    EXPECT_EQ(qelm::CommandPacketSize(c.items.data(), n), c.size);
    Bytes buf(c.size + kSlack, kMarker);
    ASSERT_EQ(qelm::BuildCommandPacket(buf.data(), 4, 77, c.setFlag, c.cls, c.items.data(), n), c.size);
    EXPECT_EQ(Hex(buf.data(), c.size), Hex(golden.data(), golden.size()));
    EXPECT_EQ(Bytes(buf.begin() + c.size, buf.end()), Bytes(kSlack, kMarker));
  }
}

TEST(FrameBuilders, ParamPacketCopiesTheStoredItemHead) {
  // A stored node head: its own magic, code, ParaType, ChanCount/ObjCount in
  // the reserved bytes and a status, with a set flag and length that the
  // builder replaces.
  const Bytes stored = FromHex("5aa555aa 34120300 07 00 0203 09000000 0a000000");
  ASSERT_EQ(stored.size(), qelm::StCommandItem::kSize);
  const uint8_t data[5] = {0x11, 0x22, 0x33, 0x44, 0x55};
  for (uint32_t n : {0u, 1u, 5u}) {
    SCOPED_TRACE("n = " + std::to_string(n));
    Frame want;
    want.ns = 0x0105;
    want.sender = 8;
    want.sequence = 0xA0B0C0D0;
    want.cls = 3;
    Item it;
    it.code = 0x31234;
    it.paraType = 7;
    it.setFlag = 1;
    it.reserved = 0x0302;
    it.status = 9;
    it.data.assign(data, data + n);
    want.items.push_back(it);
    const Bytes golden = want.Encode();
    Bytes buf(60 + n + kSlack, kMarker);
    ASSERT_EQ(qelm::BuildParamPacket(stored.data(), 0x0105, n, buf.data(), 0xA0B0C0D0, 1, 3, data), 60 + n);
    EXPECT_EQ(Hex(buf.data(), 60 + n), Hex(golden.data(), golden.size()));
    EXPECT_EQ(Bytes(buf.begin() + 60 + n, buf.end()), Bytes(kSlack, kMarker));
  }
}

// --- reassembly --------------------------------------------------------------

// Feeds `stream` in receives of at most `chunk` bytes (0: as much as the
// buffer takes) and returns the frames handed over, in order. The handler
// moves each frame out, as the control channel does.
std::vector<Bytes> Reassemble(const FrameLimits& limits, const Bytes& stream, size_t chunk) {
  qelm::StRecvState st(limits);
  std::vector<Bytes> got;
  const qelm::StRecvState::Handler handler = [&](qelm::FrameBuffer& frame) {
    got.emplace_back(frame.begin(), frame.end());
    qelm::FrameBuffer taken = std::move(frame);
  };
  size_t at = 0;
  while (at < stream.size()) {
    EXPECT_GT(st.RecvSpace(), 0u);
    if (st.RecvSpace() == 0) break;
    size_t n = std::min(st.RecvSpace(), stream.size() - at);
    if (chunk) n = std::min(n, chunk);
    memcpy(st.RecvPtr(), stream.data() + at, n);
    st.Feed(n, handler, 0);
    at += n;
  }
  return got;
}

constexpr FrameLimits kBigLimits{4096, false, 64u << 20};
constexpr size_t kAll = 0;

TEST(FrameReassembly, HandsOverExactlyTheGoodFramesInOrder) {
  const Bytes a = Good(1), b = Good(2), c = Good(3, 0);
  const size_t bound = qelm::kControlLimits.maxFrame;
  Frame wrongTail;
  wrongTail.sequence = 9;
  wrongTail.tail = 0x550FF0AB;
  Frame altVersion;
  altVersion.version = 0x00010001;
  altVersion.sequence = 5;
  Frame otherVersion;
  otherVersion.version = 0x00020000;
  otherVersion.sequence = 6;
  Frame bare;  // 40 bytes, no item
  bare.sequence = 4;
  const Bytes big = GoodOfSize(10, (6u << 20) + 3);
  const Bytes atBound = GoodOfSize(11, bound);
  Bytes overBound = GoodOfSize(12, bound + 1);
  const Bytes garbage = {0x00, 0xAA, 0x55, 0x13, 0xAA, 0xAA, 0x55, 0xF0, 0x55, 0xF0, 0x0F, 0xAA, 0x55, 0xF0};

  struct Case {
    const char* name;
    FrameLimits limits;
    Bytes stream;
    size_t chunk;
    std::vector<Bytes> want;
  } cases[] = {
      {"two frames in one receive", qelm::kControlLimits, Cat({a, b}), kAll, {a, b}},
      {"frames fed a byte at a time", qelm::kControlLimits, Cat({a, c, b}), 1, {a, c, b}},
      {"a frame of several MiB in 4096-byte receives", kBigLimits, Cat({big, a}), 4096, {big, a}},
      {"a frame at the channel's bound", qelm::kControlLimits, Cat({atBound, a}), 4096, {atBound, a}},
      {"a frame over the channel's bound", qelm::kControlLimits, Cat({overBound, a}), 4096, {a}},
      {"a frame bigger than the update buffer", qelm::kUpdateLimits, Cat({GoodOfSize(7, 3000), a}), kAll,
       {GoodOfSize(7, 3000), a}},
      {"garbage before a head", qelm::kControlLimits, Cat({garbage, a, garbage, b}), kAll, {a, b}},
      {"a wrong tail, then a good frame", qelm::kControlLimits, Cat({wrongTail.Encode(), a}), kAll, {a}},
      {"a wrong version, then a good frame", qelm::kDiscoveryLimits, Cat({otherVersion.Encode(), a}), kAll, {a}},
      {"0x00010001 on the discovery channel", qelm::kDiscoveryLimits, Cat({altVersion.Encode(), a}), kAll,
       {altVersion.Encode(), a}},
      {"0x00010001 on the control channel", qelm::kControlLimits, Cat({altVersion.Encode(), a}), kAll, {a}},
      {"0x00010001 on the XML channel", qelm::kXmlLimits, Cat({altVersion.Encode(), a}), kAll, {a}},
      {"0x00010001 on the update channel", qelm::kUpdateLimits, Cat({altVersion.Encode(), a}), kAll, {a}},
      {"length 0", qelm::kControlLimits, Cat({HeadOnly(0), a}), kAll, {a}},
      {"length 15", qelm::kControlLimits, Cat({HeadOnly(15), a}), kAll, {a}},
      {"length 39", qelm::kControlLimits, Cat({HeadOnly(39), a}), kAll, {a}},
      {"length 40: a frame with no item", qelm::kControlLimits, Cat({bare.Encode(), a}), kAll,
       {bare.Encode(), a}},
      {"length over the bound", qelm::kControlLimits, Cat({HeadOnly(static_cast<uint32_t>(bound + 1)), a}), kAll,
       {a}},
      {"length 0xFFFFFFFF", qelm::kXmlLimits, Cat({HeadOnly(0xFFFFFFFF), a}), kAll, {a}},
      {"length over the discovery bound", qelm::kDiscoveryLimits, Cat({HeadOnly(4097), a}), kAll, {a}},
      // The refused word is the real frame's head: the search must not skip it.
      {"a false head whose version is the real head", qelm::kControlLimits,
       Cat({Bytes{0xAA, 0x55, 0xF0, 0x0F}, a}), kAll, {a}},
      {"a false head whose length is the real head", qelm::kControlLimits,
       Cat({Bytes{0xAA, 0x55, 0xF0, 0x0F, 0x00, 0x00, 0x01, 0x00}, a}), kAll, {a}},
      {"a false head one byte before the real head", qelm::kControlLimits,
       Cat({Bytes{0xAA, 0x55, 0xF0, 0x0F, 0x01}, a}), kAll, {a}},
      {"garbage ending in the head's first byte", qelm::kControlLimits, Cat({Bytes{0x01, 0x02, 0xAA}, a}), kAll, {a}},
      {"two false heads, then a frame", qelm::kDiscoveryLimits,
       Cat({Bytes{0xAA, 0x55, 0xF0, 0x0F, 0xAA, 0x55, 0xF0, 0x0F, 0x01, 0x00, 0x01, 0x00}, a}), kAll, {a}},
      {"a head cut off at the end", qelm::kControlLimits, Cat({a, Bytes(b.begin(), b.begin() + 10)}), kAll, {a}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // How the stream is cut into receives must not matter.
    std::vector<size_t> chunks{c.chunk};
    if (c.stream.size() < 20000) chunks.insert(chunks.end(), {1, 7, kAll});
    for (size_t chunk : chunks) {
      SCOPED_TRACE("receives of " + (chunk ? std::to_string(chunk) : std::string("all")) + " bytes");
      const std::vector<Bytes> got = Reassemble(c.limits, c.stream, chunk);
      ASSERT_EQ(got.size(), c.want.size());
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].size(), c.want[i].size()) << "frame " << i;
        EXPECT_TRUE(got[i] == c.want[i]) << "frame " << i << " differs";
      }
    }
  }
}

TEST(FrameReassembly, KeepsOnlyAPartialHeadBetweenReceives) {
  qelm::StRecvState st(qelm::kControlLimits);
  int handled = 0;
  const qelm::StRecvState::Handler handler = [&](qelm::FrameBuffer&) { ++handled; };
  const Bytes a = Good(1);
  const Bytes stream = Cat({a, Bytes(a.begin(), a.begin() + 11)});
  memcpy(st.RecvPtr(), stream.data(), stream.size());
  st.Feed(stream.size(), handler, 0);
  EXPECT_EQ(handled, 1);
  EXPECT_EQ(st.Held(), 11u);
  EXPECT_FALSE(st.InFrame());
  memcpy(st.RecvPtr(), a.data() + 11, 20);
  st.Feed(20, handler, 0);
  EXPECT_EQ(st.Held(), 0u);
  EXPECT_TRUE(st.InFrame());
  st.Clear();
  memcpy(st.RecvPtr(), a.data(), a.size());
  st.Feed(a.size(), handler, 0);
  EXPECT_EQ(handled, 2);
}

// --- bad frames: a body that never comes, a tail that is wrong ------------------

// What happens to a reassembly state, in order: bytes fed at a time, a
// time-out that wakes the receive thread, the end of a datagram.
struct Step {
  enum Kind { kFeed, kExpire, kFinish } kind;
  Bytes bytes;
  int64_t atMs;
};
Step FeedAt(int64_t ms, Bytes b) { return Step{Step::kFeed, std::move(b), ms}; }
Step ExpireAt(int64_t ms) { return Step{Step::kExpire, {}, ms}; }
Step Finish() { return Step{Step::kFinish, {}, 0}; }

struct Outcome {
  std::vector<Bytes> frames;
  std::vector<int64_t> handedAtMs;  // the time of the step that handed each frame over
  bool inFrame;
  std::vector<int64_t> deadlines;   // after each step (-1: no frame under way)
};

// Runs the steps, each feed cut into receives of at most `chunk` bytes.
Outcome RunSteps(const FrameLimits& limits, const std::vector<Step>& steps, size_t chunk) {
  qelm::StRecvState st(limits);
  Outcome out;
  int64_t stepMs = 0;
  const qelm::StRecvState::Handler handler = [&](qelm::FrameBuffer& frame) {
    out.frames.emplace_back(frame.begin(), frame.end());
    out.handedAtMs.push_back(stepMs);
  };
  for (const Step& s : steps) {
    stepMs = s.atMs;
    if (s.kind == Step::kExpire) st.Expire(s.atMs, handler);
    if (s.kind == Step::kFinish) st.Finish(handler);
    for (size_t at = 0; s.kind == Step::kFeed && at < s.bytes.size();) {
      const size_t n = std::min({st.RecvSpace(), s.bytes.size() - at, chunk ? chunk : SIZE_MAX});
      memcpy(st.RecvPtr(), s.bytes.data() + at, n);
      st.Feed(n, handler, s.atMs);
      at += n;
    }
    out.deadlines.push_back(st.DeadlineMs());
  }
  out.inFrame = st.InFrame();
  return out;
}

// Runs the steps with the stream cut into receives of several sizes (how it
// is cut must not matter), checks the frames handed over and then `check`s
// the rest of the outcome.
template <typename Check>
void ForEachCut(const FrameLimits& limits, const std::vector<Step>& steps, const std::vector<Bytes>& want,
                const Check& check) {
  for (size_t chunk : {kAll, size_t{1}, size_t{7}, size_t{4096}}) {
    SCOPED_TRACE("receives of " + (chunk ? std::to_string(chunk) : std::string("all")) + " bytes");
    const Outcome got = RunSteps(limits, steps, chunk);
    ASSERT_EQ(got.frames.size(), want.size());
    for (size_t i = 0; i < got.frames.size(); ++i) EXPECT_TRUE(got.frames[i] == want[i]) << "frame " << i;
    check(got);
  }
}

TEST(FrameReassembly, ABadFrameIsDroppedAndTheGoodFramesAmongItsBytesAreFound) {
  const Bytes a = Good(1), b = Good(2), c = Good(3, 100);
  const uint32_t threeMiB = 3u << 20;
  const Bytes noBody = HeadOnly(threeMiB);
  // Announces a length that ends inside b: its "tail" is b's bytes.
  const Bytes endsInB = HeadOnly(static_cast<uint32_t>(12 + a.size() + 20));
  const Bytes bHead(b.begin(), b.begin() + 30), bRest(b.begin() + 30, b.end());
  Frame wrongTail;  // a whole frame whose tail is wrong, holding a and b as its item's data
  Item carrier;
  carrier.data = Cat({a, b});
  wrongTail.items.push_back(carrier);
  wrongTail.tail = 0x550FF0AB;
  const Bytes big = GoodOfSize(9, 1u << 20);
  const size_t half = big.size() / 2;
  const Bytes bigFirst(big.begin(), big.begin() + half), bigLast(big.begin() + half, big.end());

  struct Case {
    const char* name;
    FrameLimits limits;
    std::vector<Step> steps;
    std::vector<Bytes> want;
    bool inFrame;  // a frame still under way at the end
  } cases[] = {
      {"a head with no body swallows what follows until its time-out", qelm::kControlLimits,
       {FeedAt(0, Cat({noBody, a, b})), ExpireAt(4999)}, {}, true},
      {"its time-out gives the frames it had taken", qelm::kControlLimits,
       {FeedAt(0, Cat({noBody, a, b})), ExpireAt(5000)}, {a, b}, false},
      {"a time-out passed when more bytes come drops it first", qelm::kControlLimits,
       {FeedAt(0, Cat({noBody, a})), FeedAt(5000, b)}, {a, b}, false},
      {"a frame found among its bytes goes on in the bytes still to come", qelm::kControlLimits,
       {FeedAt(0, Cat({noBody, a})), FeedAt(2000, bHead), ExpireAt(5000), FeedAt(5001, bRest)}, {a, b}, false},
      {"that frame has the time-out its own first byte gave it", qelm::kControlLimits,
       {FeedAt(0, Cat({noBody, a})), FeedAt(2000, bHead), ExpireAt(5000), ExpireAt(6999), ExpireAt(7000),
        FeedAt(7001, Cat({bRest, c}))},
       {a, c}, false},
      {"a frame whose head came with the bad one is bad at the same moment", qelm::kControlLimits,
       {FeedAt(0, Cat({noBody, a, bHead})), ExpireAt(5000), FeedAt(5001, Cat({bRest, c}))}, {a, c}, false},
      {"two heads with no body, one inside the other", qelm::kControlLimits,
       {FeedAt(0, Cat({noBody, noBody, a})), ExpireAt(5000), ExpireAt(10000)}, {a}, false},
      {"a head at the channel's bound", qelm::kControlLimits,
       {FeedAt(0, Cat({HeadOnly(static_cast<uint32_t>(qelm::kControlLimits.maxFrame)), a})), ExpireAt(5000)},
       {a},
       false},
      {"a wrong tail where the length puts it", qelm::kControlLimits, {FeedAt(0, Cat({endsInB, a, b, c}))},
       {a, b, c}, false},
      {"a whole frame with a wrong tail holding two good ones", qelm::kControlLimits,
       {FeedAt(0, Cat({wrongTail.Encode(), c}))}, {a, b, c}, false},
      {"a slow frame complete before its time-out is taken", kBigLimits,
       {FeedAt(0, bigFirst), FeedAt(4999, Cat({bigLast, a}))}, {big, a}, false},
      {"a slow frame that is not is dropped", kBigLimits,
       {FeedAt(0, bigFirst), FeedAt(5000, Cat({bigLast, a}))}, {a}, false},
      {"the end of a datagram ends the frame under way", qelm::kDiscoveryLimits,
       {FeedAt(0, Cat({HeadOnly(1000), a, bHead})), Finish()}, {a}, false},
      {"on the update channel, whose buffer is smaller than the bad frame", qelm::kUpdateLimits,
       {FeedAt(0, Cat({noBody, c, a})), ExpireAt(5000)}, {c, a}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ForEachCut(c.limits, c.steps, c.want, [&](const Outcome& got) { EXPECT_EQ(got.inFrame, c.inFrame); });
  }
}

TEST(FrameReassembly, AFramesDeadlineIsFiveSecondsAfterItsFirstByteArrived) {
  qelm::StRecvState st(qelm::kControlLimits);
  int handled = 0;
  const qelm::StRecvState::Handler handler = [&](qelm::FrameBuffer&) { ++handled; };
  EXPECT_EQ(st.DeadlineMs(), -1);
  const Bytes head = HeadOnly(100);
  // Ten bytes of it are no head yet.
  memcpy(st.RecvPtr(), head.data(), 10);
  st.Feed(10, handler, 1000);
  EXPECT_EQ(st.DeadlineMs(), -1);
  memcpy(st.RecvPtr(), head.data() + 10, 2);
  st.Feed(2, handler, 1200);
  EXPECT_EQ(st.DeadlineMs(), 6000);
  // More of its body does not move it.
  memset(st.RecvPtr(), 0x11, 20);
  st.Feed(20, handler, 3000);
  EXPECT_EQ(st.DeadlineMs(), 6000);
  st.Expire(5999, handler);
  EXPECT_TRUE(st.InFrame());
  st.Expire(6000, handler);
  EXPECT_FALSE(st.InFrame());
  EXPECT_EQ(st.DeadlineMs(), -1);
  EXPECT_EQ(handled, 0);
  // A long frame is received at most a receive buffer's worth at a time, and
  // after it the room is the receive buffer's again.
  const Bytes longHead = HeadOnly(1u << 20);
  memcpy(st.RecvPtr(), longHead.data(), longHead.size());
  st.Feed(longHead.size(), handler, 7000);
  EXPECT_GT(st.RecvSpace(), 0u);
  EXPECT_LE(st.RecvSpace(), qelm::kControlLimits.bufferSize);
  st.Expire(12000, handler);
  EXPECT_EQ(st.RecvSpace(), qelm::kControlLimits.bufferSize - st.Held());
}

// Heads one inside another, each announcing a body longer than what follows
// it. However they nest, each is bad 5 s after its own first byte came, so a
// channel is clear 5 s after the last byte of such a stream.
TEST(FrameReassembly, NestedHeadsAreEachDroppedFiveSecondsAfterTheirOwnArrival) {
  const Bytes a = Good(1), b = Good(2, 300);
  const Bytes noBody = HeadOnly(3u << 20);
  auto chain = [&](size_t heads) {
    Bytes out;
    for (size_t i = 0; i < heads; ++i) out.insert(out.end(), noBody.begin(), noBody.end());
    return out;
  };
  // Heads whose lengths end in the frames after them: each is found bad by
  // its tail, not by time.
  Bytes tailChain;
  for (int i = 0; i < 10; ++i) {
    const Bytes h = HeadOnly(static_cast<uint32_t>(12 * (10 - i) + 40));
    tailChain.insert(tailChain.end(), h.begin(), h.end());
  }
  const Bytes aFirst(a.begin(), a.begin() + 11), aRest(a.begin() + 11, a.end());

  struct Case {
    const char* name;
    FrameLimits limits;
    std::vector<Step> steps;
    std::vector<Bytes> want;
    std::vector<int64_t> handedAtMs;
    std::vector<int64_t> deadlines;  // after each step
  } cases[] = {
      {"ten heads at once, a good frame after them", qelm::kControlLimits,
       {FeedAt(0, Cat({chain(10), a})), ExpireAt(4999), ExpireAt(5000)}, {a}, {5000}, {5000, 5000, -1}},
      {"a thousand heads at once on the file channel", qelm::kXmlLimits,
       {FeedAt(0, Cat({chain(1000), a, b})), ExpireAt(5000)}, {a, b}, {5000, 5000}, {5000, -1}},
      {"heads that come a second apart, each dropped at its own time", qelm::kControlLimits,
       {FeedAt(0, noBody), FeedAt(1000, noBody), FeedAt(2000, noBody), FeedAt(3000, a), ExpireAt(5000),
        ExpireAt(5999), ExpireAt(6000), ExpireAt(7000)},
       {a}, {7000}, {5000, 5000, 5000, 5000, 6000, 6000, 7000, -1}},
      {"a deadline passed when more bytes come drops every head behind it", qelm::kControlLimits,
       {FeedAt(0, chain(5)), FeedAt(1000, noBody), FeedAt(9000, a)}, {a}, {9000}, {5000, 5000, -1}},
      {"heads found bad by their tails, then the next head found at once", qelm::kControlLimits,
       {FeedAt(0, Cat({noBody, tailChain, a})), ExpireAt(5000)}, {a}, {5000}, {5000, -1}},
      {"a head whose first bytes came 5 s before its last is bad when complete", qelm::kControlLimits,
       {FeedAt(0, aFirst), FeedAt(5000, Cat({aRest, b}))}, {b}, {5000}, {-1, -1}},
      {"one that came within 5 s is good", qelm::kControlLimits,
       {FeedAt(0, aFirst), FeedAt(4999, Cat({aRest, b}))}, {a, b}, {4999, 4999}, {-1, -1}},
      {"on the update channel, heads over many receive buffers", qelm::kUpdateLimits,
       {FeedAt(0, Cat({chain(300), b})), ExpireAt(5000)}, {b}, {5000}, {5000, -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ForEachCut(c.limits, c.steps, c.want, [&](const Outcome& got) {
      EXPECT_EQ(got.handedAtMs, c.handedAtMs);
      EXPECT_EQ(got.deadlines, c.deadlines);
    });
  }
}

// A flood of heads, one every millisecond for 2 s: the last is dropped 5 s
// after it came, and the bytes after it are good again at once.
TEST(FrameReassembly, AFloodOfHeadsClearsFiveSecondsAfterItsLastByte) {
  for (const FrameLimits& limits : {qelm::kControlLimits, qelm::kXmlLimits}) {
    SCOPED_TRACE("buffer " + std::to_string(limits.bufferSize));
    qelm::StRecvState st(limits);
    std::vector<int64_t> handed;
    int64_t now = 0;
    const qelm::StRecvState::Handler handler = [&](qelm::FrameBuffer&) { handed.push_back(now); };
    const Bytes head = HeadOnly(static_cast<uint32_t>(limits.maxFrame));
    auto feed = [&](const Bytes& b) {
      for (size_t at = 0; at < b.size();) {
        const size_t n = std::min(st.RecvSpace(), b.size() - at);
        memcpy(st.RecvPtr(), b.data() + at, n);
        st.Feed(n, handler, now);
        at += n;
      }
    };
    for (; now < 2000; ++now) {
      // As the receive thread does: it wakes at a deadline when nothing comes first.
      if (st.DeadlineMs() >= 0 && st.DeadlineMs() <= now) st.Expire(now, handler);
      feed(head);
    }
    const int64_t last = now - 1;
    while (st.DeadlineMs() >= 0 && st.DeadlineMs() < last + qelm::kFrameBodyLimitMs) {
      now = st.DeadlineMs();
      st.Expire(now, handler);
    }
    EXPECT_EQ(st.DeadlineMs(), last + qelm::kFrameBodyLimitMs);
    now = last + qelm::kFrameBodyLimitMs;
    st.Expire(now, handler);
    EXPECT_FALSE(st.InFrame());
    feed(Good(1));
    EXPECT_EQ(handed, std::vector<int64_t>{now});
    // What it had held is given back.
    EXPECT_LE(st.Reserved(), 2 * limits.bufferSize);
  }
}

// A head reserves room only as its bytes come, whatever length it announces,
// and a long frame's room is given back once it has been handed over.
TEST(FrameReassembly, StoreGrowsWithTheBytesThatCame) {
  struct Case {
    const char* name;
    FrameLimits limits;
    size_t body;  // bytes of body that came after the head
  } cases[] = {
      {"a head at the file channel's bound", qelm::kXmlLimits, 0},
      {"with 3 MB of its body", qelm::kXmlLimits, 3000000},
      {"a head at the control channel's bound", qelm::kControlLimits, 0},
      {"with 100 kB of its body", qelm::kControlLimits, 100000},
      {"on the update channel", qelm::kUpdateLimits, 50000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qelm::StRecvState st(c.limits);
    const qelm::StRecvState::Handler handler = [](qelm::FrameBuffer&) {};
    const Bytes stream = Cat({HeadOnly(static_cast<uint32_t>(c.limits.maxFrame)), Bytes(c.body, 0x11)});
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min(st.RecvSpace(), stream.size() - at);
      memcpy(st.RecvPtr(), stream.data() + at, n);
      st.Feed(n, handler, 0);
      at += n;
      EXPECT_LE(st.Reserved(), at + 2 * c.limits.bufferSize);
    }
    EXPECT_TRUE(st.InFrame());
    st.Expire(qelm::kFrameBodyLimitMs, handler);
    EXPECT_LE(st.Reserved(), 2 * c.limits.bufferSize);
  }
  // A good long frame: its room goes once it has been handed over.
  qelm::StRecvState st(qelm::kControlLimits);
  size_t got = 0;
  const qelm::StRecvState::Handler handler = [&](qelm::FrameBuffer& f) { got = f.size(); };
  const Bytes big = GoodOfSize(3, 2u << 20);
  for (size_t at = 0; at < big.size();) {
    const size_t n = std::min(st.RecvSpace(), big.size() - at);
    memcpy(st.RecvPtr(), big.data() + at, n);
    st.Feed(n, handler, 0);
    at += n;
  }
  EXPECT_EQ(got, big.size());
  EXPECT_LE(st.Reserved(), 2 * qelm::kControlLimits.bufferSize);
}

// The stream position of each frame handed over, and of the bytes taken, as
// a request compares them with the position it was sent at.
TEST(FrameReassembly, PositionsOfFramesAndOfBytesTaken) {
  qelm::StRecvState st(qelm::kControlLimits);
  std::vector<uint64_t> starts;
  const qelm::StRecvState::Handler handler = [&](qelm::FrameBuffer&) { starts.push_back(st.FrameStart()); };
  const Bytes a = Good(1), noBody = HeadOnly(3u << 20), junk(5, 0x00);
  auto feed = [&](const Bytes& b, int64_t ms) {
    memcpy(st.RecvPtr(), b.data(), b.size());
    st.Feed(b.size(), handler, ms);
  };
  EXPECT_EQ(st.Taken(), 0u);
  feed(Cat({junk, a}), 0);
  feed(Cat({noBody, a}), 0);
  const uint64_t beforeThird = st.Taken();
  EXPECT_EQ(beforeThird, junk.size() + a.size() + noBody.size() + a.size());
  feed(a, 10);
  st.Expire(5000, handler);
  // A Clear (a new connection) does not start the count again.
  st.Clear();
  EXPECT_EQ(st.Taken(), beforeThird + a.size());
  feed(a, 6000);
  const uint64_t second = junk.size() + a.size() + noBody.size();
  EXPECT_EQ(starts, (std::vector<uint64_t>{junk.size(), second, beforeThird, beforeThird + a.size()}));
}

// --- item walk ---------------------------------------------------------------

struct Seen {
  uint32_t code;
  size_t offset;
  Bytes data;
};

std::string Show(const std::vector<Seen>& items) {
  std::string s;
  for (const Seen& it : items)
    s += "[code " + std::to_string(it.code) + " at " + std::to_string(it.offset) + ": " +
         Hex(it.data.data(), it.data.size()) + "]";
  return s;
}

std::vector<Seen> Walk(const Bytes& frame) {
  std::vector<Seen> out;
  qelm::ItemWalker w(frame.data(), frame.size());
  qelm::ItemView v;
  while (w.Next(&v)) {
    EXPECT_EQ(v.data, frame.data() + v.offset + 20);
    out.push_back({v.head.code, v.offset, Bytes(v.data, v.data + v.head.length)});
  }
  return out;
}

TEST(FrameItems, WalkerGivesOutOnlyItemsInsideTheFrame) {
  Frame three;
  three.items = {{0x10, 1, 0, 0, 0, {1, 2, 3, 4}}, {0x20, 0, 0, 0, 0, {}}, {0x30, 2, 0, 0, 0, Bytes(10, 0x5A)}};
  const Bytes ok = three.Encode();
  const std::vector<Seen> all = {{0x10, 36, {1, 2, 3, 4}}, {0x20, 60, {}}, {0x30, 80, Bytes(10, 0x5A)}};

  Bytes pastTail = ok;  // the last item's data would reach into the tail
  Set32(pastTail, 80 + 16, 11);
  Bytes overflow = ok;  // a length that wraps an unchecked sum
  Set32(overflow, 60 + 16, 0xFFFFFFFF);
  Bytes wrapsBack = ok;  // a 32-bit sum would lead back to the item's own head
  Set32(wrapsBack, 36 + 16, 0xFFFFFFEC);
  Bytes moreCounted = ok;
  Set32(moreCounted, 32, 5);
  Bytes countZero = ok;
  Set32(countZero, 32, 0);
  Bytes countOne = ok;
  Set32(countOne, 32, 1);
  Bytes shortLength = ok;  // the length field ends the frame after the first item
  Set32(shortLength, 8, 64);
  Bytes longLength = ok;  // a length field beyond the bytes held counts for nothing
  Set32(longLength, 8, 5000);
  Bytes trailing = ok;  // counted items beyond the tail-bounded space: 12 stray bytes
  Set32(trailing, 32, 4);
  trailing.insert(trailing.end() - 4, 12, 0x00);
  Set32(trailing, 8, static_cast<uint32_t>(trailing.size()));
  Frame none;

  struct Case {
    const char* name;
    Bytes frame;
    std::vector<Seen> want;
  } cases[] = {
      {"items that fit", ok, all},
      {"an item running past the tail", pastTail, {all[0], all[1]}},
      {"length 0xFFFFFFFF", overflow, {all[0]}},
      {"a length that wraps back to its own head", wrapsBack, {}},
      {"more items counted than present", moreCounted, all},
      {"stray bytes shorter than an item head", trailing, all},
      {"count 0", countZero, {}},
      {"count 1", countOne, {all[0]}},
      {"the length field ends the frame early", shortLength, {all[0]}},
      {"a length field beyond the bytes given", longLength, all},
      {"a frame with no item", none.Encode(), {}},
      {"fewer bytes than a frame", Bytes(ok.begin(), ok.begin() + 39), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Show(Walk(c.frame)), Show(c.want));
  }
}

}  // namespace

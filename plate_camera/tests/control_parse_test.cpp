// The reply stream of the control channel: reassembly across receives,
// resynchronisation after broken frames, and which waiting request a reply
// completes.
#include <gtest/gtest.h>

#include <cstring>

#include "context.h"
#include "fake_camera.h"
#include "handle.h"
#include "nardix_harness.h"

namespace {

using lprtest::Bytes;
using lprtest::Concat;
using lprtest::Recorder;
using lprtest::ReplyFrame;
using nardix::ReplyKind;

class ReplyStream : public testing::Test {
 protected:
  void SetUp() override {
    nardix::Global().m_log.m_bLogOn.store(0);
    nardix::Global().m_pfnLprConnEvent.store(&Recorder::OnEvent);
    Recorder::Get().Clear();
    h_ = nardix::NewCameraHandle(0x0500007F);  // 127.0.0.5
    h_->m_pControl.reset(new nardix::StLprControlChannel);
    c_ = h_->m_pControl.get();
    c_->m_pOwner = h_.get();
  }
  // Received at monotonic time `nowMs` (no bytes: the thread woke at a deadline).
  void Feed(const Bytes& b, size_t chunk = SIZE_MAX, int64_t nowMs = 0) {
    nardixfuzz::FeedReplies(c_, b.data(), b.size(), chunk, nowMs);
  }
  void Wait(ReplyKind kind, uint8_t type = 0, uint8_t code = 0) {
    slot_ = nardix::StReplySlot();
    slot_.kind = kind;
    slot_.type = type;
    slot_.code = code;
    h_->m_pSlot = &slot_;
  }
  std::string Version(int i) const { return h_->m_szVersion[i]; }

  nardix::HandlePtr h_;
  nardix::StLprControlChannel* c_ = nullptr;
  nardix::StReplySlot slot_;
};

// A reset report reaches the link-event callback: one event per reply dispatched.
const Bytes kReset = ReplyFrame(0x00, 0x00, {1});

TEST_F(ReplyStream, ReplySplitAtAnyByteIsDispatchedOnce) {
  for (size_t cut = 1; cut < kReset.size(); ++cut) {
    Recorder::Get().Clear();
    Feed(Bytes(kReset.begin(), kReset.begin() + static_cast<long>(cut)));
    EXPECT_EQ(Recorder::Get().EventCount(), 0u) << cut;
    Feed(Bytes(kReset.begin() + static_cast<long>(cut), kReset.end()));
    ASSERT_EQ(Recorder::Get().EventCount(), 1u) << cut;
    EXPECT_EQ(Recorder::Get().Events()[0].event.code, 4);
    EXPECT_STREQ(Recorder::Get().Events()[0].event.ip, "127.0.0.5");
  }
}

TEST_F(ReplyStream, BrokenRepliesAreSkippedAndTheNextIsFound) {
  Bytes unequal = kReset;
  unequal.at(10) = 2;  // second length field differs
  Bytes tooLong = {0xAA, 0x55, 0, 0, 0, 0, 0x00, 0x00, 0xFF, 0x03, 0xFF, 0x03};  // 1023
  Bytes badTail(kReset.begin(), kReset.end() - 1);
  badTail.push_back(0x56);
  Bytes badSum = kReset;
  badSum.at(13) ^= 1;
  const struct {
    const char* name;
    Bytes bad;
  } cases[] = {{"unequal lengths", unequal}, {"length 1023", tooLong}, {"wrong tail", badTail},
               {"wrong sum", badSum}, {"noise", {0x12, 0xAA, 0x00, 0x55, 0xAA}}};
  for (const auto& c : cases) {
    for (size_t chunk : {size_t(1), size_t(5), SIZE_MAX}) {
      Recorder::Get().Clear();
      Feed(Concat({c.bad, kReset}), chunk);
      EXPECT_EQ(Recorder::Get().EventCount(), 1u) << c.name << " in receives of " << chunk;
    }
  }
}

// A reply head with its length pair and as much of its payload as given.
Bytes ReplyHead(uint16_t n, const Bytes& payload = {}) {
  Bytes b = {0xAA, 0x55, 0, 0, 0, 0, 0x20, 0x0B};
  for (int i = 0; i < 2; ++i) {
    b.push_back(static_cast<uint8_t>(n));
    b.push_back(static_cast<uint8_t>(n >> 8));
  }
  return Concat({b, payload});
}

TEST_F(ReplyStream, HeadWhoseBodyNeverComesGivesBackTheRepliesBehindIt) {
  const struct {
    const char* name;
    Bytes head;
    bool heldUntilDeadline;  // its length covers all the replies behind it
  } cases[] = {
      {"longest length, no payload", ReplyHead(1022), true},
      {"longest length, payload cut short", ReplyHead(1022, Bytes(300, 0x31)), true},
      {"head without its length pair", {0xAA, 0x55, 0, 0, 0, 0}, false},
      // The replies behind it reach where its tail should be: no waiting.
      {"short length, no payload", ReplyHead(40), false},
  };
  const Bytes after = Concat({kReset, kReset, kReset});
  for (const auto& c : cases) {
    for (size_t chunk : {size_t(7), SIZE_MAX}) {
      const std::string name = std::string(c.name) + " in receives of " + std::to_string(chunk);
      Recorder::Get().Clear();
      Feed(c.head, chunk, 1000);
      Feed(after, chunk, 1200);
      Feed({}, SIZE_MAX, 5999);  // the thread wakes before the deadline
      EXPECT_EQ(Recorder::Get().EventCount(), c.heldUntilDeadline ? 0u : 3u) << name;
      Feed({}, SIZE_MAX, 6000);  // and at it
      EXPECT_EQ(Recorder::Get().EventCount(), 3u) << name;
      EXPECT_FALSE(c_->m_parse.headFound) << name;
      EXPECT_EQ(c_->m_recv.Held(), 0u) << name;
    }
  }
}

// `n` reply heads nested one inside another: each announces a payload that
// reaches `beyond` bytes past the `after` bytes that follow the last head.
Bytes NestedReplyHeads(size_t n, size_t after, uint32_t beyond = 40) {
  Bytes b;
  for (size_t i = 0; i < n; ++i)
    b = Concat({b, ReplyHead(static_cast<uint16_t>((n - i - 1) * 12 + after + beyond))});
  return b;
}

TEST_F(ReplyStream, NestedHeadsArrivingTogetherAreDroppedFiveSecondsAfterTheyArrived) {
  const Bytes after = Concat({kReset, kReset});
  for (size_t n : {size_t(1), size_t(10), size_t(75)}) {
    for (size_t chunk : {size_t(5), SIZE_MAX}) {
      const std::string name = std::to_string(n) + " heads in receives of " + std::to_string(chunk);
      Recorder::Get().Clear();
      Feed(Concat({NestedReplyHeads(n, after.size()), after}), chunk, 1000);
      Feed({}, SIZE_MAX, 5999);
      EXPECT_EQ(Recorder::Get().EventCount(), 0u) << name;
      EXPECT_EQ(c_->m_parse.DeadlineMs(), 6000) << name;
      Feed({}, SIZE_MAX, 6000);
      EXPECT_EQ(Recorder::Get().EventCount(), 2u) << name;
      EXPECT_FALSE(c_->m_parse.headFound) << name;
      EXPECT_EQ(c_->m_recv.Held(), 0u) << name;
    }
  }
}

TEST_F(ReplyStream, NestedHeadsArrivingOneByOneAreEachDroppedFiveSecondsAfterItsOwnArrival) {
  const size_t n = 4;
  const Bytes heads = NestedReplyHeads(n, kReset.size());
  for (size_t i = 0; i < n; ++i)
    Feed(Bytes(heads.begin() + 12 * i, heads.begin() + 12 * (i + 1)), SIZE_MAX, 1000 + 700 * i);
  Feed(kReset, SIZE_MAX, 1000 + 700 * n);
  for (size_t i = 0; i < n; ++i) {
    const int64_t due = 6000 + 700 * static_cast<int64_t>(i);
    EXPECT_EQ(c_->m_parse.DeadlineMs(), due) << i;
    Feed({}, SIZE_MAX, due - 1);
    EXPECT_EQ(c_->m_parse.DeadlineMs(), due) << i;
    Feed({}, SIZE_MAX, due);
    EXPECT_EQ(Recorder::Get().EventCount(), i + 1 == n ? 1u : 0u) << i;
  }
}

TEST_F(ReplyStream, HeadWhoseReplyEndsOnTheTailOfAGoodReplyBehindItLeavesItWhole) {
  const Bytes good = ReplyFrame(0x20, 0x0B, {0x00, 0x2A});
  // A shutter reply head whose payload reaches the good reply's tail, with a
  // filler byte that makes its checksum (the good reply's) come out right.
  Bytes outer = ReplyHead(static_cast<uint16_t>(1 + good.size() - 5));
  uint8_t sum = 0;
  for (size_t i = 0; i + 5 < good.size(); ++i) sum = static_cast<uint8_t>(sum + good[i]);
  outer.push_back(static_cast<uint8_t>(good[good.size() - 5] - sum));
  const struct {
    const char* name;
    Bytes before;
  } cases[] = {{"one head", outer}, {"behind a bodiless head", Concat({ReplyHead(1000), outer})}};
  for (const auto& c : cases) {
    h_->m_nShutter = 7;
    Wait(ReplyKind::kShutterGet);
    Feed(Concat({c.before, good}), SIZE_MAX, 1000);
    Feed({}, SIZE_MAX, 6000);
    EXPECT_TRUE(slot_.done) << c.name;
    EXPECT_EQ(h_->m_nShutter, 0x2A) << c.name;
    EXPECT_EQ(c_->m_recv.Held(), 0u) << c.name;
  }
}

TEST_F(ReplyStream, ReplyReceivedBeforeTheRequestWentOutNeverCompletesIt) {
  const Bytes reply = ReplyFrame(0x20, 0x0B, {0x00, 0x2A});
  const Bytes version = ReplyFrame(0x00, 0x04, Concat({{1}, lprtest::Text("OLD")}));
  // When the request is noted as sent, against the receive of the reply's
  // bytes; all of it within one millisecond.
  enum When { kBeforeTheReceive, kDuringTheReceive, kAfterTheReceive };
  const struct {
    const char* name;
    When sent;
    Bytes before;  // in front of the reply
    bool done;
  } cases[] = {
      {"received after the send", kBeforeTheReceive, {}, true},
      // A receive waits for the answer while the request goes out.
      {"received by a receive under way at the send", kDuringTheReceive, {}, true},
      {"received before the send, held behind a bodiless head", kAfterTheReceive, ReplyHead(1000), false},
      {"held behind a bodiless head received after the send", kBeforeTheReceive, ReplyHead(1000), true},
  };
  for (const auto& c : cases) {
    h_->m_nShutter = 7;
    memset(h_->m_szVersion, 0, sizeof h_->m_szVersion);
    Wait(ReplyKind::kShutterGet);
    const Bytes b = Concat({c.before, version, reply});
    if (c.sent == kBeforeTheReceive) slot_.sendNo = c_->m_recv.NoteSend();
    uint32_t room = 0;
    memcpy(c_->m_recv.Space(&room), b.data(), b.size());
    if (c.sent == kDuringTheReceive) slot_.sendNo = c_->m_recv.NoteSend();
    c_->m_recv.Arrived(static_cast<uint32_t>(b.size()), 1200);
    nardix::ParseControlStream(c_, 1200);
    if (c.sent == kAfterTheReceive) slot_.sendNo = c_->m_recv.NoteSend();
    Feed({}, SIZE_MAX, 6200);  // past the bodiless head's deadline
    EXPECT_EQ(slot_.done, c.done) << c.name;
    EXPECT_EQ(h_->m_nShutter, c.done ? 0x2A : 7) << c.name;
    // Nor do its texts land while a request that came after it waits.
    EXPECT_EQ(Version(1), c.done ? "OLD" : "") << c.name;
  }
}

TEST_F(ReplyStream, WrongTailOrSumGivesBackTheRepliesInsideIt) {
  // A reply whose payload holds a whole reset report.
  Bytes wrongSum = ReplyFrame(0x00, 0x1C, kReset);
  wrongSum.at(12 + kReset.size()) ^= 1;
  Bytes wrongTail = ReplyFrame(0x00, 0x1C, kReset);
  wrongTail.back() = 0x56;
  for (const Bytes& bad : {wrongSum, wrongTail}) {
    Wait(ReplyKind::kRaw, 0x00, 0x1C);
    Recorder::Get().Clear();
    Feed(Concat({bad, kReset}));
    EXPECT_FALSE(slot_.done);
    EXPECT_EQ(Recorder::Get().EventCount(), 2u);
  }
}

TEST_F(ReplyStream, ReplyTricklingInWithinTheLimitIsTaken) {
  Wait(ReplyKind::kRaw, 0x00, 0x1C);
  const Bytes reply = ReplyFrame(0x00, 0x1C, Bytes(1022, 0x31));
  for (size_t i = 0; i < reply.size(); i += 100)
    Feed(Bytes(reply.begin() + static_cast<long>(i), reply.begin() + static_cast<long>(std::min(reply.size(), i + 100))),
         SIZE_MAX, static_cast<int64_t>(1000 + 4999 * i / (reply.size() - 1)));
  Feed(Bytes(reply.end() - 1, reply.end()), SIZE_MAX, 5999);
  EXPECT_TRUE(slot_.done);
  EXPECT_EQ(slot_.rawLen, 1022);
}

TEST_F(ReplyStream, LongestReplyFitsAndLongerIsRefused) {
  Wait(ReplyKind::kRaw, 0x00, 0x1C);
  Feed(ReplyFrame(0x00, 0x1C, Bytes(1022, 0x31)));
  EXPECT_TRUE(slot_.done);
  EXPECT_EQ(slot_.rawLen, 1022);  // the slot keeps its first 512 bytes
  Wait(ReplyKind::kRaw, 0x00, 0x1C);
  Feed(ReplyFrame(0x00, 0x1C, Bytes(1023, 0x31)));
  EXPECT_FALSE(slot_.done);
}

TEST_F(ReplyStream, WhichReplyCompletesWhichRequest) {
  const struct {
    const char* name;
    ReplyKind kind;
    Bytes reply;
    bool done;
    int shutter;
  } cases[] = {
      {"shutter get", ReplyKind::kShutterGet, ReplyFrame(0x20, 0x0B, {0x00, 0x2A}), true, 42},
      {"shutter set keeps the value", ReplyKind::kShutterSet, ReplyFrame(0x20, 0x0B, {0x00, 0x2A}), true, 7},
      {"shutter with first byte 1", ReplyKind::kShutterGet, ReplyFrame(0x20, 0x0B, {0x01, 0x2A}), false, 7},
      {"shutter get without its value", ReplyKind::kShutterGet, ReplyFrame(0x20, 0x0B, {0x00}), false, 7},
      {"shutter while nothing waits", ReplyKind::kNone, ReplyFrame(0x20, 0x0B, {0x00, 0x2A}), false, 7},
      {"network settings acknowledged", ReplyKind::kNetParams, ReplyFrame(0x80, 0x21, {0xBB}), true, 7},
      {"network settings refused", ReplyKind::kNetParams, ReplyFrame(0x80, 0x21, {0x00}), false, 7},
      {"work mode", ReplyKind::kWorkMode, ReplyFrame(0x00, 0x1E, {0xBB}), true, 7},
      {"an NTP reply does not complete a work mode", ReplyKind::kWorkMode, ReplyFrame(0x00, 0x1F, {0xBB}),
       false, 7},
      {"NTP", ReplyKind::kNtp, ReplyFrame(0x00, 0x1F, {0xBB}), true, 7},
      {"a shutter reply does not complete versions", ReplyKind::kVersion, ReplyFrame(0x20, 0x0B, {0, 1}),
       false, 7},
      {"version item 2 only fills its text", ReplyKind::kVersion, ReplyFrame(0x00, 0x04, {2, 'v'}), false, 7},
      {"version item 5 completes", ReplyKind::kVersion, ReplyFrame(0x00, 0x04, {5, 'v'}), true, 7},
  };
  for (const auto& c : cases) {
    h_->m_nShutter = 7;
    Wait(c.kind);
    Feed(c.reply);
    EXPECT_EQ(slot_.done, c.done) << c.name;
    EXPECT_EQ(h_->m_nShutter, c.shutter) << c.name;
  }
}

TEST_F(ReplyStream, RawRequestTakesOnlyItsOwnCommandsReply) {
  Wait(ReplyKind::kRaw, 0x00, 0x1A);
  Feed(ReplyFrame(0x00, 0x00, {0}));   // a heartbeat's answer
  Feed(ReplyFrame(0x00, 0x1A, {9}, 5));  // another sequence
  EXPECT_FALSE(slot_.done);
  Feed(ReplyFrame(0x00, 0x1A, {1, 2, 3}));
  ASSERT_TRUE(slot_.done);
  EXPECT_EQ(slot_.rawLen, 3);
  EXPECT_EQ(Bytes(slot_.raw, slot_.raw + 5), (Bytes{1, 2, 3, 6, 0}));  // with its sum byte
  // A duplicate does not overwrite what the request got.
  Feed(ReplyFrame(0x00, 0x1A, {4, 4, 4, 4}));
  EXPECT_EQ(slot_.rawLen, 3);
}

TEST_F(ReplyStream, VersionTextsGoToTheirSlotsCutAndTerminated) {
  Wait(ReplyKind::kVersion);
  Feed(ReplyFrame(0x00, 0x04, Concat({{0}, lprtest::Text("V0")})));
  Feed(ReplyFrame(0x00, 0x04, Concat({{3}, lprtest::Text("V3")})));
  Feed(ReplyFrame(0x00, 0x04, Concat({{4}, lprtest::Text("V4")})));  // not kept
  Feed(ReplyFrame(0x00, 0x04, Concat({{1}, Bytes(300, 'x')})));
  EXPECT_EQ(Version(0), "V0");
  EXPECT_EQ(Version(1), std::string(254, 'x'));
  EXPECT_EQ(Version(2), "");
  EXPECT_EQ(Version(3), "V3");
  EXPECT_EQ(Version(4), "");
  EXPECT_FALSE(slot_.done);
  Feed(ReplyFrame(0x00, 0x04, Concat({{5}, lprtest::Text("V5")})));
  EXPECT_EQ(Version(4), "V5");
  EXPECT_TRUE(slot_.done);
}

TEST_F(ReplyStream, ResetReportOnlyForFirstByteOne) {
  Feed(ReplyFrame(0x00, 0x00, {0}));
  Feed(ReplyFrame(0x00, 0x00, {}));
  EXPECT_EQ(Recorder::Get().EventCount(), 0u);
  Feed(ReplyFrame(0x00, 0x00, {1}));
  ASSERT_EQ(Recorder::Get().EventCount(), 1u);
  EXPECT_EQ(Recorder::Get().Events()[0].event.handle, h_.get());
}

}  // namespace

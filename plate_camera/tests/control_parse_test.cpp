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
    h_ = nardix::NewCameraHandle(0x0500007F);  // 127.0.0.5
    h_->m_pControl.reset(new nardix::StLprControlChannel);
    c_ = h_->m_pControl.get();
    c_->m_pOwner = h_.get();
  }
  void Feed(const Bytes& b, size_t chunk = SIZE_MAX) { nardixfuzz::FeedReplies(c_, b.data(), b.size(), chunk); }
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

// A connected camera whose channel receives a frame head whose body never
// comes: requests answer again within 6 s on the same connections, every
// result sent meanwhile arrives whole, and a link remade after such a head
// starts afresh. A large image that trickles in within the limit is taken.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <thread>

#include "fake_camera.h"
#include "lpr_fixture.h"
#include "wait.h"

namespace {

using lprtest::Bytes;
using lprtest::Command;
using lprtest::Concat;
using lprtest::FakeCamera;
using lprtest::Filled;
using lprtest::Recorder;
using lprtest::ReplyFrame;
using lprtest::ResultFrame;

enum class Channel { kResult, kControl };

struct BadHead {
  const char* name;
  Channel channel;
  Bytes head;
};

void PrintTo(const BadHead& c, std::ostream* os) { *os << c.name; }

// Each result carries an image of its id's own bytes.
Bytes ImageOf(uint16_t id) { return Filled(1000 + id, static_cast<uint8_t>(id)); }

class Recovery : public lprtest::LprTest, public testing::WithParamInterface<BadHead> {
 protected:
  void SetUp() override {
    LprTest::SetUp();
    ASSERT_EQ(lprtest::InitWithRecorder(0), 0);
    // The camera answers the shutter request, and a capture with a result.
    cam_.SetReplier([this](const Command& c) {
      std::vector<Bytes> replies;
      if (c.type == 0x20 && c.code == 0x0B) replies.push_back(ReplyFrame(0x20, 0x0B, {0x00, 42}));
      if (c.type == 0x80 && c.code == 0x00) {
        std::lock_guard<std::mutex> lk(m_);
        const uint16_t id = static_cast<uint16_t>(sent_.size() + 1);
        sent_.push_back(id);
        cam_.SendResult(Concat({ResultFrame(0x40, id, ImageOf(id)), ResultFrame(0x50, id, {})}));
      }
      return replies;
    });
    h_ = Connect(cam_);
  }

  // The request that shows whether the channel works: a capture, which waits
  // for a result, or a shutter request, which waits for its reply.
  int Request() {
    if (GetParam().channel == Channel::kResult) return LPR_CaptureEx(h_, 0);
    int v = 0;
    return LPR_GetShutterValue(h_, &v);
  }
  bool SendBadHead() {
    const BadHead& c = GetParam();
    return c.channel == Channel::kResult ? cam_.SendResult(c.head) : cam_.SendReply(c.head);
  }
  // Milliseconds from `t0` to the first request that answers 0 (-1: none
  // within 8 s).
  int64_t RecoveryFrom(int64_t t0) {
    while (kittest::NowMs() - t0 < 8000)
      if (Request() == 0) return kittest::NowMs() - t0;
    return -1;
  }
  void Report(const std::string& what, int64_t ms) {
    std::cout << what << " " << GetParam().name << ": " << ms << " ms" << std::endl;
    RecordProperty(what + "_ms", static_cast<int>(ms));
  }
  // Every result the camera sent arrived, in order, each with its own image.
  void ExpectEverySentResultWhole() {
    std::vector<uint16_t> sent;
    {
      std::lock_guard<std::mutex> lk(m_);
      sent = sent_;
    }
    EXPECT_TRUE(Recorder::Get().WaitResults(sent.size(), 3000));
    const auto results = Recorder::Get().Results();
    ASSERT_EQ(results.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(results[i].copy.resultId, sent[i]) << i;
      EXPECT_EQ(results[i].image1, ImageOf(sent[i])) << "result " << sent[i];
    }
  }

  // Before the camera, so that they outlive its threads.
  std::mutex m_;
  std::vector<uint16_t> sent_;
  FakeCamera cam_{"127.0.0.31"};
  StLprCameraHandle* h_ = nullptr;
};

TEST_P(Recovery, RequestsAnswerAgainWithinSixSecondsOnTheSameConnections) {
  ASSERT_EQ(Request(), 0);
  const int64_t t0 = kittest::NowMs();
  ASSERT_TRUE(SendBadHead());
  const int64_t ms = RecoveryFrom(t0);
  Report("recovery", ms);
  ASSERT_GE(ms, 0) << "no request answered 0 within 8 s";
  EXPECT_LT(ms, 6000);
  EXPECT_EQ(cam_.result.ConnectionCount(), 1u);
  EXPECT_EQ(cam_.control.ConnectionCount(), 1u);
  if (GetParam().channel == Channel::kResult) ExpectEverySentResultWhole();
}

TEST_P(Recovery, AfterTheLinkIsRemadeRequestsAnswerAtOnce) {
  ASSERT_EQ(Request(), 0);
  const int64_t t0 = kittest::NowMs();
  ASSERT_TRUE(SendBadHead());
  kittest::FakeTcpServer& link = GetParam().channel == Channel::kResult ? cam_.result : cam_.control;
  link.CloseAll();
  ASSERT_TRUE(link.WaitConnections(2, 3000));
  const int64_t ms = RecoveryFrom(t0);
  Report("recovery after reconnection", ms);
  ASSERT_GE(ms, 0);
  // Well before the bad frame's 5 s would have run out.
  EXPECT_LT(ms, 3000);
  if (GetParam().channel == Channel::kResult) ExpectEverySentResultWhole();
}

INSTANTIATE_TEST_SUITE_P(
    BadHeads, Recovery,
    testing::Values(
        BadHead{"result image head announcing 204800 bytes", Channel::kResult,
                {0xAA, 0x55, 0xFF, 0x40, 0x00, 0x20, 0x03, 0x00}},
        BadHead{"result head of another type announcing 204800 bytes", Channel::kResult,
                {0xAA, 0x55, 0x01, 0x00, 0x00, 0x20, 0x03, 0x00}},
        BadHead{"result info head announcing 66 bytes", Channel::kResult,
                {0xAA, 0x55, 0xFF, 0x00, 0x42, 0x00, 0x00, 0x00}},
        BadHead{"reply head announcing 1022 bytes", Channel::kControl,
                {0xAA, 0x55, 0, 0, 0, 0, 0x20, 0x0B, 0xFE, 0x03, 0xFE, 0x03}},
        BadHead{"reply head announcing 1022 bytes with 300 of them", Channel::kControl,
                Concat({{0xAA, 0x55, 0, 0, 0, 0, 0x00, 0x1C, 0xFE, 0x03, 0xFE, 0x03}, Bytes(300, 0x31)})}),
    [](const testing::TestParamInfo<BadHead>& info) {
      std::string name;
      for (const char* p = info.param.name; *p; ++p)
        if (isalnum(static_cast<unsigned char>(*p))) name += *p;
      return name;
    });

class SlowFrame : public lprtest::LprTest {};

TEST_F(SlowFrame, LargestImageSentOverTwoSecondsIsTakenWhole) {
  FakeCamera cam("127.0.0.32");
  ASSERT_EQ(lprtest::InitWithRecorder(0), 0);
  StLprCameraHandle* h = Connect(cam);
  ASSERT_NE(h, nullptr);
  const Bytes image = Filled(204798, 5);  // with the id: length field 204800
  const Bytes frame = Concat({ResultFrame(0x40, 9, image), ResultFrame(0x50, 9, {})});
  // The camera's pace: a piece every 105 ms, the last one 2 s after the first.
  const int64_t sentMs = kittest::SendPaced(frame, 20, 105, [&](const Bytes& b) { return cam.SendResult(b); });
  ASSERT_GE(sentMs, 0);
  ASSERT_TRUE(Recorder::Get().WaitResults(1, 3000));
  std::cout << "slow frame: " << frame.size() << " bytes sent over " << sentMs << " ms" << std::endl;
  EXPECT_GE(sentMs, 1900);
  const auto results = Recorder::Get().Results();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].copy.resultId, 9);
  EXPECT_EQ(results[0].image1, image);
}

}  // namespace

// Requests to a connected camera: the items each export sends, the replies it
// waits for, time-outs, and the heartbeat and clock of the heartbeat thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "bytes.h"
#include "context.h"
#include "fake_camera.h"
#include "heartbeat.h"
#include "lpr_fixture.h"
#include "netns.h"
#include "platform/reply_signal.h"

namespace {

using lprtest::Bytes;
using lprtest::Command;
using lprtest::Concat;
using lprtest::FakeCamera;
using lprtest::ReplyFrame;
using lprtest::ResultFrame;

const Bytes kResult = Concat({ResultFrame(0x40, 3, {1}), ResultFrame(0x50, 3, {})});
const Command kHeartbeat{0x00, 0x00, 0, {}};

class Requests : public lprtest::LprTest {
 protected:
  void SetUp() override {
    LprTest::SetUp();
    ASSERT_EQ(lprtest::InitWithRecorder(0), 0);
    h_ = Connect(cam_);
  }
  // Answers commands of one type and code with the given payloads.
  void Answer(uint8_t type, uint8_t code, std::function<std::vector<Bytes>(const Command&)> f) {
    {
      std::lock_guard<std::mutex> lk(answersMutex_);
      answers_[type << 8 | code] = std::move(f);
    }
    cam_.SetReplier([this](const Command& c) {
      std::function<std::vector<Bytes>(const Command&)> answer;
      {
        std::lock_guard<std::mutex> lk(answersMutex_);
        auto it = answers_.find(c.type << 8 | c.code);
        if (it != answers_.end()) answer = it->second;
      }
      std::vector<Bytes> out;
      if (answer)
        for (const auto& p : answer(c)) out.push_back(ReplyFrame(c.type, c.code, p));
      return out;
    });
  }
  std::vector<Command> Sent() { return cam_.Commands(); }

  // Before the camera, so that they outlive its threads.
  std::mutex answersMutex_;
  std::map<int, std::function<std::vector<Bytes>(const Command&)>> answers_;
  FakeCamera cam_{"127.0.0.21"};
  StLprCameraHandle* h_ = nullptr;
};

TEST_F(Requests, CaptureSendsItsItemByteForByte) {
  EXPECT_EQ(LPR_Capture(h_), 0);
  ASSERT_TRUE(cam_.WaitCommands(1, 3000));
  EXPECT_EQ(cam_.control.Last()->Received(),
            (Bytes{0xAA, 0x55, 0, 0, 0, 0, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAA, 0xF0, 0x0F, 0x55}));
}

TEST_F(Requests, CaptureLogsEveryStepOfItsLookUpAndSend) {
  StLprCameraHandle* unknown = reinterpret_cast<StLprCameraHandle*>(0x10);
  EXPECT_EQ(LPR_Capture(unknown), 8);
  EXPECT_EQ(LPR_Capture(h_), 0);
  ASSERT_TRUE(Logged("send success end"));
  const std::vector<std::string> lines = LogLines();
  const auto first = std::find(lines.begin(), lines.end(), "start LPR_Capture");
  ASSERT_GE(lines.end() - first, 14) << lines.size() << " lines";
  char handle[64];
  snprintf(handle, sizeof handle, "LPR_Capture pHandle = 0x%08X",
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(h_)));
  const std::vector<std::string> want = {
      "start LPR_Capture",
      "LPR_Capture pHandle = 0x00000010",
      "find device = 0",
      "start LPR_Capture",
      handle,
      "find device = 1",
      "LPR_Capture  start (*posData)->m_pControl == NULL",
      "LPR_Capture  end (*posData)->m_pControl == NULL",
      "start CreateDictate",
      "end CreateDictate",
      "start control send m_pControl",
      "start control send m_pControl socket",
      "",  // the send line, below
      "send success end",
  };
  const std::vector<std::string> got(first, first + 14);
  for (size_t i = 0; i < want.size(); ++i) {
    if (want[i].empty()) continue;
    EXPECT_EQ(got[i], want[i]) << i;
  }
  // The control record, its socket, the frame buffer and the frame's 16 bytes.
  EXPECT_TRUE(std::regex_match(got[12], std::regex("start control send m_pControl send m_pControl = 0x-?[0-9]+ , "
                                                   "m_pControl->m_hSocket = [0-9]+,ucSendCmd = 0x[0-9a-f]{8,},"
                                                   "uiSendCmdLen = 16")))
      << got[12];
}

TEST_F(Requests, CaptureExWaitsUpToOneSecondForAResult) {
  cam_.SetReplier([this](const Command& c) {
    if (c.type == 0x80) cam_.SendResult(kResult);
    return std::vector<Bytes>();
  });
  EXPECT_EQ(LPR_CaptureEx(h_, 0), 0);
  cam_.SetReplier(nullptr);
  lprtest::Recorder::Get().Clear();
  const int64_t t0 = kittest::NowMs();
  EXPECT_EQ(LPR_CaptureEx(h_, 0), 12);
  EXPECT_GE(kittest::NowMs() - t0, 950);
  // A result that comes later still reaches the callback.
  ASSERT_TRUE(cam_.SendResult(kResult));
  EXPECT_TRUE(lprtest::Recorder::Get().WaitResults(1, 3000));
}

TEST_F(Requests, CaptureExIsNotAnsweredByAResultThatArrivedBeforeIt) {
  // The camera answers no capture. A result held behind a head whose body
  // never comes is parsed again 5 s later, while a capture waits.
  const Bytes head = {0xAA, 0x55, 0xFF, 0x40, 0x00, 0x20, 0x03, 0x00};
  const int64_t t0 = kittest::NowMs();
  ASSERT_TRUE(cam_.SendResult(Concat({head, kResult})));
  int captures = 0;
  while (lprtest::Recorder::Get().ResultCount() == 0 && kittest::NowMs() - t0 < 8000) {
    EXPECT_EQ(LPR_CaptureEx(h_, 0), 12) << "capture " << captures << " took the result from before it";
    ++captures;
  }
  EXPECT_EQ(lprtest::Recorder::Get().ResultCount(), 1u);
  EXPECT_GE(captures, 4);
}

TEST_F(Requests, AdjustTimeSendsLocalTime) {
  pf::test::FreezeClock(1709210096000);  // 2024-02-29 12:34:56 UTC
  EXPECT_EQ(LPR_AdjustTime(h_, 1706745599), 0);
  EXPECT_EQ(LPR_AdjustTime(h_, 0), 0);
  ASSERT_TRUE(cam_.WaitCommands(2, 3000));
  EXPECT_EQ(Sent()[0], (Command{0x20, 0x02, 1, {24, 1, 31, 23, 59, 59}}));
  EXPECT_EQ(Sent()[1], (Command{0x20, 0x02, 1, {24, 2, 29, 12, 34, 56}}));
}

TEST_F(Requests, NtpOnSendsThreeItemsAndOffOne) {
  Answer(0x00, 0x1F, [](const Command&) { return std::vector<Bytes>{{0xBB}}; });
  EXPECT_EQ(LPR_NTPEnable(h_, 1, "198.51.100.9"), 0);
  EXPECT_EQ(LPR_NTPEnable(h_, 0x100, "ignored"), 0);
  ASSERT_TRUE(cam_.WaitCommands(4, 3000));
  const std::vector<Command> want = {{0x00, 0x20, 1, {198, 51, 100, 9}},
                                     {0x00, 0x21, 1, {2, 0, 0, 0}},
                                     {0x00, 0x1F, 1, {1}},
                                     {0x00, 0x1F, 1, {}}};
  EXPECT_EQ(Sent(), want);
  Answer(0x00, 0x1F, [](const Command&) { return std::vector<Bytes>{{0x00}}; });
  EXPECT_EQ(LPR_NTPEnable(h_, 1, "198.51.100.9"), 209);
}

TEST_F(Requests, AllVersionsAskedInOneFrameAndReturnedInItemOrder) {
  Answer(0x00, 0x04, [](const Command& c) {
    const uint8_t item = c.payload.at(0);
    return std::vector<Bytes>{Concat({{item}, lprtest::Text("ver" + std::to_string(item))})};
  });
  StLprVersionInfo vi;
  memset(&vi, 0x7F, sizeof vi);
  ASSERT_EQ(LPR_GetAllVersion(h_, &vi), 0);
  EXPECT_STREQ(vi.version[0], "ver0");
  EXPECT_STREQ(vi.version[1], "ver1");
  EXPECT_STREQ(vi.version[2], "ver2");
  EXPECT_STREQ(vi.version[3], "ver3");
  EXPECT_STREQ(vi.version[4], "ver5");
  std::vector<uint8_t> asked;
  for (const auto& c : Sent()) asked.push_back(c.payload.at(0));
  EXPECT_EQ(asked, (std::vector<uint8_t>{0, 3, 1, 2, 5}));
  EXPECT_EQ(cam_.control.Last()->Received().size(), 5u * 17);
  // Without item 5 the request times out.
  Answer(0x00, 0x04, [](const Command& c) {
    return c.payload.at(0) == 5 ? std::vector<Bytes>() : std::vector<Bytes>{{c.payload.at(0), 'x'}};
  });
  EXPECT_EQ(LPR_GetAllVersion(h_, &vi), 209);
}

TEST_F(Requests, ShutterSetSendsTheLowByteAndGetReportsTheGetReply) {
  Answer(0x20, 0x0B, [](const Command& c) {
    return std::vector<Bytes>{{0x00, static_cast<uint8_t>(c.direction ? 0x99 : 42)}};
  });
  EXPECT_EQ(LPR_SetShutterValue(h_, 300), 0);
  int v = 0;
  EXPECT_EQ(LPR_GetShutterValue(h_, &v), 0);
  EXPECT_EQ(v, 42);
  ASSERT_TRUE(cam_.WaitCommands(4, 3000));
  const std::vector<Command> want = {{0x20, 0x0B, 1, {0, 44}}, {0x60, 0x0A, 1, {1}}, {0x80, 0x0C, 1, {}},
                                     {0x20, 0x0B, 0, {0}}};
  EXPECT_EQ(Sent(), want);

  // No acknowledgement: 209, and the closing item is not sent.
  cam_.SetReplier(nullptr);
  cam_.ClearCommands();
  EXPECT_EQ(LPR_SetShutterValue(h_, 5), 209);
  EXPECT_EQ(LPR_GetShutterValue(h_, &v), 209);
  ASSERT_TRUE(cam_.WaitCommands(3, 3000));
  EXPECT_EQ(Sent().size(), 3u);
  EXPECT_EQ(Sent()[2], (Command{0x20, 0x0B, 0, {0}}));
}

TEST_F(Requests, WorkModeWaitsForItsAcknowledgement) {
  Answer(0x00, 0x1E, [](const Command& c) {
    return std::vector<Bytes>{{static_cast<uint8_t>(c.payload.at(0) == 3 ? 0xBB : 0x00)}};
  });
  EXPECT_EQ(LPR_SetWorkMode(h_, 0x103), 0);
  EXPECT_EQ(LPR_SetWorkMode(h_, 4), 209);
  ASSERT_TRUE(cam_.WaitCommands(2, 3000));
  EXPECT_EQ(Sent()[0], (Command{0x00, 0x1E, 1, {3}}));
}

TEST_F(Requests, ControlParamsWithAndWithoutThePrefixByte) {
  Answer(0x00, 0x1C, [](const Command& c) { return std::vector<Bytes>{Concat({c.payload, {'A', 'B'}})}; });
  StLprControlParams p{};
  p.type = 0x00;
  p.code = 0x1C;
  p.hasPrefix = 1;
  p.prefix = 0x07;
  p.direction = 0;
  p.length = 3;
  p.data[0] = 1, p.data[1] = 2, p.data[2] = 3;
  ASSERT_EQ(LPR_ControlParams(h_, &p, 500), 0);
  ASSERT_TRUE(cam_.WaitCommands(1, 3000));
  EXPECT_EQ(Sent()[0], (Command{0x00, 0x1C, 0, {7, 1, 2, 3}}));
  // The reply without its first byte.
  EXPECT_EQ(p.length, 5);
  EXPECT_EQ(Bytes(p.data, p.data + 6), (Bytes{1, 2, 3, 'A', 'B', 0}));

  p.hasPrefix = 0;
  p.length = 1;
  p.data[0] = 9;
  ASSERT_EQ(LPR_ControlParams(h_, &p, 500), 0);
  EXPECT_EQ(p.length, 3);
  EXPECT_EQ(Bytes(p.data, p.data + 3), (Bytes{9, 'A', 'B'}));

  // A set leaves the record as it was.
  p.direction = 1;
  p.length = 2;
  const StLprControlParams before = p;
  ASSERT_EQ(LPR_ControlParams(h_, &p, 500), 0);
  EXPECT_EQ(memcmp(&before, &p, sizeof p), 0);

  p.length = 513;
  EXPECT_EQ(LPR_ControlParams(h_, &p, 500), 3);
  EXPECT_EQ(LPR_ControlParams(h_, nullptr, 500), 3);

  // The caller's time-out, not the 500 ms of the other requests.
  p.length = 0;
  p.code = 0x55;
  const int64_t t0 = kittest::NowMs();
  EXPECT_EQ(LPR_ControlParams(h_, &p, 1200), 209);
  EXPECT_GE(kittest::NowMs() - t0, 1150);
}

TEST_F(Requests, ControlParamsReplyLongerThanTheRecordIsCut) {
  Answer(0x00, 0x1C, [](const Command&) { return std::vector<Bytes>{lprtest::Filled(700, 1)}; });
  StLprControlParams p{};
  p.code = 0x1C;
  ASSERT_EQ(LPR_ControlParams(h_, &p, 500), 0);
  EXPECT_EQ(p.length, 512);
  EXPECT_EQ(Bytes(p.data, p.data + 512), lprtest::Filled(512, 1));
  // A reply of nothing but the prefix, and an empty one, give no data.
  Answer(0x00, 0x1C, [](const Command&) { return std::vector<Bytes>{{}}; });
  p.hasPrefix = 1;
  ASSERT_EQ(LPR_ControlParams(h_, &p, 500), 0);
  EXPECT_EQ(p.length, 0);
}

TEST_F(Requests, AlgorithmParametersFromTheirReply) {
  Answer(0x00, 0x1A, [](const Command&) {
    Bytes p(40, 0);
    kit::WriteLE32(p.data() + 4, static_cast<uint32_t>(-7));
    kit::WriteLE16(p.data() + 12, 1212);
    kit::WriteLE16(p.data() + 16, 1616);
    kit::WriteLE16(p.data() + 20, 2020);
    kit::WriteLE16(p.data() + 24, 2424);
    kit::WriteLE32(p.data() + 32, 3232);
    p[36] = 5;
    return std::vector<Bytes>{p};
  });
  StLprAlgParams a;
  memset(&a, 0xFF, sizeof a);
  ASSERT_EQ(LPR_GetAlgParams(h_, &a, 500), 0);
  EXPECT_EQ(a.value0, -7);
  EXPECT_EQ(a.value1, 1212);
  EXPECT_EQ(a.value2, 2020);
  EXPECT_EQ(a.value3, 1616);
  EXPECT_EQ(a.value4, 2424);
  EXPECT_EQ(a.value5, 3232);
  EXPECT_EQ(a.flag, 1);
  ASSERT_TRUE(cam_.WaitCommands(1, 3000));
  EXPECT_EQ(Sent()[0], (Command{0x00, 0x1A, 0, {}}));
  EXPECT_EQ(LPR_GetAlgParams(h_, nullptr, 500), 3);
}

TEST_F(Requests, LateOrStrayRepliesNeverCompleteALaterRequest) {
  int v = -1;
  EXPECT_EQ(LPR_GetShutterValue(h_, &v), 209);
  // A late reply, and behind it a reset report that shows it has been read.
  ASSERT_TRUE(cam_.SendReply(Concat({ReplyFrame(0x20, 0x0B, {0x00, 42}), ReplyFrame(0x00, 0x00, {1})})));
  ASSERT_TRUE(lprtest::Recorder::Get().WaitEvents(1, 3000));
  EXPECT_EQ(LPR_GetShutterValue(h_, &v), 209);
  EXPECT_EQ(v, -1);

  // Stray replies while other requests wait.
  cam_.SetReplier([](const Command& c) {
    return std::vector<Bytes>{ReplyFrame(0x20, 0x0B, {0x00, 1}), ReplyFrame(0x00, 0x1A, {1, 2}),
                              ReplyFrame(0x00, 0x1F, {0xBB})};
  });
  StLprVersionInfo vi;
  EXPECT_EQ(LPR_GetAllVersion(h_, &vi), 209);
  StLprControlParams p{};
  p.code = 0x1C;
  EXPECT_EQ(LPR_ControlParams(h_, &p, 200), 209);
  EXPECT_EQ(LPR_SetWorkMode(h_, 1), 209);
}

// With the reply hand-over spinning as usual and with it sleeping at once.
TEST_F(Requests, ConcurrentRequestsEachGetTheirOwnReply) {
  Answer(0x20, 0x0B, [](const Command&) { return std::vector<Bytes>{{0x00, 42}}; });
  Answer(0x00, 0x1E, [](const Command&) { return std::vector<Bytes>{{0xBB}}; });
  Answer(0x00, 0x04, [](const Command& c) { return std::vector<Bytes>{{c.payload.at(0), 'v'}}; });
  const int saved = pf::test::ReplySpinUs();
  for (const int spinUs : {saved, 0}) {
    SCOPED_TRACE("spin " + std::to_string(spinUs) + " us");
    pf::test::SetReplySpinUs(spinUs);
    std::atomic<int> failures{0};
    std::thread a([&] {
      for (int i = 0; i < 20; ++i) {
        int v = 0;
        if (LPR_GetShutterValue(h_, &v) != 0 || v != 42) ++failures;
      }
    });
    std::thread b([&] {
      for (int i = 0; i < 20; ++i)
        if (LPR_SetWorkMode(h_, 2) != 0) ++failures;
    });
    std::thread c([&] {
      for (int i = 0; i < 20; ++i) {
        StLprVersionInfo vi;
        if (LPR_GetAllVersion(h_, &vi) != 0 || strcmp(vi.version[4], "v") != 0) ++failures;
      }
    });
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(failures.load(), 0);
  }
  pf::test::SetReplySpinUs(saved);
}

TEST_F(Requests, DisconnectEndsAWaitingRequestWhichStillHoldsItsRecord) {
  std::atomic<int> rc{-1};
  std::thread waiter([&] {
    StLprControlParams p{};
    p.code = 0x1C;
    rc.store(LPR_ControlParams(h_, &p, 10000));
  });
  ASSERT_TRUE(cam_.WaitCommands(1, 3000));
  const int64_t t0 = kittest::NowMs();
  ASSERT_EQ(LPR_DisconnectCamera(h_), 0);
  waiter.join();
  EXPECT_LT(kittest::NowMs() - t0, 2000);
  EXPECT_EQ(rc.load(), 209);
}

TEST_F(Requests, FailedSendGives7AndUnknownHandleGives8) {
  KIT_REQUIRE_PRIVATE_NETWORK();  // the network setting lists this PC's addresses
  StLprCameraHandle* unknown = reinterpret_cast<StLprCameraHandle*>(0x10);
  EXPECT_EQ(lprtest::EveryRequestOn(unknown), std::vector<int>(11, 8));

  // The camera resets the control connection; until the channel is made
  // again (not soon: long pauses), sends fail.
  nardix::test::SetReconnectTickMs(1000);
  cam_.control.StopListening();
  cam_.control.ResetAll();
  EXPECT_TRUE(kittest::WaitUntil([&] { return LPR_Capture(h_) == 7; }, 3000));
  EXPECT_TRUE(Logged("send fail end"));
}

TEST_F(Requests, HeartbeatReachesTheResultChannelTwiceAndTheControlChannelOnce) {
  nardix::test::SetHeartbeatTiming(10, 3, 1000000);
  ASSERT_TRUE(kittest::WaitUntil(
      [&] {
        size_t n = 0;
        for (const auto& c : Sent()) n += c == kHeartbeat;
        return n >= 3;
      },
      5000));
  ASSERT_EQ(LPR_Quit(), 0);
  ASSERT_TRUE(kittest::WaitUntil([&] { return !cam_.result.Last()->Open() && !cam_.control.Last()->Open(); }, 3000));
  size_t control = 0, result = 0;
  for (const auto& c : Sent()) control += c == kHeartbeat;
  for (const auto& c : lprtest::ParseCommands(cam_.result.Last()->Received())) {
    EXPECT_EQ(c, kHeartbeat);
    ++result;
  }
  EXPECT_GE(control, 3u);
  EXPECT_EQ(result, 2 * control);
}

TEST_F(Requests, ClockIsSetOnEveryCameraAfterItsTicks) {
  FakeCamera other("127.0.0.22");
  Connect(other);
  pf::test::FreezeClock(1709210096000);  // 2024-02-29 12:34:56 UTC
  nardix::test::SetHeartbeatTiming(10, 1000000, 4);
  const Command clock{0x20, 0x02, 1, {24, 2, 29, 12, 34, 56}};
  for (FakeCamera* c : {&cam_, &other}) {
    ASSERT_TRUE(c->WaitCommands(2, 5000));
    for (const auto& cmd : c->Commands()) EXPECT_EQ(cmd, clock);
  }
}

}  // namespace

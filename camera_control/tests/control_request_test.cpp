// The reply slot of a handle: a request is completed only by the reply whose
// sequence echo is its own; time-outs, closes and broken links are never
// reported as success.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "control_support.h"
#include "errors.h"
#include "netns.h"
#include "platform/reply_signal.h"
#include "quit_support.h"

namespace {

using namespace ctltest;
using kittest::CamFrame;
using kittest::CamItem;
using kittest::FakeCamera;
using kittest::NowMs;
using kittest::WaitUntil;

std::vector<uint8_t> GetRequest(uint32_t code) {
  const qelm::ItemSpec item{code, 7, 0, nullptr};
  std::vector<uint8_t> f(qelm::CommandPacketSize(&item, 1));
  qelm::BuildCommandPacket(f.data(), 4, 0, 0, 2, &item, 1);
  return f;
}

int Request(StCameraHandle* h, uint32_t code, uint32_t timeoutMs, CamFrame* reply) {
  std::vector<uint8_t> f = GetRequest(code);
  std::vector<uint8_t> got;
  const int r = qelm::SendRequestAndWait(h, f.data(), f.size(), timeoutMs, &got);
  if (r == 0 && reply) {
    EXPECT_TRUE(kittest::ParseCamFrame(got.data(), got.size(), reply));
  }
  return r;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// An answer that echoes the request's code with `data`.
Bytes ReplyBytes(const CamFrame& req, uint32_t echo, const std::string& data) {
  CamFrame r = FakeCamera::ReplyTo(req, {CamItem{req.items[0].code, 7, 0, 0, Text(data)}});
  r.echo = echo;
  return kittest::EncodeCamFrame(r);
}

std::string DataOf(const CamFrame& f) {
  return f.items.empty() ? "" : std::string(f.items[0].data.begin(), f.items[0].data.end());
}

TEST_F(ControlTest, ARequestIsCompletedByTheReplyThatEchoesItsSequence) {
  FakeCamera cam("127.0.0.2");
  cam.SetAnswer([](const CamFrame& req) -> std::vector<Bytes> {
    if (req.items.empty() || req.items[0].code != 0x40202) return {};
    return {ReplyBytes(req, req.seq, "seq" + std::to_string(req.seq))};
  });
  StCameraHandle* h = OpenCam(cam);
  for (uint32_t want = 1; want <= 3; ++want) {
    CamFrame reply;
    ASSERT_EQ(Request(h, 0x40202, 2000, &reply), 0);
    EXPECT_EQ(reply.echo, want);
    EXPECT_EQ(DataOf(reply), "seq" + std::to_string(want));
  }
  // The frames went out as built, with the handle's sequence put in.
  const auto frames = cam.Frames();
  ASSERT_EQ(frames.size(), 4u);  // the open's get first
  EXPECT_EQ(frames[3].frame.seq, 3u);
  EXPECT_EQ(frames[3].frame.ns, 4);
  EXPECT_EQ(frames[3].frame.items[0].code, 0x40202u);
}

TEST_F(ControlTest, LateDuplicateAndForeignRepliesNeverCompleteARequest) {
  FakeCamera cam("127.0.0.2");
  std::mutex m;
  std::vector<CamFrame> seen;
  cam.SetAnswer([&](const CamFrame& req) -> std::vector<Bytes> {
    if (req.items.empty() || req.items[0].code == 0x20001) return {};
    std::lock_guard<std::mutex> lk(m);
    seen.push_back(req);
    switch (seen.size()) {
      case 1: return {};  // answered late, below
      case 2: {
        const CamFrame& first = seen[0];
        // The first request's reply, twice, then this one's.
        return {ReplyBytes(first, first.seq, "old"), ReplyBytes(first, first.seq, "old"),
                ReplyBytes(req, req.seq, "new")};
      }
      default:  // replies that answer no request of this handle
        return {ReplyBytes(req, req.seq + 1, "foreign"), ReplyBytes(req, 0, "unsolicited")};
    }
  });
  StCameraHandle* h = OpenCam(cam);
  int64_t t0 = NowMs();
  EXPECT_EQ(Request(h, 0x40202, 150, nullptr), 209);
  EXPECT_GE(NowMs() - t0, 140);

  CamFrame reply;
  ASSERT_EQ(Request(h, 0x40202, 2000, &reply), 0);
  EXPECT_EQ(DataOf(reply), "new");
  EXPECT_EQ(reply.echo, 2u);

  t0 = NowMs();
  EXPECT_EQ(Request(h, 0x40202, 200, nullptr), 209);
  EXPECT_GE(NowMs() - t0, 190);
}

TEST_F(ControlTest, RequestsOnTwoHandlesAtOnceEachGetTheirOwnReply) {
  FakeCamera a("127.0.0.2"), b("127.0.0.3");
  std::atomic<bool> bAnswered{false};
  a.SetAnswer([&](const CamFrame& req) -> std::vector<Bytes> {
    if (req.items[0].code == 0x20001) return {};
    // The other camera's reply arrives while this request waits.
    WaitUntil([&] { return bAnswered.load(); }, 5000);
    return {ReplyBytes(req, req.seq, "from a")};
  });
  b.SetAnswer([&](const CamFrame& req) -> std::vector<Bytes> {
    if (req.items[0].code == 0x20001) return {};
    bAnswered.store(true);
    return {ReplyBytes(req, req.seq, "from b")};
  });
  StCameraHandle* ha = OpenCam(a);
  StCameraHandle* hb = OpenCam(b);
  int ra = -1, rb = -1;
  CamFrame fa, fb;
  std::thread ta([&] { ra = Request(ha, 0x40202, 3000, &fa); });
  ASSERT_TRUE(WaitUntil([&] { return a.FrameCount() == 2; }, 5000));
  std::thread tb([&] { rb = Request(hb, 0x40202, 3000, &fb); });
  ta.join();
  tb.join();
  EXPECT_EQ(ra, 0);
  EXPECT_EQ(rb, 0);
  EXPECT_EQ(DataOf(fa), "from a");
  EXPECT_EQ(DataOf(fb), "from b");
}

TEST_F(ControlTest, TwoRequestsOnOneHandleAtOnceAreAnsweredInTurn) {
  FakeCamera cam("127.0.0.2");
  cam.SetAnswer([](const CamFrame& req) -> std::vector<Bytes> {
    if (req.items[0].code == 0x20001) return {};
    return {ReplyBytes(req, req.seq, std::to_string(req.items[0].code))};
  });
  StCameraHandle* h = OpenCam(cam);
  const uint32_t codes[] = {0x40202, 0x40208, 0x40209, 0x4031B};
  int results[4];
  CamFrame replies[4];
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i) ts.emplace_back([&, i] { results[i] = Request(h, codes[i], 3000, &replies[i]); });
  for (auto& t : ts) t.join();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(results[i], 0);
    EXPECT_EQ(DataOf(replies[i]), std::to_string(codes[i]));
  }
}

TEST_F(ControlTest, RequestsThatCannotBeMade) {
  FakeCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam);
  ASSERT_TRUE(cam.WaitConnections(1, 5000));
  std::vector<uint8_t> f = GetRequest(0x40202);
  std::vector<uint8_t> reply;
  int token;
  auto* bogus = reinterpret_cast<StCameraHandle*>(&token);
  EXPECT_EQ(qelm::SendRequestAndWait(nullptr, f.data(), f.size(), 100, &reply), 1);
  EXPECT_EQ(qelm::SendRequestAndWait(h, nullptr, f.size(), 100, &reply), 1);
  EXPECT_EQ(qelm::SendRequestAndWait(h, f.data(), 39, 100, &reply), 1);
  EXPECT_EQ(qelm::SendRequestAndWait(h, f.data(), f.size(), 100, nullptr), 1);
  EXPECT_EQ(qelm::SendRequestAndWait(bogus, f.data(), f.size(), 100, &reply), 7);
  cam.Refuse();
  cam.CloseLinks();
  ASSERT_TRUE(WaitUntil([&] { return StateOf(h) == 3; }, 5000));
  EXPECT_EQ(qelm::SendRequestAndWait(h, f.data(), f.size(), 100, &reply), 14);
}

TEST_F(ControlTest, CloseDuringAPendingReplyEndsTheWaitWithoutSuccess) {
  FakeCamera cam("127.0.0.2");
  cam.SetAnswering(false);
  StCameraHandle* h = OpenCam(cam);
  int result = -1;
  int64_t ended = 0;
  std::thread waiter([&] {
    result = Request(h, 0x40202, 10000, nullptr);
    ended = NowMs();
  });
  ASSERT_TRUE(cam.WaitFrames(2, 5000));
  const int64_t t0 = NowMs();
  EXPECT_EQ(Qelm_CloseCamera(h), 0);
  EXPECT_LT(NowMs() - t0, 1000);
  waiter.join();
  EXPECT_EQ(result, 7);
  EXPECT_LT(ended - t0, 1000);
}

void QELM_CALL Found(StCameraInfo*) {}

// Shut-down ends every request that waits for its reply (here one on each of
// two handles, one of them an export's) at once, with the time-out's 209,
// before it closes the handles; start-up and requests work again afterwards.
TEST_F(ControlTest, QuitEndsTheRequestsThatWaitAsATimeOutAndStartUpWorksAgain) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  ASSERT_EQ(Qelm_InitControl(Found), 0);
  FakeCamera a("127.0.0.2"), b("127.0.0.3");
  a.SetAnswering(false);
  b.SetAnswering(false);
  StCameraHandle* ha = OpenCam(a);
  StCameraHandle* hb = OpenCam(b);
  int bright = 0;
  EXPECT_EQ(kittest::QuitWhileCallsWait({[&] { return Request(ha, 0x40202, 10000, nullptr); },
                                         [&] { return Qelm_GetCurBright(hb, &bright, 10000); }},
                                        // Both requests went out (after each open's frame) and wait.
                                        [&] { return a.WaitFrames(2, 5000) && b.WaitFrames(2, 5000); }),
            (std::vector<int>{209, 209}));

  ASSERT_EQ(Qelm_InitControl(Found), 0);
  a.SetAnswer([](const CamFrame& req) -> std::vector<Bytes> {
    if (req.items.empty() || req.items[0].code != 0x40202) return {};
    return {ReplyBytes(req, req.seq, "again")};
  });
  a.SetAnswering(true);
  StCameraHandle* again = OpenCam(a);
  CamFrame reply;
  ASSERT_EQ(Request(again, 0x40202, 3000, &reply), 0);
  EXPECT_EQ(DataOf(reply), "again");
}

TEST_F(ControlTest, AFrameThatCannotGoOutWholeInTimeBreaksTheLinkWhichReturns) {
  FakeCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam);
  ASSERT_TRUE(cam.WaitFrames(1, 5000));
  cam.PauseReading(true);
  // Far more than the socket buffers of both sides hold.
  std::vector<uint8_t> data(32u << 20, 0x33);
  const qelm::ItemSpec item{0x40202, 7, static_cast<uint32_t>(data.size()), data.data()};
  std::vector<uint8_t> f(qelm::CommandPacketSize(&item, 1));
  qelm::BuildCommandPacket(f.data(), 4, 0, 1, 3, &item, 1);
  std::vector<uint8_t> reply;
  const int64_t t0 = NowMs();
  EXPECT_EQ(qelm::SendRequestAndWait(h, f.data(), f.size(), 300, &reply), 209);
  EXPECT_GE(NowMs() - t0, 290);
  // The camera holds part of a frame: the link is dropped and made again.
  ASSERT_TRUE(WaitCalls("conn", 2));
  EXPECT_EQ(Calls("conn")[0].event, 3);
  EXPECT_EQ(Calls("conn")[1].event, 4);
  EXPECT_TRUE(cam.WaitConnections(2, 5000));
  EXPECT_EQ(StateOf(h), 4);
}

// The hand-over either catches the reply while it spins or sleeps until it
// comes; the buffers that reply, reassembly and caller pass round never leak
// one reply's bytes into another, whatever their sizes.
TEST_F(ControlTest, RepliesAreWholeAndTheirOwnWhetherTheHandOverSpinsOrSleeps) {
  struct Case {
    int spinUs;
    int delayMs;  // the camera's own delay before it answers
  };
  const int saved = pf::test::ReplySpinUs();
  for (const Case c : {Case{saved, 0}, Case{saved, 30}, Case{0, 0}, Case{0, 30}}) {
    SCOPED_TRACE("spin " + std::to_string(c.spinUs) + " us, answer after " + std::to_string(c.delayMs) + " ms");
    pf::test::SetReplySpinUs(c.spinUs);
    FakeCamera cam("127.0.0.2");
    cam.SetAnswer([&](const CamFrame& req) -> std::vector<Bytes> {
      if (req.items.empty() || req.items[0].code != 0x40202) return {};
      if (c.delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(c.delayMs));  // the device's own delay
      // Every third reply is larger than the buffers kept between frames.
      const size_t n = req.seq % 3 == 0 ? 100000 : 8 + req.seq;
      return {ReplyBytes(req, req.seq, std::string(n, static_cast<char>('a' + req.seq % 26)))};
    });
    StCameraHandle* h = OpenCam(cam);
    for (uint32_t want = 1; want <= 7; ++want) {
      CamFrame reply;
      ASSERT_EQ(Request(h, 0x40202, 2000, &reply), 0);
      EXPECT_EQ(reply.echo, want);
      const size_t n = want % 3 == 0 ? 100000 : 8 + want;
      EXPECT_EQ(DataOf(reply), std::string(n, static_cast<char>('a' + want % 26)));
    }
    Qelm_Quit();
  }
  pf::test::SetReplySpinUs(saved);
}

}  // namespace

// The heartbeat: when it beats, and that one camera that stops reading holds
// up neither the beats of the others nor the exports.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

#include "control_support.h"

namespace {

using namespace ctltest;
using kittest::CamFrame;
using kittest::FakeCamera;
using kittest::NowMs;
using kittest::WaitUntil;

void QELM_CALL Found(StCameraInfo*) {}

// Times of the heartbeats a camera received (every frame after the open's get
// is one), each checked to be the get of 0x20001.
std::vector<int64_t> BeatTimes(const FakeCamera& cam) {
  std::vector<int64_t> t;
  const auto frames = cam.Frames();
  for (size_t i = 1; i < frames.size(); ++i) {
    const CamFrame& f = frames[i].frame;
    EXPECT_EQ(f.length, 60u);
    EXPECT_EQ(f.ns, 2);
    EXPECT_EQ(f.cls, 2u);
    EXPECT_EQ(f.seq, 0u);
    EXPECT_TRUE(f.items.size() == 1 && f.items[0].code == 0x20001u);
    t.push_back(frames[i].atMs);
  }
  return t;
}

// The heartbeat starts during Qelm_InitControl, between `before` and `after`.
void ExpectBeats(const std::vector<int64_t>& t, int64_t before, int64_t after, int firstMs,
                 int periodMs, int tolMs) {
  ASSERT_FALSE(t.empty());
  EXPECT_GE(t[0], before + firstMs - tolMs);
  EXPECT_LE(t[0], after + firstMs + tolMs);
  for (size_t i = 1; i < t.size(); ++i) EXPECT_NEAR(t[i] - t[i - 1], periodMs, tolMs) << "beat " << i;
}

TEST_F(ControlTest, HeartbeatsBeatToEveryHandleAtTheirTimes) {
  qelm::test::SetHeartbeatTiming(1000, 800);
  FakeCamera a("127.0.0.2"), b("127.0.0.3");
  const int64_t t0 = NowMs();
  ASSERT_EQ(Qelm_InitControl(Found), 0);
  const int64_t t1 = NowMs();
  OpenCam(a);
  OpenCam(b);
  ASSERT_TRUE(a.WaitFrames(5, 8000));
  ASSERT_TRUE(b.WaitFrames(5, 8000));
  Qelm_Quit();
  for (const FakeCamera* cam : {&a, &b}) {
    SCOPED_TRACE(cam->ip());
    std::vector<int64_t> t = BeatTimes(*cam);
    t.resize(4);
    ExpectBeats(t, t0, t1, 1000, 800, 250);
  }
}

TEST_F(ControlTest, HeartbeatAtItsRealTimesFirstAfterThreePointSixSecondsThenEveryThreePointFour) {
  FakeCamera cam("127.0.0.2");
  const int64_t t0 = NowMs();
  ASSERT_EQ(Qelm_InitControl(Found), 0);
  const int64_t t1 = NowMs();
  OpenCam(cam);
  ASSERT_TRUE(cam.WaitFrames(3, 10000));
  std::vector<int64_t> t = BeatTimes(cam);
  t.resize(2);
  ExpectBeats(t, t0, t1, 3600, 3400, 400);
}

// Fills the library's side of a link whose camera has stopped reading, until
// nothing more fits.
void FillLink(StCameraHandle* h) {
  const int fd = h->m_hSocket.load();
  std::vector<uint8_t> junk(65536, 0);
  for (;;) {
    while (::send(fd, junk.data(), junk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
    }
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 200) == 0) return;  // no room came free
  }
}

TEST_F(ControlTest, ACameraThatStopsReadingDelaysNeitherOtherHandlesNorTheExports) {
  qelm::test::SetHeartbeatTiming(100, 100);
  FakeCamera stuck("127.0.0.2"), good("127.0.0.3");
  good.SetAnswer([](const CamFrame& req) -> std::vector<Bytes> {
    if (req.items[0].code == 0x20001) return {};
    return {kittest::EncodeCamFrame(FakeCamera::ReplyTo(req, {{req.items[0].code, 7, 0, 0, Bytes(4, 9)}}))};
  });
  ASSERT_EQ(Qelm_InitControl(Found), 0);
  StCameraHandle* hs = OpenCam(stuck);
  StCameraHandle* hg = OpenCam(good);
  ASSERT_TRUE(stuck.WaitFrames(1, 5000));
  stuck.PauseReading(true);
  FillLink(hs);

  const size_t before = good.FrameCount();
  int64_t slowest = 0;
  const int64_t until = NowMs() + 1000;
  while (NowMs() < until) {
    const int64_t t = NowMs();
    EXPECT_EQ(StateOf(hs), 4);
    EXPECT_EQ(StateOf(hg), 4);
    slowest = std::max(slowest, NowMs() - t);
  }
  // (A heartbeat blocked on the stuck link would hold these up for good; the
  // bounds leave room for a busy machine.)
  EXPECT_LT(slowest, 500);
  ASSERT_TRUE(good.WaitFrames(before + 5, 3000));
  std::vector<int64_t> t = BeatTimes(good);
  t.erase(t.begin(), t.end() - 5);
  for (size_t i = 1; i < t.size(); ++i) EXPECT_LT(t[i] - t[i - 1], 600) << "beat " << i;

  // A request on the stuck link times out without harming it; one on the
  // other link is answered meanwhile.
  std::vector<uint8_t> reply;
  const qelm::ItemSpec item{0x40202, 7, 0, nullptr};
  std::vector<uint8_t> f(qelm::CommandPacketSize(&item, 1));
  qelm::BuildCommandPacket(f.data(), 4, 0, 0, 2, &item, 1);
  int stuckResult = -1;
  int64_t t0 = NowMs();
  std::vector<uint8_t> stuckFrame = f;
  std::thread waiter([&] {
    std::vector<uint8_t> r;
    stuckResult = qelm::SendRequestAndWait(hs, stuckFrame.data(), stuckFrame.size(), 2000, &r);
  });
  EXPECT_EQ(qelm::SendRequestAndWait(hg, f.data(), f.size(), 2000, &reply), 0);
  EXPECT_LT(NowMs() - t0, 1500);
  waiter.join();
  EXPECT_EQ(stuckResult, 209);
  EXPECT_GE(NowMs() - t0, 1990);
  EXPECT_EQ(StateOf(hs), 4);
  EXPECT_TRUE(Calls("conn").empty());

  t0 = NowMs();
  EXPECT_EQ(Qelm_CloseCamera(hs), 0);
  EXPECT_LT(NowMs() - t0, 1500);
}

}  // namespace

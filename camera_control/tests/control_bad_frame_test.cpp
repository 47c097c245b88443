// A frame head whose length is within the bound but whose body never comes
// (or comes wrong) must not blind a handle: the receive thread drops it by its
// deadline and finds the good frames among the bytes it had taken, on the
// same connection, while the link stays up.
#include <atomic>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control_support.h"
#include "errors.h"

namespace {

using namespace ctltest;
using kittest::CamFrame;
using kittest::CamItem;
using kittest::FakeCamera;
using kittest::NowMs;
using kittest::WaitUntil;

constexpr uint32_t kCodeBright = 0x102;

// A 36-byte frame head, with one item head after it when `itemLength` is
// given, announcing `total` bytes; nothing of the rest follows.
Bytes HeadAnnouncing(uint32_t total, int64_t itemLength = -1) {
  CamFrame f;
  if (itemLength >= 0) {
    f.items.push_back(FakeCamera::StatusItem(Bytes(static_cast<size_t>(itemLength), 0xEE)));
  }
  Bytes b = kittest::EncodeCamFrame(f);
  b.resize(itemLength >= 0 ? 56 : 36);
  kittest::PutLE32(b, 8, total);
  return b;
}

// `count` heads of 12 bytes, one inside the other, each announcing `total`
// bytes: the body of every head is the heads after it, and no body ends.
Bytes NestedHeads(size_t count, uint32_t total) {
  Bytes one = HeadAnnouncing(total);
  one.resize(12);
  Bytes out;
  for (size_t i = 0; i < count; ++i) out.insert(out.end(), one.begin(), one.end());
  return out;
}

// A flood of nested heads at about 1 MB/s: 10 kB every 10 ms.
constexpr size_t kFloodPieceBytes = 10000;
constexpr int kFloodGapMs = 10;

// A camera that answers the brightness get with its own sequence number as
// the value, and the open's get and heartbeats as a camera does.
void AnswerWithSequence(FakeCamera& cam) {
  cam.SetAnswer([](const CamFrame& req) -> std::vector<Bytes> {
    if (req.items.empty()) return {};
    Bytes value;
    kittest::PutLE32(value, 0, req.seq);
    return {kittest::EncodeCamFrame(FakeCamera::ReplyTo(req, {CamItem{req.items[0].code, 8, 0, 0, value}}))};
  });
}

struct Case {
  const char* name;
  Bytes bad;                 // sent by the camera first
  uint32_t firstTimeoutMs;   // of the first request after it
  bool trickle;              // garbage keeps coming, 20 bytes every 100 ms
  bool statusAfter;          // a long status report follows the bad head
  size_t floodPieces = 0;    // the bad bytes come as a flood of this many pieces
};

struct Result {
  int64_t recoveryMs = -1;  // bad head to the first request answered 0
  int firstResult = -1;
  std::vector<std::string> faults;
};

TEST_F(ControlTest, ABadFrameNeverBlindsTheHandleAndItsLinkStays) {
  const Case cases[] = {
      {"head of 3 MiB, no body", HeadAnnouncing(3u << 20), 400, false, false},
      {"head at the 4 MiB bound, no body", HeadAnnouncing(4u << 20), 400, false, false},
      {"head of 300 bytes, the replies after it fill its body", HeadAnnouncing(300), 400, false, false},
      // The request waits past the deadline: its reply, taken by the bad
      // frame, is found in its bytes and completes it.
      {"head of 3 MiB, a request that waits 8 s", HeadAnnouncing(3u << 20), 8000, false, false},
      {"head of 3 MiB, bytes keep trickling", HeadAnnouncing(3u << 20), 400, true, false},
      {"status item head of 3 MiB, then a status report", HeadAnnouncing(3u << 20, 332), 400, false, true},
      // Each found again after the one before it is dropped: all are bad 5 s
      // after they came, not 5 s after each other.
      {"ten nested heads of 3 MiB in one send", NestedHeads(10, 3u << 20), 400, false, false},
      {"nested heads at the 4 MiB bound, 1 MB/s for 3 s", NestedHeads(300 * kFloodPieceBytes / 12, 4u << 20), 400,
       false, false, 300},
  };
  constexpr size_t kCases = sizeof cases / sizeof cases[0];
  const Bytes status = StatusBlock(332, 7);
  std::vector<std::unique_ptr<FakeCamera>> cams;
  std::vector<StCameraHandle*> handles;
  for (size_t i = 0; i < kCases; ++i) {
    cams.push_back(std::make_unique<FakeCamera>("127.0.0." + std::to_string(2 + i)));
    AnswerWithSequence(*cams.back());
    handles.push_back(OpenCam(*cams.back()));
    ASSERT_NE(handles.back(), nullptr);
    ASSERT_TRUE(cams.back()->WaitFrames(1, 5000));
    ASSERT_EQ(Qelm_RegControlStatusCallback(handles.back(), nullptr, HandleLongCb, nullptr), 0);
  }
  // One request answered before the fault: the next one is the second.
  for (StCameraHandle* h : handles) {
    int v = 0;
    ASSERT_EQ(Qelm_GetCurBright(h, &v, 2000), 0);
    ASSERT_EQ(v, 1);
  }

  // The cases run at once, each on a camera of its own.
  Result results[kCases];
  std::vector<std::thread> runs;
  for (size_t i = 0; i < kCases; ++i) {
    runs.emplace_back([&, i] {
      const Case& c = cases[i];
      FakeCamera& cam = *cams[i];
      StCameraHandle* h = handles[i];
      Result& r = results[i];
      std::atomic<bool> stopTrickle{false};
      std::thread trickle;
      if (c.floodPieces &&
          kittest::SendPaced(c.bad, c.floodPieces, kFloodGapMs, [&](const Bytes& b) { return cam.PushBytes(b); }) < 0)
        r.faults.push_back("flood not sent");
      const int64_t t0 = NowMs();  // the bad stream's last byte
      if (!c.floodPieces && !cam.PushBytes(c.bad)) r.faults.push_back("bad head not sent");
      if (c.statusAfter) cam.PushItems({FakeCamera::StatusItem(status)});
      if (c.trickle)
        trickle = std::thread([&] {
          const Bytes junk(20, 0x11);
          while (!stopTrickle.load() && NowMs() - t0 < 7000) {
            cam.PushBytes(junk);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
          }
        });
      uint32_t seq = 1;
      for (uint32_t timeout = c.firstTimeoutMs; NowMs() - t0 < 7000; timeout = 400) {
        int v = 0;
        const int res = Qelm_GetCurBright(h, &v, timeout);
        ++seq;
        if (r.firstResult < 0) r.firstResult = res;
        if (res == 0) {
          r.recoveryMs = NowMs() - t0;
          if (v != static_cast<int>(seq)) r.faults.push_back("answered with another request's reply");
          break;
        }
        if (res != qelm::ERR_TIMEOUT) r.faults.push_back("request answered " + std::to_string(res));
        if (StateOf(h) != 4) r.faults.push_back("handle not connected");
      }
      // And at once from then on.
      for (int k = 0; k < 3 && r.recoveryMs >= 0; ++k) {
        int v = 0;
        const int res = Qelm_GetCurBright(h, &v, 1000);
        ++seq;
        if (res != 0 || v != static_cast<int>(seq)) r.faults.push_back("a later request failed");
      }
      stopTrickle.store(true);
      if (trickle.joinable()) trickle.join();
    });
  }
  for (auto& t : runs) t.join();

  for (size_t i = 0; i < kCases; ++i) {
    SCOPED_TRACE(cases[i].name);
    const Result& r = results[i];
    std::cout << "recovery " << cases[i].name << ": " << r.recoveryMs << " ms" << std::endl;
    EXPECT_GE(r.recoveryMs, 0) << "never answered again";
    EXPECT_LT(r.recoveryMs, 6000);
    for (const std::string& f : r.faults) ADD_FAILURE() << f;
    if (cases[i].firstTimeoutMs > 6000) {
      EXPECT_EQ(r.firstResult, 0);
    }
    // No close, reopen or reconnection: one connection, no connection event.
    EXPECT_EQ(cams[i]->Connections(), 1u);
    EXPECT_EQ(StateOf(handles[i]), 4);
  }
  EXPECT_TRUE(Calls("conn").empty());
  // The status report after the bad head reached its callback once, whole;
  // nothing of a bad frame reached any callback.
  const std::vector<Call> reports = Calls("hlong");
  ASSERT_EQ(reports.size(), 1u);
  size_t withStatus = 0;
  while (!cases[withStatus].statusAfter) ++withStatus;
  EXPECT_EQ(reports[0].handle, handles[withStatus]);
  EXPECT_TRUE(reports[0].bytes == status);
}

// A frame that came before a request went out is no reply to it, even when
// it echoes the request's sequence: here one that a bad head held until its
// deadline, found among the head's bytes after the request was sent. The
// request takes its own reply, which came after it behind the same head.
TEST_F(ControlTest, AFrameThatCameBeforeTheRequestDoesNotAnswerIt) {
  FakeCamera cam("127.0.0.2");
  AnswerWithSequence(cam);
  StCameraHandle* h = OpenCam(cam);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(cam.WaitFrames(1, 5000));
  ASSERT_EQ(Qelm_RegControlStatusCallback(h, nullptr, HandleLongCb, nullptr), 0);
  int v = 0;
  ASSERT_EQ(Qelm_GetCurBright(h, &v, 2000), 0);
  ASSERT_EQ(v, 1);
  // The early frame echoes the next request's sequence, 2, with a value no
  // request is answered with. The status report before it tells that the
  // receive thread has taken the bytes (they go in one send, one receive).
  CamFrame early;
  early.echo = 2;
  Bytes wrong;
  kittest::PutLE32(wrong, 0, 999);
  early.items.push_back(CamItem{kCodeBright, 8, 0, 0, wrong});
  CamFrame status;
  status.items.push_back(FakeCamera::StatusItem(StatusBlock(332, 3)));
  Bytes burst = kittest::EncodeCamFrame(status);
  for (const Bytes& b : {HeadAnnouncing(3u << 20), kittest::EncodeCamFrame(early)}) burst.insert(burst.end(), b.begin(), b.end());
  ASSERT_TRUE(cam.PushBytes(burst));
  ASSERT_TRUE(WaitCalls("hlong", 1));
  const int64_t t0 = NowMs();
  EXPECT_EQ(Qelm_GetCurBright(h, &v, 8000), 0);
  EXPECT_EQ(v, 2) << "answered with the frame that came before the request";
  EXPECT_LT(NowMs() - t0, 6000);
}

// A reply of about 1 MB that trickles in over 2 s, inside the deadline, is
// taken whole.
TEST_F(ControlTest, ASlowGoodReplyWithinTheDeadlineIsTakenWhole) {
  FakeCamera cam("127.0.0.2");
  cam.SetAnswer([](const CamFrame&) -> std::vector<Bytes> { return {}; });
  StCameraHandle* h = OpenCam(cam);
  ASSERT_TRUE(cam.WaitFrames(1, 5000));
  Bytes data(1000000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);

  std::vector<uint8_t> got;
  int result = -1;
  std::thread request([&] {
    const qelm::ItemSpec item{kCodeBright, 8, 0, nullptr};
    std::vector<uint8_t> f(qelm::CommandPacketSize(&item, 1));
    qelm::BuildCommandPacket(f.data(), 1, 0, 0, 2, &item, 1);
    result = qelm::SendRequestAndWait(h, f.data(), f.size(), 6000, &got);
  });
  ASSERT_TRUE(cam.WaitFrames(2, 5000));
  const Bytes reply =
      kittest::EncodeCamFrame(FakeCamera::ReplyTo(cam.Frames()[1].frame, {CamItem{kCodeBright, 8, 0, 0, data}}));
  const int64_t t0 = NowMs();
  // 20 pieces, 105 ms apart: the last one 2 s after the first.
  const bool sent = kittest::SendPaced(reply, 20, 105, [&](const Bytes& b) { return cam.PushBytes(b); }) >= 0;
  request.join();
  ASSERT_TRUE(sent);
  const int64_t took = NowMs() - t0;
  std::cout << "slow reply of " << reply.size() << " bytes sent over " << took << " ms" << std::endl;
  EXPECT_GE(took, 1900);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(got == reply);
  EXPECT_EQ(cam.Connections(), 1u);
}

// Every reconnection starts parsing afresh: a head left under way when the
// link dropped does not swallow what the new link brings.
TEST_F(ControlTest, AReconnectionStartsParsingAfresh) {
  FakeCamera cam("127.0.0.2");
  AnswerWithSequence(cam);
  StCameraHandle* h = OpenCam(cam);
  ASSERT_TRUE(cam.WaitFrames(1, 5000));
  ASSERT_TRUE(cam.PushBytes(HeadAnnouncing(3u << 20)));
  int v = 0;
  ASSERT_EQ(Qelm_GetCurBright(h, &v, 300), qelm::ERR_TIMEOUT);  // its reply went into the bad frame
  cam.CloseLinks();
  ASSERT_TRUE(WaitCalls("conn", 2));
  EXPECT_EQ(Calls("conn")[1].event, 4);
  const int64_t t0 = NowMs();
  EXPECT_EQ(Qelm_GetCurBright(h, &v, 1000), 0);
  EXPECT_LT(NowMs() - t0, 1000);
  EXPECT_EQ(v, 2);
  EXPECT_EQ(cam.Connections(), 2u);
}

}  // namespace

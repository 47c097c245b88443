// Connecting cameras: handles, the result channel's link events and
// reconnection, the control channel's reconnection with its clock item,
// callback threads, and a full cycle leaving nothing behind.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "context.h"
#include "dictate.h"
#include "fake_camera.h"
#include "lpr_fixture.h"
#include "message_wnd.h"
#include "netns.h"
#include "platform/thread.h"

namespace {

using lprtest::Command;
using lprtest::FakeCamera;
using lprtest::InitWithRecorder;
using lprtest::Recorder;
using lprtest::ResultFrame;

const lprtest::Bytes kResult = lprtest::Concat({ResultFrame(0x40, 7, {1, 2, 3}), ResultFrame(0x50, 7, {})});

class Connection : public lprtest::LprTest {
 protected:
  int Status(StLprCameraHandle* h) {
    int state = -1;
    const int rc = LPR_CheckStatus(h, &state);
    return rc == 0 ? state : 100 + rc;
  }
  std::vector<int> EventCodes() {
    std::vector<int> codes;
    for (const auto& e : Recorder::Get().Events()) codes.push_back(e.event.code);
    return codes;
  }
};

TEST_F(Connection, ConnectCheckAndDisconnect) {
  FakeCamera cam("127.0.0.11");
  ASSERT_EQ(InitWithRecorder(0), 0);
  StLprCameraHandle* h = Connect(cam);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Status(h), 0);
  EXPECT_TRUE(Logged("连接设备成功"));
  EXPECT_EQ(LPR_CheckStatus(h, nullptr), 3);
  EXPECT_EQ(LPR_DisconnectCamera(h), 0);
  EXPECT_TRUE(kittest::WaitUntil([&] { return !cam.result.Last()->Open() && !cam.control.Last()->Open(); }, 3000));
  EXPECT_EQ(LPR_DisconnectCamera(h), 8);
  EXPECT_EQ(Status(h), 102);  // an unknown handle gives 2
}

TEST_F(Connection, SameAddressTwiceGives9AndKeepsTheFirstHandle) {
  FakeCamera cam("127.0.0.11");
  ASSERT_EQ(InitWithRecorder(0), 0);
  StLprCameraHandle* h = Connect(cam);
  StLprCameraHandle* second = nullptr;
  EXPECT_EQ(LPR_ConnectCamera("127.0.0.11", &second), 9);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(Status(h), 0);
  EXPECT_EQ(cam.result.ConnectionCount(), 1u);
  EXPECT_TRUE(Logged("该设备已经连接"));
}

TEST_F(Connection, ConnectFailures) {
  ASSERT_EQ(InitWithRecorder(0), 0);
  StLprCameraHandle* h = nullptr;
  EXPECT_EQ(LPR_ConnectCamera(nullptr, &h), 3);
  EXPECT_EQ(LPR_ConnectCamera("127.0.0.11", nullptr), 3);
  EXPECT_EQ(LPR_ConnectCamera("127.0.0.12", &h), 4);  // nothing listens
  EXPECT_TRUE(Logged("连接设备时，建立SOCKET失败"));

  FakeCamera cam("127.0.0.11");
  // Counted without the log writer, whose file is open now and then. The
  // writer, joined, leaves the thread list a moment later: the count is
  // awaited before it becomes the baseline.
  const int withWriter = kittest::ThreadCount();
  ASSERT_EQ(LPR_IsWriteLog(0), 0);
  ASSERT_TRUE(kittest::ThreadCountBecomes(withWriter - 1)) << kittest::ThreadCount();
  const int threads = withWriter - 1;
  const int fds = kittest::OpenDescriptorCount();
  // The result channel's thread, then the control channel's, cannot start:
  // either way the threads that did start end and both sockets are closed.
  for (bool control : {false, true}) {
    if (control)
      nardix::test::FailNextControlStarts(1);
    else
      pf::test::FailNextThreadStarts(1);
    EXPECT_EQ(LPR_ConnectCamera("127.0.0.11", &h), 5) << control;
    // The fake has taken the connections it counts, so their descriptors are
    // counted until its threads have seen them closed.
    ASSERT_TRUE(cam.result.WaitConnections(control ? 2 : 1, 3000));
    ASSERT_TRUE(cam.control.WaitConnections(control ? 1 : 0, 3000));
    EXPECT_TRUE(kittest::WaitUntil(
        [&] { return kittest::ThreadCount() == threads && kittest::OpenDescriptorCount() == fds; }, 3000))
        << (control ? "control: " : "result: ") << kittest::ThreadCount() << " threads (" << threads
        << " before), " << kittest::OpenDescriptorCount() << " descriptors (" << fds << " before)";
  }
  ASSERT_EQ(LPR_IsWriteLog(1), 0);
  pf::test::FailNextThreadStarts(1);
  EXPECT_EQ(LPR_ConnectCamera("127.0.0.11", &h), 5);
  EXPECT_TRUE(Logged("连接设备时，启用线程失败"));
  // Nothing was listed: the camera can be connected now.
  EXPECT_NE(Connect(cam), nullptr);
}

TEST_F(Connection, LostResultChannelGivesOneEventThreeAndOneEventZeroWhenBack) {
  FakeCamera cam("127.0.0.11");
  ASSERT_EQ(InitWithRecorder(0), 0);
  StLprCameraHandle* h = Connect(cam);
  cam.result.StopListening();
  cam.result.CloseAll();
  ASSERT_TRUE(Recorder::Get().WaitEvents(1, 3000));
  EXPECT_EQ(Status(h), 3);
  // Attempts that fail while the camera is away report nothing more.
  ASSERT_TRUE(Logged("重连时设备（127.0.0.11）时，创建SOCKET失败"));
  EXPECT_EQ(EventCodes(), std::vector<int>{3});
  ASSERT_TRUE(cam.result.StartListening());
  ASSERT_TRUE(Recorder::Get().WaitEvents(2, 3000));
  EXPECT_EQ(EventCodes(), (std::vector<int>{3, 0}));
  EXPECT_EQ(Status(h), 0);
  const auto events = Recorder::Get().Events();
  for (const auto& e : events) {
    EXPECT_EQ(e.event.handle, h);
    EXPECT_STREQ(e.event.ip, "127.0.0.11");
    EXPECT_NE(e.thread, std::this_thread::get_id());  // the result channel's thread
  }
  EXPECT_EQ(events[0].thread, events[1].thread);
  EXPECT_TRUE(Logged("接收数据失败，反馈字节数 = 0"));  // the camera's orderly close
  EXPECT_TRUE(Logged("直接通知外部，设备（127.0.0.11）自动断开"));
  EXPECT_TRUE(Logged("准备重连..."));
  EXPECT_TRUE(Logged("直接通知外部，设备（127.0.0.11）连接成功"));
  // Results flow on the new connection, on the same thread.
  ASSERT_TRUE(cam.result.WaitConnections(2, 3000));
  ASSERT_TRUE(cam.SendResult(kResult));
  ASSERT_TRUE(Recorder::Get().WaitResults(1, 3000));
  EXPECT_EQ(Recorder::Get().Results()[0].thread, events[0].thread);
  EXPECT_EQ(Recorder::Get().Results()[0].image1, (lprtest::Bytes{1, 2, 3}));
}

TEST_F(Connection, MessageModeCallsBackOnTheWindowThread) {
  FakeCamera cam("127.0.0.11");
  ASSERT_EQ(InitWithRecorder(1), 0);
  StLprCameraHandle* h = Connect(cam);
  ASSERT_TRUE(cam.SendResult(kResult));
  ASSERT_TRUE(Recorder::Get().WaitResults(1, 3000));
  cam.result.CloseAll();
  ASSERT_TRUE(Recorder::Get().WaitEvents(2, 3000));  // lost, and back at once
  const auto dispatcher = nardix::MessageWnd()->Window().DispatcherId();
  EXPECT_EQ(Recorder::Get().Results()[0].thread, dispatcher);
  EXPECT_EQ(Recorder::Get().Results()[0].copy.handle, h);
  for (const auto& e : Recorder::Get().Events()) EXPECT_EQ(e.thread, dispatcher);
  EXPECT_EQ(Recorder::Get().Results()[0].user, reinterpret_cast<void*>(0x1234));
  EXPECT_TRUE(Logged("发消息通知外部，设备（127.0.0.11）自动断开"));
  EXPECT_TRUE(Logged("发消息通知外部，设备（127.0.0.11）连接成功"));
}

TEST_F(Connection, WithoutACallbackTheLinkEventIsDropped) {
  FakeCamera cam("127.0.0.11");
  ASSERT_EQ(LPR_Init(0, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  Connect(cam);
  cam.result.CloseAll();
  EXPECT_TRUE(Logged("没有通知外部，设备（127.0.0.11）自动断开"));
  EXPECT_TRUE(Logged("没有通知外部，设备（127.0.0.11）连接成功"));  // the camera is still there
}

TEST_F(Connection, ControlChannelConnectsLaterAndSetsTheClockOnEveryReconnection) {
  FakeCamera cam("127.0.0.11", /*listenControl=*/false);
  pf::test::FreezeClock(1709210096000);  // 2024-02-29 12:34:56 UTC
  ASSERT_EQ(InitWithRecorder(0), 0);
  StLprCameraHandle* h = nullptr;
  ASSERT_EQ(LPR_ConnectCamera("127.0.0.11", &h), 0);  // the control port's failure is not reported
  EXPECT_EQ(LPR_Capture(h), 11);                      // no control socket yet
  ASSERT_TRUE(cam.control.StartListening());
  ASSERT_TRUE(cam.WaitCommands(1, 3000));
  const Command clock{0x20, 0x02, 1, {24, 2, 29, 12, 34, 56}};
  EXPECT_EQ(cam.Commands()[0], clock);
  EXPECT_TRUE(kittest::WaitUntil([&] { return LPR_Capture(h) == 0; }, 3000));
  ASSERT_TRUE(cam.WaitCommands(2, 3000));
  EXPECT_EQ(cam.Commands()[1], (Command{0x80, 0x00, 0, {}}));

  cam.ClearCommands();
  cam.control.CloseAll();
  ASSERT_TRUE(cam.control.WaitConnections(2, 3000));
  ASSERT_TRUE(cam.WaitCommands(1, 3000));
  EXPECT_EQ(cam.Commands()[0], clock);
  EXPECT_TRUE(Recorder::Get().Events().empty());  // the control channel reports no link events
}

TEST_F(Connection, WithoutAControlRecordEveryRequestGives11) {
  KIT_REQUIRE_PRIVATE_NETWORK();  // the network setting lists this PC's addresses
  FakeCamera cam("127.0.0.11");
  ASSERT_EQ(InitWithRecorder(0), 0);
  nardix::test::FailNextControlAllocs(1);
  StLprCameraHandle* h = nullptr;
  ASSERT_EQ(LPR_ConnectCamera("127.0.0.11", &h), 0);
  EXPECT_EQ(lprtest::EveryRequestOn(h), std::vector<int>(11, 11));
  EXPECT_TRUE(Logged("TCP设置网络参数控制端未连接"));
  EXPECT_EQ(Status(h), 0);  // the result channel stands
}

TEST_F(Connection, FullCycleLeavesNoThreadOrDescriptorBehind) {
  FakeCamera a("127.0.0.11"), b("127.0.0.12");
  const int threads = kittest::ThreadCount();
  const int fds = kittest::OpenDescriptorCount();
  ASSERT_EQ(InitWithRecorder(0), 0);
  StLprCameraHandle* ha = Connect(a);
  Connect(b);
  ASSERT_TRUE(a.SendResult(kResult));
  ASSERT_TRUE(Recorder::Get().WaitResults(1, 3000));
  EXPECT_EQ(LPR_DisconnectCamera(ha), 0);
  ASSERT_EQ(LPR_Quit(), 0);  // b still connected: quitting closes it
  EXPECT_TRUE(kittest::WaitUntil(
      [&] { return kittest::ThreadCount() == threads && kittest::OpenDescriptorCount() == fds; }, 3000))
      << kittest::ThreadCount() << " threads, " << kittest::OpenDescriptorCount() << " descriptors";
  EXPECT_TRUE(nardix::Global().m_listCamera.empty());
}

TEST_F(Connection, CallbackMayDisconnectItsOwnCamera) {
  FakeCamera cam("127.0.0.11");
  const int threads = kittest::ThreadCount();
  ASSERT_EQ(InitWithRecorder(0), 0);
  const int running = kittest::ThreadCount();
  StLprCameraHandle* h = Connect(cam);
  std::atomic<int> rc{-1};
  Recorder::Get().SetDuringResult([&](StLprResult* r) { rc.store(LPR_DisconnectCamera(r->handle)); });
  ASSERT_TRUE(cam.SendResult(kResult));
  ASSERT_TRUE(kittest::WaitUntil([&] { return rc.load() == 0; }, 3000));
  Recorder::Get().SetDuringResult(nullptr);
  EXPECT_EQ(LPR_CheckStatus(h, nullptr), 2);
  EXPECT_TRUE(kittest::WaitUntil([&] { return kittest::ThreadCount() == running; }, 3000));
  ASSERT_EQ(LPR_Quit(), 0);
  EXPECT_TRUE(kittest::WaitUntil([&] { return kittest::ThreadCount() == threads; }, 3000));
}

}  // namespace

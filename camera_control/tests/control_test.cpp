// Device handles: open, close and status; link loss, reconnection and its
// events; closes that race the receive thread; server-made handles; many
// handles at once.
#include <sys/socket.h>

#include <thread>

#include "control_support.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "sockets.h"

namespace {

using namespace ctltest;
using kittest::FakeCamera;
using kittest::NowMs;
using kittest::WaitUntil;

TEST_F(ControlTest, OpenSendsTheDeviceInformationGetAndReportsConnected) {
  FakeCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam, reinterpret_cast<void*>(0x1234));
  ASSERT_TRUE(cam.WaitFrames(1, 5000));
  const kittest::ReceivedFrame first = cam.Frames()[0];
  const kittest::CamFrame& f = first.frame;
  EXPECT_EQ(f.length, 60u);
  EXPECT_EQ(f.version, 0x00010000u);
  EXPECT_EQ(f.ns, 2);
  EXPECT_EQ(f.sender, 8);
  EXPECT_EQ(f.seq, 0u);
  EXPECT_EQ(f.echo, 0u);
  EXPECT_EQ(f.cls, 2u);
  EXPECT_EQ(f.reserved, 0u);
  EXPECT_EQ(f.tail, kittest::kCamTail);
  ASSERT_EQ(f.items.size(), 1u);
  EXPECT_EQ(f.items[0].magic, 0xAA55A55Au);
  EXPECT_EQ(f.items[0].code, 0x20001u);
  EXPECT_EQ(f.items[0].paraType, 0);
  EXPECT_EQ(f.items[0].setFlag, 0);
  EXPECT_EQ(f.items[0].status, 0u);
  EXPECT_TRUE(f.items[0].data.empty());

  int r = -1;
  EXPECT_EQ(StateOf(h, &r), 4);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(Qelm_CloseCamera(h), 0);
  EXPECT_EQ(StateOf(h, &r), 1);
  EXPECT_EQ(r, 7);
  EXPECT_EQ(Qelm_CloseCamera(h), 7);
  // The camera sees its link closed.
  EXPECT_TRUE(WaitUntil([&] { return !cam.LinkOpen(); }, 5000));
}

void QELM_CALL OtherConnCb(void*, StCameraHandle*, int) {}

TEST_F(ControlTest, OpenRefusalsAndWhatTheyLeave) {
  FakeCamera cam("127.0.0.2");
  StCameraHandle* open = OpenCam(cam);
  ASSERT_TRUE(cam.WaitConnections(1, 5000));
  struct Case {
    const char* what;
    uint32_t ip;
    bool nullHandlePointer;
    int want;
    bool callbackReplaced;
  } cases[] = {
      {"address 0", 0, false, 1, false},
      {"null handle pointer", kittest::Addr("127.0.0.2"), true, 1, false},
      {"nothing listens", kittest::Addr("127.0.0.3"), false, 2, true},
      {"already open", kittest::Addr("127.0.0.2"), false, 8, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    qelm::Global().m_pfnConnEvent.store(ConnCb);
    StCameraHandle* h = reinterpret_cast<StCameraHandle*>(0x1);
    EXPECT_EQ(Qelm_OpenCamera(c.ip, c.nullHandlePointer ? nullptr : &h, nullptr, OtherConnCb), c.want);
    if (!c.nullHandlePointer) {
      EXPECT_EQ(h, nullptr);
    }
    EXPECT_EQ(qelm::Global().m_pfnConnEvent.load(), c.callbackReplaced ? OtherConnCb : ConnCb);
  }
  // The second open of one address made no second link, and the first handle is untouched.
  EXPECT_EQ(cam.Connections(), 1u);
  EXPECT_EQ(StateOf(open), 4);
}

TEST_F(ControlTest, UnknownHandlesAndMissingArguments) {
  int token;
  auto* bogus = reinterpret_cast<StCameraHandle*>(&token);  // never dereferenced: not in the list
  int st = 0;
  EXPECT_EQ(Qelm_CheckStatus(bogus, &st), 7);
  EXPECT_EQ(st, 1);
  st = 0;
  EXPECT_EQ(Qelm_CheckStatus(nullptr, &st), 7);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(Qelm_CheckStatus(bogus, nullptr), 1);
  EXPECT_EQ(Qelm_CloseCamera(bogus), 7);
  EXPECT_EQ(Qelm_CloseCamera(nullptr), 1);
}

TEST_F(ControlTest, AConnectThatDoesNotCompleteGivesUpAfterTwoSeconds) {
  JammedPort jam("127.0.0.4", 58000);
  ASSERT_TRUE(jam.ok());
  const int fds = kittest::OpenDescriptorCount();
  StCameraHandle* h = reinterpret_cast<StCameraHandle*>(0x1);
  const int64_t t0 = NowMs();
  EXPECT_EQ(Qelm_OpenCamera(kittest::Addr("127.0.0.4"), &h, nullptr, ConnCb), 2);
  const int64_t took = NowMs() - t0;
  EXPECT_GE(took, 1900);
  EXPECT_LE(took, 3500);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds);
}

TEST_F(ControlTest, AThreadThatCannotStartGives9AndLeavesNothing) {
  FakeCamera cam("127.0.0.2");
  const int fds = kittest::OpenDescriptorCount();
  pf::test::FailNextThreadStarts(1);
  StCameraHandle* h = reinterpret_cast<StCameraHandle*>(0x1);
  EXPECT_EQ(Qelm_OpenCamera(cam.addr(), &h, nullptr, ConnCb), 9);
  EXPECT_EQ(h, nullptr);
  EXPECT_TRUE(qelm::Global().m_listCamera.empty());
  EXPECT_TRUE(WaitUntil([&] { return kittest::OpenDescriptorCount() == fds; }, 5000));
  // Nothing of the failed open stands in the way of the next one.
  StCameraHandle* again = OpenCam(cam);
  EXPECT_EQ(StateOf(again), 4);
}

TEST_F(ControlTest, TwoConcurrentOpensOfOneAddressDoNotBothSucceed) {
  FakeCamera cam("127.0.0.2");
  // Both opens connect before either lists its handle.
  std::mutex m;
  std::condition_variable cv;
  int arrived = 0;
  qelm::test::SetOpenHook([&] {
    std::unique_lock<std::mutex> lk(m);
    ++arrived;
    cv.notify_all();
    cv.wait_for(lk, std::chrono::seconds(5), [&] { return arrived >= 2; });
  });
  int results[2] = {-1, -1};
  StCameraHandle* handles[2] = {nullptr, nullptr};
  std::thread a([&] { results[0] = Qelm_OpenCamera(cam.addr(), &handles[0], nullptr, ConnCb); });
  std::thread b([&] { results[1] = Qelm_OpenCamera(cam.addr(), &handles[1], nullptr, ConnCb); });
  a.join();
  b.join();
  qelm::test::SetOpenHook(nullptr);
  EXPECT_EQ(arrived, 2);
  EXPECT_EQ(std::min(results[0], results[1]), 0);
  EXPECT_EQ(std::max(results[0], results[1]), 8);
  StCameraHandle* won = results[0] == 0 ? handles[0] : handles[1];
  StCameraHandle* lost = results[0] == 0 ? handles[1] : handles[0];
  EXPECT_EQ(lost, nullptr);
  EXPECT_EQ(qelm::Global().m_listCamera.size(), 1u);
  EXPECT_EQ(StateOf(won), 4);
  // The refused open's link was closed again.
  EXPECT_TRUE(WaitUntil([&] {
    int open = 0;
    for (size_t i = 0; i < cam.Connections(); ++i) open += cam.server().Conn(i)->Open();
    return cam.Connections() == 2 && open == 1;
  }, 5000));
}

// A loss by an orderly close and one by a reset, each followed by the camera
// refusing for a while and coming back: event 3, state 3 while attempts fail,
// then event 4 with the same handle and user value.
void LossAndReturn(bool window) {
  FakeCamera cam("127.0.0.2");
  void* const user = reinterpret_cast<void*>(0xBEEF);
  StCameraHandle* h = OpenCam(cam, user);
  ASSERT_TRUE(cam.WaitConnections(1, 5000));
  const struct {
    const char* how;
    bool reset;
  } losses[] = {{"close", false}, {"reset", true}};
  size_t n = 0;
  for (const auto& loss : losses) {
    SCOPED_TRACE(loss.how);
    cam.Refuse();
    if (loss.reset)
      cam.ResetLinks();
    else
      cam.CloseLinks();
    ++n;
    ASSERT_TRUE(WaitCalls("conn", 2 * n - 1));
    int r = 0;
    EXPECT_TRUE(WaitUntil([&] { return StateOf(h, &r) == 3; }, 5000));
    EXPECT_EQ(r, 14);
    ASSERT_TRUE(cam.Return());
    ASSERT_TRUE(WaitCalls("conn", 2 * n));
    EXPECT_EQ(StateOf(h, &r), 4);
    EXPECT_EQ(r, 0);
    ASSERT_TRUE(cam.WaitConnections(n + 1, 5000));
  }
  const auto calls = Calls("conn");
  ASSERT_EQ(calls.size(), 4u);
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].event, i % 2 == 0 ? 3 : 4);
    EXPECT_EQ(calls[i].handle, h);
    EXPECT_EQ(calls[i].user, user);
    EXPECT_EQ(calls[i].onDispatcher, window);
    EXPECT_EQ(calls[i].onOwnRecvThread, !window);
  }
}

TEST_F(ControlTest, LinkLossAndReturnReachTheCallbackThroughTheWindow) {
  MakeWindow();
  LossAndReturn(true);
}

TEST_F(ControlTest, LinkLossAndReturnReachTheCallbackDirectlyWithoutAWindow) {
  LossAndReturn(false);
}

TEST_F(ControlTest, WithoutWindowOrCallbackALossIsOnlyLogged) {
  FakeCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam, nullptr, nullptr);
  ASSERT_TRUE(cam.WaitConnections(1, 5000));
  cam.CloseLinks();
  ASSERT_TRUE(cam.WaitConnections(2, 5000));  // it came back
  EXPECT_TRUE(WaitUntil([&] { return StateOf(h) == 4; }, 5000));
  EXPECT_TRUE(Calls().empty());
}

TEST_F(ControlTest, StateStaysConnectedUntilTheFirstAttemptTwoPointFourSecondsAfterTheLoss) {
  qelm::test::SetReconnectStepMs(200);
  FakeCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam);
  ASSERT_TRUE(cam.WaitConnections(1, 5000));
  cam.Refuse();
  cam.CloseLinks();
  const int64_t t0 = NowMs();
  ASSERT_TRUE(WaitCalls("conn", 1));
  EXPECT_EQ(StateOf(h), 4);
  ASSERT_TRUE(WaitUntil([&] { return StateOf(h) != 4; }, 6000));
  const int64_t changed = NowMs() - t0;
  EXPECT_GE(changed, 2300);
  EXPECT_LE(changed, 3600);
  EXPECT_EQ(StateOf(h), 3);
}

// How often the log of the library in `dir` holds `text` so far.
size_t LogCount(const std::string& dir, const char* text) {
  std::vector<std::string> files;
  if (!pf::ListDirectory(dir + "DLLLog", &files) || files.size() != 1) return 0;
  const std::string log = kittest::ReadFile(dir + "DLLLog/" + files[0]);
  const std::string line = "    " + kittest::Gbk(text) + "\r\n";
  size_t n = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
  return n;
}

TEST_F(ControlTest, AttemptsThatFailFollowEachOtherTwelvePausesApart) {
  const std::string dir = kittest::MakeTempFolder("reconnect");
  qelm::test::SetModulePath(dir);
  qelm::test::SetReconnectStepMs(50);  // an attempt every 600 ms
  ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  FakeCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam);
  ASSERT_TRUE(cam.WaitConnections(1, 5000));
  cam.Refuse();
  cam.CloseLinks();
  ASSERT_TRUE(WaitCalls("conn", 1));
  const int64_t lost = NowMs();
  // Each attempt is refused at once; the fourth comes 4 x 12 pauses after the loss.
  ASSERT_TRUE(WaitUntil([&] { return LogCount(dir, "控制端口重连") >= 4; }, 10000));
  const int64_t took = NowMs() - lost;
  EXPECT_GE(took, 4 * 600 - 100);
  EXPECT_LE(took, 4 * 600 + 1500);
  EXPECT_EQ(StateOf(h), 3);
  EXPECT_EQ(Calls("conn").size(), 1u);
  ASSERT_TRUE(cam.Return());
  ASSERT_TRUE(WaitCalls("conn", 2));
  EXPECT_EQ(Calls("conn")[1].event, 4);
}

void CloseMakesNoEvent() {
  FakeCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam, nullptr);
  // Once a pushed item has been dispatched, the receive thread is back in its
  // receive, where the close finds it.
  Qelm_RegAlgResultCallback(nullptr, AlgCb);
  AlgHandle().store(h);
  ASSERT_TRUE(cam.WaitConnections(1, 5000));
  ASSERT_TRUE(cam.PushItems({{0x707, 0, 0, 0, Bytes(kAlgBytes, 0)}}));
  ASSERT_TRUE(WaitCalls("alg", 1));
  EXPECT_EQ(Qelm_CloseCamera(h), 0);
  // And a handle closed while its link is lost reports no return either.
  StCameraHandle* lost = OpenCam(cam, nullptr);
  ASSERT_TRUE(cam.WaitConnections(2, 5000));
  cam.Refuse();
  cam.CloseLinks();
  ASSERT_TRUE(WaitCalls("conn", 1));
  EXPECT_EQ(Qelm_CloseCamera(lost), 0);
  ASSERT_TRUE(cam.Return());
  ASSERT_TRUE(WindowIdle());
  const auto calls = Calls("conn");
  ASSERT_EQ(calls.size(), 1u);  // the loss of the second handle only
  EXPECT_EQ(calls[0].handle, lost);
  EXPECT_EQ(calls[0].event, 3);
}

TEST_F(ControlTest, CloseMakesNoConnectionEventThroughTheWindow) {
  MakeWindow();
  CloseMakesNoEvent();
}

TEST_F(ControlTest, CloseMakesNoConnectionEventDirectly) { CloseMakesNoEvent(); }

TEST_F(ControlTest, CloseDuringAReconnectionAttemptEndsItAtOnce) {
  auto cam = std::make_unique<FakeCamera>("127.0.0.5");
  StCameraHandle* h = OpenCam(*cam);
  ASSERT_TRUE(cam->WaitConnections(1, 5000));
  cam.reset();  // the camera goes away; its address now takes connects that never complete
  JammedPort jam("127.0.0.5", 58000);
  ASSERT_TRUE(jam.ok());
  // State 3: the attempt's connect is under way (it would last 2 s).
  ASSERT_TRUE(WaitUntil([&] { return StateOf(h) == 3; }, 5000));
  const int64_t t0 = NowMs();
  EXPECT_EQ(Qelm_CloseCamera(h), 0);
  EXPECT_LT(NowMs() - t0, 1000);
  EXPECT_EQ(Calls("conn").size(), 1u);  // the loss only
}

// A direct short-status callback that keeps its receive thread until the test
// lets it go, then records the call (which looks into its handle).
std::atomic<bool> g_inStatus{false};
std::atomic<bool> g_letStatusGo{false};
void QELM_CALL HeldShortCb(StCameraHandle* h, void* u, const void* st) {
  g_inStatus.store(true);
  WaitUntil([] { return g_letStatusGo.load(); }, 10000);
  ShortCb(h, u, st);
}

TEST_F(ControlTest, ACloseWaitsForItsReceiveThreadWithoutHoldingTheDeviceList) {
  FakeCamera a("127.0.0.2"), b("127.0.0.3"), c("127.0.0.4");
  StCameraHandle* ha = OpenCam(a);
  StCameraHandle* hb = OpenCam(b);
  ASSERT_TRUE(a.WaitFrames(1, 5000));
  Qelm_RegControlStatusCallback(nullptr, nullptr, nullptr, HeldShortCb);
  ASSERT_TRUE(a.PushItems({FakeCamera::StatusItem(StatusBlock(76, 1))}));
  ASSERT_TRUE(WaitUntil([] { return g_inStatus.load(); }, 5000));

  std::atomic<int> closeResult{-1};
  std::thread closer([&] { closeResult.store(Qelm_CloseCamera(ha)); });
  ASSERT_TRUE(WaitUntil([&] { return !qelm::IsListedHandle(ha); }, 5000));
  // While the close waits for the handle's thread, the device list serves
  // every other caller at once.
  const int64_t t0 = NowMs();
  EXPECT_EQ(StateOf(ha), 1);
  EXPECT_EQ(StateOf(hb), 4);
  StCameraHandle* hc = OpenCam(c);
  EXPECT_EQ(StateOf(hc), 4);
  EXPECT_LT(NowMs() - t0, 1000);
  // The handle is not freed under its running callback.
  EXPECT_EQ(closeResult.load(), -1);
  g_letStatusGo.store(true);
  closer.join();
  EXPECT_EQ(closeResult.load(), 0);
  ASSERT_EQ(Calls("short").size(), 1u);
  EXPECT_TRUE(Calls("short")[0].onOwnRecvThread);
  EXPECT_TRUE(Calls("conn").empty());
  EXPECT_TRUE(WaitUntil([&] { return !a.LinkOpen(); }, 5000));
}

TEST_F(ControlTest, CloseFromTheHandlesOwnConnectionCallback) {
  const int threads = kittest::ThreadCount();
  FakeCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam);
  ASSERT_TRUE(cam.WaitConnections(1, 5000));
  CloseOnLoss().store(true);
  cam.Refuse();
  cam.CloseLinks();
  ASSERT_TRUE(WaitCalls("conn", 1));
  const auto calls = Calls("conn");
  EXPECT_EQ(calls[0].handle, h);
  EXPECT_EQ(calls[0].closeResult, 0);
  EXPECT_FALSE(qelm::IsListedHandle(h));
  EXPECT_EQ(StateOf(h), 1);
  // The handle's thread ended and freed it (the sanitizer builds show a leak
  // or a use after the free).
  // (The fake's listener is stopped and its connection ended as well.)
  EXPECT_TRUE(WaitUntil([&] { return kittest::ThreadCount() == threads; }, 5000));
  cam.Return();
  EXPECT_EQ(cam.Connections(), 1u);  // no reconnection of a closed handle
}

TEST_F(ControlTest, CloseFromADirectAlgorithmResultCallbackStopsTheDispatch) {
  FakeCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam);
  ASSERT_TRUE(cam.WaitConnections(1, 5000));
  AlgHandle().store(h);
  CloseOnAlg().store(true);
  Qelm_RegAlgResultCallback(nullptr, AlgCb);
  cam.PushItems({{0x707, 0, 0, 0, Bytes(kAlgBytes, 1)}, {0x707, 0, 0, 0, Bytes(kAlgBytes, 2)}});
  ASSERT_TRUE(WaitCalls("alg", 1));
  EXPECT_TRUE(WaitUntil([&] { return !cam.LinkOpen(); }, 5000));
  const auto calls = Calls("alg");
  ASSERT_EQ(calls.size(), 1u);  // the second item of the frame is not dispatched to a closed handle
  EXPECT_EQ(calls[0].closeResult, 0);
  EXPECT_EQ(StateOf(h), 1);
}

// A handle that a camera made by connecting to the library.
StCameraHandle* ServerMadeHandle(const FakeCamera& cam) {
  const pf::SOCKET s = qelm::CreateSocket(58000, cam.addr(), false);
  if (s == pf::INVALID_SOCKET) return nullptr;
  StCameraHandle* h = qelm::NewHandle(s, cam.addr(), true, nullptr);
  if (!h || !qelm::StartHandleThread(h)) return nullptr;
  qelm::ReleaseHandle(h, false);
  return h;
}

void ServerMadeLoss(bool window) {
  const int threads = kittest::ThreadCount();
  FakeCamera cam("127.0.0.7");
  Qelm_RegCameraHandleCallBack(HandleCb, reinterpret_cast<void*>(0x55));
  qelm::Global().m_pfnConnEvent.store(ConnCb);
  StCameraHandle* h = ServerMadeHandle(cam);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(cam.WaitConnections(1, 5000));
  cam.CloseLinks();
  ASSERT_TRUE(WaitCalls("handle", 1));
  const Call c = Calls("handle")[0];
  EXPECT_EQ(c.handle, h);
  EXPECT_EQ(c.user, reinterpret_cast<void*>(0x55));
  EXPECT_EQ(c.ip, "127.0.0.7");
  EXPECT_EQ(c.event, 3);
  EXPECT_EQ(c.onDispatcher, window);
  EXPECT_TRUE(WaitUntil([&] { return !qelm::IsListedHandle(h); }, 5000));
  // What remains is the fake's listener.
  EXPECT_TRUE(WaitUntil([&] { return kittest::ThreadCount() == threads + 1; }, 5000));
  ASSERT_TRUE(WindowIdle());
  EXPECT_TRUE(Calls("conn").empty());
  EXPECT_EQ(cam.Connections(), 1u);  // a server-made handle never reconnects
}

TEST_F(ControlTest, ServerMadeHandleReportsItsLossThroughTheWindowAndFreesItself) {
  MakeWindow();
  ServerMadeLoss(true);
}

TEST_F(ControlTest, ServerMadeHandleReportsItsLossDirectlyAndFreesItself) { ServerMadeLoss(false); }

TEST_F(ControlTest, TheLogTellsOpensLossesReconnectionsAndCloses) {
  const std::string dir = kittest::MakeTempFolder("ctllog");
  qelm::test::SetModulePath(dir);
  ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  FakeCamera cam("127.0.0.2");
  StCameraHandle* h = nullptr;
  EXPECT_EQ(Qelm_OpenCamera(0, &h, nullptr, ConnCb), 1);
  EXPECT_EQ(Qelm_OpenCamera(kittest::Addr("127.0.0.3"), &h, nullptr, ConnCb), 2);
  pf::test::FailNextThreadStarts(1);
  EXPECT_EQ(Qelm_OpenCamera(cam.addr(), &h, nullptr, ConnCb), 9);
  h = OpenCam(cam);
  ASSERT_TRUE(cam.WaitConnections(2, 5000));  // the refused open's link was the first
  cam.CloseLinks();
  ASSERT_TRUE(WaitCalls("conn", 2));
  EXPECT_EQ(Qelm_CloseCamera(h), 0);
  EXPECT_EQ(Qelm_CloseCamera(h), 7);
  ASSERT_EQ(Qelm_RecordControlLog(0), 0);  // writes what is queued

  std::vector<std::string> files;
  ASSERT_TRUE(pf::ListDirectory(dir + "DLLLog", &files));
  ASSERT_EQ(files.size(), 1u);
  const std::string log = kittest::ReadFile(dir + "DLLLog/" + files[0]);
  size_t at = 0;
  for (const char* text : {"打开相机，IP地址不正确", "打开相机，生成SOCKET失败", "打开相机，启用Control线程失败",
                           "打开相机成功", "控制端口连接断开", "控制端口重连", "关闭相机成功", "关闭相机失败"}) {
    const size_t found = log.find("    " + kittest::Gbk(text) + "\r\n", at);
    ASSERT_NE(found, std::string::npos) << text << " (in this order) in:\n" << log;
    at = found;
  }
}

// 64 cameras on 127.0.0.2 .. 127.0.0.65.
std::vector<std::unique_ptr<FakeCamera>> SixtyFourCameras() {
  std::vector<std::unique_ptr<FakeCamera>> cams;
  for (int i = 2; i < 66; ++i) cams.push_back(std::make_unique<FakeCamera>("127.0.0." + std::to_string(i)));
  return cams;
}

void OpenAll(std::vector<std::unique_ptr<FakeCamera>>& cams, std::vector<StCameraHandle*>* handles) {
  for (auto& c : cams) handles->push_back(OpenCam(*c, nullptr));
  for (auto& c : cams) EXPECT_TRUE(c->WaitFrames(1, 5000)) << c->ip();
  for (StCameraHandle* h : *handles) EXPECT_EQ(StateOf(h), 4);
}

bool AllLinksClosed(const std::vector<std::unique_ptr<FakeCamera>>& cams) {
  for (auto& c : cams)
    if (c->LinkOpen()) return false;
  return true;
}

TEST_F(ControlTest, SixtyFourHandlesOpenAtOnceAndAllClosedLeaveNothing) {
  qelm::test::SetHeartbeatTiming(50, 50);
  ASSERT_EQ(Qelm_InitControl([](StCameraInfo*) {}), 0);
  auto cams = SixtyFourCameras();
  const int threads = kittest::ThreadCount();
  const int fds = kittest::OpenDescriptorCount();
  std::vector<StCameraHandle*> handles;
  OpenAll(cams, &handles);
  for (auto& c : cams) EXPECT_TRUE(c->WaitFrames(3, 5000)) << "heartbeats to " << c->ip();
  for (StCameraHandle* h : handles) EXPECT_EQ(Qelm_CloseCamera(h), 0);
  EXPECT_TRUE(qelm::Global().m_listCamera.empty());
  ASSERT_TRUE(WaitUntil([&] { return AllLinksClosed(cams); }, 5000));
  EXPECT_TRUE(WaitUntil([&] { return kittest::ThreadCount() == threads; }, 5000))
      << kittest::ThreadCount() << " threads, " << threads << " before";
  EXPECT_TRUE(WaitUntil([&] { return kittest::OpenDescriptorCount() == fds; }, 5000))
      << kittest::OpenDescriptorCount() << " descriptors, " << fds << " before";
}

TEST_F(ControlTest, QuitClosesEveryHandleAndJoinsEveryThread) {
  ASSERT_EQ(Qelm_InitControl([](StCameraInfo*) {}), 0);
  const int startThreads = kittest::ThreadCount() - 2;  // less the discovery and heartbeat threads
  auto cams = SixtyFourCameras();
  const int threads = kittest::ThreadCount();
  const int fds = kittest::OpenDescriptorCount();
  std::vector<StCameraHandle*> handles;
  OpenAll(cams, &handles);
  // Some handles are between two reconnection attempts when the library quits
  // (their cameras' listeners, threads and descriptors are gone).
  const int refused = 8;
  for (int i = 0; i < refused; ++i) cams[i]->Refuse(), cams[i]->CloseLinks();
  ASSERT_TRUE(WaitCalls("conn", refused));
  EXPECT_EQ(Qelm_Quit(), 0);
  EXPECT_TRUE(qelm::Global().m_listCamera.empty());
  for (StCameraHandle* h : handles) EXPECT_EQ(StateOf(h), 1);
  ASSERT_TRUE(WaitUntil([&] { return AllLinksClosed(cams); }, 5000));
  // Less the discovery and heartbeat threads and the discovery socket.
  EXPECT_TRUE(WaitUntil([&] { return kittest::ThreadCount() == threads - 2 - refused; }, 5000))
      << kittest::ThreadCount() << " threads, " << threads << " before";
  EXPECT_TRUE(WaitUntil([&] { return kittest::OpenDescriptorCount() == fds - 1 - refused; }, 5000))
      << kittest::OpenDescriptorCount() << " descriptors, " << fds << " before";
  cams.clear();
  EXPECT_TRUE(kittest::ThreadCountBecomes(startThreads)) << kittest::ThreadCount();
}

}  // namespace

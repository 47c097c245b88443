// Server mode: listeners started and stopped by address and port, the
// handshake a connecting camera must pass, the handles made of accepted
// cameras (announced, working, lost on silence), and stops and quits that
// meet cameras in every stage of connecting.
#include <sys/socket.h>
#include <sys/time.h>

#include <memory>

#include "control_support.h"
#include "fake_dialing_camera.h"
#include "log_queue.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "server.h"

namespace {

using namespace ctltest;
using kittest::CamFrame;
using kittest::CamItem;
using kittest::EncodeCamFrame;
using kittest::FakeDialingCamera;
using kittest::NowMs;
using kittest::PutLE32;
using kittest::WaitUntil;

constexpr const char* kHost = "127.0.0.10";
constexpr const char* kOtherHost = "127.0.0.11";
constexpr uint16_t kPort = 58100;

int Start(const char* ip = kHost, int port = kPort) { return Qelm_ControlServer(ip, port, 1); }
int Stop(const char* ip = kHost, int port = kPort) { return Qelm_ControlServer(ip, port, 0); }

size_t ListenerCount() {
  qelm::CForGlobal& g = qelm::Global();
  pf::Lock lk(g.m_csServer);
  return g.m_listServer.size();
}

size_t HandleCount() {
  qelm::CForGlobal& g = qelm::Global();
  pf::Lock lk(g.m_csCamera);
  return g.m_listCamera.size();
}

StCameraHandle* FirstHandle() {
  qelm::CForGlobal& g = qelm::Global();
  pf::Lock lk(g.m_csCamera);
  return g.m_listCamera.empty() ? nullptr : g.m_listCamera.front();
}

std::vector<Call> HandleCalls(const std::string& ip, int event) {
  std::vector<Call> out;
  for (const Call& c : Calls("handle"))
    if (c.ip == ip && c.event == event) out.push_back(c);
  return out;
}

bool WaitHandleCall(const std::string& ip, int event, int ms = 5000) {
  return WaitUntil([&] { return !HandleCalls(ip, event).empty(); }, ms);
}

// The handle announced for a camera (null when none was).
StCameraHandle* AnnouncedHandle(const FakeDialingCamera& cam) {
  if (!WaitHandleCall(cam.ip(), 4)) return nullptr;
  return HandleCalls(cam.ip(), 4)[0].handle;
}

// What the process holds when it is taken; ExpectBack() checks that every
// thread and descriptor made since is gone.
struct Holdings {
  int threads = kittest::ThreadCount();
  int fds = kittest::OpenDescriptorCount();
  void ExpectBack() const {
    EXPECT_TRUE(WaitUntil([&] { return kittest::ThreadCount() == threads; }, 5000))
        << kittest::ThreadCount() << " threads, " << threads << " before";
    EXPECT_EQ(kittest::OpenDescriptorCount(), fds);
  }
};

void QELM_CALL Found(StCameraInfo*) {}

class ServerTest : public ControlTest {};

TEST_F(ServerTest, StartStopAndArguments) {
  struct Case {
    const char* what;
    const char* ip;
    int port;
    int start;
    int want;
    size_t listeners;
  } cases[] = {
      {"start", kHost, kPort, 1, 0, 1},
      {"start again", kHost, kPort, 1, 0, 1},
      {"same port on another address", kOtherHost, kPort, 1, 0, 2},
      {"stop of a pair never started", kHost, kPort + 1, 0, 1, 2},
      {"start counts by its low byte", kHost, kPort + 1, 0x100, 1, 2},
      {"no address", nullptr, kPort, 1, 1, 2},
      {"port 0", kHost, 0, 1, 1, 2},
      {"negative port", kHost, -1, 1, 1, 2},
      {"port beyond 16 bits", kHost, 0x10000 + kPort, 1, 1, 2},
      {"stop", kOtherHost, kPort, 0, 0, 1},
      {"stop again", kOtherHost, kPort, 0, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Qelm_ControlServer(c.ip, c.port, c.start), c.want);
    EXPECT_EQ(ListenerCount(), c.listeners);
  }
  // The listener left works, and only it.
  Qelm_RegCameraHandleCallBack(HandleCb, nullptr);
  FakeDialingCamera cam("127.0.0.20");
  ASSERT_TRUE(cam.Dial(kHost, kPort));
  EXPECT_NE(AnnouncedHandle(cam), nullptr);
  FakeDialingCamera other("127.0.0.21");
  EXPECT_FALSE(other.Dial(kOtherHost, kPort));
  // A stopped pair can be started again at once.
  EXPECT_EQ(Start(kOtherHost), 0);
  EXPECT_EQ(ListenerCount(), 2u);
}

TEST_F(ServerTest, StartsOfOnePairAtOnceMakeOneListener) {
  constexpr int kCallers = 8;
  std::atomic<int> ready{0};
  std::vector<int> results(kCallers, -1);
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; ++i)
    callers.emplace_back([&, i] {
      ++ready;
      while (ready.load() < kCallers) std::this_thread::yield();
      results[i] = Start();
    });
  for (auto& t : callers) t.join();
  for (int i = 0; i < kCallers; ++i) EXPECT_EQ(results[i], 0) << i;
  EXPECT_EQ(ListenerCount(), 1u);
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(Stop(), 1);
}

TEST_F(ServerTest, AListenerThatCannotBeMadeGives2AndTheLogTellsWhy) {
  const std::string dir = kittest::MakeTempFolder("server");
  qelm::test::SetModulePath(dir);
  ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  kittest::FakeTcpServer taken("127.0.0.12", kPort);
  ASSERT_TRUE(taken.Listening());
  const int fds = kittest::OpenDescriptorCount();
  const std::string bindLine = kittest::Gbk("启用服务端模式，bind执行失败");
  const std::string listenLine = kittest::Gbk("启用服务端模式，listen执行失败");
  struct Case {
    const char* what;
    const char* ip;
    bool listenFails;
    int wsaError;
    const std::string& line;
  } cases[] = {
      {"port taken", "127.0.0.12", false, pf::WSAEADDRINUSE, bindLine},
      {"address not of this PC", "198.51.100.200", false, pf::WSAEADDRNOTAVAIL, bindLine},
      {"text that is no address", "camera", false, pf::WSAEADDRNOTAVAIL, bindLine},
      {"bound but cannot listen", kHost, true, pf::WSAEADDRINUSE, listenLine},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.listenFails) pf::test::FailNextListens(1);
    EXPECT_EQ(Start(c.ip), 2);
    EXPECT_EQ(ListenerCount(), 0u);
    // The log writer holds its file open for a moment now and then.
    EXPECT_TRUE(kittest::WaitUntil([&] { return kittest::OpenDescriptorCount() == fds; }, 2000));
  }
  ASSERT_EQ(Qelm_RecordControlLog(0), 0);
  std::vector<std::string> files;
  ASSERT_TRUE(pf::ListDirectory(dir + "DLLLog", &files));
  ASSERT_EQ(files.size(), 1u);
  const std::string log = kittest::ReadFile(dir + "DLLLog/" + files[0]);
  // Each failure: its line, then the sockets error's text on the next line.
  size_t at = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string line = "    " + c.line + "\r\n";
    const size_t found = log.find(line, at);
    ASSERT_NE(found, std::string::npos) << log;
    const size_t next = found + line.size();
    const size_t end = log.find("\r\n", next);
    ASSERT_NE(end, std::string::npos);
    EXPECT_NE(log.substr(next, end - next).find(kit::SocketErrorText(c.wsaError)), std::string::npos)
        << log.substr(next, end - next);
    at = next;
  }
  // The address whose listen failed was let go.
  EXPECT_EQ(Start(kHost), 0);
}

TEST_F(ServerTest, AnAcceptThreadThatCannotStartGives101AndLeavesNothing) {
  const Holdings before;
  pf::test::FailNextThreadStarts(1);
  EXPECT_EQ(Start(), 101);
  EXPECT_EQ(ListenerCount(), 0u);
  before.ExpectBack();
  // The port was let go.
  EXPECT_EQ(Start(), 0);
  EXPECT_EQ(ListenerCount(), 1u);
}

// --- The handshake -------------------------------------------------------

Bytes GoodReply(const CamFrame& req, uint32_t statusLength = 96, uint32_t word = 96) {
  return EncodeCamFrame(FakeDialingCamera::HandshakeReply(req, statusLength, word));
}

void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// A reply whose status item says it holds 96 bytes while only 20 follow.
Bytes StatusRunningPastTheFrame(const CamFrame& req) {
  CamFrame f = FakeDialingCamera::HandshakeReply(req, 20, 0);
  Bytes b = EncodeCamFrame(f);
  const size_t statusAt = 36 + 20 + 16;  // after the 0x20001 item and its 16 bytes
  PutLE32(b, statusAt + 16, 96);
  return b;
}

using Script = std::function<std::vector<Bytes>(const CamFrame&)>;

Script Whole(std::function<Bytes(const CamFrame&)> make) {
  return [make](const CamFrame& req) { return std::vector<Bytes>{make(req)}; };
}
Script Patched(size_t at, uint32_t v) {
  return Whole([at, v](const CamFrame& req) {
    Bytes b = GoodReply(req);
    PutLE32(b, at, v);
    return b;
  });
}

struct HandshakeCase {
  const char* what;
  Script answer;
  bool accepted;
};

std::vector<HandshakeCase> HandshakeCases() {
  return {
      {"96-byte status", Whole([](const CamFrame& r) { return GoodReply(r, 96, 96); }), true},
      {"332-byte status with its word", Whole([](const CamFrame& r) { return GoodReply(r, 332, 332); }), true},
      {"longer short status with the word 96", Whole([](const CamFrame& r) { return GoodReply(r, 200, 96); }),
       true},
      {"tail not checked", Patched(36 + 20 + 16 + 20 + 96, 0x12345678), true},
      {"head word", Patched(0, 0x0FF055AB), false},
      {"version", Patched(4, 0x00010001), false},
      {"length word larger than the bytes", Whole([](const CamFrame& r) {
         Bytes b = GoodReply(r);
         PutLE32(b, 8, static_cast<uint32_t>(b.size() + 8));
         return b;
       }),
       false},
      {"more bytes than the length word", Whole([](const CamFrame& r) {
         Bytes b = GoodReply(r);
         b.insert(b.end(), 4, 0);
         return b;
       }),
       false},
      {"addressed namespace", Whole([](const CamFrame& r) {
         Bytes b = GoodReply(r);
         Put16(b, 12, 2);
         return b;
       }),
       false},
      {"sender", Whole([](const CamFrame& r) {
         Bytes b = GoodReply(r);
         Put16(b, 14, 8);
         return b;
       }),
       false},
      {"sequence echo", Patched(20, 1), false},
      {"class", Patched(24, 2), false},
      {"item count 0", Patched(32, 0), false},
      {"no status item", Whole([](const CamFrame& r) {
         return EncodeCamFrame(kittest::FakeCamera::ReplyTo(r, {CamItem{0x20001, 0, 0, 0, Bytes(16, 0x5A)}}));
       }),
       false},
      {"76-byte status", Whole([](const CamFrame& r) { return GoodReply(r, 76, 96); }), false},
      {"95-byte status", Whole([](const CamFrame& r) { return GoodReply(r, 95, 96); }), false},
      {"332-byte status with another word", Whole([](const CamFrame& r) { return GoodReply(r, 332, 0); }), false},
      {"96-byte status with the word 332", Whole([](const CamFrame& r) { return GoodReply(r, 96, 332); }), false},
      {"status item running past the frame", Whole(StatusRunningPastTheFrame), false},
      {"reply split over two receives",
       [](const CamFrame& r) {
         const Bytes b = GoodReply(r);
         return std::vector<Bytes>{Bytes(b.begin(), b.begin() + 50), Bytes(b.begin() + 50, b.end())};
       },
       false},
  };
}

TEST_F(ServerTest, TheHandshakeAcceptsOnlyTheRightReply) {
  Qelm_RegCameraHandleCallBack(HandleCb, nullptr);
  ASSERT_EQ(Start(), 0);
  const std::vector<HandshakeCase> cases = HandshakeCases();
  std::vector<std::unique_ptr<FakeDialingCamera>> cams;
  size_t accepted = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const HandshakeCase& c = cases[i];
    SCOPED_TRACE(c.what);
    cams.push_back(std::make_unique<FakeDialingCamera>("127.0.0." + std::to_string(20 + i)));
    FakeDialingCamera& cam = *cams.back();
    cam.SetHandshake(c.answer);
    ASSERT_TRUE(cam.Dial(kHost, kPort));
    // The library decides: a handle is announced, or the link is closed.
    ASSERT_TRUE(WaitUntil([&] { return cam.HostClosed() || !HandleCalls(cam.ip(), 4).empty(); }, 5000));
    EXPECT_EQ(cam.HostClosed(), !c.accepted);
    EXPECT_EQ(HandleCalls(cam.ip(), 4).size(), c.accepted ? 1u : 0u);
    if (c.accepted) ++accepted;
    EXPECT_EQ(HandleCount(), accepted);
  }
}

TEST_F(ServerTest, TheReplyCheckReadsOnlyTheBytesReceived) {
  CamFrame req;
  req.ns = 2;
  req.sender = 8;
  req.cls = 2;
  const Bytes good = GoodReply(req);
  // Each input is a heap block of exactly its length, so that a read beyond
  // it shows in the sanitizer build.
  auto check = [](const Bytes& b, size_t n) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
    std::copy(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n), exact.get());
    return qelm::CheckHandshakeReply(exact.get(), n);
  };
  EXPECT_TRUE(check(good, good.size()));
  EXPECT_FALSE(qelm::CheckHandshakeReply(nullptr, 60));
  for (size_t n : {size_t{0}, size_t{3}, size_t{35}, size_t{36}, size_t{39}}) {
    Bytes head = good;
    PutLE32(head, 8, static_cast<uint32_t>(n));  // the length word agrees with the bytes
    EXPECT_FALSE(check(head, n)) << n;
  }
  // A status item that ends where the frame ends leaves no room for the tail.
  Bytes noTail = good;
  noTail.resize(good.size() - 4);
  PutLE32(noTail, 8, static_cast<uint32_t>(noTail.size()));
  EXPECT_FALSE(check(noTail, noTail.size()));
  Bytes huge = StatusRunningPastTheFrame(req);
  PutLE32(huge, 36 + 20 + 16 + 16, 0xFFFFFFF0u);
  EXPECT_FALSE(check(huge, huge.size()));
}

TEST_F(ServerTest, AHandshakeWithoutAnswerEndsAfterOneSecondAndTheNextCameraIsTaken) {
  Qelm_RegCameraHandleCallBack(HandleCb, nullptr);
  ASSERT_EQ(Start(), 0);
  FakeDialingCamera mute("127.0.0.20");
  mute.SetHandshake(nullptr);
  ASSERT_TRUE(mute.Dial(kHost, kPort));
  ASSERT_TRUE(mute.WaitRequest(5000));
  FakeDialingCamera next("127.0.0.21");
  ASSERT_TRUE(next.Dial(kHost, kPort));  // waits in the backlog meanwhile
  ASSERT_TRUE(mute.WaitHostClosed(6000));
  // Timed by the fake's own reader, from the request it saw to the close.
  const int64_t took = mute.HostClosedAtMs() - mute.RequestAtMs();
  EXPECT_GE(took, 800);
  EXPECT_LE(took, 4000);  // bounded (wide for a loaded machine)
  EXPECT_NE(AnnouncedHandle(next), nullptr);
  // A camera that failed may connect again.
  FakeDialingCamera again("127.0.0.20");
  ASSERT_TRUE(again.Dial(kHost, kPort));
  EXPECT_NE(AnnouncedHandle(again), nullptr);
  EXPECT_EQ(HandleCount(), 2u);
}

TEST_F(ServerTest, ACameraWhoseThreadCannotStartIsDroppedAndMayComeAgain) {
  Qelm_RegCameraHandleCallBack(HandleCb, nullptr);
  ASSERT_EQ(Start(), 0);
  pf::test::FailNextThreadStarts(1);
  FakeDialingCamera cam("127.0.0.20");
  ASSERT_TRUE(cam.Dial(kHost, kPort));
  ASSERT_TRUE(cam.WaitHostClosed(5000));
  EXPECT_EQ(HandleCount(), 0u);
  EXPECT_TRUE(Calls("handle").empty());
  FakeDialingCamera again("127.0.0.20");
  ASSERT_TRUE(again.Dial(kHost, kPort));
  EXPECT_NE(AnnouncedHandle(again), nullptr);
}

// --- Accepted cameras ----------------------------------------------------

int SocketTimeoutMs(pf::SOCKET s, int option) {
  timeval tv{};
  socklen_t len = sizeof tv;
  if (getsockopt(s, SOL_SOCKET, option, &tv, &len) != 0) return -1;
  return static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
}

void AcceptedCameraWorks(bool window) {
  if (window) {
    qelm::test::SetHeartbeatTiming(50, 50);
    ASSERT_EQ(Qelm_InitControl(Found), 0);
  }
  Qelm_RegCameraHandleCallBack(HandleCb, reinterpret_cast<void*>(0x77));
  ASSERT_EQ(Start(), 0);
  FakeDialingCamera cam("127.0.0.21");
  ASSERT_TRUE(cam.Dial(kHost, kPort));
  ASSERT_TRUE(WaitCalls("handle", 1));
  const Call c = Calls("handle")[0];
  EXPECT_EQ(c.event, 4);
  EXPECT_EQ(c.ip, "127.0.0.21");
  EXPECT_EQ(c.user, reinterpret_cast<void*>(0x77));
  EXPECT_EQ(c.onDispatcher, window);
  StCameraHandle* h = c.handle;
  ASSERT_TRUE(qelm::IsListedHandle(h));
  int r = -1;
  EXPECT_EQ(StateOf(h, &r), 4);
  EXPECT_EQ(r, 0);

  // The opening request was the get of 0x20001 to namespace 2.
  const CamFrame req = cam.Frames()[0];
  EXPECT_EQ(req.length, 60u);
  EXPECT_EQ(req.ns, 2);
  EXPECT_EQ(req.sender, 8);
  EXPECT_EQ(req.seq, 0u);
  EXPECT_EQ(req.cls, 2u);
  ASSERT_EQ(req.items.size(), 1u);
  EXPECT_EQ(req.items[0].code, 0x20001u);
  EXPECT_TRUE(req.items[0].data.empty());
  // Its link: a minute without data or room counts as lost.
  EXPECT_EQ(SocketTimeoutMs(h->m_hSocket.load(), SO_RCVTIMEO), 60000);
  EXPECT_EQ(SocketTimeoutMs(h->m_hSocket.load(), SO_SNDTIMEO), 60000);

  // It is a device handle like any other: in the device list, its pushes
  // reach the status callbacks, the heartbeat reaches it.
  StCameraHandle* dup = nullptr;
  EXPECT_EQ(Qelm_OpenCamera(cam.addr(), &dup, nullptr, ConnCb), 8);
  Qelm_RegControlStatusCallback(nullptr, reinterpret_cast<void*>(0x99), LongCb, ShortCb);
  const Bytes status = StatusBlock(qelm::kLongStatusSize, 3, 0x00010000, 0);
  CamFrame push;
  push.items = {kittest::FakeCamera::StatusItem(status)};
  ASSERT_TRUE(cam.Push(push));
  ASSERT_TRUE(WaitCalls("long", 1));
  const Call st = Calls("long")[0];
  EXPECT_EQ(st.handle, h);
  EXPECT_EQ(st.user, reinterpret_cast<void*>(0x99));
  EXPECT_EQ(st.bytes, status);
  EXPECT_EQ(st.onDispatcher, window);
  if (window) {
    EXPECT_TRUE(cam.WaitFrames(4, 5000)) << "heartbeats";
  }

  EXPECT_EQ(Qelm_CloseCamera(h), 0);
  EXPECT_TRUE(cam.WaitHostClosed(5000));
  EXPECT_EQ(StateOf(h), 1);
  ASSERT_TRUE(WindowIdle());
  EXPECT_EQ(Calls("handle").size(), 1u);  // a close by the caller tells nothing
}

TEST_F(ServerTest, AnAcceptedCameraIsAnnouncedThroughTheWindowAndWorks) { AcceptedCameraWorks(true); }

TEST_F(ServerTest, AnAcceptedCameraIsAnnouncedDirectlyWithoutAWindowAndWorks) { AcceptedCameraWorks(false); }

// Cameras that leave as soon as they are in: each is told connected before
// it is told lost, with its own address both times.
void ConnectedIsToldBeforeLost(bool window) {
  if (window) MakeWindow();
  Qelm_RegCameraHandleCallBack(HandleCb, nullptr);
  ASSERT_EQ(Start(), 0);
  constexpr int kCams = 6;
  std::vector<std::unique_ptr<FakeDialingCamera>> cams;
  for (int i = 0; i < kCams; ++i) {
    cams.push_back(std::make_unique<FakeDialingCamera>("127.0.0." + std::to_string(30 + i)));
    cams.back()->SetCloseAfterHandshake(true);
    ASSERT_TRUE(cams.back()->Dial(kHost, kPort));
  }
  ASSERT_TRUE(WaitCalls("handle", 2 * kCams));
  ASSERT_TRUE(WaitUntil([] { return HandleCount() == 0; }, 5000));
  for (const auto& cam : cams) {
    SCOPED_TRACE(cam->ip());
    std::vector<Call> mine;
    for (const Call& c : Calls("handle"))
      if (c.ip == cam->ip()) mine.push_back(c);
    ASSERT_EQ(mine.size(), 2u);
    EXPECT_EQ(mine[0].event, 4);
    EXPECT_EQ(mine[1].event, 3);
    EXPECT_EQ(mine[0].handle, mine[1].handle);
    EXPECT_EQ(mine[1].onDispatcher, window);
    EXPECT_TRUE(cam->WaitHostClosed(5000));
  }
}

TEST_F(ServerTest, ConnectedIsToldBeforeLostThroughTheWindow) { ConnectedIsToldBeforeLost(true); }

TEST_F(ServerTest, ConnectedIsToldBeforeLostDirectly) { ConnectedIsToldBeforeLost(false); }

TEST_F(ServerTest, ASilentCameraIsReportedLostAndClosedWhileATalkingOneStays) {
  qelm::test::SetServerLinkTimeoutMs(400);
  qelm::test::SetHeartbeatTiming(50, 50);
  ASSERT_EQ(Qelm_InitControl(Found), 0);
  Qelm_RegCameraHandleCallBack(HandleCb, nullptr);
  ASSERT_EQ(Start(), 0);
  FakeDialingCamera talking("127.0.0.22");
  ASSERT_TRUE(talking.Dial(kHost, kPort));
  StCameraHandle* kept = AnnouncedHandle(talking);
  ASSERT_NE(kept, nullptr);
  FakeDialingCamera silent("127.0.0.23");
  silent.SetAnswering(false);
  const int64_t dialed = NowMs();
  ASSERT_TRUE(silent.Dial(kHost, kPort));
  StCameraHandle* lost = AnnouncedHandle(silent);
  ASSERT_NE(lost, nullptr);
  ASSERT_TRUE(WaitHandleCall(silent.ip(), 3));
  EXPECT_GE(NowMs() - dialed, 400);
  const Call c = HandleCalls(silent.ip(), 3)[0];
  EXPECT_EQ(c.handle, lost);
  EXPECT_TRUE(c.onDispatcher);
  EXPECT_TRUE(silent.WaitHostClosed(5000));
  EXPECT_EQ(StateOf(lost), 1);
  // The talking camera answers the heartbeats for several time-outs and stays.
  const size_t seen = talking.Frames().size();
  EXPECT_TRUE(talking.WaitFrames(seen + 20, 5000));
  EXPECT_EQ(StateOf(kept), 4);
  EXPECT_TRUE(HandleCalls(talking.ip(), 3).empty());
}

// --- Callbacks that act on the accept thread -----------------------------

std::atomic<int> g_result{-1};

void QELM_CALL CloseInCallback(StCameraHandle* h, void*, const char*, int event) {
  if (event == 4) g_result.store(Qelm_CloseCamera(h));
}

void QELM_CALL StopInCallback(StCameraHandle*, void*, const char*, int event) {
  if (event == 4) g_result.store(Stop());
}

TEST_F(ServerTest, ADirectCallbackMayCloseTheHandleItIsGiven) {
  const Holdings before;
  Qelm_RegCameraHandleCallBack(CloseInCallback, nullptr);
  ASSERT_EQ(Start(), 0);
  {
    FakeDialingCamera cam("127.0.0.20");
    ASSERT_TRUE(cam.Dial(kHost, kPort));
    ASSERT_TRUE(WaitUntil([] { return g_result.load() != -1; }, 5000));
    EXPECT_EQ(g_result.load(), 0);
    EXPECT_TRUE(cam.WaitHostClosed(5000));
    EXPECT_EQ(HandleCount(), 0u);
    // The listener goes on.
    g_result.store(-1);
    FakeDialingCamera next("127.0.0.21");
    ASSERT_TRUE(next.Dial(kHost, kPort));
    ASSERT_TRUE(WaitUntil([] { return g_result.load() != -1; }, 5000));
    EXPECT_TRUE(next.WaitHostClosed(5000));
  }
  EXPECT_EQ(Stop(), 0);
  before.ExpectBack();
}

TEST_F(ServerTest, ADirectCallbackMayStopItsOwnListener) {
  const Holdings before;
  Qelm_RegCameraHandleCallBack(StopInCallback, nullptr);
  ASSERT_EQ(Start(), 0);
  {
    FakeDialingCamera cam("127.0.0.20");
    ASSERT_TRUE(cam.Dial(kHost, kPort));
    ASSERT_TRUE(WaitUntil([] { return g_result.load() != -1; }, 5000));
    EXPECT_EQ(g_result.load(), 0);
    EXPECT_EQ(ListenerCount(), 0u);
    // The listening socket is closed once its thread has ended.
    EXPECT_TRUE(WaitUntil([&] { return !FakeDialingCamera("127.0.0.21").Dial(kHost, kPort); }, 5000));
    // The camera that was taken is a handle still.
    ASSERT_EQ(HandleCount(), 1u);
    StCameraHandle* h = FirstHandle();
    EXPECT_EQ(StateOf(h), 4);
    EXPECT_EQ(Qelm_CloseCamera(h), 0);
  }
  before.ExpectBack();
}

// --- Stops and quits while cameras connect -------------------------------

// Cameras at one listener in every stage: one taken (a handle), one in its
// handshake (its answer never comes), two waiting in the backlog.
struct Crowd {
  std::unique_ptr<FakeDialingCamera> taken, mute, queued[2];
  StCameraHandle* handle = nullptr;
};

void Gather(Crowd& c, const char* host, int firstIp) {
  auto ip = [&](int k) { return "127.0.0." + std::to_string(firstIp + k); };
  c.taken = std::make_unique<FakeDialingCamera>(ip(0));
  ASSERT_TRUE(c.taken->Dial(host, kPort));
  c.handle = AnnouncedHandle(*c.taken);
  ASSERT_NE(c.handle, nullptr);
  c.mute = std::make_unique<FakeDialingCamera>(ip(1));
  c.mute->SetHandshake(nullptr);
  ASSERT_TRUE(c.mute->Dial(host, kPort));
  ASSERT_TRUE(c.mute->WaitRequest(5000));
  for (int k = 0; k < 2; ++k) {
    c.queued[k] = std::make_unique<FakeDialingCamera>(ip(2 + k));
    ASSERT_TRUE(c.queued[k]->Dial(host, kPort));
  }
}

void ExpectAllLeft(const Crowd& c) {
  EXPECT_TRUE(c.mute->WaitHostClosed(5000));
  for (const auto& q : c.queued) EXPECT_TRUE(q->WaitHostClosed(5000));
  EXPECT_TRUE(c.mute->HostClosed());
  for (const auto& q : c.queued) EXPECT_EQ(q->Frames().size(), 0u);  // never taken
}

TEST_F(ServerTest, AStopDuringAHandshakeEndsItAtOnceAndLeavesNothing) {
  const Holdings before;
  Qelm_RegCameraHandleCallBack(HandleCb, nullptr);
  {
    ASSERT_EQ(Start(), 0);
    Crowd crowd;
    Gather(crowd, kHost, 20);
    const int64_t t0 = NowMs();
    EXPECT_EQ(Stop(), 0);
    EXPECT_LT(NowMs() - t0, 500) << "the handshake under way was not woken";
    EXPECT_EQ(ListenerCount(), 0u);
    ExpectAllLeft(crowd);
    EXPECT_EQ(Calls("handle").size(), 1u);
    // The camera taken before the stop keeps its handle until it is closed.
    EXPECT_EQ(StateOf(crowd.handle), 4);
    EXPECT_EQ(Qelm_CloseCamera(crowd.handle), 0);
  }
  before.ExpectBack();
}

TEST_F(ServerTest, QuitWhileCamerasConnectStopsEveryListenerAndLeavesNothing) {
  const Holdings before;
  Qelm_RegCameraHandleCallBack(HandleCb, nullptr);
  {
    ASSERT_EQ(Start(kHost), 0);
    ASSERT_EQ(Start(kOtherHost), 0);
    Crowd one, two;
    Gather(one, kHost, 20);
    Gather(two, kOtherHost, 30);
    const int64_t t0 = NowMs();
    EXPECT_EQ(Qelm_Quit(), 0);
    EXPECT_LT(NowMs() - t0, 800) << "a handshake under way was not woken";
    EXPECT_EQ(ListenerCount(), 0u);
    EXPECT_EQ(HandleCount(), 0u);
    for (Crowd* c : {&one, &two}) {
      ExpectAllLeft(*c);
      EXPECT_TRUE(c->taken->WaitHostClosed(5000));
      EXPECT_EQ(StateOf(c->handle), 1);
    }
  }
  before.ExpectBack();
  // Both pairs can be started again.
  EXPECT_EQ(Start(kHost), 0);
  EXPECT_EQ(Start(kOtherHost), 0);
}

}  // namespace

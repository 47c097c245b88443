// Start-up, connections, the link handshake, heartbeat, reconnection and
// disconnection.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "box_fixture.h"
#include "device.h"
#include "log.h"
#include "platform/system.h"

namespace {

using boxtest::BoxFixture;
using boxtest::Bytes;
using boxtest::FakeBox;
using boxtest::Frame;
using boxtest::Hex;

// What the callbacks saw.
struct Seen {
  std::mutex m;
  std::vector<std::pair<uint32_t, std::thread::id>> status;
  std::vector<std::pair<int, uint8_t>> byteReports;  // (callback, value)
  std::vector<Bytes> links;
  std::vector<std::string> linkIps;
  void* user = nullptr;
};
Seen* g_seen = nullptr;

void PYRN_CALL OnStatus(void* user, StBoxStatus* st) {
  std::lock_guard<std::mutex> lk(g_seen->m);
  g_seen->user = user;
  g_seen->status.emplace_back(st->code, std::this_thread::get_id());
}
void PYRN_CALL OnByteA(void*, StBoxByteReport* r) {
  std::lock_guard<std::mutex> lk(g_seen->m);
  g_seen->byteReports.emplace_back(1, r->value);
}
void PYRN_CALL OnByteB(void*, StBoxByteReport* r) {
  std::lock_guard<std::mutex> lk(g_seen->m);
  g_seen->byteReports.emplace_back(2, r->value);
}
void PYRN_CALL OnMaxLink(void*, StMaxLinkInfo* info, const char* ip) {
  std::lock_guard<std::mutex> lk(g_seen->m);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(info);
  g_seen->links.emplace_back(b, b + sizeof *info);
  g_seen->linkIps.emplace_back(ip);
}

class Connection : public BoxFixture {
 protected:
  void SetUp() override {
    g_seen = &seen_;
    BoxFixture::SetUp();
  }
  size_t StatusCount() {
    std::lock_guard<std::mutex> lk(seen_.m);
    return seen_.status.size();
  }
  Seen seen_;
};

std::string TodaysLog() {
  std::tm tm = pf::LocalTime(pf::Now().sec);
  char d[16];
  strftime(d, sizeof d, "%Y%m%d", &tm);
  return kittest::ReadFile(pyrn::GetLogDir() + d + ".log");
}

Bytes Report(uint8_t cls, uint8_t sub, Bytes payload) {
  Frame f;
  f.cls = cls;
  f.sub = sub;
  f.payload = std::move(payload);
  return boxtest::Encode(f);
}

// Start-up without the fixture's: these register callbacks of their own.
class Start : public testing::Test {
 protected:
  void TearDown() override { boxtest::ForgetCallbacks(); }
};

TEST_F(Start, InitTwiceKeepsTheFirstCallbacksAndQuitLeavesDevicesConnected) {
  Seen seen;
  g_seen = &seen;
  pyrn::test::SetModulePath(kittest::MakeTempFolder("start"));
  int userA = 0, userB = 0;
  ASSERT_EQ(PyrnBox_Init(OnByteA, nullptr, nullptr, &userA), 0);
  ASSERT_EQ(PyrnBox_Init(OnByteB, nullptr, nullptr, &userB), 0);
  EXPECT_EQ(pyrn::Global().m_pUser.load(), &userA);
  FakeBox box("127.0.0.3");
  CBoxDevice* h = nullptr;
  ASSERT_EQ(PyrnBox_ConnectDevice("127.0.0.3", &h), 0);
  ASSERT_TRUE(kittest::WaitUntil([&] { return box.server().ConnectionCount() == 1; }, 2000));

  ASSERT_EQ(PyrnBox_Quit(), 0);
  EXPECT_EQ(pyrn::Global().g_bInit.load(), 0);
  box.Push(Report(4, 1, {7}));
  ASSERT_TRUE(kittest::WaitUntil([&] {
    std::lock_guard<std::mutex> lk(seen.m);
    return !seen.byteReports.empty();
  }, 2000));
  EXPECT_EQ(seen.byteReports[0], std::make_pair(1, uint8_t{7}));
  EXPECT_EQ(PyrnBox_ControlRoadgate(h, 1), 0);  // the link still works
  EXPECT_EQ(PyrnBox_DisconnectDevice(h), 0);
}

TEST_F(Start, RegistrationBeforeInitGives200AndStoresNothing) {
  EXPECT_EQ(PyrnBox_RegMaxLinkInfoCallback(OnMaxLink), 200);
  EXPECT_EQ(PyrnBox_RegSerialPortCallback(nullptr), 200);
  EXPECT_EQ(PyrnBox_RegHeartStatusCallback(nullptr), 200);
  EXPECT_EQ(PyrnBox_RegSerialPortDataExCallback(nullptr), 200);
  EXPECT_EQ(PyrnBox_RegDoorAndBarrierStatusCallback(nullptr, nullptr), 200);
  EXPECT_EQ(PyrnBox_RegLogInfoCallback(nullptr), 200);
  EXPECT_EQ(PyrnBox_RegDataReportCallback(nullptr, nullptr, nullptr, nullptr), 200);
  EXPECT_EQ(pyrn::Global().m_pfnMaxLink.load(), nullptr);
  pyrn::test::SetModulePath(kittest::MakeTempFolder("reg"));
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(PyrnBox_RegMaxLinkInfoCallback(OnMaxLink), 0);
  EXPECT_EQ(pyrn::Global().m_pfnMaxLink.load(), &OnMaxLink);
  EXPECT_EQ(PyrnBox_RegMaxLinkInfoCallback(nullptr), 0);  // unregisters
  EXPECT_EQ(pyrn::Global().m_pfnMaxLink.load(), nullptr);
  PyrnBox_Quit();
}

TEST_F(Connection, TheTimeFrameFollowsTheConnection) {
  setenv("TZ", "UTC", 1);
  tzset();
  pf::test::FreezeClock(1706745599900);  // 2024-01-31 23:59:59.900 UTC
  Connect();
  ASSERT_TRUE(box_->script().WaitFrames(0, 0, 1, 2000));
  EXPECT_EQ(Hex(box_->script().RawFrames()[0]),
            "AA 55 FF 00 16 00 00 00 00 00 01 00 00 18 01 1F 17 3B 3B 27 55 AA");
  pf::test::ThawClock();
}

TEST_F(Connection, ConnectFailures) {
  CBoxDevice* h = reinterpret_cast<CBoxDevice*>(0x1);
  EXPECT_EQ(PyrnBox_ConnectDevice(nullptr, &h), 1);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(PyrnBox_ConnectDevice("127.0.0.2", nullptr), 1);
  h = reinterpret_cast<CBoxDevice*>(0x1);
  EXPECT_EQ(PyrnBox_ConnectDevice("127.0.0.9", &h), 2);  // nobody listens there
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(PyrnBox_ConnectDevice("no address", &h), 2);
  EXPECT_EQ(PyrnBox_ConnectDevice("", &h), 2);
  pf::test::FailNextThreadStarts(1);
  box_ = std::make_unique<FakeBox>("127.0.0.2");
  const int fds = kittest::OpenDescriptorCount();
  EXPECT_EQ(PyrnBox_ConnectDevice("127.0.0.2", &h), 3);
  EXPECT_EQ(h, nullptr);
  EXPECT_TRUE(kittest::WaitUntil([&] { return kittest::OpenDescriptorCount() == fds; }, 5000))
      << "the library's socket is closed";
}

TEST_F(Connection, ABoxAtItsLinkLimitIsRefusedWith202AfterTheCallback) {
  ASSERT_EQ(PyrnBox_RegMaxLinkInfoCallback(OnMaxLink), 0);
  box_ = std::make_unique<FakeBox>("127.0.0.2");
  box_->SetLinkInfo(true, 4, 4);
  CBoxDevice* h = nullptr;
  EXPECT_EQ(PyrnBox_ConnectDevice("127.0.0.2", &h), 202);
  EXPECT_EQ(h, nullptr);
  ASSERT_EQ(seen_.links.size(), 1u);
  EXPECT_EQ(seen_.links[0], boxtest::LinkInfo(4, 4));
  EXPECT_EQ(seen_.linkIps[0], "127.0.0.2");
  EXPECT_TRUE(kittest::WaitUntil([&] { return !box_->Conn()->Open(); }, 2000));
  EXPECT_TRUE(box_->script().Frames(0, 0).empty()) << "no time frame to a refused link";
}

TEST_F(Connection, LinkInformationGoesToTheHandshakeWhileItWaitsAndToTheCallbackAfter) {
  ASSERT_EQ(PyrnBox_RegMaxLinkInfoCallback(OnMaxLink), 0);
  CBoxDevice* h = Connect();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(seen_.links.size(), 1u);  // called by the connect itself
  box_->Push(Report(0, 35, boxtest::LinkInfo(2, 8)));
  ASSERT_TRUE(kittest::WaitUntil([&] {
    std::lock_guard<std::mutex> lk(seen_.m);
    return seen_.links.size() == 2;
  }, 2000));
  EXPECT_EQ(seen_.links[1], boxtest::LinkInfo(2, 8));
  box_->Push(Report(0, 35, Bytes(39, 0)));  // only 40 bytes count
  EXPECT_EQ(PyrnBox_ControlRoadgate(h, 1), 0);
  std::lock_guard<std::mutex> lk(seen_.m);
  EXPECT_EQ(seen_.links.size(), 2u);
}

TEST_F(Connection, ABoxWithoutLinkInformationIsConnectedAfterTheWait) {
  box_ = std::make_unique<FakeBox>("127.0.0.2");
  box_->SetLinkInfo(false);
  const int64_t t0 = kittest::NowMs();
  CBoxDevice* h = Connect();
  const int64_t took = kittest::NowMs() - t0;
  ASSERT_NE(h, nullptr);
  EXPECT_GE(took, 1750);
  EXPECT_LT(took, 3000);
  EXPECT_EQ(PyrnBox_ControlRoadgate(h, 1), 0);
}

TEST_F(Connection, DisconnectResults) {
  EXPECT_EQ(PyrnBox_DisconnectDevice(nullptr), 1);
  CBoxDevice* h = Connect();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(PyrnBox_DisconnectDevice(h), 0);
  h_ = nullptr;
  EXPECT_EQ(PyrnBox_DisconnectDevice(h), 7);
  EXPECT_EQ(PyrnBox_ControlRoadgate(h, 1), 7);
  EXPECT_TRUE(kittest::WaitUntil([&] { return !box_->Conn()->Open(); }, 2000));
}

TEST_F(Connection, ASilentBoxIsDroppedOnceAndReconnectedAndRequestsWorkAgain) {
  pyrn::test::SetHeartbeatTickMs(10);
  pyrn::test::SetReconnectTickMs(10);
  pyrn::test::SetSilenceMs(100);
  PyrnBox_Quit();
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, OnStatus, &seen_), 0);
  CBoxDevice* h = Connect();
  ASSERT_NE(h, nullptr);
  std::shared_ptr<CBoxDevice> dev = pyrn::FindDevice(h);
  // The box takes the time frames but answers none of them.
  box_->server().StopListening();
  ASSERT_TRUE(kittest::WaitUntil([&] { return StatusCount() >= 1; }, 5000));
  EXPECT_EQ(PyrnBox_ControlRoadgate(h, 1), 14);
  EXPECT_TRUE(kittest::WaitUntil([&] { return !box_->Conn()->Open(); }, 2000));
  // Failing reconnections: still one status 3 only, and each failure logged.
  ASSERT_TRUE(kittest::WaitUntil([&] {
    return TodaysLog().find(kittest::Gbk("设备 IP 127.0.0.2 ,重连失败，失败原因 Unknown socket error. ")) != std::string::npos;
  }, 5000));
  EXPECT_EQ(StatusCount(), 1u);

  box_->script().AnswerHeartbeats(Bytes(36, 0x11));
  ASSERT_TRUE(box_->server().StartListening());
  ASSERT_TRUE(kittest::WaitUntil([&] { return StatusCount() >= 2; }, 5000));
  std::lock_guard<std::mutex> lk(seen_.m);
  EXPECT_EQ(seen_.status[0].first, 3u);
  EXPECT_EQ(seen_.status[1].first, 4u);
  EXPECT_EQ(seen_.user, &seen_);
  EXPECT_NE(seen_.status[0].second, seen_.status[1].second) << "3 on the heartbeat, 4 on the receive thread";
  EXPECT_EQ(seen_.status[1].second, dev->m_recvThreadId.load());
  EXPECT_EQ(PyrnBox_ControlRoadgate(h, 1), 0) << "usable when 4 is reported";
  EXPECT_TRUE(kittest::WaitUntil([] {
    return TodaysLog().find(kittest::Gbk("    设备127.0.0.2  重连成功 \r\n")) != std::string::npos;
  }, 2000));
  EXPECT_EQ(dev->m_nDropCount.load(), 1u);
  EXPECT_EQ(dev->m_nReconnectCount.load(), 1u);
  EXPECT_EQ(box_->server().ConnectionCount(), 2u);
  // The new link got a time frame before it was used.
  const Bytes second = box_->server().Conn(1)->Received();
  ASSERT_GE(second.size(), 22u);
  EXPECT_EQ(Hex(Bytes(second.begin(), second.begin() + 13)), "AA 55 FF 00 16 00 00 00 00 00 01 00 00");
}

// The time frames (class 0, sub-command 0, sequence 0) that reached one of
// the fake's connections.
size_t TimeFrames(const std::shared_ptr<kittest::FakeConn>& c) {
  Bytes all = c->Received();
  size_t n = 0;
  for (const auto& cut : boxtest::Decode(all))
    if (cut.good && cut.frame.cls == 0 && cut.frame.sub == 0 && cut.frame.seq == 0) ++n;
  return n;
}

TEST_F(Connection, FiveUnansweredBeatsAndTheSixthPassDropsTheLink) {
  pyrn::test::SetHeartbeatTickMs(10);
  pyrn::test::SetReconnectTickMs(1000);  // no reconnection within the test
  PyrnBox_Quit();
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, OnStatus, &seen_), 0);
  CBoxDevice* h = Connect();
  ASSERT_NE(h, nullptr);
  std::shared_ptr<CBoxDevice> dev = pyrn::FindDevice(h);
  ASSERT_TRUE(kittest::WaitUntil([&] { return StatusCount() >= 1; }, 5000));
  EXPECT_EQ(dev->m_nDropCount.load(), 1u);
  EXPECT_EQ(dev->m_tLastRecv.load(), 0);
  // What was sent before the drop has all arrived once the fake sees the end.
  ASSERT_TRUE(kittest::WaitUntil([&] { return !box_->server().Conn(0)->Open(); }, 2000));
  EXPECT_EQ(TimeFrames(box_->server().Conn(0)), 6u) << "the connection's own and five beats";
  EXPECT_EQ(box_->server().ConnectionCount(), 1u);
}

TEST_F(Connection, AnyFrameFromTheBoxKeepsTheLink) {
  pyrn::test::SetHeartbeatTickMs(10);
  pyrn::test::SetReconnectTickMs(1000);
  PyrnBox_Quit();
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, OnStatus, &seen_), 0);
  box_ = std::make_unique<FakeBox>("127.0.0.2");
  // Each time frame is followed by a frame that the library drops unread.
  box_->script().SetHandler([](const Frame& req, const boxtest::BoxScript::Send& send) {
    if (req.cls != 0 || req.sub != 0 || req.seq != 0) return false;
    Frame other;
    other.cls = 9;
    send(boxtest::Encode(other));
    return true;
  });
  CBoxDevice* h = Connect();
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(kittest::WaitUntil([&] { return TimeFrames(box_->server().Conn(0)) >= 15; }, 10000));
  EXPECT_EQ(pyrn::FindDevice(h)->m_nDropCount.load(), 0u);
  EXPECT_EQ(StatusCount(), 0u);
  EXPECT_EQ(box_->server().ConnectionCount(), 1u);
}

// A status callback that is still running when the device is disconnected.
struct Blocking {
  std::atomic<int> calls{0};
  std::atomic<bool> disconnectCalled{false};
  std::atomic<bool> disconnectReturned{false};
  std::atomic<bool> endedBeforeDisconnect{false};
};

void PYRN_CALL OnStatusBlocking(void* user, StBoxStatus*) {
  Blocking* b = static_cast<Blocking*>(user);
  ++b->calls;
  kittest::WaitUntil([b] { return b->disconnectCalled.load(); }, 5000);
  // The disconnection must wait for this callback: it cannot return meanwhile.
  kittest::WaitUntil([b] { return b->disconnectReturned.load(); }, 500);
  b->endedBeforeDisconnect.store(!b->disconnectReturned.load());
}

TEST_F(Connection, DisconnectWaitsForAStatusCallbackUnderWay) {
  pyrn::test::SetHeartbeatTickMs(10);
  pyrn::test::SetReconnectTickMs(1000);
  PyrnBox_Quit();
  Blocking b;
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, OnStatusBlocking, &b), 0);
  CBoxDevice* h = Connect();  // the box answers no beat: the link is dropped
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(kittest::WaitUntil([&] { return b.calls.load() == 1; }, 5000));
  std::thread t([&] {
    b.disconnectCalled.store(true);
    EXPECT_EQ(PyrnBox_DisconnectDevice(h), 0);
    b.disconnectReturned.store(true);
  });
  t.join();
  h_ = nullptr;
  EXPECT_TRUE(b.endedBeforeDisconnect.load()) << "no status callback after the disconnection";
  EXPECT_EQ(b.calls.load(), 1);
  PyrnBox_Quit();  // before `b` goes
}

TEST_F(Connection, DisconnectDuringAReconnectionEndsPromptly) {
  pyrn::test::SetHeartbeatTickMs(10);
  pyrn::test::SetReconnectTickMs(10);
  pyrn::test::SetSilenceMs(100);
  CBoxDevice* h = Connect();
  ASSERT_NE(h, nullptr);
  box_->server().StopListening();
  std::shared_ptr<CBoxDevice> dev = pyrn::FindDevice(h);
  ASSERT_TRUE(kittest::WaitUntil([&] { return dev->m_bLost.load() != 0; }, 5000));
  const int64_t t0 = kittest::NowMs();
  EXPECT_EQ(PyrnBox_DisconnectDevice(h), 0);
  h_ = nullptr;
  EXPECT_LT(kittest::NowMs() - t0, 1000);
  // The receive thread was joined, and let go of the device as it ended.
  EXPECT_FALSE(dev->m_recvThread.Joinable());
  EXPECT_TRUE(kittest::WaitUntil([&] { return dev.use_count() == 1; }, 2000)) << dev.use_count();
}

TEST_F(Connection, AConnectDisconnectCycleLeavesNoThreadOrDescriptor) {
  box_ = std::make_unique<FakeBox>("127.0.0.2");
  const int threads = kittest::ThreadCount();
  const int fds = kittest::OpenDescriptorCount();
  for (int i = 0; i < 3; ++i) {
    CBoxDevice* h = nullptr;
    ASSERT_EQ(PyrnBox_ConnectDevice("127.0.0.2", &h), 0);
    EXPECT_EQ(PyrnBox_ControlRoadgate(h, 1), 0);
    EXPECT_EQ(PyrnBox_DisconnectDevice(h), 0);
  }
  // The fake's connection threads end once the library closed its side.
  EXPECT_TRUE(kittest::WaitUntil([&] {
    return kittest::ThreadCount() == threads && kittest::OpenDescriptorCount() == fds;
  }, 5000)) << kittest::ThreadCount() << " threads, " << kittest::OpenDescriptorCount() << " fds";
  PyrnBox_Quit();
  EXPECT_TRUE(kittest::ThreadCountBecomes(threads - 2)) << "heartbeat and log writer joined";
}

void PYRN_CALL DisconnectFromInside(void* user, StBoxByteReport* r) {
  EXPECT_EQ(r->value, 1) << "no frame is handled after the disconnection";
  EXPECT_EQ(PyrnBox_DisconnectDevice(r->handle), 0);
  ++*static_cast<std::atomic<int>*>(user);
}

class Reentry : public Start {};

TEST_F(Reentry, DisconnectFromACallbackOnTheReceiveThread) {
  pyrn::test::SetModulePath(kittest::MakeTempFolder("reentry"));
  std::atomic<int> done{0};
  ASSERT_EQ(PyrnBox_Init(DisconnectFromInside, nullptr, nullptr, &done), 0);
  FakeBox box("127.0.0.4");
  CBoxDevice* h = nullptr;
  ASSERT_EQ(PyrnBox_ConnectDevice("127.0.0.4", &h), 0);
  // An answered request shows that the fake's connection thread runs: the
  // link information is sent before that thread starts.
  ASSERT_EQ(PyrnBox_ControlRoadgate(h, 1), 0);
  const int threads = kittest::ThreadCount();
  // Two reports in one piece: the first one's callback disconnects.
  Bytes two = Report(4, 1, {1});
  const Bytes second = Report(4, 1, {2});
  two.insert(two.end(), second.begin(), second.end());
  box.Push(two);
  ASSERT_TRUE(kittest::WaitUntil([&] { return done.load() >= 1; }, 2000));
  EXPECT_TRUE(kittest::WaitUntil([&] { return kittest::ThreadCount() <= threads - 2; }, 5000))
      << "the receive thread and the fake's connection end: " << kittest::ThreadCount() << " threads, "
      << threads << " before";
  EXPECT_EQ(done.load(), 1);
  EXPECT_EQ(PyrnBox_DisconnectDevice(h), 7);
  PyrnBox_Quit();
}

}  // namespace

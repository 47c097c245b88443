// Discovery and broadcast network settings against a fake camera in the
// private test network.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "Qelm_Control.h"
#include "context.h"
#include "discovery.h"
#include "fake_discovery_camera.h"
#include "message_wnd.h"
#include "netns.h"
#include "sockets.h"
#include "process.h"
#include "wait.h"

namespace {

using fakecam::Answer;
using fakecam::ExpectedRequest;
using kittest::Addr;
using kittest::Bytes;
using kittest::Gbk;

constexpr const char* kHost = "198.51.100.1";
constexpr const char* kSecondHost = "198.51.100.2";
constexpr const char* kMarkerIp = "198.51.100.250";  // device address of the barrier answer
constexpr uint32_t kAll = 0xFFFFFFFF;

// ---- what the found-device callback saw ----

struct Captured {
  std::mutex m;
  std::vector<StCameraInfo> infos;
  int offDispatcher = 0;    // callbacks not on the hidden window's thread
  int onReceiveThread = 0;  // callbacks on the discovery receive thread
  std::thread::id lastThread;
};
Captured g_cap;

void QELM_CALL OnFound(StCameraInfo* info) {
  qelm::CMessageWnd* w = qelm::MessageWnd();
  const bool onDispatcher = w && w->Window().OnDispatcherThread();
  bool onReceive = false;
  {
    qelm::CForGlobal& g = qelm::Global();
    pf::Lock lk(g.m_csInfo);
    onReceive = g.m_pCameraInfo && g.m_pCameraInfo->m_thread.IsCurrent();
  }
  std::lock_guard<std::mutex> lk(g_cap.m);
  g_cap.infos.push_back(*info);
  if (!onDispatcher) ++g_cap.offDispatcher;
  if (onReceive) ++g_cap.onReceiveThread;
  g_cap.lastThread = std::this_thread::get_id();
}

std::vector<StCameraInfo> Found() {
  std::lock_guard<std::mutex> lk(g_cap.m);
  return g_cap.infos;
}

size_t FoundWithIp(uint32_t ip) {
  std::lock_guard<std::mutex> lk(g_cap.m);
  size_t n = 0;
  for (const auto& i : g_cap.infos) n += i.ip == ip;
  return n;
}

void ResetFound() {
  std::lock_guard<std::mutex> lk(g_cap.m);
  g_cap.infos.clear();
}

// An answer to this host's search, as a camera gives it.
Answer ValidAnswer(const char* deviceIp = "198.51.100.21") {
  Answer a;
  a.hostAddr = Addr(kHost);
  a.ip = Addr(deviceIp);
  a.mask = Addr("255.255.255.0");
  a.gateway = Addr("198.51.100.254");
  return a;
}

// ---- what leaves the PC: every IPv4/UDP datagram that kitveth0 transmits
// arrives on its peer kitveth1, in sending order ----

class WireTap {
 public:
  struct Packet {
    uint32_t src, dst;
    uint16_t dport;
    Bytes payload;
  };

  explicit WireTap(const char* ifname) {
    fd_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_IP);
    sll.sll_ifindex = static_cast<int>(if_nametoindex(ifname));
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~WireTap() {
    if (fd_ >= 0) close(fd_);
  }
  bool Open() const { return fd_ >= 0; }

  // Datagrams to the discovery ports, until `n` are seen or the time runs out.
  std::vector<Packet> Collect(size_t n, int timeoutMs) {
    std::vector<Packet> out;
    const int64_t end = kittest::NowMs() + timeoutMs;
    uint8_t buf[2048];
    while (out.size() < n) {
      const int64_t left = end - kittest::NowMs();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      sockaddr_ll from{};
      socklen_t flen = sizeof from;
      const ssize_t k = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen);
      if (k < 28 || from.sll_pkttype == PACKET_OUTGOING) continue;
      const size_t ihl = (buf[0] & 0x0F) * 4u;
      if ((buf[0] >> 4) != 4 || buf[9] != 17 || static_cast<size_t>(k) < ihl + 8) continue;
      Packet pk;
      memcpy(&pk.src, buf + 12, 4);
      memcpy(&pk.dst, buf + 16, 4);
      pk.dport = static_cast<uint16_t>(buf[ihl + 2] << 8 | buf[ihl + 3]);
      const size_t ulen = static_cast<size_t>(buf[ihl + 4] << 8 | buf[ihl + 5]);
      if (ulen < 8 || ihl + ulen > static_cast<size_t>(k)) continue;
      pk.payload.assign(buf + ihl + 8, buf + ihl + ulen);
      if (pk.dport == fakecam::kSearchPort || pk.dport == fakecam::kSearchPortAlt)
        out.push_back(std::move(pk));
    }
    return out;
  }

 private:
  int fd_ = -1;
};

// The order in which a request leaves from two local addresses.
struct Leg {
  uint16_t port;
  const char* source;
};
const Leg kTwoAddressOrder[] = {{fakecam::kSearchPort, kHost},
                                {fakecam::kSearchPort, kSecondHost},
                                {fakecam::kSearchPortAlt, kHost},
                                {fakecam::kSearchPortAlt, kSecondHost}};

// A request from two local addresses: four broadcasts in that order, each
// leaving with its own address as source and carrying `expected(source)`.
void ExpectFourLegs(WireTap& tap, const std::function<Bytes(uint32_t source)>& expected) {
  const auto sent = tap.Collect(4, 3000);
  ASSERT_EQ(sent.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const uint32_t source = Addr(kTwoAddressOrder[i].source);
    EXPECT_EQ(sent[i].dport, kTwoAddressOrder[i].port);
    EXPECT_EQ(sent[i].src, source) << "each broadcast leaves with its own address as source";
    EXPECT_EQ(sent[i].dst, kAll);
    EXPECT_EQ(sent[i].payload, expected(source));
  }
}

class Discovery : public testing::Test {
 protected:
  void SetUp() override {
    KIT_REQUIRE_PRIVATE_NETWORK();
    ResetFound();
    folder_ = kittest::MakeTempFolder("discovery");
    qelm::test::SetModulePath(folder_);
    ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  }
  void TearDown() override {
    qelm::test::FailBroadcastSends(false);
    pf::test::LimitRecvBuffers(0);
    Qelm_Quit();
  }

  void Init() { ASSERT_EQ(Qelm_InitControl(OnFound), 0); }

  // Everything logged so far (the writer is drained, then started again).
  std::string Log() {
    Qelm_RecordControlLog(0);
    const std::string all = kittest::ReadFolder(folder_ + "DLLLog");
    Qelm_RecordControlLog(1);
    return all;
  }
  static size_t Occurrences(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
    return n;
  }

  // A barrier through the fake camera's ports: nothing the library sent
  // before can arrive after it, since loopback delivers in order.
  static void SendBarrier(fakecam::FakeCamera& cam) {
    kittest::FakeUdpEndpoint probe("127.0.0.1", 0);
    const Bytes mark = {'m', 'a', 'r', 'k'};
    probe.SendTo(Addr("127.0.0.1"), fakecam::kSearchPort, mark);
    probe.SendTo(Addr("127.0.0.1"), fakecam::kSearchPortAlt, mark);
    EXPECT_TRUE(cam.Port58588().WaitCount(1, 3000) && cam.Port58589().WaitCount(1, 3000));
  }

  std::string folder_;
};

// ---- requests ----

TEST_F(Discovery, SearchLeavesFromEveryLocalAddressInOrder) {
  ASSERT_TRUE(kittest::RunCommand(std::string("ip addr add ") + kSecondHost + "/24 dev kitveth0"));
  WireTap tap(kittest::kVethPeer);
  ASSERT_TRUE(tap.Open());
  fakecam::FakeCamera cam;
  ASSERT_TRUE(cam.Bound());
  Init();

  ASSERT_EQ(Qelm_SearchCamera(), 0);
  ExpectFourLegs(tap, [](uint32_t source) { return ExpectedRequest(kAll, source, 0); });
  // The camera hears both, from the library's discovery port.
  ASSERT_TRUE(cam.Port58588().WaitCount(2, 3000));
  ASSERT_TRUE(cam.Port58589().WaitCount(2, 3000));
  for (auto* ep : {&cam.Port58588(), &cam.Port58589()})
    for (const auto& d : ep->Received()) EXPECT_EQ(d.fromPort, 58590);
  EXPECT_NE(Log().find(Gbk("搜索相机执行成功")), std::string::npos);
}

TEST_F(Discovery, SetNetworkAndRestartRequestsByteForByte) {
  ASSERT_TRUE(kittest::RunCommand(std::string("ip addr add ") + kSecondHost + "/24 dev kitveth0"));
  WireTap tap(kittest::kVethPeer);
  ASSERT_TRUE(tap.Open());
  Init();
  const uint32_t current = Addr("198.51.100.77");
  // The fourth word is the box library's; the camera library sends 0 there.
  const StNetParams params{Addr("198.51.100.78"), Addr("255.255.255.0"), Addr("198.51.100.254"),
                           0x11223344};
  const fakecam::NetWords words{params.ip, params.mask, params.gateway};
  struct Case {
    const char* name;
    std::function<int()> call;
    uint32_t command;
    const fakecam::NetWords* net;
  } cases[] = {
      {"set network", [&] { return Qelm_SetCameraNetParams(current, &params, 1); }, 1, &words},
      {"set network, broadcast by its low byte", [&] { return Qelm_SetCameraNetParams(current, &params, 0x201); }, 1, &words},
      {"restart", [&] { return Qelm_UDPReset(current); }, 2, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.call(), 0);
    ExpectFourLegs(tap, [&](uint32_t source) {
      return ExpectedRequest(source, current, c.command, c.net);
    });
  }
  // Neither logs on success.
  EXPECT_EQ(Log().find(Gbk("设置网络信息")), std::string::npos);
}

// ---- result codes ----

TEST_F(Discovery, ExportsAnswerNotStartedBeforeInitAndAfterQuit) {
  const StNetParams params{Addr("198.51.100.78"), Addr("255.255.255.0"), 0, 0};
  const uint32_t current = Addr("198.51.100.77");
  for (const char* phase : {"before init", "after quit"}) {
    SCOPED_TRACE(phase);
    ASSERT_EQ(Qelm_RecordControlLog(1), 0);  // quitting switched it off
    EXPECT_EQ(Qelm_SearchCamera(), 4);
    EXPECT_EQ(Qelm_SetCameraNetParams(current, &params, 1), 20);
    EXPECT_EQ(Qelm_UDPReset(current), 20);
    Init();
    EXPECT_EQ(Qelm_SearchCamera(), 0);
    EXPECT_EQ(Qelm_Quit(), 0);
  }
  EXPECT_EQ(Occurrences(Log(), Gbk("搜索相机时，CForGlobal::m_pCameraInfo 为NULL")), 2u);
}

TEST_F(Discovery, BadArgumentsAndTheDirectPath) {
  fakecam::FakeCamera cam;
  ASSERT_TRUE(cam.Bound());
  Init();
  const uint32_t current = Addr("198.51.100.77");
  const StNetParams good{Addr("198.51.100.78"), Addr("255.255.255.0"), 0, 0};
  const StNetParams zeroIp{0, Addr("255.255.255.0"), Addr("198.51.100.254"), 0};
  struct Case {
    const char* name;
    uint32_t ip;
    const StNetParams* params;
    int broadcast;
    int want;
  } cases[] = {
      {"no current address", 0, &good, 1, 1},
      {"no parameters", current, nullptr, 1, 1},
      {"new address 0, broadcast", current, &zeroIp, 1, 1},
      {"new address 0, direct", current, &zeroIp, 0, 1},
      {"nothing at all", 0, nullptr, 0, 1},
      // Over the information connection: nobody holds that address.
      {"direct", current, &good, 0, 2},
      {"direct (low byte 0)", current, &good, 0x100, 2},
  };
  qelm::test::SetConnectTimeoutMs(200);
  for (const auto& c : cases)
    EXPECT_EQ(Qelm_SetCameraNetParams(c.ip, c.params, c.broadcast), c.want) << c.name;
  EXPECT_EQ(Qelm_UDPReset(0), 1);

  SendBarrier(cam);
  EXPECT_EQ(cam.Port58588().Count(), 1u) << "nothing but the barrier was sent";
  EXPECT_EQ(cam.Port58589().Count(), 1u);
}

TEST_F(Discovery, NoLocalAddressBuildsNothingAndSendsNothing) {
  fakecam::FakeCamera cam;
  ASSERT_TRUE(cam.Bound());
  Init();
  ASSERT_TRUE(kittest::RunCommand("ip addr flush dev kitveth0"));  // only lo has IPv4 now
  const StNetParams params{Addr("198.51.100.78"), Addr("255.255.255.0"), 0, 0};

  EXPECT_EQ(Qelm_SearchCamera(), 19);
  EXPECT_EQ(Qelm_SetCameraNetParams(Addr("198.51.100.77"), &params, 1), 5);
  EXPECT_EQ(Qelm_UDPReset(Addr("198.51.100.77")), 5);

  SendBarrier(cam);
  EXPECT_EQ(cam.Port58588().Count(), 1u);
  EXPECT_EQ(cam.Port58589().Count(), 1u);
  const std::string log = Log();
  EXPECT_EQ(Occurrences(log, Gbk("搜索相机时，生成搜索命令失败")), 1u);
  EXPECT_EQ(Occurrences(log, Gbk("设置网络信息，生成设置命令失败")), 2u);
}

TEST_F(Discovery, EverySendFailing) {
  Init();
  qelm::test::FailBroadcastSends(true);
  const StNetParams params{Addr("198.51.100.78"), Addr("255.255.255.0"), 0, 0};

  EXPECT_EQ(Qelm_SearchCamera(), 6);
  EXPECT_EQ(Qelm_SetCameraNetParams(Addr("198.51.100.77"), &params, 1), 17);
  EXPECT_EQ(Qelm_UDPReset(Addr("198.51.100.77")), 17);

  const std::string log = Log();
  EXPECT_EQ(Occurrences(log, Gbk("搜索相机时，发送搜索命令失败")), 1u);
  // The search logs each failed send (one address, two ports); the others do not.
  EXPECT_EQ(Occurrences(log, "The network cannot be reached from this host at this time."), 2u);
  EXPECT_EQ(Occurrences(log, Gbk("设置网络信息，UDP广播失败")), 1u);
  EXPECT_EQ(Occurrences(log, Gbk("UDP指定复位失败")), 1u);
  EXPECT_EQ(log.find(Gbk("搜索相机执行成功")), std::string::npos);
}

// ---- answers ----

struct AnswerCase {
  const char* name;
  std::function<std::vector<Bytes>()> datagrams;
  size_t callbacks;       // for these datagrams (the barrier answer aside)
  const char* logLine;    // the line they log, or null: no answer line at all
};

Bytes With(Answer a, std::function<void(Answer&)> change) {
  change(a);
  return fakecam::Encode(a);
}

// A record cut to `n` bytes whose length word and tail say so.
Bytes Cut(size_t n) {
  Bytes b = fakecam::Encode(ValidAnswer());
  b.resize(n);
  fakecam::Put32(b, fakecam::kOffLength, static_cast<uint32_t>(n));
  fakecam::Put32(b, n - 4, 0x550FF0AA);
  return b;
}

// A 528-byte frame: the record, then 4 more bytes with the frame's tail.
Bytes Longer(bool recordTailRight) {
  Bytes b = fakecam::Encode(ValidAnswer());
  fakecam::Put32(b, fakecam::kOffLength, 528);
  if (!recordTailRight) fakecam::Put32(b, fakecam::kOffTail, 0);
  b.resize(528);
  fakecam::Put32(b, 524, 0x550FF0AA);
  return b;
}

Bytes TypeIs(const char* type) {
  return With(ValidAnswer(), [&](Answer& a) { a.type = type; });
}

const AnswerCase kAnswerCases[] = {
    {"ValidIpnc", [] { return std::vector<Bytes>{fakecam::Encode(ValidAnswer())}; }, 1, nullptr},
    {"Short500", [] { return std::vector<Bytes>{Cut(500)}; }, 0,
     "处理UDP数据，实际长度是500,StDeviceScanInfo的size是524，不相同"},
    {"ReplyCodeZero",
     [] { return std::vector<Bytes>{With(ValidAnswer(), [](Answer& a) { a.replyCode = 0; })}; }, 0,
     "处理UDP数据，反馈码0x00000000不正确"},
    {"BoxVelkLowerCase", [] { return std::vector<Bytes>{TypeIs("velk")}; }, 0, nullptr},
    {"BoxVeld", [] { return std::vector<Bytes>{TypeIs("VELD")}; }, 0, nullptr},
    {"BoxVeldpMixedCase", [] { return std::vector<Bytes>{TypeIs("VelDP")}; }, 0, nullptr},
    {"BoxOska", [] { return std::vector<Bytes>{TypeIs("oska")}; }, 0, nullptr},
    {"NotABoxTypeVeldx", [] { return std::vector<Bytes>{TypeIs("VELDX")}; }, 1, nullptr},
    {"AddressANotLocal",
     [] {
       return std::vector<Bytes>{
           With(ValidAnswer(), [](Answer& a) { a.hostAddr = Addr("198.51.100.99"); })};
     },
     0, nullptr},
    {"Version00010001",
     [] { return std::vector<Bytes>{With(ValidAnswer(), [](Answer& a) { a.version = 0x00010001; })}; },
     1, nullptr},
    {"CommandLowBitsSet",
     [] { return std::vector<Bytes>{With(ValidAnswer(), [](Answer& a) { a.command = 1; })}; }, 0,
     nullptr},
    {"CommandHighBitsOnly",
     [] { return std::vector<Bytes>{With(ValidAnswer(), [](Answer& a) { a.command = 0x00070000; })}; },
     1, nullptr},
    {"LongerFrame", [] { return std::vector<Bytes>{Longer(true)}; }, 1, nullptr},
    {"LongerFrameRecordTailWrong", [] { return std::vector<Bytes>{Longer(false)}; }, 0, nullptr},
    {"GarbageBeforeHead",
     [] {
       Bytes b = {0x00, 0x11, 0xAA, 0x55, 0x22, 0xAA};
       const Bytes a = fakecam::Encode(ValidAnswer());
       b.insert(b.end(), a.begin(), a.end());
       return std::vector<Bytes>{b};
     },
     1, nullptr},
    {"TwoAnswersInOneDatagram",
     [] {
       Bytes b = fakecam::Encode(ValidAnswer("198.51.100.21"));
       const Bytes c = fakecam::Encode(ValidAnswer("198.51.100.22"));
       b.insert(b.end(), c.begin(), c.end());
       return std::vector<Bytes>{b};
     },
     2, nullptr},
    // A datagram shorter than its length word says ends there: the answer in
    // the next datagram is not taken to be the rest of it.
    {"CutDatagramThenAnswer",
     [] {
       Bytes cut = fakecam::Encode(ValidAnswer("198.51.100.23"));
       cut.resize(500);  // length word still 524, no tail
       return std::vector<Bytes>{cut, fakecam::Encode(ValidAnswer("198.51.100.24"))};
     },
     1, nullptr},
    // A head whose body the datagram does not hold is bad at the datagram's
    // end: the answer after it in the same datagram is still found.
    {"HeadWithNoBodyThenAnswerInOneDatagram",
     [] {
       Bytes b(12);
       fakecam::Put32(b, 0, 0x0FF055AA);
       fakecam::Put32(b, 4, 0x00010000);
       fakecam::Put32(b, 8, 4000);
       const Bytes a = fakecam::Encode(ValidAnswer("198.51.100.25"));
       b.insert(b.end(), a.begin(), a.end());
       return std::vector<Bytes>{b};
     },
     1, nullptr},
    // Any host can send one; discovery must go on (the barrier answer after
    // it must still arrive).
    {"EmptyDatagram", [] { return std::vector<Bytes>{Bytes{}, Bytes{}}; }, 0, nullptr},
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class DiscoveryAnswers : public Discovery, public testing::WithParamInterface<AnswerCase> {};

TEST_P(DiscoveryAnswers, GiveTheirCallbacks) {
  const AnswerCase& c = GetParam();
  fakecam::FakeCamera cam;
  ASSERT_TRUE(cam.Bound());
  cam.AnswerSearches([&](const kittest::Datagram&) {
    std::vector<Bytes> out = c.datagrams();
    out.push_back(fakecam::Encode(ValidAnswer(kMarkerIp)));
    return out;
  });
  Init();
  ASSERT_EQ(Qelm_SearchCamera(), 0);
  ASSERT_TRUE(kittest::WaitUntil([] { return FoundWithIp(Addr(kMarkerIp)) == 1; }, 5000))
      << "discovery must still answer after the case's datagrams";
  EXPECT_EQ(Found().size() - 1, c.callbacks);

  const std::string log = Log();
  if (c.logLine)
    EXPECT_EQ(Occurrences(log, Gbk(c.logLine)), 1u);
  else
    EXPECT_EQ(log.find(Gbk("处理UDP数据")), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Table, DiscoveryAnswers, testing::ValuesIn(kAnswerCases),
                         [](const testing::TestParamInfo<AnswerCase>& i) { return i.param.name; });

TEST_F(Discovery, AnswerFillsEveryCameraField) {
  fakecam::FakeCamera cam;
  ASSERT_TRUE(cam.Bound());
  Answer plain = ValidAnswer("198.51.100.21");
  plain.text = "-V2.3.4 build 77";
  plain.mac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  plain.serial = "SN-0042";
  plain.value1 = 0x1111;
  plain.value2 = 0x2222;
  plain.value3to7 = {0x33333333, 0x44444444, 0x55555555, 0x66666666, 0x77777777};
  plain.value8 = 0x8888;
  plain.user = {"lane 1", "north gate", "", "user three"};
  plain.word124 = 0x41414141;  // reserved: never part of a text

  // Every text field full, without a terminator: user texts and serial text
  // are copied whole (they fill their fields of the record), type and device
  // text are read within their own fields only, and what follows a field in
  // the answer never joins it.
  Answer full = ValidAnswer("198.51.100.22");
  full.type = "ABCDEFGHIJKLMNOP";
  full.text = std::string(64, 'T');
  full.word124 = 0x42424242;
  full.serial = std::string(32, 'S');
  full.value1 = 0x4343;
  full.user = {std::string(64, 'U'), "next", std::string(64, 'W'), std::string(64, 'X')};
  full.reserved516 = 0x44444444;

  cam.AnswerSearches([&](const kittest::Datagram&) {
    return std::vector<Bytes>{fakecam::Encode(plain), fakecam::Encode(full)};
  });
  Init();
  ASSERT_EQ(Qelm_SearchCamera(), 0);
  ASSERT_TRUE(kittest::WaitUntil([] { return Found().size() == 2; }, 5000));
  const auto found = Found();

  const StCameraInfo& p = found[0];
  EXPECT_EQ(p.ip, Addr("198.51.100.21"));
  EXPECT_EQ(p.mask, Addr("255.255.255.0"));
  EXPECT_EQ(p.gateway, Addr("198.51.100.254"));
  EXPECT_STREQ(p.userText[0], "lane 1");
  EXPECT_STREQ(p.userText[1], "north gate");
  EXPECT_STREQ(p.userText[2], "");
  EXPECT_STREQ(p.userText[3], "user three");
  EXPECT_STREQ(p.factory.serial, "SN-0042");
  EXPECT_EQ(Bytes(p.factory.mac, p.factory.mac + 6), Bytes({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
  EXPECT_STREQ(p.version, "IPNC-V2.3.4 build 77") << "type immediately followed by the device text";
  EXPECT_EQ(p.deviceValue1, 0x1111);
  EXPECT_EQ(p.deviceValue2, 0x2222);
  EXPECT_EQ(p.deviceValue3to7[0], 0x33333333u);
  EXPECT_EQ(p.deviceValue3to7[4], 0x77777777u);
  EXPECT_EQ(p.deviceValue8, 0x8888);

  const StCameraInfo& f = found[1];
  EXPECT_EQ(std::string(f.version), "ABCDEFGHIJKLMNOP" + std::string(64, 'T'));
  EXPECT_EQ(std::string(f.factory.serial, 32), std::string(32, 'S'));
  EXPECT_EQ(Bytes(f.factory.mac, f.factory.mac + 6), Bytes(6, 0));
  EXPECT_EQ(std::string(f.userText[0], 64), std::string(64, 'U'));
  EXPECT_STREQ(f.userText[1], "next");
  EXPECT_EQ(std::string(f.userText[2], 64), std::string(64, 'W'));
  EXPECT_EQ(std::string(f.userText[3], 64), std::string(64, 'X'));
  EXPECT_EQ(f.deviceValue1, 0x4343);
  // The alignment gaps stay as the record was made.
  EXPECT_EQ(Bytes(f.reserved0, f.reserved0 + 2), Bytes(2, 0));
  EXPECT_EQ(Bytes(f.reserved1, f.reserved1 + 2), Bytes(2, 0));
}

TEST_F(Discovery, CallbacksArriveOnTheWindowThread) {
  fakecam::FakeCamera cam;
  ASSERT_TRUE(cam.Bound());
  cam.AnswerSearches([](const kittest::Datagram&) {
    std::vector<Bytes> out;
    for (int i = 0; i < 8; ++i)
      out.push_back(fakecam::Encode(ValidAnswer(("198.51.100." + std::to_string(30 + i)).c_str())));
    return out;
  });
  Init();
  ASSERT_EQ(Qelm_SearchCamera(), 0);
  ASSERT_TRUE(kittest::WaitUntil([] { return Found().size() == 8; }, 5000));
  std::lock_guard<std::mutex> lk(g_cap.m);
  EXPECT_EQ(g_cap.offDispatcher, 0);
  EXPECT_EQ(g_cap.onReceiveThread, 0);
  EXPECT_EQ(g_cap.lastThread, qelm::MessageWnd()->Window().DispatcherId());
  EXPECT_NE(g_cap.lastThread, std::this_thread::get_id());
}

// 254 cameras answering one search at once, as fast as the fake can send.
std::vector<Bytes> ManyAnswers(const kittest::Datagram&) {
  std::vector<Bytes> out;
  for (uint32_t i = 1; i <= 254; ++i) {
    Answer a = ValidAnswer();
    a.ip = Addr("198.51.100.0") | i << 24;
    out.push_back(fakecam::Encode(a));
  }
  return out;
}

std::set<uint32_t> FoundIps() {
  std::set<uint32_t> s;
  for (const auto& i : Found()) s.insert(i.ip);
  return s;
}

TEST_F(Discovery, ManyCamerasAnsweringAtOnceLoseNothing) {
  fakecam::FakeCamera cam;
  ASSERT_TRUE(cam.Bound());
  cam.AnswerSearches(ManyAnswers);
  Init();
  ASSERT_EQ(Qelm_SearchCamera(), 0);
  EXPECT_TRUE(kittest::WaitUntil([] { return Found().size() >= 254; }, 10000));
  ASSERT_TRUE(kittest::WaitUntil([&] { return cam.AnswersSent() == 254; }, 5000));
  ASSERT_TRUE(qelm::MessageWnd()->Window().WaitIdle(5000));
  EXPECT_EQ(Found().size(), 254u);
  EXPECT_EQ(FoundIps().size(), 254u);
  std::lock_guard<std::mutex> lk(g_cap.m);
  EXPECT_EQ(g_cap.offDispatcher, 0);
}

// ---- a big site: a thousand cameras answering one search in the same
// instant, as they do when they all hear the same broadcast ----

constexpr uint32_t kSiteCameras = 1000;

std::vector<Bytes> SiteAnswers(const kittest::Datagram&) {
  std::vector<Bytes> out;
  for (uint32_t i = 0; i < kSiteCameras; ++i) {
    Answer a = ValidAnswer();
    a.ip = Addr("10.20.0.0") | (i >> 8) << 16 | (i & 0xFF) << 24;
    out.push_back(fakecam::Encode(a));
  }
  return out;
}

// The receive buffer the discovery socket holds, in the units asked.
int DiscoveryReceiveBuffer() {
  qelm::CForGlobal& g = qelm::Global();
  pf::Lock lk(g.m_csInfo);
  return g.m_pCameraInfo ? kittest::RecvBufferOf(g.m_pCameraInfo->m_hSocket.load()) : -1;
}

TEST_F(Discovery, AThousandCamerasAnsweringInOneBurstAllReachTheCallback) {
  fakecam::FakeCamera cam;
  ASSERT_TRUE(cam.Bound());
  cam.AnswerSearches(SiteAnswers);
  if (kittest::RecvBufferGranted(pf::kDiscoveryRecvBuffer) < pf::kDiscoveryRecvBuffer)
    GTEST_SKIP() << "this system grants no socket of this process a receive buffer of "
                 << pf::kDiscoveryRecvBuffer << " bytes";
  Init();
  const int buffer = DiscoveryReceiveBuffer();
  EXPECT_GE(buffer, pf::kDiscoveryRecvBuffer);
  ASSERT_EQ(Qelm_SearchCamera(), 0);
  EXPECT_TRUE(kittest::WaitUntil([] { return Found().size() >= kSiteCameras; }, 30000)) << Found().size();
  ASSERT_TRUE(kittest::WaitUntil([&] { return cam.AnswersSent() == kSiteCameras; }, 10000));
  ASSERT_TRUE(qelm::MessageWnd()->Window().WaitIdle(10000));
  printf("[ figures  ] %zu of %u answers of one burst reached the callback (receive buffer %d bytes)\n",
         Found().size(), kSiteCameras, buffer);
  EXPECT_EQ(Found().size(), kSiteCameras);
  EXPECT_EQ(FoundIps().size(), kSiteCameras);
  // Nothing about a small buffer: the system granted all of it.
  EXPECT_EQ(Log().find(Gbk("接收缓冲区只有")), std::string::npos);
}

TEST_F(Discovery, ASmallerReceiveBufferThanAskedIsLoggedAndDiscoveryStillWorks) {
  fakecam::FakeCamera cam;
  ASSERT_TRUE(cam.Bound());
  cam.AnswerSearches([](const kittest::Datagram&) {
    return std::vector<Bytes>{fakecam::Encode(ValidAnswer("198.51.100.21")),
                              fakecam::Encode(ValidAnswer("198.51.100.22"))};
  });
  pf::test::LimitRecvBuffers(64 << 10);  // a system whose limit is 64 KiB
  Init();
  pf::test::LimitRecvBuffers(0);
  EXPECT_EQ(DiscoveryReceiveBuffer(), 64 << 10);
  ASSERT_EQ(Qelm_SearchCamera(), 0);
  EXPECT_TRUE(kittest::WaitUntil([] { return FoundIps().size() == 2; }, 5000));
  EXPECT_EQ(Occurrences(Log(), Gbk("启用UDP时，接收缓冲区只有65536字节，少于要求的4194304字节，设备同时应答时可能丢失应答")),
            1u);
}

TEST_F(Discovery, QuitWhileAnswersArriveThenStartAgain) {
  fakecam::FakeCamera cam;
  ASSERT_TRUE(cam.Bound());
  cam.AnswerSearches(ManyAnswers);
  Init();
  ASSERT_EQ(Qelm_SearchCamera(), 0);
  ASSERT_EQ(Qelm_Quit(), 0);  // while the answers pour in
  const StNetParams params{Addr("198.51.100.78"), Addr("255.255.255.0"), 0, 0};
  EXPECT_EQ(Qelm_SearchCamera(), 4);
  EXPECT_EQ(Qelm_SetCameraNetParams(Addr("198.51.100.77"), &params, 1), 20);
  EXPECT_EQ(Qelm_UDPReset(Addr("198.51.100.77")), 20);

  // Once the burst is over and what was posted is handled, a new start-up
  // finds all of them again.
  ASSERT_TRUE(kittest::WaitUntil([&] { return cam.AnswersSent() == 254; }, 5000));
  ASSERT_TRUE(qelm::MessageWnd()->Window().WaitIdle(5000));
  ResetFound();
  Init();
  ASSERT_EQ(Qelm_SearchCamera(), 0);
  EXPECT_TRUE(kittest::WaitUntil([] { return FoundIps().size() == 254; }, 10000));
}

}  // namespace

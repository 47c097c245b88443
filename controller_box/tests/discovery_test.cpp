// Discovery and network settings: what the library broadcasts from each host
// address, and which answers reach the search callback. Runs only in the
// private test network (host address 198.51.100.1 on kitveth0).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "box_fixture.h"
#include "discovery.h"
#include "log.h"
#include "netns.h"
#include "platform/system.h"

namespace {

using boxtest::Bytes;
using kittest::Addr;
using kittest::Gbk;

constexpr const char* kHost = "198.51.100.1";
constexpr const char* kSecondHost = "198.51.100.2";

// The test's own writing of the 524-byte discovery record, at the offsets of
// the wire.
struct Record {
  uint32_t head = 0x0FF055AA, version = 0x00010000, length = 524, a = 0, b = 0, command = 0,
           reply = 0;
  std::string sender, type, text;
  uint32_t word124 = 0;
  uint32_t magic = 0, netVersion = 0, ip = 0, mask = 0, fourth = 0, gateway = 0;
  uint8_t mac[6] = {};
  std::string serial;
  std::string user[4];
  uint32_t tail = 0x550FF0AA;
};

void Put32(Bytes& r, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) r[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutText(Bytes& r, size_t at, const std::string& s) { memcpy(&r[at], s.data(), s.size()); }

Bytes Encode(const Record& x) {
  Bytes r(524, 0);
  Put32(r, 0, x.head);
  Put32(r, 4, x.version);
  Put32(r, 8, x.length);
  Put32(r, 12, x.a);
  Put32(r, 16, x.b);
  Put32(r, 20, x.command);
  Put32(r, 24, x.reply);
  PutText(r, 28, x.sender);
  PutText(r, 44, x.type);
  PutText(r, 60, x.text);
  Put32(r, 124, x.word124);
  Put32(r, 128, x.magic);
  Put32(r, 132, x.netVersion);
  Put32(r, 136, x.ip);
  Put32(r, 140, x.mask);
  Put32(r, 144, x.fourth);
  Put32(r, 148, x.gateway);
  memcpy(&r[152], x.mac, 6);
  PutText(r, 160, x.serial);
  for (int i = 0; i < 4; ++i) PutText(r, 260 + 64 * i, x.user[i]);
  Put32(r, 520, x.tail);
  return r;
}

Bytes SearchRequest(const char* host) {
  Record r;
  r.a = 0xFFFFFFFF;
  r.b = Addr(host);
  r.sender = "QV-ZNPC";
  r.type = "VELD";
  return Encode(r);
}

// A box's answer to this host's search.
Record Answer(const char* deviceIp = "198.51.100.30") {
  Record r;
  r.a = Addr(kHost);
  r.reply = 0x80000000;
  r.type = "VELD";
  r.text = "-box";
  r.ip = Addr(deviceIp);
  r.mask = Addr("255.255.255.0");
  r.gateway = Addr("198.51.100.254");
  return r;
}

struct Found {
  std::mutex m;
  std::vector<StSearchResult> results;
  std::vector<std::thread::id> threads;
} g_found;

void PYRN_CALL OnFound(StSearchResult* r) {
  std::lock_guard<std::mutex> lk(g_found.m);
  g_found.results.push_back(*r);
  g_found.threads.push_back(std::this_thread::get_id());
}

size_t FoundCount() {
  std::lock_guard<std::mutex> lk(g_found.m);
  return g_found.results.size();
}

class Discovery : public testing::Test {
 protected:
  void SetUp() override {
    KIT_REQUIRE_PRIVATE_NETWORK();
    dir_ = kittest::MakeTempFolder("boxscan");
    pyrn::test::SetModulePath(dir_);
    ASSERT_TRUE(port58588_.Bound());
    ASSERT_TRUE(port58599_.Bound());
  }
  void TearDown() override {
    pf::test::LimitRecvBuffers(0);
    PyrnBox_Quit();
  }
  // Everything logged: lines wait for the writer that start-up starts, and
  // quit writes what is left.
  std::string Log() {
    PyrnBox_Init(nullptr, nullptr, nullptr, nullptr);
    PyrnBox_Quit();
    std::string all;
    std::vector<std::string> names;
    pf::ListDirectory(dir_ + "DLLLog", &names);
    for (const auto& n : names) all += kittest::ReadFile(dir_ + "DLLLog/" + n);
    return all;
  }
  // The box: answers every search from where it came with `answer`.
  void AnswerWith(std::function<std::vector<Bytes>()> answer) {
    port58588_.SetOnDatagram([answer](kittest::FakeUdpEndpoint& ep, const kittest::Datagram& d) {
      if (d.bytes.size() != 524 || d.bytes[20] != 0) return;
      for (const auto& a : answer()) ep.SendTo(d.fromAddr, d.fromPort, a);
    });
  }
  std::string dir_;
  kittest::FakeUdpEndpoint port58588_{"0.0.0.0", 58588};
  kittest::FakeUdpEndpoint port58599_{"0.0.0.0", 58599};
};

TEST_F(Discovery, TwoHostAddressesTwoSearchesThenFourRepeats) {
  ASSERT_TRUE(kittest::RunCommand(std::string("ip addr add ") + kSecondHost + "/24 dev kitveth0"));
  const int64_t t0 = kittest::NowMs();
  ASSERT_EQ(PyrnBox_SearchPyrnCore(OnFound), 0);
  ASSERT_TRUE(port58588_.WaitCount(2, 3000));
  auto got = port58588_.Received();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].fromAddr, Addr(kHost));
  EXPECT_EQ(got[0].fromPort, 58590);
  EXPECT_EQ(got[0].bytes, SearchRequest(kHost));
  EXPECT_EQ(got[1].fromAddr, Addr(kSecondHost)) << "each from its own host's socket";
  EXPECT_EQ(got[1].fromPort, 58590);
  EXPECT_EQ(got[1].bytes, SearchRequest(kSecondHost));

  ASSERT_TRUE(port58599_.WaitCount(4, 3000));
  const auto again = port58599_.Received();
  ASSERT_EQ(again.size(), 4u);
  EXPECT_GE(again[0].atMs - t0, 550);
  const struct {
    const char* packetOf;
    const char* through;
  } order[] = {{kHost, kHost}, {kHost, kSecondHost}, {kSecondHost, kHost}, {kSecondHost, kSecondHost}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(again[i].bytes, SearchRequest(order[i].packetOf)) << i;
    EXPECT_EQ(again[i].fromAddr, Addr(order[i].through)) << i;
  }
  EXPECT_NE(Log().find(Gbk("搜索相机执行成功")), std::string::npos);
}

TEST_F(Discovery, NoHostAddressBuildsNothing) {
  ASSERT_TRUE(kittest::RunCommand("ip addr flush dev kitveth0"));
  EXPECT_EQ(PyrnBox_SearchPyrnCore(OnFound), 19);
  const StNetParams p{Addr("10.0.0.9"), Addr("255.0.0.0"), 0, 0};
  pyrn::Global().g_bInit.store(1);
  EXPECT_EQ(PyrnBox_SetNetParams(nullptr, Addr("10.0.0.8"), &p, 1), 19);
  const std::string log = Log();
  EXPECT_NE(log.find(Gbk("搜索相机时，生成搜索命令失败")), std::string::npos);
  EXPECT_NE(log.find(Gbk("设置相机网络参数时，生成设置命令失败")), std::string::npos);
  EXPECT_EQ(port58588_.Count(), 0u);
}

TEST_F(Discovery, NoPortToBindMeansNothingSent) {
  std::vector<pf::SOCKET> taken;
  for (int i = 0; i < 100; ++i) {
    if (58590 + i == 58599) continue;  // the fake's port, taken already
    pf::SOCKET s = pf::UdpSocket();
    ASSERT_EQ(pf::Bind(s, Addr(kHost), static_cast<uint16_t>(58590 + i)), 0);
    taken.push_back(s);
  }
  EXPECT_EQ(PyrnBox_SearchPyrnCore(OnFound), 17);
  const std::string log = Log();
  size_t failures = 0;
  const std::string line = Gbk(" 设备 IP 198.51.100.1 ,重连失败，失败原因 ");
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++failures;
  EXPECT_EQ(failures, 100u);
  EXPECT_NE(log.find(Gbk("搜索相机时，发送搜索命令失败")), std::string::npos);
  pf::CloseSocket(taken.back());
  taken.pop_back();
  EXPECT_EQ(PyrnBox_SearchPyrnCore(OnFound), 0);
  ASSERT_TRUE(port58588_.WaitCount(1, 3000));
  EXPECT_EQ(port58588_.Received()[0].fromPort, 58689) << "the last free port";
  for (auto s : taken) pf::CloseSocket(s);
}

struct AnswerCase {
  const char* name;
  std::function<std::vector<Bytes>()> datagrams;
  size_t callbacks;
  const char* logLine;  // logged once, or null
};

Bytes With(std::function<void(Record&)> change) {
  Record r = Answer();
  change(r);
  return Encode(r);
}

const AnswerCase kAnswers[] = {
    {"valid", [] { return std::vector<Bytes>{Encode(Answer())}; }, 1, nullptr},
    {"lower-case type", [] { return std::vector<Bytes>{With([](Record& r) { r.type = "veld"; })}; }, 1, nullptr},
    {"type VELK", [] { return std::vector<Bytes>{With([](Record& r) { r.type = "VELK"; })}; }, 1, nullptr},
    {"type VelDp", [] { return std::vector<Bytes>{With([](Record& r) { r.type = "VelDp"; })}; }, 1, nullptr},
    {"type OSKA", [] { return std::vector<Bytes>{With([](Record& r) { r.type = "OSKA"; })}; }, 1, nullptr},
    {"a camera", [] { return std::vector<Bytes>{With([](Record& r) { r.type = "IPNC"; })}; }, 0, nullptr},
    {"type VELDX", [] { return std::vector<Bytes>{With([](Record& r) { r.type = "VELDX"; })}; }, 0, nullptr},
    {"500 bytes", [] { Bytes b = Encode(Answer()); b.resize(500); return std::vector<Bytes>{b}; }, 0,
     "处理UDP数据，实际长度是500,StDeviceScanInfo的size是524，不相同"},
    {"reply code 0", [] { return std::vector<Bytes>{With([](Record& r) { r.reply = 0; })}; }, 0,
     "处理UDP数据，反馈码0x00000000不正确"},
    {"for another host", [] { return std::vector<Bytes>{With([](Record& r) { r.a = Addr("198.51.100.9"); })}; }, 0,
     nullptr},
    {"wrong head", [] { return std::vector<Bytes>{With([](Record& r) { r.head = 0; })}; }, 0, nullptr},
    {"wrong tail", [] { return std::vector<Bytes>{With([](Record& r) { r.tail = 0; })}; }, 0, nullptr},
    {"command low bits", [] { return std::vector<Bytes>{With([](Record& r) { r.command = 1; })}; }, 0, nullptr},
    {"command high bits", [] { return std::vector<Bytes>{With([](Record& r) { r.command = 0x10000; })}; }, 1, nullptr},
    {"empty datagrams", [] { return std::vector<Bytes>{Bytes{}, Bytes{}}; }, 0, nullptr},
};

class DiscoveryAnswers : public Discovery, public testing::WithParamInterface<AnswerCase> {};

TEST_P(DiscoveryAnswers, ReachTheCallbackOrNot) {
  const AnswerCase& c = GetParam();
  AnswerWith([&c] {
    std::vector<Bytes> out = c.datagrams();
    out.push_back(Encode(Answer("198.51.100.250")));  // the last: it must always arrive
    return out;
  });
  ASSERT_EQ(PyrnBox_SearchPyrnCore(OnFound), 0);
  ASSERT_TRUE(kittest::WaitUntil([] {
    std::lock_guard<std::mutex> lk(g_found.m);
    return !g_found.results.empty() && g_found.results.back().ip == Addr("198.51.100.250");
  }, 3000)) << "the receive thread still runs after the case's datagrams";
  EXPECT_EQ(FoundCount() - 1, c.callbacks);
  const std::string log = Log();
  if (c.logLine) {
    EXPECT_NE(log.find(Gbk(c.logLine)), std::string::npos);
  }
  EXPECT_NE(log.find(Gbk("收到设备反馈主机 IP 198.51.100.1，设备 IP 198.51.100.250")), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Table, DiscoveryAnswers, testing::ValuesIn(kAnswers),
                         [](const testing::TestParamInfo<AnswerCase>& i) {
                           std::string n;
                           for (const char* p = i.param.name; *p; ++p)
                             if (isalnum(static_cast<unsigned char>(*p))) n += *p;
                           return n;
                         });

TEST_F(Discovery, AnAnswerFillsEveryFieldOfTheRecordOnTheReceiveThread) {
  AnswerWith([] {
    Record r = Answer();
    // No terminator in its field, and bytes behind an inner NUL.
    r.text = std::string("-box\0", 5) + std::string(59, 'T');
    r.word124 = 0xA1B2C3D4;
    r.fourth = 0x55;
    const uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    memcpy(r.mac, mac, 6);
    r.serial = std::string(32, 'S');
    r.user[0] = "one";
    r.user[3] = std::string(64, 'U');
    return std::vector<Bytes>{Encode(r)};
  });
  ASSERT_EQ(PyrnBox_SearchPyrnCore(OnFound), 0);
  ASSERT_TRUE(kittest::WaitUntil([] { return FoundCount() == 1; }, 3000));
  std::lock_guard<std::mutex> lk(g_found.m);
  const StSearchResult& r = g_found.results[0];
  EXPECT_EQ(r.ip, Addr("198.51.100.30"));
  EXPECT_EQ(r.mask, Addr("255.255.255.0"));
  EXPECT_EQ(r.gateway, Addr("198.51.100.254"));
  EXPECT_EQ(r.reserved0, 0u);
  EXPECT_EQ(std::string(r.userText[0], 64), std::string("one") + std::string(61, '\0'));
  EXPECT_EQ(std::string(r.userText[1], 64), std::string(64, '\0'));
  EXPECT_EQ(std::string(r.userText[3], 64), std::string(64, 'U')) << "whole, as its field";
  EXPECT_EQ(std::string(r.factory.serial, 32), std::string(32, 'S')) << "whole, as its field";
  EXPECT_EQ(Bytes(r.factory.mac, r.factory.mac + 6), (Bytes{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(Bytes(r.reserved1, r.reserved1 + 2), (Bytes{0, 0}));
  EXPECT_EQ(r.deviceWord, 0xA1B2C3D4u);
  // The type text as a string, then the device text's 64 bytes as they are.
  EXPECT_EQ(std::string(r.version, sizeof r.version),
            "VELD" + std::string("-box\0", 5) + std::string(59, 'T') + std::string(132, '\0'));
  EXPECT_NE(g_found.threads[0], std::this_thread::get_id());
}

// ---- a big site: a thousand boxes answering one search in the same
// instant, as they do when they all hear the same broadcast ----

// The receive buffer of the host address's discovery socket, in the units
// asked.
int DiscoveryReceiveBuffer() {
  pyrn::CBoxGlobal& g = pyrn::Global();
  pf::Lock lk(g.m_csUdp);
  return g.m_listUdp.empty() ? -1 : kittest::RecvBufferOf(g.m_listUdp.front()->m_hSocket.load());
}

TEST_F(Discovery, AThousandBoxesAnsweringInOneBurstAllReachTheCallback) {
  if (kittest::RecvBufferGranted(pf::kDiscoveryRecvBuffer) < pf::kDiscoveryRecvBuffer)
    GTEST_SKIP() << "this system grants no socket of this process a receive buffer of "
                 << pf::kDiscoveryRecvBuffer << " bytes";
  constexpr uint32_t kBoxes = 1000;
  AnswerWith([] {
    std::vector<Bytes> out;
    for (uint32_t i = 0; i < kBoxes; ++i) {
      Record r = Answer();
      r.ip = Addr("10.20.0.0") | (i >> 8) << 16 | (i & 0xFF) << 24;
      out.push_back(Encode(r));
    }
    out.push_back(Encode(Answer("198.51.100.250")));  // the last
    return out;
  });
  ASSERT_EQ(PyrnBox_SearchPyrnCore(OnFound), 0);
  const int buffer = DiscoveryReceiveBuffer();
  EXPECT_GE(buffer, pf::kDiscoveryRecvBuffer);
  EXPECT_TRUE(kittest::WaitUntil([] { return FoundCount() >= kBoxes + 1; }, 30000)) << FoundCount();
  std::set<uint32_t> ips;
  {
    std::lock_guard<std::mutex> lk(g_found.m);
    for (const auto& r : g_found.results) ips.insert(r.ip);
  }
  printf("[ figures  ] %zu of %u answers of one burst reached the callback (receive buffer %d bytes)\n",
         FoundCount() - 1, kBoxes, buffer);
  EXPECT_EQ(FoundCount(), kBoxes + 1);
  EXPECT_EQ(ips.size(), kBoxes + 1);
  EXPECT_EQ(Log().find(Gbk("接收缓冲区只有")), std::string::npos);
}

TEST_F(Discovery, ASmallerReceiveBufferThanAskedIsLoggedAndDiscoveryStillWorks) {
  AnswerWith([] { return std::vector<Bytes>{Encode(Answer())}; });
  pf::test::LimitRecvBuffers(64 << 10);  // a system whose limit is 64 KiB
  ASSERT_EQ(PyrnBox_SearchPyrnCore(OnFound), 0);
  pf::test::LimitRecvBuffers(0);
  EXPECT_EQ(DiscoveryReceiveBuffer(), 64 << 10);
  EXPECT_TRUE(kittest::WaitUntil([] { return FoundCount() == 1; }, 3000));
  const std::string log = Log();
  EXPECT_NE(log.find(Gbk("启用UDP时，主机 IP 198.51.100.1 的接收缓冲区只有65536字节，少于要求的4194304字节，"
                         "设备同时应答时可能丢失应答")),
            std::string::npos);
}

TEST_F(Discovery, SetNetworkByBroadcastByteSwapped) {
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, nullptr, nullptr), 0);
  const StNetParams p{Addr("192.168.1.10"), Addr("255.255.255.0"), Addr("192.168.1.1"), 0x11223344};
  const uint32_t current = Addr("198.51.100.40");
  ASSERT_EQ(PyrnBox_SetNetParams(nullptr, current, &p, 0x101), 0);
  ASSERT_TRUE(port58588_.WaitCount(1, 3000));
  Record want;
  want.a = Addr(kHost);
  want.b = current;
  want.command = 1;
  want.sender = "QV-ZNPC";
  want.type = "VELD";
  want.magic = 0x12345678;
  Bytes w = Encode(want);
  const uint8_t net[16] = {10, 1, 168, 192, 0, 255, 255, 255, 0x11, 0x22, 0x33, 0x44, 1, 1, 168, 192};
  memcpy(&w[136], net, 8);       // address, mask
  memcpy(&w[144], net + 8, 4);   // fourth word
  memcpy(&w[148], net + 12, 4);  // gateway
  EXPECT_EQ(port58588_.Received()[0].bytes, w);
  ASSERT_TRUE(port58599_.WaitCount(1, 3000));
  EXPECT_EQ(port58599_.Received()[0].bytes, w);
  EXPECT_NE(Log().find(Gbk("设置相机网络参数执行成功")), std::string::npos);
}

TEST_F(Discovery, SetNetworkRefusals) {
  const StNetParams p{Addr("198.51.100.60"), Addr("255.255.255.0"), 0, 0};
  EXPECT_EQ(PyrnBox_SetNetParams(nullptr, Addr("198.51.100.40"), &p, 1), 200) << "not started";
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(PyrnBox_SetNetParams(nullptr, Addr("198.51.100.40"), nullptr, 1), 1);
  EXPECT_EQ(PyrnBox_SetNetParams(nullptr, 0, &p, 1), 1);
  const StNetParams mine{Addr(kHost), Addr("255.255.255.0"), 0, 0};
  EXPECT_EQ(PyrnBox_SetNetParams(nullptr, Addr("198.51.100.40"), &mine, 1), 50);
  EXPECT_EQ(PyrnBox_SetNetParams(nullptr, Addr("198.51.100.40"), &mine, 0), 50);
  EXPECT_EQ(PyrnBox_SetNetParams(nullptr, Addr("198.51.100.40"), &p, 0), 1) << "no handle for the link";
  EXPECT_EQ(PyrnBox_SetNetParams(reinterpret_cast<CBoxDevice*>(&dir_), 1, &p, 0), 7);
  EXPECT_EQ(port58588_.Count(), 0u);
}

TEST_F(Discovery, SetNetworkOverTheLinkSucceedsOnlyWhenTheBoxTakesTheSettings) {
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, nullptr, nullptr), 0);
  pyrn::test::SetReplyTimeoutsMs(400, 400, 400);
  boxtest::FakeBox box("127.0.0.2");
  CBoxDevice* h = nullptr;
  ASSERT_EQ(PyrnBox_ConnectDevice("127.0.0.2", &h), 0);
  const StNetParams p{Addr("192.168.1.10"), Addr("255.255.255.0"), Addr("192.168.1.1"), 7};
  box.script().Answer(0, 14, {}, 0x0000);  // the box refuses them
  EXPECT_EQ(PyrnBox_SetNetParams(h, 0, &p, 0), 24);
  box.script().Answer(0, 14, {});
  EXPECT_EQ(PyrnBox_SetNetParams(h, 0, &p, 0), 0);
  const auto sent = box.script().Frames(0, 14);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].dir, 1);
  EXPECT_EQ(sent[1].payload, (Bytes{10, 1, 168, 192, 0, 255, 255, 255, 1, 1, 168, 192, 0, 0, 0, 7}))
      << "each word byte-swapped, as in the broadcast";
  box.script().Silent(0, 14);
  EXPECT_EQ(PyrnBox_SetNetParams(h, 0, &p, 0), 209);
  EXPECT_EQ(port58588_.Count(), 0u);
  PyrnBox_DisconnectDevice(h);
}

TEST_F(Discovery, QuitEndsTheReceiveThreadsAndASearchStartsThemAgain) {
  const int threads = kittest::ThreadCount();
  const int fds = kittest::OpenDescriptorCount();
  ASSERT_EQ(PyrnBox_SearchPyrnCore(OnFound), 0);
  ASSERT_EQ(PyrnBox_SearchPyrnCore(OnFound), 0);
  EXPECT_EQ(pyrn::Global().m_listUdp.size(), 1u) << "one context per host address";
  ASSERT_TRUE(port58599_.WaitCount(2, 3000));
  PyrnBox_Quit();
  EXPECT_TRUE(kittest::ThreadCountBecomes(threads)) << kittest::ThreadCount();
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds);
  EXPECT_EQ(pyrn::Global().g_bInit.load(), 0);
  AnswerWith([] { return std::vector<Bytes>{Encode(Answer())}; });
  ASSERT_EQ(PyrnBox_SearchPyrnCore(OnFound), 0);
  EXPECT_TRUE(kittest::WaitUntil([] { return FoundCount() == 1; }, 3000));
  // Each receive thread says that it ended: the first at quit, the second at
  // the quit that writes the log out.
  const std::string log = Log();
  const std::string line = Gbk("    UDP线程退出\r\n");
  size_t ends = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++ends;
  EXPECT_EQ(ends, 2u);
}

// True once every broadcast repeat has run.
bool RepeatsDone() {
  pyrn::CBoxGlobal& g = pyrn::Global();
  pf::Lock lk(g.m_csResend);
  for (const auto& r : g.m_listResend)
    if (!r->done.load()) return false;
  return true;
}

TEST_F(Discovery, StartUpAfterASearchStillStoresItsCallbacksAndStartsItsThreads) {
  ASSERT_EQ(PyrnBox_SearchPyrnCore(OnFound), 0);
  EXPECT_EQ(pyrn::Global().g_bInit.load(), 1);
  // The repeat's thread ends on its own, whenever: the threads that start-up
  // adds are told by their ids.
  const std::set<int> before = kittest::ThreadIds();
  int user = 0;
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, nullptr, &user), 0);
  EXPECT_EQ(pyrn::Global().m_pUser.load(), &user);
  size_t added = 0;
  for (int id : kittest::ThreadIds()) added += before.count(id) ? 0 : 1;
  EXPECT_EQ(added, 2u) << "heartbeat and log writer";
}

TEST_F(Discovery, AReceiveThreadThatCannotStartLeavesNoContext) {
  const int fds = kittest::OpenDescriptorCount();
  pf::test::FailNextThreadStarts(1);  // the host address's receive thread
  EXPECT_EQ(PyrnBox_SearchPyrnCore(OnFound), 17);
  EXPECT_TRUE(pyrn::Global().m_listUdp.empty());
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds) << "its socket is closed";
  EXPECT_EQ(port58588_.Count(), 0u);
  EXPECT_EQ(PyrnBox_SearchPyrnCore(OnFound), 0) << "the next search makes it";
  EXPECT_TRUE(port58588_.WaitCount(1, 3000));
}

TEST_F(Discovery, ARepeatWithoutAHostAddressLogsAndSendsNothing) {
  pyrn::test::SetResendDelayMs(1500);  // time enough to take the address away
  ASSERT_EQ(PyrnBox_SearchPyrnCore(OnFound), 0);
  ASSERT_TRUE(kittest::RunCommand("ip addr flush dev kitveth0"));
  ASSERT_TRUE(kittest::WaitUntil(RepeatsDone, 5000));
  EXPECT_EQ(port58599_.Count(), 0u);
  const std::string log = Log();
  const std::string line = Gbk("搜索相机时，生成搜索命令失败");
  const size_t at = log.find(line);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(log.find(line, at + 1), std::string::npos) << "once: the search itself had its packets";
}

// Before start-up no writer takes the log's lines, and once a search has
// opened the discovery port anyone may send to it. A flood of garbage there
// fills the log queue to its bound and no further: every datagram is logged
// while there is room, the rest are counted, the process's memory stays as it
// was once the queue was full, and start-up writes the lines that waited and
// then how many were dropped.
TEST_F(Discovery, AFloodBeforeStartUpStopsTheLogQueueAtItsBoundAndTheDropsAreLogged) {
  ASSERT_EQ(PyrnBox_SearchPyrnCore(OnFound), 0);
  kit::LogQueue& q = pyrn::Global().m_log;
  auto counts = [&q] {
    pf::Lock lk(q.m_csLog);
    return std::make_pair(q.m_listLog.size(), q.m_dropped);
  };
  auto made = [&] {
    const auto c = counts();
    return c.first + c.second;
  };
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = Addr(kHost);
  to.sin_port = htons(58590);
  const char garbage[16] = "not a record";
  constexpr uint64_t kDrops = 100000;
  const size_t baseline = made();
  long fullKb = -1;
  uint64_t sent = 0;
  // Batches paced by what the receive thread has taken, so that few are
  // lost in the socket's buffer (lost ones are simply not counted).
  for (const int64_t end = kittest::NowMs() + 120000; counts().second < kDrops && kittest::NowMs() < end;) {
    for (int i = 0; i < 100; ++i, ++sent)
      sendto(fd, garbage, sizeof garbage, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    kittest::WaitUntil([&] { return made() >= baseline + sent; }, 200);
    if (fullKb < 0 && counts().first == kit::kMaxQueuedLogLines) fullKb = kittest::ResidentKb();
  }
  close(fd);
  // The last datagrams taken: the counts hold still.
  kittest::WaitUntilStill(made, 200, 5000);
  const auto [queued, dropped] = counts();
  EXPECT_EQ(queued, kit::kMaxQueuedLogLines);
  ASSERT_GE(dropped, kDrops);
  ASSERT_GT(fullKb, 0);
  EXPECT_LT(kittest::ResidentKb() - fullKb, 4096) << "kB grown while " << dropped << " lines were dropped";

  const std::string log = Log();
  const std::string garbageLine = Gbk("处理UDP数据，实际长度是16,StDeviceScanInfo的size是524，不相同");
  size_t lines = 0, lastGarbage = 0;
  for (size_t at = log.find(garbageLine); at != std::string::npos; at = log.find(garbageLine, at + 1), ++lines)
    lastGarbage = at;
  EXPECT_GE(lines, kit::kMaxQueuedLogLines - 10);  // the search's own lines came first
  // Start-up's own lines find the queue full too: they are counted with the rest.
  const std::string dropText = Gbk("    日志队列已满，丢弃");
  const size_t at = log.find(dropText);
  ASSERT_NE(at, std::string::npos);
  EXPECT_GT(at, lastGarbage);
  char* tail = nullptr;
  const unsigned long long told = strtoull(log.c_str() + at + dropText.size(), &tail, 10);
  EXPECT_GE(told, dropped);
  EXPECT_LE(told, dropped + 10);
  EXPECT_EQ(std::string(tail, 8), Gbk("条日志\r\n"));
  EXPECT_EQ(log.find(dropText, at + 1), std::string::npos);  // once
}

}  // namespace

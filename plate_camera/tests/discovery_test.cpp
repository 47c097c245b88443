// Discovery and network settings: the 160-byte packets byte for byte, one per
// local address, the checks on answers, and setting network parameters by
// broadcast or over the control channel.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "context.h"
#include "discovery.h"
#include "fake_camera.h"
#include "lpr_fixture.h"
#include "message_wnd.h"
#include "netns.h"

namespace {

using lprtest::Bytes;
using lprtest::Command;
using lprtest::FakeCamera;
using lprtest::Recorder;

void PutText(Bytes& p, size_t at, const std::string& s) { memcpy(p.data() + at, s.data(), s.size()); }

// Packets as the test expects them (its own encoder).
Bytes Packet(uint8_t sub) {
  Bytes p(160, 0);
  p[0] = 0xAA, p[1] = 0x55, p[2] = 0xF0, p[3] = sub;
  p[4] = 148;
  PutText(p, 40, "QVY");
  p[156] = 0x0F, p[157] = 0x55, p[158] = 0xAA;
  return p;
}

Bytes Answer(const std::string& to, const std::string& type = "Parking", const std::string& model = "A1",
             const std::string& ip = "198.51.100.30") {
  Bytes p = Packet(2);
  memset(p.data() + 40, 0, 8);
  PutText(p, 8, to);
  PutText(p, 48, type);
  PutText(p, 56, model);
  p[62] = 0x5A;
  const uint8_t mac[6] = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
  memcpy(p.data() + 63, mac, 6);
  PutText(p, 69, ip);
  PutText(p, 91, "255.255.255.0");
  PutText(p, 107, "198.51.100.254");
  return p;
}

StLprNetParams Params(const char* ip, const char* mask, const char* gw, uint8_t macSeed) {
  StLprNetParams n{};
  strcpy(n.ip, ip);
  strcpy(n.mask, mask);
  strcpy(n.gateway, gw);
  for (int i = 0; i < 6; ++i) n.mac[i] = static_cast<uint8_t>(macSeed + i);
  return n;
}

class Discovery : public lprtest::LprTest {
 protected:
  void SetUp() override {
    LprTest::SetUp();
    ASSERT_TRUE(kittest::InPrivateNetwork(nullptr));
    ASSERT_TRUE(cameras_.Bound());
  }
  void Start(int mode = 0) { ASSERT_EQ(lprtest::InitWithRecorder(mode), 0); }
  void SendToLibrary(const Bytes& b) { ASSERT_TRUE(cameras_.SendTo(kittest::Addr("198.51.100.1"), 58587, b)); }

  kittest::FakeUdpEndpoint cameras_{"0.0.0.0", 58588};
};

TEST_F(Discovery, ScanSendsOnePacketForEachLocalAddress) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  ASSERT_TRUE(kittest::RunCommand("ip addr add 198.51.100.7/24 dev kitveth0"));
  Start();
  ASSERT_EQ(LPR_ScanDevice(), 0);
  ASSERT_TRUE(cameras_.WaitCount(2, 3000));
  const auto got = cameras_.Received();
  ASSERT_EQ(got.size(), 2u);
  const char* locals[] = {"198.51.100.1", "198.51.100.7"};
  for (int i = 0; i < 2; ++i) {
    Bytes want = Packet(0);
    PutText(want, 8, "255.255.255.255");
    PutText(want, 24, locals[i]);
    EXPECT_EQ(got[i].bytes, want) << locals[i];
    EXPECT_EQ(got[i].fromAddr, kittest::Addr(locals[i]));  // sent from that address
    EXPECT_EQ(got[i].fromPort, 58587);
  }
  EXPECT_TRUE(Logged("扫描执行成功"));
}

TEST_F(Discovery, AnswerForThisPcGivesOneFoundRecord) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  ASSERT_TRUE(kittest::RunCommand("ip addr add 198.51.100.7/24 dev kitveth0"));
  Start();
  SendToLibrary(Answer("198.51.100.7"));
  ASSERT_TRUE(Recorder::Get().WaitFound(1, 3000));
  const auto found = Recorder::Get().Found();
  ASSERT_EQ(found.size(), 1u);
  const StLprDeviceInfo& d = found[0].info;
  EXPECT_STREQ(d.ip, "198.51.100.30");
  EXPECT_STREQ(d.mask, "255.255.255.0");
  EXPECT_STREQ(d.gateway, "198.51.100.254");
  EXPECT_EQ(Bytes(d.reserved, d.reserved + 6), Bytes(6, 0));
  EXPECT_EQ(Bytes(d.mac, d.mac + 6), (Bytes{0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}));
  EXPECT_STREQ(d.type, "ParkingA1");
  EXPECT_EQ(d.extra, 0x5A);
  EXPECT_EQ(found[0].user, reinterpret_cast<void*>(0x1234));
  EXPECT_NE(found[0].thread, std::this_thread::get_id());  // the discovery thread
}

TEST_F(Discovery, AnswersThatFailTheChecksAreDropped) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  Start();
  Bytes badHead = Answer("198.51.100.1");
  badHead[2] = 0xF1;
  Bytes badTail = Answer("198.51.100.1");
  badTail[158] = 0xAB;
  Bytes notAnswer = Answer("198.51.100.1");
  notAnswer[3] = 0;
  const Bytes full = Answer("198.51.100.1", "MOLQ-SD", "XYZ123");
  const Bytes cases[] = {
      badHead, badTail, notAnswer, Answer("198.51.100.99"), Answer("198.51.100.1", "Parkin"),
      Answer("198.51.100.1", "Other"), Answer("198.51.100.1", "ParkingX"),  // no end within the type field
      Bytes(full.begin(), full.begin() + 159), Bytes(),
  };
  for (const auto& c : cases) SendToLibrary(c);
  // A good answer behind them is still taken: not even an empty datagram ends discovery.
  SendToLibrary(full);
  ASSERT_TRUE(Recorder::Get().WaitFound(1, 3000));
  SendToLibrary(Answer("198.51.100.1"));
  ASSERT_TRUE(Recorder::Get().WaitFound(2, 3000));
  const auto found = Recorder::Get().Found();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_STREQ(found[0].info.type, "MOLQ-SDXYZ12");  // the model field's text, terminated within it
  EXPECT_TRUE(Logged("UDP网络异常"));                // the empty datagram
}

TEST_F(Discovery, MessageModeDeliversOnTheWindowThread) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  Start(1);
  SendToLibrary(Answer("198.51.100.1"));
  ASSERT_TRUE(Recorder::Get().WaitFound(1, 3000));
  EXPECT_EQ(Recorder::Get().Found()[0].thread, nardix::MessageWnd()->Window().DispatcherId());
}

TEST_F(Discovery, NoFoundCallbackAfterQuit) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  Start();
  SendToLibrary(Answer("198.51.100.1"));
  ASSERT_TRUE(Recorder::Get().WaitFound(1, 3000));
  ASSERT_EQ(LPR_Quit(), 0);
  // The discovery socket is closed with its thread: the port is free again, and
  // an answer sent there now reaches another program, not the library.
  kittest::FakeUdpEndpoint probe("198.51.100.1", 58587);
  ASSERT_TRUE(probe.Bound());
  SendToLibrary(Answer("198.51.100.1"));
  ASSERT_TRUE(probe.WaitCount(1, 3000));
  EXPECT_EQ(Recorder::Get().FoundCount(), 1u);
}

// ---- a big site: a thousand cameras answering one scan in the same
// instant, as they do when they all hear the same broadcast ----

// The receive buffer the discovery socket holds, in the units asked.
int DiscoveryReceiveBuffer() {
  nardix::CForGlobal& g = nardix::Global();
  pf::Lock lk(g.m_csInfo);
  return g.m_pCameraInfo ? kittest::RecvBufferOf(g.m_pCameraInfo->m_hSocket) : -1;
}

TEST_F(Discovery, AThousandCamerasAnsweringInOneBurstAllReachTheCallback) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  if (kittest::RecvBufferGranted(pf::kDiscoveryRecvBuffer) < pf::kDiscoveryRecvBuffer)
    GTEST_SKIP() << "this system grants no socket of this process a receive buffer of "
                 << pf::kDiscoveryRecvBuffer << " bytes";
  constexpr size_t kCameras = 1000;
  std::atomic<size_t> sent{0};
  cameras_.SetOnDatagram([&](kittest::FakeUdpEndpoint& ep, const kittest::Datagram& d) {
    if (d.bytes.size() != 160 || d.bytes[3] != 0) return;
    const std::string to(reinterpret_cast<const char*>(d.bytes.data() + 24));
    for (size_t i = 0; i < kCameras; ++i) {
      const std::string ip = "10.20." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
      if (ep.SendTo(d.fromAddr, d.fromPort, Answer(to, "Parking", "A1", ip))) sent.fetch_add(1);
    }
  });
  Start();
  const int buffer = DiscoveryReceiveBuffer();
  EXPECT_GE(buffer, pf::kDiscoveryRecvBuffer);
  ASSERT_EQ(LPR_ScanDevice(), 0);
  EXPECT_TRUE(Recorder::Get().WaitFound(kCameras, 30000)) << Recorder::Get().FoundCount();
  ASSERT_TRUE(kittest::WaitUntil([&] { return sent.load() == kCameras; }, 10000));
  // Whatever a late datagram might still add shows behind a last answer.
  SendToLibrary(Answer("198.51.100.1", "Parking", "A1", "198.51.100.250"));
  ASSERT_TRUE(Recorder::Get().WaitFound(kCameras + 1, 10000));
  const auto found = Recorder::Get().Found();
  printf("[ figures  ] %zu of %zu answers of one burst reached the callback (receive buffer %d bytes)\n",
         found.size() - 1, kCameras, buffer);
  std::set<std::string> ips;
  for (const auto& f : found) ips.insert(f.info.ip);
  EXPECT_EQ(found.size(), kCameras + 1);
  EXPECT_EQ(ips.size(), kCameras + 1);
  EXPECT_FALSE(Logged("接收缓冲区只有", 0));
}

TEST_F(Discovery, ASmallerReceiveBufferThanAskedIsLoggedAndDiscoveryStillWorks) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  pf::test::LimitRecvBuffers(64 << 10);  // a system whose limit is 64 KiB
  Start();
  pf::test::LimitRecvBuffers(0);
  EXPECT_EQ(DiscoveryReceiveBuffer(), 64 << 10);
  SendToLibrary(Answer("198.51.100.1"));
  EXPECT_TRUE(Recorder::Get().WaitFound(1, 3000));
  EXPECT_TRUE(Logged("启用UDP时，接收缓冲区只有65536字节，少于要求的4194304字节，设备同时应答时可能丢失应答"));
}

TEST_F(Discovery, BroadcastNetworkSettingsByteForByte) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  ASSERT_TRUE(kittest::RunCommand("ip addr add 198.51.100.7/24 dev kitveth0"));
  Start();
  const StLprNetParams cur = Params("198.51.100.30", "255.255.255.0", "198.51.100.254", 0x10);
  const StLprNetParams next = Params("198.51.100.31", "255.255.0.0", "198.51.100.253", 0x20);
  ASSERT_EQ(LPR_SetNetParams(nullptr, &cur, &next), 0);
  ASSERT_TRUE(cameras_.WaitCount(2, 3000));
  const char* locals[] = {"198.51.100.1", "198.51.100.7"};
  for (int i = 0; i < 2; ++i) {
    Bytes want = Packet(1);
    PutText(want, 8, "198.51.100.30");
    PutText(want, 24, locals[i]);
    memcpy(want.data() + 63, next.mac, 6);
    PutText(want, 69, "198.51.100.31");
    PutText(want, 85, "12000");
    PutText(want, 91, "255.255.0.0");
    PutText(want, 107, "198.51.100.253");
    PutText(want, 139, locals[i]);
    EXPECT_EQ(cameras_.Received()[i].bytes, want) << locals[i];
  }
  EXPECT_TRUE(Logged("UDP设置网络参数成功"));
}

TEST_F(Discovery, NetworkSettingsArgumentChecksAndAddressConflict) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  Start();
  const StLprNetParams cur = Params("198.51.100.30", "255.255.255.0", "198.51.100.254", 0x10);
  const StLprNetParams mine = Params("198.51.100.1", "255.255.255.0", "198.51.100.254", 0x20);
  EXPECT_EQ(LPR_SetNetParams(nullptr, nullptr, &cur), 3);
  EXPECT_EQ(LPR_SetNetParams(nullptr, &cur, nullptr), 3);
  EXPECT_EQ(LPR_SetNetParams(nullptr, &cur, &mine), ERR_IP_CONFLICT);
  // Nothing went out: the first packet the cameras see is the scan after it.
  ASSERT_EQ(LPR_ScanDevice(), 0);
  ASSERT_TRUE(cameras_.WaitCount(1, 3000));
  EXPECT_EQ(cameras_.Received()[0].bytes[3], 0);
}

TEST_F(Discovery, NetworkSettingsOverTheControlChannel) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  Start();
  FakeCamera cam("127.0.0.31");
  StLprCameraHandle* h = Connect(cam);
  std::atomic<bool> ack{true};
  cam.SetReplier([&](const Command& c) {
    return std::vector<Bytes>{lprtest::ReplyFrame(c.type, c.code, {static_cast<uint8_t>(ack ? 0xBB : 0x00)})};
  });
  const StLprNetParams next = Params("198.51.100.31", "255.255.0.0", "198.51.100.253", 0x20);
  EXPECT_EQ(LPR_SetNetParams(h, nullptr, &next), 0);
  ASSERT_TRUE(cam.WaitCommands(1, 3000));
  const Bytes payload = {0, 0, 0, 0, 198, 51, 100, 31, 0, 0, 0, 0, 198, 51, 100, 253, 255, 255, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(cam.Commands()[0], (Command{0x80, 0x21, 1, payload}));
  EXPECT_TRUE(Logged("TCP设置网络参数成功"));
  ack = false;
  EXPECT_EQ(LPR_SetNetParams(h, nullptr, &next), 209);
  EXPECT_TRUE(Logged("TCP设置网络参数超时"));

  // One of this PC's addresses is refused before anything is sent.
  const StLprNetParams mine = Params("198.51.100.1", "255.255.255.0", "198.51.100.254", 0x20);
  EXPECT_EQ(LPR_SetNetParams(h, nullptr, &mine), ERR_IP_CONFLICT);
  StLprCameraHandle* unknown = reinterpret_cast<StLprCameraHandle*>(0x10);
  EXPECT_EQ(LPR_SetNetParams(unknown, nullptr, &next), 8);
  EXPECT_TRUE(Logged("TCP设置网络参数未找到设备"));
  EXPECT_EQ(cam.Commands().size(), 2u);

  // The camera resets the control connection (and is not connected again
  // soon): the send fails and its result is returned.
  nardix::test::SetReconnectTickMs(1000);
  cam.control.StopListening();
  cam.control.ResetAll();
  EXPECT_TRUE(kittest::WaitUntil([&] { return LPR_SetNetParams(h, nullptr, &next) == 7; }, 5000));
  EXPECT_TRUE(Logged("TCP设置网络参数发送指令失败"));
  EXPECT_EQ(cameras_.Count(), 0u);  // no broadcast on this path
}

}  // namespace

// The tool against fake devices inside the private test network: a search
// through all three libraries, network settings sent to the library that the
// row's version text names (by broadcast or over a connection), and devices
// added by address. Fakes answer on loopback addresses and on the test
// network's own veth only.
#include <gtest/gtest.h>

#include <QTest>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include "case_name.h"
#include "fake_box.h"
// The camera control port fake (tests/support).
#include "fake_camera.h"
// Two test fakes share the file name; this one is the plate-recognition camera.
#include "plate_camera/tests/fake_camera.h"
#include "fake_discovery_camera.h"
#include "fake_peer.h"
#include "fake_site_devices.h"
#include "netns.h"
#include "platform/include/platform/net.h"
#include "process.h"
#include "wait.h"
#include "window_probe.h"

namespace {

using fakesite::Found;
using fakesite::IsLprPacket;
using fakesite::IsRecord;
using fakesite::TextAt;
using kittest::Addr;
using kittest::Bytes;
using kittest::Datagram;
using kittest::Gbk;

constexpr const char* kHost = "198.51.100.1";

// ---- what answers on UDP 58588: a camera, a plate-recognition camera and a
// controller box, each answering its own library's search ----

constexpr uint8_t kCameraMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr uint8_t kLprMac[6] = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
constexpr uint8_t kBoxMac[6] = {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5};

const Found kCamera{"IPNC", Gbk("-卡口相机"), "198.51.100.21", "255.255.255.0", "198.51.100.254", kCameraMac,
                    "CAM-0001"};
const Found kBox{"VELD", Gbk("-道闸控制器"), "198.51.100.40", "255.255.0.0", "198.51.100.1", kBoxMac,
                 "BOX-0001"};

// The camera library's broadcast setting: the current address, then the new
// address, mask and gateway.
void ExpectCameraSetting(const Datagram& d, const char* current, const char* ip, const char* mask,
                         const char* gateway) {
  EXPECT_EQ(fakecam::Get32(d.bytes, 16), Addr(current));
  EXPECT_EQ(fakecam::Get32(d.bytes, 136), Addr(ip));
  EXPECT_EQ(fakecam::Get32(d.bytes, 140), Addr(mask));
  EXPECT_EQ(fakecam::Get32(d.bytes, 148), Addr(gateway));
}

// The box library's: the same places, each new word's bytes swapped.
void ExpectBoxSetting(const Datagram& d, const char* current, const char* ip, const char* gateway) {
  EXPECT_EQ(fakecam::Get32(d.bytes, 16), Addr(current));
  EXPECT_EQ(fakecam::Get32(d.bytes, 136), __builtin_bswap32(Addr(ip)));
  EXPECT_EQ(fakecam::Get32(d.bytes, 148), __builtin_bswap32(Addr(gateway)));
}

// The address of device i of a crowd of one kind (1: cameras, 2: boxes, 3:
// plate-recognition cameras).
std::string CrowdIp(int kind, int i) {
  return "10." + std::to_string(kind) + "." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
}

class FakeDevices {
 public:
  FakeDevices() {
    port_.SetOnDatagram([this](kittest::FakeUdpEndpoint& ep, const Datagram& d) {
      const int crowd[3] = {crowd_[0], crowd_[1], crowd_[2]};
      if (IsRecord(d, 0, "QV-IPNC") && cameraAnswers_)
        Answer(ep, d, crowd[0], [&](int i) {
          Found f = kCamera;
          const std::string ip = CrowdIp(1, i);
          if (crowd[0]) f.ip = ip.c_str();
          return fakesite::DiscoveryAnswer(fakecam::Get32(d.bytes, 16), f);
        });
      if (IsRecord(d, 0, "QV-ZNPC"))
        Answer(ep, d, crowd[1], [&](int i) {
          Found f = kBox;
          const std::string ip = CrowdIp(2, i);
          if (crowd[1]) f.ip = ip.c_str();
          return fakesite::DiscoveryAnswer(fakecam::Get32(d.bytes, 16), f);
        });
      if (IsLprPacket(d, 0))
        Answer(ep, d, crowd[2], [&](int i) {
          return crowd[2] ? fakesite::LprAnswer(TextAt(d.bytes, 24, 16), kLprMac, CrowdIp(3, i).c_str())
                          : fakesite::LprAnswer(TextAt(d.bytes, 24, 16), kLprMac);
        });
    });
  }
  bool Bound() const { return port_.Bound(); }
  // The camera stops (or starts again) answering searches.
  void CameraAnswers(bool on) { cameraAnswers_ = on; }
  // From now on every search is answered at once by this many devices of
  // its kind (a big site's), each with an address of its own.
  void Crowd(int cameras, int boxes, int plates) {
    crowd_[0] = cameras;
    crowd_[1] = boxes;
    crowd_[2] = plates;
  }
  // The first datagram that fits, waited for.
  bool Wait(const std::function<bool(const Datagram&)>& fits, Datagram* out, int ms = 3000) {
    return kittest::WaitUntil(
        [&] {
          for (const auto& d : port_.Received())
            if (fits(d)) {
              *out = d;
              return true;
            }
          return false;
        },
        ms);
  }
  // Whether any network setting went out by broadcast, waited for briefly.
  bool AnySettingBroadcast(int ms = 300) {
    Datagram d;
    return Wait([](const Datagram& x) { return IsRecord(x, 1, "QV-ZNPC") || IsRecord(x, 1, "QV-IPNC") || IsLprPacket(x, 1); },
                &d, ms);
  }

 private:
  // One answer, or a crowd's in one burst.
  template <class Make>
  static void Answer(kittest::FakeUdpEndpoint& ep, const Datagram& d, int crowd, Make make) {
    for (int i = 0; i < std::max(crowd, 1); ++i) ep.SendTo(d.fromAddr, d.fromPort, make(i));
  }

  // Read by the endpoint's thread, which stops first.
  std::atomic<bool> cameraAnswers_{true};
  std::atomic<int> crowd_[3] = {{0}, {0}, {0}};
  kittest::FakeUdpEndpoint port_{"0.0.0.0", fakecam::kSearchPort};
};

class TestNetwork : public testing::Test {
 protected:
  void SetUp() override {
    KIT_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(devices_.Bound());
    window_ = std::make_unique<MainWindow>();
    p_ = std::make_unique<MainWindowProbe>(*window_);
  }
  void TearDown() override {
    if (window_) window_->close();
  }

  void AddRow(const char* ip, const char* version, bool found, const char* mac = nullptr) {
    StSearchResult r = Record(ip, version, "", "198.51.100.1", "255.255.255.0");
    if (mac) memcpy(r.factory.mac, mac, 6);
    window_->AddDeviceRow(&r, found);
  }

  FakeDevices devices_;
  MessageRecorder messages_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<MainWindowProbe> p_;
};

const QString kAuto = QStringLiteral("自动搜索");
const QString kManual = QStringLiteral("手动添加");
const QStringList kSuccess{QStringLiteral("设置网络参数成功")};

TEST_F(TestNetwork, OneSearchListsWhatEachLibraryFinds) {
  AddRow("198.51.100.21", "IPNC-old", false);  // found again: replaced
  AddRow("10.9.9.9", "IPNC", false);           // added by hand: stays
  AddRow("10.8.8.8", "IPNC", true);            // found before: cleared
  window_->SearchDevice();
  EXPECT_EQ(p_->rowWithIp("10.8.8.8"), -1) << "the search cleared the rows it had found";
  ASSERT_TRUE(ProcessEventsUntil(
      [&] {
        return p_->rows() == 4 && p_->cell(p_->rowWithIp("198.51.100.21"), 6) == kAuto &&
               p_->rowWithIp("198.51.100.30") >= 0 && p_->rowWithIp("198.51.100.40") >= 0;
      },
      5000))
      << p_->rows() << " rows";
  EXPECT_EQ(p_->row(p_->rowWithIp("198.51.100.21")),
            (QStringList{"198.51.100.21", "00-11-22-33-44-55", "IPNC-卡口相机", "CAM-0001",
                         "198.51.100.254", "255.255.255.0", kAuto}));
  EXPECT_EQ(p_->row(p_->rowWithIp("198.51.100.30")),
            (QStringList{"198.51.100.30", "00-1B-2C-3D-4E-5F", "MOLQ-SDA1", "", "198.51.100.254",
                         "255.255.255.0", kAuto}));
  EXPECT_EQ(p_->row(p_->rowWithIp("198.51.100.40")),
            (QStringList{"198.51.100.40", "A0-B1-C2-D3-E4-F5", "VELD-道闸控制器", "BOX-0001",
                         "198.51.100.1", "255.255.0.0", kAuto}));
  EXPECT_EQ(p_->cell(p_->rowWithIp("10.9.9.9"), 6), kManual);
  EXPECT_TRUE(messages_.Take().isEmpty());
}

TEST_F(TestNetwork, AThousandDevicesAnsweringOneSearchInOneBurstAllShow) {
  if (kittest::RecvBufferGranted(pf::kDiscoveryRecvBuffer) < pf::kDiscoveryRecvBuffer)
    GTEST_SKIP() << "this system grants no socket of this process a receive buffer of "
                 << pf::kDiscoveryRecvBuffer << " bytes";
  const int kinds[3] = {334, 333, 333};  // cameras, boxes, plate-recognition cameras
  devices_.Crowd(kinds[0], kinds[1], kinds[2]);
  window_->show();
  window_->SearchDevice();
  EXPECT_TRUE(ProcessEventsUntil([&] { return p_->rows() >= 1000; }, 30000)) << p_->rows() << " rows";
  printf("[ figures  ] %d of 1000 devices answering in one burst are shown\n", p_->rows());
  ASSERT_EQ(p_->rows(), 1000);
  int shown[3] = {0, 0, 0};
  for (int r = 0; r < p_->rows(); ++r) {
    const QString version = p_->cell(r, 2);
    const int kind = version.startsWith("IPNC") ? 0 : version.startsWith("VELD") ? 1 : 2;
    ++shown[kind];
    EXPECT_TRUE(p_->cell(r, 0).startsWith(QStringLiteral("10.%1.").arg(kind + 1))) << r;
  }
  EXPECT_EQ(shown[0], kinds[0]);
  EXPECT_EQ(shown[1], kinds[1]);
  EXPECT_EQ(shown[2], kinds[2]);
}

// ---- network settings by broadcast: rows that a search found ----

struct BroadcastCase {
  const char* version;
  const char* library;
};

void PrintTo(const BroadcastCase& c, std::ostream* os) { *os << c.library << " " << c.version; }

class BroadcastSettings : public TestNetwork, public testing::WithParamInterface<BroadcastCase> {};

TEST_P(BroadcastSettings, GoToTheLibraryTheVersionTextNames) {
  const std::string library = GetParam().library;
  AddRow("198.51.100.50", GetParam().version, true, "\x00\x1B\x2C\x3D\x4E\x5F");
  p_->select(0);
  ASSERT_FALSE(p_->tcp().isChecked());
  p_->form("198.51.100.60", "255.255.255.0", "198.51.100.254");
  window_->ModifyNetParam();
  EXPECT_EQ(messages_.Take(), kSuccess);
  EXPECT_EQ(p_->row(0).mid(0, 6), (QStringList{"198.51.100.60", "00-1B-2C-3D-4E-5F", GetParam().version,
                                               "", "198.51.100.254", "255.255.255.0"}));

  Datagram d;
  if (library == "box") {
    ASSERT_TRUE(devices_.Wait([](const Datagram& x) { return IsRecord(x, 1, "QV-ZNPC"); }, &d));
    ExpectBoxSetting(d, "198.51.100.50", "198.51.100.60", "198.51.100.254");
  } else if (library == "camera") {
    ASSERT_TRUE(devices_.Wait([](const Datagram& x) { return IsRecord(x, 1, "QV-IPNC"); }, &d));
    ExpectCameraSetting(d, "198.51.100.50", "198.51.100.60", "255.255.255.0", "198.51.100.254");
  } else {
    ASSERT_TRUE(devices_.Wait([](const Datagram& x) { return IsLprPacket(x, 1); }, &d));
    EXPECT_EQ(TextAt(d.bytes, 8, 16), "198.51.100.50");  // the current address
    EXPECT_EQ(Bytes(d.bytes.begin() + 63, d.bytes.begin() + 69), Bytes(kLprMac, kLprMac + 6));
    EXPECT_EQ(TextAt(d.bytes, 69, 16), "198.51.100.60");
    EXPECT_EQ(TextAt(d.bytes, 91, 16), "255.255.255.0");
    EXPECT_EQ(TextAt(d.bytes, 107, 16), "198.51.100.254");
  }
  // Nothing went to another library's devices.
  SCOPED_TRACE("other libraries");
  EXPECT_EQ(devices_.Wait([&](const Datagram& x) {
              return (library != "box" && IsRecord(x, 1, "QV-ZNPC")) ||
                     (library != "camera" && IsRecord(x, 1, "QV-IPNC")) ||
                     (library != "lpr" && IsLprPacket(x, 1));
            }, &d, 300),
            false);
}

INSTANTIATE_TEST_SUITE_P(Kinds, BroadcastSettings,
                         testing::Values(BroadcastCase{"VELDP-x", "box"}, BroadcastCase{"OSKA", "box"},
                                         BroadcastCase{"VELD MOLQ", "box"}, BroadcastCase{"MOLQ-SD1", "lpr"},
                                         BroadcastCase{"IPNC-cam", "camera"},
                                         BroadcastCase{"ParkingA1", "camera"}),
                         [](const testing::TestParamInfo<BroadcastCase>& info) {
                           return CaseName(std::string(info.param.library) + "_" + info.param.version);
                         });

// A device is named by its current address: the broadcast address (what a
// search sends for "every device"), a multicast address or 0.0.0.0 names
// none, and no request may go out with it.
TEST_F(TestNetwork, OnlyTheAddressOfOneDeviceCanBeChanged) {
  const struct {
    const char* current;
    const char* refusal;  // null: an address of one device
  } addresses[] = {
      {"0.0.0.0", "设备IP是0.0.0.0，不能设置网络参数！"},
      {"255.255.255.255", "设备IP是广播地址，不能设置网络参数！"},
      {"224.0.0.1", "设备IP是组播地址，不能设置网络参数！"},
      {"239.255.255.250", "设备IP是组播地址，不能设置网络参数！"},
      {"198.51.100.50", nullptr},
  };
  const struct {
    const char* version;
    const char* tag;  // of its library's broadcast setting
  } kinds[] = {{"IPNC-cam", "QV-IPNC"}, {"VELD-box", "QV-ZNPC"}, {"MOLQ-SD1", nullptr}};

  // Found by a search (by broadcast) and added by hand (over a connection).
  for (const bool found : {true, false}) {
    for (const auto& k : kinds) {
      for (const auto& a : addresses) {
        if (!a.refusal) continue;
        SCOPED_TRACE(std::string(a.current) + " " + k.version + (found ? " found" : " added by hand"));
        AddRow(a.current, k.version, found);
        p_->select(p_->rowWithIp(a.current));
        p_->form("198.51.100.60", "255.255.255.0", "198.51.100.254");
        window_->ModifyNetParam();
        EXPECT_EQ(messages_.Take(), QStringList{QString::fromUtf8(a.refusal)});
        EXPECT_GE(p_->rowWithIp(a.current), 0) << "the row is still shown, unchanged";
      }
    }
  }
  EXPECT_FALSE(devices_.AnySettingBroadcast()) << "nothing was sent for a refused row";

  for (const auto& k : kinds) {
    SCOPED_TRACE(k.version);
    AddRow("198.51.100.50", k.version, true);
    p_->select(p_->rowWithIp("198.51.100.50"));
    p_->form("198.51.100.60", "255.255.255.0", "198.51.100.254");
    window_->ModifyNetParam();
    EXPECT_EQ(messages_.Take(), kSuccess);
    Datagram d;
    if (k.tag) {
      ASSERT_TRUE(devices_.Wait([&](const Datagram& x) { return IsRecord(x, 1, k.tag); }, &d));
      EXPECT_EQ(fakecam::Get32(d.bytes, 16), Addr("198.51.100.50"));
    } else {
      ASSERT_TRUE(devices_.Wait([](const Datagram& x) { return IsLprPacket(x, 1); }, &d));
      EXPECT_EQ(TextAt(d.bytes, 8, 16), "198.51.100.50");
    }
  }
}

TEST_F(TestNetwork, TheArrowKeysChooseTheDeviceThatIsChanged) {
  AddRow("198.51.100.51", "IPNC-cam", true);
  AddRow("198.51.100.52", "IPNC-cam", true);  // the top row
  window_->show();
  p_->select(0);
  QTest::keyClick(&p_->table(), Qt::Key_Down);
  ASSERT_EQ(p_->ip().text(), QStringLiteral("198.51.100.51"));
  p_->ip().setText("198.51.100.60");
  window_->ModifyNetParam();
  EXPECT_EQ(messages_.Take(), kSuccess);
  Datagram d;
  ASSERT_TRUE(devices_.Wait([](const Datagram& x) { return IsRecord(x, 1, "QV-IPNC"); }, &d));
  ExpectCameraSetting(d, "198.51.100.51", "198.51.100.60", "255.255.255.0", "198.51.100.1");
  EXPECT_EQ(p_->cell(1, 0), QStringLiteral("198.51.100.60"));
  EXPECT_EQ(p_->cell(0, 0), QStringLiteral("198.51.100.52"));
}

TEST_F(TestNetwork, AnAddressOfThisPcIsRefusedAndTheRowStays) {
  AddRow("198.51.100.50", "VELD-box", true);
  p_->select(0);
  p_->form(kHost, "255.255.255.0", "198.51.100.254");
  window_->ModifyNetParam();
  EXPECT_EQ(messages_.Take(), QStringList{"IP地址与PC机IP冲突，请修改！"});
  EXPECT_EQ(p_->cell(0, 0), QStringLiteral("198.51.100.50"));
}

// ---- network settings over a connection: rows added by hand ----

// 10.0.0.32, 255.0.0.0 and 10.0.0.1 over a box's link, each word's bytes
// swapped: 10.0.0.32 travels as 32, 0, 0, 10.
const Bytes kBoxLinkSetting{32, 0, 0, 10, 0, 0, 0, 255, 1, 0, 0, 10, 0, 0, 0, 0};

TEST_F(TestNetwork, BoxAddedByHandIsSetOverItsLink) {
  boxtest::FakeBox box("127.0.0.31");
  box.script().Answer(0, 14, {});
  AddRow("127.0.0.31", "VELD-x", false);
  p_->select(0);
  ASSERT_TRUE(p_->tcp().isChecked());
  // (The editors turn a first octet of 127 into 192: the new values are not loopback.)
  p_->form("10.0.0.32", "255.0.0.0", "10.0.0.1");
  window_->ModifyNetParam();
  EXPECT_EQ(messages_.Take(), kSuccess);
  const auto sets = box.script().Frames(0, 14);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].payload, kBoxLinkSetting);
  EXPECT_EQ(p_->row(0), (QStringList{"10.0.0.32", "00-00-00-00-00-00", "VELD-x", "", "10.0.0.1",
                                     "255.0.0.0", kManual}));
}

TEST_F(TestNetwork, PlateCameraAddedByHandIsSetOverItsControlChannel) {
  lprtest::FakeCamera cam("127.0.0.33");
  cam.SetReplier([](const lprtest::Command& c) {
    std::vector<Bytes> out;
    if (c.type == 0x80 && c.code == 0x21) out.push_back(lprtest::ReplyFrame(0x80, 0x21, {0xBB}));
    return out;
  });
  AddRow("127.0.0.33", "MOLQ-SD", false);
  p_->select(0);
  p_->form("10.0.0.34", "255.255.0.0", "10.0.0.1");
  window_->ModifyNetParam();
  EXPECT_EQ(messages_.Take(), kSuccess);
  bool seen = false;
  for (const auto& c : cam.Commands()) {
    if (c.type != 0x80 || c.code != 0x21) continue;
    seen = true;
    ASSERT_EQ(c.payload.size(), 24u);
    EXPECT_EQ(Bytes(c.payload.begin() + 4, c.payload.begin() + 8), (Bytes{10, 0, 0, 34}));
    EXPECT_EQ(Bytes(c.payload.begin() + 12, c.payload.begin() + 16), (Bytes{10, 0, 0, 1}));
    EXPECT_EQ(Bytes(c.payload.begin() + 16, c.payload.begin() + 20), (Bytes{255, 255, 0, 0}));
  }
  EXPECT_TRUE(seen);
  EXPECT_EQ(p_->cell(0, 0), QStringLiteral("10.0.0.34"));
}

TEST_F(TestNetwork, CameraAddedByHandIsSetOverItsInformationPort) {
  kittest::FakeTcpServer info("127.0.0.35", 58006);
  AddRow("127.0.0.35", "IPNC-cam", false);
  p_->select(0);
  p_->form("10.0.0.36", "255.0.0.0", "10.0.0.1");
  window_->ModifyNetParam();
  EXPECT_EQ(messages_.Take(), kSuccess);
  ASSERT_TRUE(kittest::WaitUntil([&] { return info.Last() && !info.Last()->Received().empty(); }, 3000));
  Datagram nothing;
  EXPECT_FALSE(devices_.Wait([](const Datagram& x) { return x.bytes.size() == 524; }, &nothing, 200))
      << "no broadcast on this path";
}

TEST_F(TestNetwork, NoLinkToADeviceAddedByHandSetsNothing) {
  for (const char* version : {"VELD-x", "MOLQ-SD"}) {
    SCOPED_TRACE(version);
    AddRow("127.0.0.37", version, false);
    p_->select(0);
    p_->form("10.0.0.38", "255.0.0.0", "10.0.0.1");
    window_->ModifyNetParam();
    EXPECT_EQ(messages_.Take(), QStringList{"TCP方式连接设备失败，不能设置网络参数！"});
    EXPECT_EQ(p_->cell(0, 0), QStringLiteral("127.0.0.37"));
  }
  // The camera library's direct path reports its failure after the fact.
  AddRow("127.0.0.37", "IPNC", false);
  p_->select(0);
  p_->form("10.0.0.38", "255.0.0.0", "10.0.0.1");
  window_->ModifyNetParam();
  EXPECT_EQ(messages_.Take(), QStringList{"TCP方式设置网络参数失败！"});
  EXPECT_EQ(p_->cell(0, 0), QStringLiteral("127.0.0.37"));
}

// ---- the form acts on the row it was filled from ----

TEST_F(TestNetwork, AFormWhoseDeviceNoLongerAnswersNamesNoDeviceAndSendsNothing) {
  boxtest::FakeBox neighbour("127.0.0.51");
  neighbour.script().Answer(0, 14, {});
  AddRow("127.0.0.51", "VELD-x", false);
  window_->SearchDevice();
  ASSERT_TRUE(ProcessEventsUntil([&] { return p_->rows() == 4; }, 5000)) << p_->rows() << " rows";
  p_->select(p_->rowWithIp("198.51.100.21"));
  ASSERT_EQ(p_->ip().text(), QStringLiteral("198.51.100.21"));
  ASSERT_FALSE(p_->tcp().isChecked());
  p_->ip().setText("198.51.100.60");

  // Searched again, the camera no longer answers: its row goes, the others
  // come back.
  devices_.CameraAnswers(false);
  window_->SearchDevice();
  ASSERT_TRUE(ProcessEventsUntil(
      [&] { return p_->rowWithIp("198.51.100.30") >= 0 && p_->rowWithIp("198.51.100.40") >= 0; }, 5000));
  EXPECT_EQ(p_->rowWithIp("198.51.100.21"), -1);
  EXPECT_FALSE(p_->table().currentIndex().isValid());
  EXPECT_FALSE(p_->table().selectionModel()->hasSelection());
  EXPECT_EQ(p_->ip().text(), QStringLiteral("..."));
  EXPECT_EQ(p_->mask().text(), QStringLiteral("..."));
  EXPECT_EQ(p_->gateway().text(), QStringLiteral("..."));
  EXPECT_FALSE(p_->tcp().isChecked());

  // Even with the form filled in again by hand, no row is named.
  p_->form("198.51.100.60", "255.255.255.0", "198.51.100.254");
  window_->ModifyNetParam();
  EXPECT_EQ(messages_.Take(), QStringList{"未选中要修改网络参数的设备！"});
  EXPECT_FALSE(devices_.AnySettingBroadcast());
  EXPECT_EQ(neighbour.server().ConnectionCount(), 0u);
  EXPECT_EQ(p_->cell(p_->rowWithIp("127.0.0.51"), 6), kManual);

  // A click on a row names a device again.
  p_->select(p_->rowWithIp("127.0.0.51"));
  p_->form("10.0.0.32", "255.0.0.0", "10.0.0.1");
  window_->ModifyNetParam();
  EXPECT_EQ(messages_.Take(), kSuccess);
  ASSERT_EQ(neighbour.script().Frames(0, 14).size(), 1u);
  EXPECT_EQ(neighbour.script().Frames(0, 14)[0].payload, kBoxLinkSetting);
}

// How a change travels.
enum class SetPath { kCameraBroadcast, kBoxBroadcast, kBoxLink };

struct MoveCase {
  const char* name;
  const char* formRow;  // the IP of the row the form is filled from
  std::function<void(MainWindow&, MainWindowProbe&)> move;
  SetPath path;
};

void PrintTo(const MoveCase& c, std::ostream* os) { *os << c.name; }

StSearchResult* FoundRecord(const char* ip, const char* version) {
  return new StSearchResult(Record(ip, version, "", "198.51.100.1", "255.255.255.0"));
}

const MoveCase kMoves[] = {
    {"a row added by address above a found row", "198.51.100.50",
     [](MainWindow& w, MainWindowProbe&) {
       const StSearchResult r = Record("198.51.100.70", "IPNC-other");
       w.AddDeviceRow(&r, false);
     },
     SetPath::kCameraBroadcast},
    {"a found row above a row added by address", "127.0.0.52",
     [](MainWindow&, MainWindowProbe& p) {
       PostDeviceFound(FoundRecord("198.51.100.71", "IPNC-other"));
       ASSERT_TRUE(ProcessEventsUntil([&] { return p.rows() == 3; }, 3000));
     },
     SetPath::kBoxLink},
    {"the found rows above cleared by a search", "127.0.0.52",
     [](MainWindow& w, MainWindowProbe& p) {
       w.ClearAutoSearchRows();
       ASSERT_EQ(p.rows(), 1);
     },
     SetPath::kBoxLink},
    {"the table sorted", "198.51.100.50",
     [](MainWindow&, MainWindowProbe& p) {
       p.model().sort(0, Qt::AscendingOrder);
       ASSERT_EQ(p.cell(1, 0), QStringLiteral("198.51.100.50"));
     },
     SetPath::kCameraBroadcast},
    {"the found device found again under a new row", "198.51.100.50",
     [](MainWindow&, MainWindowProbe& p) {
       PostDeviceFound(FoundRecord("198.51.100.72", "IPNC-other"));
       PostDeviceFound(FoundRecord("198.51.100.50", "IPNC-cam"));
       ASSERT_TRUE(ProcessEventsUntil([&] { return p.cell(0, 0) == "198.51.100.50"; }, 3000));
     },
     SetPath::kCameraBroadcast},
    // Found by a search, the row is one that a search found: its path is the
    // broadcast now.
    {"the device added by address found by a search", "127.0.0.52",
     [](MainWindow&, MainWindowProbe& p) {
       PostDeviceFound(FoundRecord("127.0.0.52", "VELD-x"));
       ASSERT_TRUE(ProcessEventsUntil([&] { return p.cell(0, 0) == "127.0.0.52"; }, 3000));
     },
     SetPath::kBoxBroadcast},
};

class FormRow : public TestNetwork, public testing::WithParamInterface<MoveCase> {};

TEST_P(FormRow, StaysTheRowThatIsChangedWhenRowsMove) {
  const MoveCase& c = GetParam();
  boxtest::FakeBox box("127.0.0.52");
  box.script().Answer(0, 14, {});
  AddRow("127.0.0.52", "VELD-x", false);
  AddRow("198.51.100.50", "IPNC-cam", true);
  p_->select(p_->rowWithIp(c.formRow));
  ASSERT_NO_FATAL_FAILURE(c.move(*window_, *p_));

  const QString formRow = QString::fromLatin1(c.formRow);
  EXPECT_EQ(p_->cell(p_->table().currentIndex().row(), 0), formRow) << "the table shows the form's row";
  EXPECT_EQ(p_->tcp().isChecked(), c.path == SetPath::kBoxLink);
  const QStringList others = [&] {
    QStringList out;
    for (int r = 0; r < p_->rows(); ++r)
      if (p_->cell(r, 0) != formRow) out << p_->row(r).join('|');
    return out;
  }();
  const bool camera = c.path == SetPath::kCameraBroadcast;
  if (camera)
    p_->form("198.51.100.60", "255.255.255.0", "198.51.100.254");
  else
    p_->form("10.0.0.32", "255.0.0.0", "10.0.0.1");
  window_->ModifyNetParam();
  EXPECT_EQ(messages_.Take(), kSuccess);

  Datagram d;
  switch (c.path) {
    case SetPath::kCameraBroadcast:
      ASSERT_TRUE(devices_.Wait([](const Datagram& x) { return IsRecord(x, 1, "QV-IPNC"); }, &d));
      ExpectCameraSetting(d, c.formRow, "198.51.100.60", "255.255.255.0", "198.51.100.254");
      EXPECT_EQ(box.server().ConnectionCount(), 0u);
      break;
    case SetPath::kBoxBroadcast:
      ASSERT_TRUE(devices_.Wait([](const Datagram& x) { return IsRecord(x, 1, "QV-ZNPC"); }, &d));
      ExpectBoxSetting(d, c.formRow, "10.0.0.32", "10.0.0.1");
      EXPECT_EQ(box.server().ConnectionCount(), 0u);
      break;
    case SetPath::kBoxLink:
      ASSERT_EQ(box.script().Frames(0, 14).size(), 1u);
      EXPECT_EQ(box.script().Frames(0, 14)[0].payload, kBoxLinkSetting);
      EXPECT_FALSE(devices_.AnySettingBroadcast());
      break;
  }
  // The form's row took the new values; every other row is as it was.
  EXPECT_EQ(p_->rowWithIp(formRow), -1);
  const int changed = p_->rowWithIp(camera ? "198.51.100.60" : "10.0.0.32");
  ASSERT_GE(changed, 0);
  EXPECT_EQ(p_->cell(changed, 2), QString::fromLatin1(camera ? "IPNC-cam" : "VELD-x"));
  QStringList after;
  for (int r = 0; r < p_->rows(); ++r)
    if (r != changed) after << p_->row(r).join('|');
  EXPECT_EQ(after, others);
}

INSTANTIATE_TEST_SUITE_P(Moves, FormRow, testing::ValuesIn(kMoves),
                         [](const testing::TestParamInfo<MoveCase>& info) {
                           return CaseName(info.param.name);
                         });

// ---- adding by address (the probe itself: the manual-IP editor turns a
// first octet of 127 into 192, so the fakes' loopback addresses are handed to
// it directly) ----

TEST_F(TestNetwork, ABoxAnswersTheFirstProbe) {
  boxtest::FakeBox box("127.0.0.41");
  box.script().Answer(0, 16, {'B', 'O', 'X', '-', '7'});
  box.script().Answer(0, 15, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60});
  box.script().Answer(0, 1, {'V', '2', '.', '1'});
  // Big-endian words: the address 127.0.0.41 travels as 41, 0, 0, 127.
  box.script().Answer(0, 14, {41, 0, 0, 127, 0, 0, 0, 255, 1, 0, 0, 127, 0, 0, 0, 0});
  window_->AddDeviceByIp("127.0.0.41");
  EXPECT_TRUE(messages_.Take().isEmpty());
  ASSERT_EQ(p_->rows(), 1);
  EXPECT_EQ(p_->row(0), (QStringList{"127.0.0.41", "10-20-30-40-50-60", "VELDV2.1", "BOX-7", "127.0.0.1",
                                     "255.0.0.0", kManual}));
}

TEST_F(TestNetwork, APlateCameraGivesItsVersionAndTheMacOfItsFactoryBlock) {
  lprtest::FakeCamera cam("127.0.0.42");
  cam.SetReplier([](const lprtest::Command& c) {
    std::vector<Bytes> out;
    if (c.type == 0x00 && c.code == 0x04) {
      const uint8_t item = c.payload.at(0);
      const std::string text = item == 0 ? "MOLQ-SD V3.2" : "other";
      out.push_back(lprtest::ReplyFrame(0x00, 0x04, lprtest::Concat({{item}, lprtest::Text(text)})));
    }
    if (c.type == 0x00 && c.code == 0x1C)  // deciphered, bytes 7..12 are 3C-97-0E-8A-51-F2
      out.push_back(lprtest::ReplyFrame(0x00, 0x1C, lprtest::Text("183FEEFE0FD05B27949EA91BBCE0463E")));
    return out;
  });
  window_->AddDeviceByIp("127.0.0.42");
  ASSERT_EQ(p_->rows(), 1);
  EXPECT_EQ(p_->row(0), (QStringList{"127.0.0.42", "3C-97-0E-8A-51-F2", "MOLQ-SD V3.2", "", "0.0.0.0",
                                     "0.0.0.0", kManual}));
  EXPECT_EQ(DeviceKindOf(p_->cell(0, 2)), DeviceKind::kLpr);
}

TEST_F(TestNetwork, AShortFactoryReplyLeavesTheMacZero) {
  lprtest::FakeCamera cam("127.0.0.43");
  cam.SetReplier([](const lprtest::Command& c) {
    std::vector<Bytes> out;
    if (c.type == 0x00 && c.code == 0x1C) out.push_back(lprtest::ReplyFrame(0x00, 0x1C, lprtest::Text("183FEEFE")));
    return out;
  });
  window_->AddDeviceByIp("127.0.0.43");
  ASSERT_EQ(p_->rows(), 1);
  EXPECT_EQ(p_->cell(0, 1), QStringLiteral("00-00-00-00-00-00"));
  EXPECT_EQ(p_->cell(0, 2), QString()) << "no version answered in time";
}

// A camera's information port (TCP 58006): every request is answered with
// one frame of information items (the fake's own encoder).
class FakeInfoPort {
 public:
  struct Item {
    uint32_t code;
    Bytes data;
  };
  FakeInfoPort(const std::string& ip, std::vector<Item> items) : server_(ip, 58006) {
    server_.SetOnData([items](kittest::FakeConn& c, Bytes& pending) {
      if (pending.size() < 12 || pending.size() < fakecam::Get32(pending, 8)) return;
      pending.clear();
      c.Send(Frame(items));
    });
  }

 private:
  static void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  static Bytes Frame(const std::vector<Item>& items) {
    Bytes body;
    for (const Item& it : items) {
      for (uint32_t v : {0x12345678u, it.code, 0u, 0u, static_cast<uint32_t>(it.data.size())}) Put32(body, v);
      body.insert(body.end(), it.data.begin(), it.data.end());
    }
    Bytes f;
    for (uint32_t v : {0x0FF055AAu, 0x00010000u, static_cast<uint32_t>(40 + body.size()), 0x00020008u, 0u, 0u,
                       0x8002u, 0u, static_cast<uint32_t>(items.size())})
      Put32(f, v);
    f.insert(f.end(), body.begin(), body.end());
    Put32(f, 0x550FF0AA);
    return f;
  }
  kittest::FakeTcpServer server_;
};

Bytes WordBytes(uint32_t v) { return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

std::vector<FakeInfoPort::Item> CameraInfoItems(const char* ip) {
  return {{0x01000700, WordBytes(Addr(ip))},
          {0x01010700, WordBytes(Addr("255.0.0.0"))},
          {0x01020700, WordBytes(Addr("127.0.0.1"))},
          {0x01030D00, Bytes(32, 'S')},  // fills the field: no terminator
          {0x01040E00, Bytes{1, 2, 3, 4, 5, 6, 0, 0}},
          {0x00010D00, lprtest::Text("IPNC-info")}};
}

TEST_F(TestNetwork, ACameraGivesItsInformationThenItsVersionLineAndFactoryMac) {
  FakeInfoPort info("127.0.0.45", CameraInfoItems("127.0.0.45"));
  kittest::FakeCamera control("127.0.0.45");
  // The device's version text: a first line longer than the version field.
  const std::string firstLine(250, 'V');
  control.SetAnswer([&](const kittest::CamFrame& req) -> std::vector<Bytes> {
    if (req.items.size() != 1) return {};
    std::vector<kittest::CamItem> items;
    const uint32_t code = req.items[0].code;
    if (code == 0x20001) items.push_back(kittest::CamItem{0x20001, 0, 0, 0, Bytes(16, 0x5A)});
    if (code == 0x20201) items.push_back(kittest::CamItem{0x20201, 13, 0, 0, lprtest::Text(firstLine + "\nbuild 7")});
    if (code == 0x20010) {  // deciphered, bytes 7..12 are 3C-97-0E-8A-51-F2
      Bytes hex = lprtest::Text("183feefe0fd05b27949ea91bbce0463e");
      hex.resize(36, 0);
      items.push_back(kittest::CamItem{0x20010, 13, 0, 0, hex});
    }
    if (items.empty()) return {};
    return {kittest::EncodeCamFrame(kittest::FakeCamera::ReplyTo(req, items))};
  });
  window_->AddDeviceByIp("127.0.0.45");
  ASSERT_EQ(p_->rows(), 1);
  EXPECT_EQ(p_->row(0), (QStringList{"127.0.0.45", "3C-97-0E-8A-51-F2", QString(199, QLatin1Char('V')),
                                     QString(31, QLatin1Char('S')), "127.0.0.1", "255.0.0.0", kManual}));
}

TEST_F(TestNetwork, ACameraThatCannotBeOpenedKeepsItsInformation) {
  FakeInfoPort info("127.0.0.46", CameraInfoItems("127.0.0.46"));
  window_->AddDeviceByIp("127.0.0.46");
  ASSERT_EQ(p_->rows(), 1);
  EXPECT_EQ(p_->row(0), (QStringList{"127.0.0.46", "01-02-03-04-05-06", "IPNC-info", QString(31, QLatin1Char('S')),
                                     "127.0.0.1", "255.0.0.0", kManual}));
}

TEST_F(TestNetwork, NothingAtTheAddressAddsNothingAndSaysNothing) {
  window_->AddDeviceByIp("127.0.0.44");
  EXPECT_EQ(p_->rows(), 0);
  EXPECT_TRUE(messages_.Take().isEmpty());
}

}  // namespace

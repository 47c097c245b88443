// The MAC of an open camera from its enciphered factory block.
#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>

#include "control_support.h"

namespace {

using namespace ctltest;
using kittest::CamFrame;
using kittest::CamItem;
using kittest::FakeCamera;

// Made with a reference cipher (see factory_cipher_test.cpp): deciphered under
// the kit's key, bytes 7..12 hold 3C-97-0E-8A-51-F2.
const char kBlockHex[] = "183feefe0fd05b27949ea91bbce0463e";
const uint8_t kMac[6] = {0x3c, 0x97, 0x0e, 0x8a, 0x51, 0xf2};

Bytes BlockData(const std::string& hex, size_t length) {
  Bytes b(hex.begin(), hex.end());
  b.resize(length, 0);
  return b;
}

// Answers the factory request with one item of the given shape.
void AnswerWith(FakeCamera& cam, std::vector<CamItem> items) {
  cam.SetAnswer([items](const CamFrame& req) -> std::vector<Bytes> {
    if (req.items.empty() || req.items[0].code != 0x20010) return {};
    return {kittest::EncodeCamFrame(FakeCamera::ReplyTo(req, items))};
  });
}

TEST_F(ControlTest, FactoryInfoGivesTheMacOfTheBlock) {
  FakeCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam);
  std::string upper = kBlockHex;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  for (const std::string& hex : {std::string(kBlockHex), upper}) {
    // A matching item may follow others; the code matches by its low 16 bits.
    AnswerWith(cam, {CamItem{0x20011, 13, 0, 0, BlockData(hex, 36)}, CamItem{0x90010, 13, 0, 0, BlockData(hex, 36)}});
    StDeviceFactoryInfo info;
    memset(info.serial, 'S', sizeof info.serial);
    memset(info.mac, 0, sizeof info.mac);
    ASSERT_EQ(Qelm_GetDeviceFactoryInfo(h, &info), 0) << hex;
    EXPECT_EQ(memcmp(info.mac, kMac, 6), 0) << hex;
    EXPECT_EQ(info.serial[0], 'S');  // left as the caller had it
    EXPECT_EQ(info.serial[31], 'S');
  }
  // The request: namespace 2, get, one item 0x20010 of ParaType 13 without data.
  const auto frames = cam.Frames();
  const CamFrame& req = frames.back().frame;
  EXPECT_EQ(req.ns, 2);
  EXPECT_EQ(req.cls, 2u);
  ASSERT_EQ(req.items.size(), 1u);
  EXPECT_EQ(req.items[0].code, 0x20010u);
  EXPECT_EQ(req.items[0].paraType, 13);
  EXPECT_EQ(req.items[0].setFlag, 0);
  EXPECT_TRUE(req.items[0].data.empty());
}

TEST_F(ControlTest, FactoryInfoRefusesItemsOfTheWrongShape) {
  FakeCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam);
  struct Case {
    const char* name;
    std::vector<CamItem> items;
  } cases[] = {
      {"length 35", {CamItem{0x20010, 13, 0, 0, BlockData(kBlockHex, 35)}}},
      {"length 37", {CamItem{0x20010, 13, 0, 0, BlockData(kBlockHex, 37)}}},
      {"status not 0", {CamItem{0x20010, 13, 0, 1, BlockData(kBlockHex, 36)}}},
      {"other code", {CamItem{0x20011, 13, 0, 0, BlockData(kBlockHex, 36)}}},
      {"no item", {}},
  };
  for (const auto& c : cases) {
    AnswerWith(cam, c.items);
    StDeviceFactoryInfo info{};
    EXPECT_EQ(Qelm_GetDeviceFactoryInfo(h, &info), 104) << c.name;
    EXPECT_EQ(memcmp(info.mac, "\0\0\0\0\0\0", 6), 0) << c.name;
  }
}

TEST_F(ControlTest, FactoryInfoLateReplyIsATimeOutAndIsNotTakenByTheNextRequest) {
  FakeCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam);
  std::thread late;
  Bytes stale;
  int asked = 0;
  cam.SetAnswer([&](const CamFrame& req) -> std::vector<Bytes> {
    if (req.items.empty() || req.items[0].code != 0x20010) return {};
    if (++asked == 1) {
      // The device answers the first request after 600 ms, with a block the
      // next request must not see.
      stale = kittest::EncodeCamFrame(
          FakeCamera::ReplyTo(req, {CamItem{0x20010, 13, 0, 0, BlockData(std::string(32, '0'), 36)}}));
      late = std::thread([&cam, reply = stale] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the device's own delay
        cam.PushBytes(reply);
      });
      return {};
    }
    // The late answer again, right before the right one, so that it is surely
    // in the stream while the next request waits.
    return {stale,
            kittest::EncodeCamFrame(FakeCamera::ReplyTo(req, {CamItem{0x20010, 13, 0, 0, BlockData(kBlockHex, 36)}}))};
  });
  StDeviceFactoryInfo info{};
  const int64_t t0 = kittest::NowMs();
  EXPECT_EQ(Qelm_GetDeviceFactoryInfo(h, &info), 209);
  EXPECT_GE(kittest::NowMs() - t0, 480);  // the fixed 500 ms
  late.join();  // the late reply has gone out now
  ASSERT_EQ(Qelm_GetDeviceFactoryInfo(h, &info), 0);
  EXPECT_EQ(memcmp(info.mac, kMac, 6), 0);
}

TEST_F(ControlTest, FactoryInfoArgumentsUnknownAndDisconnectedHandles) {
  FakeCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam);
  StDeviceFactoryInfo info{};
  EXPECT_EQ(Qelm_GetDeviceFactoryInfo(nullptr, &info), 1);
  EXPECT_EQ(Qelm_GetDeviceFactoryInfo(h, nullptr), 1);
  EXPECT_EQ(Qelm_GetDeviceFactoryInfo(reinterpret_cast<StCameraHandle*>(&info), &info), 7);
  cam.Refuse();
  cam.CloseLinks();
  int state = 0;
  ASSERT_TRUE(kittest::WaitUntil([&] { return Qelm_CheckStatus(h, &state) == 14; }, 5000));
  EXPECT_EQ(Qelm_GetDeviceFactoryInfo(h, &info), 14);
}

}  // namespace

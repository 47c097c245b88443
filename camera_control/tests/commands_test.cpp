// Device commands on the control connection: the exact frame every export
// sends, the value each get hands back, result codes, reply matching, and
// handles used from several threads at once.
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "command_support.h"
#include "errors.h"
#include "platform/system.h"

namespace {

using namespace cmdtest;
using ctltest::ControlTest;
using ctltest::OpenCam;
using kittest::NowMs;
using kittest::WaitUntil;

std::string Int(int v) { return std::to_string(v); }

// 2024-01-31 23:59:58 UTC, a Wednesday, day 30 of the year.
constexpr int64_t kFrozenMs = 1706745598000;
Bytes FrozenLocalTime() {
  Bytes b;
  const uint32_t fields[9] = {58, 59, 23, 31, 0, 124, 3, 30, 0};
  for (int i = 0; i < 9; ++i) kittest::PutLE32(b, 4 * i, fields[i]);
  return b;
}

Bytes VideoFileRecord() {
  Bytes b(656, 0);
  b[8] = 0x34;
  b[9] = 0x12;  // first
  b[12] = 0xCD;
  b[13] = 0xAB;  // second
  const std::string path = "/video/a.mp4";
  std::copy(path.begin(), path.end(), b.begin() + 16);
  return b;
}

StFactoryInfoEx FactoryRecord() {
  StFactoryInfoEx f;
  memset(&f, 0xEE, sizeof f);
  memcpy(f.text, "SERIAL-TEXT-32-BYTES-LONG-----AB", 32);
  const Bytes one = Twelve(0x10), four = Twelve(0x40);
  memcpy(f.field1, one.data(), 12);
  memcpy(f.field4, four.data(), 12);
  return f;
}

struct Golden {
  const char* name;
  int mode;  // of the handle: 1 as opened, 2 after a status says so
  std::function<int(StCameraHandle*, std::string* got)> call;
  // The frame expected: namespace, set flag (class 3 for a set, 2 for a get)
  // and its items (all carrying the frame's set flag, status 0).
  uint16_t ns;
  uint8_t set;
  std::vector<CamItem> sent;
  std::vector<CamItem> reply;
  int result;
  std::string got;  // what the export handed back
};

std::vector<Golden> GoldenTable() {
  const Bytes none;
  return {
      {"AdjustTime", 1, [](StCameraHandle* h, std::string*) { return Qelm_ControlAdjustTime(h, 2000); },
       2, 1, {Item(0x10007, 1, FrozenLocalTime())}, {Item(0x10007, 1)}, 0, ""},
      {"LightMode", 1, [](StCameraHandle* h, std::string*) { return Qelm_ControlLightMode(h, 7, 2000); },
       1, 1, {Item(0x101, 15, Le32(7))}, {Item(0x101, 15)}, 0, ""},
      {"AutoIrisEn 0x100 is off", 1,
       [](StCameraHandle* h, std::string*) { return Qelm_ControlAutoIrisEn(h, 0x100, 2000); },
       1, 1, {Item(0x115, 2, Le32(0))}, {Item(0x115, 2)}, 0, ""},
      {"AutoIrisEn 0x201 is on", 1,
       [](StCameraHandle* h, std::string*) { return Qelm_ControlAutoIrisEn(h, 0x201, 2000); },
       1, 1, {Item(0x115, 2, Le32(1))}, {Item(0x115, 2)}, 0, ""},
      {"DCDebug", 1, [](StCameraHandle* h, std::string*) { return Qelm_ControlDCDebug(h, 9, 2000); },
       4, 1, {Item(0x40307, 2, Le32(1))}, {Item(0x40307, 2)}, 0, ""},
      {"DCMode", 1, [](StCameraHandle* h, std::string*) { return Qelm_ControlDCMode(h, 3, 2000); },
       4, 1, {Item(0x40308, 15, Le32(3))}, {Item(0x40308, 15)}, 0, ""},
      {"IrisParamSet", 1,
       [](StCameraHandle* h, std::string*) { return Qelm_IrisParamSet(h, 0x12345678, 2000); },
       4, 1, {Item(0x40305, 7, Le32(0x12345678))}, {Item(0x40305, 7)}, 0, ""},
      {"Shutter", 1, [](StCameraHandle* h, std::string*) { return Qelm_ControlShutter(h, -2, 2000); },
       1, 1, {Item(0x105, 8, Le32(0xFFFFFFFE))}, {Item(0x105, 8)}, 0, ""},
      {"Gain", 1, [](StCameraHandle* h, std::string*) { return Qelm_ControlGain(h, 20, 2000); },
       1, 1, {Item(0x106, 8, Le32(20))}, {Item(0x106, 8)}, 0, ""},
      {"Gain in mode 2", 2, [](StCameraHandle* h, std::string*) { return Qelm_ControlGain(h, 21, 2000); },
       4, 1, {Item(0x40209, 7, Le32(21))}, {Item(0x40209, 7)}, 0, ""},
      {"GetCurBright", 1,
       [](StCameraHandle* h, std::string* got) {
         int v = 99;
         const int r = Qelm_GetCurBright(h, &v, 2000);
         *got = Int(v);
         return r;
       },
       1, 0, {Item(0x102, 8, Le32(0))}, {Item(0x102, 8, Le32(0x01020304))}, 0, Int(0x01020304)},
      {"GetCurBright in mode 2", 2,
       [](StCameraHandle* h, std::string* got) {
         int v = 99;
         const int r = Qelm_GetCurBright(h, &v, 2000);
         *got = Int(v);
         return r;
       },
       4, 0, {Item(0x40202, 7, Le32(0))}, {Item(0x40202, 7, Le32(0x0A0B0C0D))}, 0, Int(0x0A0B0C0D)},
      {"Cutter", 1, [](StCameraHandle* h, std::string*) { return Qelm_ControlCutter(h, 1, 2000); },
       1, 1, {Item(0x201, 2, Le32(1))}, {Item(0x201, 2)}, 0, ""},
      {"CutterStatus", 1,
       [](StCameraHandle* h, std::string*) { return Qelm_ControlCutterStatus(h, 2, 2000); },
       1, 1, {Item(0x202, 15, Le32(2))}, {Item(0x202, 15)}, 0, ""},
      {"LightEnable", 1,
       [](StCameraHandle* h, std::string*) { return Qelm_ControlLightEnable(h, 0, 2000); },
       1, 1, {Item(0x205, 2, Le32(0))}, {Item(0x205, 2)}, 0, ""},
      {"LightStatus", 1,
       [](StCameraHandle* h, std::string*) { return Qelm_ControlLightStatus(h, 5, 2000); },
       1, 1, {Item(0x20E, 15, Le32(5))}, {Item(0x20E, 15)}, 0, ""},
      {"LampMode", 1, [](StCameraHandle* h, std::string*) { return Qelm_ControlLampMode(h, 6, 2000); },
       1, 1, {Item(0x20F, 15, Le32(6))}, {Item(0x20F, 15)}, 0, ""},
      {"SpeedMeasureEnable", 1,
       [](StCameraHandle* h, std::string*) { return Qelm_SpeedMeasureEnable(h, 0x0101, 2000); },
       1, 1, {Item(0x17, 2, Le32(1))}, {Item(0x17, 2)}, 0, ""},
      {"TriggerMode", 1,
       [](StCameraHandle* h, std::string*) { return Qelm_ControlTriggerMode(h, 3, 2000); },
       1, 1, {Item(0x12, 15, Le32(3))}, {Item(0x12, 15)}, 0, ""},
      {"RunMode", 1, [](StCameraHandle* h, std::string*) { return Qelm_ControlRunMode(h, 1, 2000); },
       1, 1, {Item(0x2, 15, Le32(1))}, {Item(0x2, 15)}, 0, ""},
      {"CaptureShutter1", 1,
       [](StCameraHandle* h, std::string*) { return Qelm_ControlCaptureShutter1(h, 1500, 2000); },
       4, 1, {Item(0x40A07, 7, Le32(1500))}, {Item(0x40A07, 7)}, 0, ""},
      {"SaveParams", 1, [](StCameraHandle* h, std::string*) { return Qelm_SaveParams(h, 2000); },
       2, 1, {Item(0x80008, 1, none)}, {Item(0x80008, 1)}, 0, ""},
      {"FtpSendVideoFile", 1,
       [](StCameraHandle* h, std::string*) { return Qelm_FtpSendVideoFile(h, 0x1234, 0xABCD, "/video/a.mp4", 2000); },
       4, 1, {Item(0x706, 0, VideoFileRecord())}, {Item(0x706, 0)}, 0, ""},
      {"TestCapture", 1, [](StCameraHandle* h, std::string*) { return Qelm_TestCapture(h, 2000); },
       4, 1, {Item(0x40A01, 1, Le32(0))}, {Item(0x40A01, 1)}, 0, ""},
      {"SetMacAdrr", 1,
       [](StCameraHandle* h, std::string*) {
         const uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
         return Qelm_SetMacAdrr(h, mac, 2000);
       },
       2, 1, {Item(0x20501, 13, Cat(Text("001A2B3C4D5E"), Bytes(20, 0)))}, {Item(0x20501, 13)}, 0, ""},
      {"DevReset", 1, [](StCameraHandle* h, std::string*) { return Qelm_DevReset(h, 2000); },
       2, 1, {Item(0x20006, 1, none)}, {Item(0x20006, 1)}, 0, ""},
      {"FactoryReset", 1, [](StCameraHandle* h, std::string*) { return Qelm_FactoryReset(h, 2000); },
       2, 1, {Item(0x20009, 1, none)}, {Item(0x20009, 1)}, 0, ""},
      {"SetSerialPortMode", 1,
       [](StCameraHandle* h, std::string*) { return Qelm_SetSerialPortMode(h, 2, 2000); },
       4, 1, {Item(0x4031B, 15, Le32(2))}, {Item(0x4031B, 15)}, 0, ""},
      {"AutoDimmingEnable 5 is sent as 5", 1,
       [](StCameraHandle* h, std::string*) { return Qelm_AutoDimmingEnable(h, 5, 2000); },
       4, 1, {Item(0x40201, 2, Le32(5))}, {Item(0x40201, 2)}, 0, ""},
      {"SetDCIrisBaseValue", 1,
       [](StCameraHandle* h, std::string*) { return Qelm_SetDCIrisBaseValue(h, 300, 2000); },
       4, 1, {Item(0x40307, 7, Le32(300))}, {Item(0x40307, 7)}, 0, ""},
      {"MinShutter set", 1,
       [](StCameraHandle* h, std::string* got) {
         int v = 250;
         const int r = Qelm_ControlMinShutter(h, 1, &v, 2000);
         *got = Int(v);
         return r;
       },
       4, 1, {Item(0x40207, 7, Le32(250))}, {Item(0x40207, 7, Le32(7))}, 0, "250"},
      {"MinShutter get (0x100 is a get)", 1,
       [](StCameraHandle* h, std::string* got) {
         int v = 77;
         const int r = Qelm_ControlMinShutter(h, 0x100, &v, 2000);
         *got = Int(v);
         return r;
       },
       4, 0, {Item(0x40207, 7, Le32(77))}, {Item(0x40207, 7, Le32(0x00012345))}, 0, Int(0x12345)},
      {"MaxShutter set", 1,
       [](StCameraHandle* h, std::string* got) {
         int v = 4000;
         const int r = Qelm_ControlMaxShutter(h, 1, &v, 2000);
         *got = Int(v);
         return r;
       },
       4, 1, {Item(0x40208, 7, Le32(4000))}, {Item(0x40208, 7)}, 0, "4000"},
      {"MaxShutter get", 1,
       [](StCameraHandle* h, std::string* got) {
         int v = 0x7F7F7F7F;
         const int r = Qelm_ControlMaxShutter(h, 0, &v, 2000);
         *got = Int(v);
         return r;
       },
       4, 0, {Item(0x40208, 7, Le32(0x7F7F7F7F))}, {Item(0x40208, 7, Le32(0x00BC614E))}, 0, Int(12345678)},
      {"TestTempDictate set", 1,
       [](StCameraHandle* h, std::string* got) {
         StRawCommand c{};
         c.ns = 4;
         c.group = 0x0C;
         c.index = 0x0A;
         c.paraType = 7;
         c.setFlag = 1;
         c.length = 3;
         c.data[0] = 1, c.data[1] = 2, c.data[2] = 3;
         const int r = Qelm_TestTempDictate(h, &c, 2000);
         *got = Hex(c.data, 3);
         return r;
       },
       4, 1, {Item(0x40C0A, 7, Bytes{1, 2, 3})}, {Item(0x40C0A, 7, Text("zz"))}, 0, "010203"},
      {"TestTempDictate get", 1,
       [](StCameraHandle* h, std::string* got) {
         StRawCommand c{};
         c.ns = 2;
         c.group = 5;
         c.index = 9;
         c.paraType = 13;
         c.length = 8;
         memcpy(c.data, "abcdefgh", 8);
         c.data[8] = 0xEE;
         const int r = Qelm_TestTempDictate(h, &c, 2000);
         *got = Hex(c.data, 9);
         return r;
       },
       2, 0, {Item(0x20509, 13, Text("abcdefgh"))}, {Item(0x20509, 13, Text("VWXYZ"))}, 0,
       Hex(Cat(Text("VWXYZ"), Bytes{0, 0, 0, 0xEE}))},

      // Requests of several items.
      {"GetStorageInfo", 1,
       [](StCameraHandle* h, std::string* got) {
         StStorageInfo s;
         memset(&s, 0xEE, sizeof s);
         const int r = Qelm_GetStorageInfo(h, &s, 2000);
         *got = Int(s.firstFlag) + " " + Int(s.firstValue) + " " + Int(s.secondFlag) + " " + Int(s.secondValue);
         return r;
       },
       2, 0, {Item(0x10301, 7), Item(0x10303, 7), Item(0x10306, 7), Item(0x10308, 7)},
       {Item(0x10301, 7, Le32(1)), Item(0x10303, 7, Le32(1000)), Item(0x10306, 7, Le32(2)),
        Item(0x10308, 7, Le32(77))},
       0, "1 1000 0 77"},
      {"ControlDeviceTime write", 1,
       [](StCameraHandle* h, std::string*) {
         int32_t t[6] = {};
         return Qelm_ControlDeviceTime(h, t, 0, 2000);
       },
       2, 1, {Item(0x10007, 1, FrozenLocalTime())}, {Item(0x10007, 1)}, 0, ""},
      {"ControlDeviceTime read", 1,
       [](StCameraHandle* h, std::string* got) {
         int32_t t[6] = {};
         const int r = Qelm_ControlDeviceTime(h, t, 1, 2000);
         for (int v : t) *got += Int(v) + " ";
         return r;
       },
       4, 0, {Item(0x40021, 13)}, {Item(0x40021, 13, Text("20240131235958"))}, 0, "2024 1 31 23 59 58 "},
      {"ControlFactoryInfoEx read", 1,
       [](StCameraHandle* h, std::string* got) {
         StFactoryInfoEx f;
         memset(&f, 0xEE, sizeof f);
         const int r = Qelm_ControlFactoryInfoEx(h, &f, 0, 1, 2000);
         *got = Hex(&f, sizeof f);
         return r;
       },
       2, 0, {Item(0x20509, 13), Item(0x20502, 13), Item(0x20503, 13), Item(0x20505, 13), Item(0x20506, 13)},
       {Item(0x20509, 13, Text("SN-0001")), Item(0x20502, 13, Twelve(0x20)), Item(0x20503, 13, Twelve(0x30)),
        Item(0x20505, 13, Twelve(0x50)), Item(0x20506, 13, Twelve(0x60))},
       0,
       // The text as sent, without a terminator; fields 1 and 4 untouched.
       Hex(Cat(Cat(Cat(Cat(Cat(Cat(Cat(Text("SN-0001"), Bytes(25, 0xEE)), Bytes(12, 0xEE)), Twelve(0x20)),
                               Twelve(0x30)),
                           Bytes(12, 0xEE)),
                   Twelve(0x50)),
               Twelve(0x60)))},
      {"ControlFactoryInfoEx short read", 1,
       [](StCameraHandle* h, std::string* got) {
         StFactoryInfoEx f;
         memset(&f, 0xEE, sizeof f);
         const int r = Qelm_ControlFactoryInfoEx(h, &f, 1, 1, 2000);
         *got = Hex(f.field2, 12) + Hex(f.field3, 12);
         return r;
       },
       2, 0, {Item(0x20509, 13), Item(0x20502, 13), Item(0x20503, 13)},
       {Item(0x20502, 13, Twelve(0x20)), Item(0x20503, 13, Twelve(0x30))}, 0, Hex(Cat(Twelve(0x20), Twelve(0x30)))},
      {"ControlFactoryInfoEx write", 1,
       [](StCameraHandle* h, std::string*) {
         StFactoryInfoEx f = FactoryRecord();
         return Qelm_ControlFactoryInfoEx(h, &f, 0, 0, 2000);
       },
       2, 1,
       {Item(0x20508, 13, Text("SERIAL-TEXT-32-BYTES-LONG-----AB")), Item(0x20501, 13, Twelve(0x10)),
        Item(0x20504, 13, Twelve(0x40))},
       {}, 0, ""},
      {"ControlFactoryInfoEx short write", 1,
       [](StCameraHandle* h, std::string*) {
         StFactoryInfoEx f = FactoryRecord();
         return Qelm_ControlFactoryInfoEx(h, &f, 0x101, 0x200, 2000);
       },
       2, 1, {Item(0x20508, 13, Text("SERIAL-TEXT-32-BYTES-LONG-----AB")), Item(0x20501, 13, Twelve(0x10))},
       {Item(0x20508, 13), Item(0x20501, 13)}, 0, ""},
      {"GetDeviceVersionInfo", 1,
       [](StCameraHandle* h, std::string* got) {
         char text[512];
         memset(text, '#', sizeof text);
         const int r = Qelm_GetDeviceVersionInfo(h, text, 2000);
         *got = std::string(text, 8);
         return r;
       },
       2, 0, {Item(0x20201, 13)}, {Item(0x20201, 13, Text("V1.2.3"))}, 0, "V1.2.3##"},
      {"ForceLED", 1, [](StCameraHandle* h, std::string*) { return Qelm_ForceLED(h, 0x301, 2000); },
       4, 1, {Item(0x40C0A, 2, Le32(1))}, {Item(0x40C0A, 2)}, 0, ""},
      {"GetClipsStatus", 1,
       [](StCameraHandle* h, std::string*) {
         StClipSelection s{};
         s.count = 3;
         s.selectors[0] = 0;
         s.selectors[1] = 8;
         s.selectors[2] = 9;
         return Qelm_GetClipsStatus(h, &s, 2000);
       },
       4, 0, {Item(0x40C01, 2, Le32(0)), Item(0x40C09, 2, Le32(0)), Item(0, 2, Le32(0))},
       {Item(0x777, 0)}, 0, ""},
  };
}

class Commands : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    setenv("TZ", "UTC", 1);
    tzset();
    pf::test::FreezeClock(kFrozenMs);
  }
  void TearDown() override {
    ControlTest::TearDown();
    pf::test::ThawClock();
  }
};

void ExpectFrame(const Golden& g, const CamFrame& f, uint32_t seq) {
  SCOPED_TRACE(g.name);
  EXPECT_EQ(f.version, 0x00010000u);
  EXPECT_EQ(f.ns, g.ns);
  EXPECT_EQ(f.sender, 8);
  EXPECT_EQ(f.seq, seq);
  EXPECT_EQ(f.echo, 0u);
  EXPECT_EQ(f.cls, g.set ? 3u : 2u);
  EXPECT_EQ(f.reserved, 0u);
  EXPECT_EQ(f.tail, kittest::kCamTail);
  size_t length = 40;
  for (const CamItem& it : g.sent) length += 20 + it.data.size();
  EXPECT_EQ(f.length, length);
  ASSERT_EQ(f.items.size(), g.sent.size());
  for (size_t i = 0; i < g.sent.size(); ++i) {
    const CamItem& got = f.items[i];
    EXPECT_EQ(got.magic, 0xAA55A55Au);
    EXPECT_EQ(got.code, g.sent[i].code) << i;
    EXPECT_EQ(got.paraType, g.sent[i].paraType) << i;
    EXPECT_EQ(got.setFlag, g.set) << i;
    EXPECT_EQ(got.reserved, 0) << i;
    EXPECT_EQ(got.status, 0u) << i;
    EXPECT_EQ(Hex(got.data), Hex(g.sent[i].data)) << i;
  }
}

TEST_F(Commands, EveryExportSendsItsFrameAndHandsBackTheAnswer) {
  ScriptedCamera one("127.0.0.2"), two("127.0.0.3");
  StCameraHandle* h1 = OpenCam(one.cam());
  StCameraHandle* h2 = OpenCam(two.cam());
  ASSERT_TRUE(two.cam().WaitConnections(1, 5000));
  ASSERT_TRUE(two.cam().WaitFrames(1, 5000));
  two.cam().PushItems({FakeCamera::StatusItem(ctltest::StatusBlock(332, 1, 0x00020000))});
  ASSERT_TRUE(WaitUntil([&] { return h2->m_mode.load() == 2; }, 5000));

  uint32_t seq[3] = {0, 0, 0};
  for (const Golden& g : GoldenTable()) {
    SCOPED_TRACE(g.name);
    ScriptedCamera& cam = g.mode == 2 ? two : one;
    StCameraHandle* h = g.mode == 2 ? h2 : h1;
    cam.Reply(g.reply);
    std::string got;
    EXPECT_EQ(g.call(h, &got), g.result);
    EXPECT_EQ(got, g.got);
    const auto reqs = cam.Requests();
    ASSERT_EQ(reqs.size(), seq[g.mode] + 1);
    ExpectFrame(g, reqs.back(), ++seq[g.mode]);
  }

  // The one export that sends nothing.
  EXPECT_EQ(Qelm_ControlFactoryInfo(1, 2, 3, 4, 5), 19);
  EXPECT_EQ(one.Requests().size(), seq[1]);
}

// One export of each kind, with the result each failure gives.
struct CodeCase {
  const char* name;
  std::function<int(StCameraHandle*)> call;
  int nullHandle, otherItem, refused;
};

std::vector<CodeCase> CodeCases() {
  return {
      {"Shutter", [](StCameraHandle* h) { return Qelm_ControlShutter(h, 1, 300); }, 1, 18, 18},
      {"Gain", [](StCameraHandle* h) { return Qelm_ControlGain(h, 1, 300); }, 7, 18, 18},
      {"GetCurBright",
       [](StCameraHandle* h) {
         int v;
         return Qelm_GetCurBright(h, &v, 300);
       },
       1, 18, 18},
      {"MinShutter get",
       [](StCameraHandle* h) {
         int v = 5;
         return Qelm_ControlMinShutter(h, 0, &v, 300);
       },
       1, 18, 18},
      {"TestTempDictate",
       [](StCameraHandle* h) {
         StRawCommand c{};
         c.ns = 1;
         c.index = 5;
         c.length = 4;
         return Qelm_TestTempDictate(h, &c, 300);
       },
       1, 18, 18},
      {"DeviceTime read",
       [](StCameraHandle* h) {
         int32_t t[6];
         return Qelm_ControlDeviceTime(h, t, 1, 300);
       },
       1, 104, 104},
      // A write that the device refuses is not success.
      {"DeviceTime write",
       [](StCameraHandle* h) {
         int32_t t[6];
         return Qelm_ControlDeviceTime(h, t, 0, 300);
       },
       1, 0, 104},
      {"FactoryInfoEx write",
       [](StCameraHandle* h) {
         StFactoryInfoEx f{};
         return Qelm_ControlFactoryInfoEx(h, &f, 0, 0, 300);
       },
       1, 0, 104},
      {"GetDeviceVersionInfo",
       [](StCameraHandle* h) {
         char text[512];
         return Qelm_GetDeviceVersionInfo(h, text, 300);
       },
       1, 104, 104},
      {"ForceLED", [](StCameraHandle* h) { return Qelm_ForceLED(h, 1, 300); }, 1, 104, 104},
  };
}

// The refusing reply: every requested item answered with status 3.
std::vector<Bytes> Refuse(const CamFrame& req) {
  std::vector<CamItem> items;
  for (const CamItem& it : req.items) items.push_back(Item(it.code, it.paraType, Le32(1), 3));
  return {kittest::EncodeCamFrame(FakeCamera::ReplyTo(req, items))};
}

TEST_F(Commands, ResultCodesOfRequestsThatFail) {
  ScriptedCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam.cam());
  int token;
  auto* unknown = reinterpret_cast<StCameraHandle*>(&token);
  for (const CodeCase& c : CodeCases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(nullptr), c.nullHandle);
    EXPECT_EQ(c.call(unknown), 7);

    cam.Silent();
    const int64_t t0 = NowMs();
    EXPECT_EQ(c.call(h), 209);
    EXPECT_GE(NowMs() - t0, 290);

    cam.SetScript([](const CamFrame& req) {
      return std::vector<Bytes>{kittest::EncodeCamFrame(FakeCamera::ReplyTo(req, {Item(0xABC0999, 7, Le32(1))}))};
    });
    EXPECT_EQ(c.call(h), c.otherItem);
    cam.SetScript(Refuse);
    EXPECT_EQ(c.call(h), c.refused);
    cam.SetScript(nullptr);
  }

  cam.cam().Refuse();
  cam.cam().CloseLinks();
  ASSERT_TRUE(WaitUntil([&] { return ctltest::StateOf(h) == 3; }, 5000));
  for (const CodeCase& c : CodeCases()) EXPECT_EQ(c.call(h), 14) << c.name;
}

TEST_F(Commands, BadArgumentsAndCallerBounds) {
  ScriptedCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam.cam());
  ASSERT_TRUE(cam.cam().WaitFrames(1, 5000));
  EXPECT_EQ(Qelm_GetCurBright(h, nullptr, 100), 1);
  EXPECT_EQ(Qelm_ControlMinShutter(h, 0, nullptr, 100), 1);
  EXPECT_EQ(Qelm_SetMacAdrr(h, nullptr, 100), 1);
  EXPECT_EQ(Qelm_TestTempDictate(h, nullptr, 100), 1);
  EXPECT_EQ(Qelm_FtpSendVideoFile(h, 1, 2, nullptr, 100), 1);
  // A video-file path must leave room for its terminator in the 128-byte field.
  EXPECT_EQ(Qelm_FtpSendVideoFile(h, 1, 2, std::string(128, 'p').c_str(), 100), 1);
  StRawCommand raw{};
  raw.ns = 4;
  raw.length = 965;  // more than one frame carries
  EXPECT_EQ(Qelm_TestTempDictate(h, &raw, 100), 1);

  int32_t t[6];
  StStorageInfo s;
  StFactoryInfoEx f;
  char text[512];
  StClipSelection clips{};
  clips.count = 1;
  EXPECT_EQ(Qelm_GetStorageInfo(h, nullptr, 100), 1);
  EXPECT_EQ(Qelm_GetStorageInfo(h, &s, 0), 1);
  EXPECT_EQ(Qelm_ControlDeviceTime(h, nullptr, 1, 100), 1);
  EXPECT_EQ(Qelm_ControlDeviceTime(h, t, 1, 0), 1);
  EXPECT_EQ(Qelm_ControlFactoryInfoEx(h, nullptr, 0, 1, 100), 1);
  EXPECT_EQ(Qelm_ControlFactoryInfoEx(h, &f, 0, 1, 0), 1);
  EXPECT_EQ(Qelm_GetDeviceVersionInfo(h, nullptr, 100), 1);
  EXPECT_EQ(Qelm_GetDeviceVersionInfo(h, text, 0), 1);
  EXPECT_EQ(Qelm_ForceLED(h, 1, 0), 1);
  EXPECT_EQ(Qelm_GetClipsStatus(h, nullptr, 100), 1);
  EXPECT_EQ(Qelm_GetClipsStatus(h, &clips, 0), 1);
  clips.count = 0;
  EXPECT_EQ(Qelm_GetClipsStatus(h, &clips, 100), 1);
  clips.count = 42;  // one more than the frame carries
  EXPECT_EQ(Qelm_GetClipsStatus(h, &clips, 100), 1);
  EXPECT_TRUE(cam.Requests().empty());

  // At the bounds the requests go out whole.
  cam.Reply({Item(0x706, 0)});
  EXPECT_EQ(Qelm_FtpSendVideoFile(h, 1, 2, std::string(127, 'p').c_str(), 2000), 0);
  raw.length = 964;
  raw.index = 7;
  cam.Reply({Item(0x40007, 0)});
  EXPECT_EQ(Qelm_TestTempDictate(h, &raw, 2000), 0);
  clips.count = QELM_CLIP_SELECTORS_MAX;
  cam.Reply({Item(0x40C01, 2)});
  EXPECT_EQ(Qelm_GetClipsStatus(h, &clips, 2000), 0);
  const auto reqs = cam.Requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].items[0].data[16 + 126], 'p');
  EXPECT_EQ(reqs[0].items[0].data[16 + 127], 0);
  EXPECT_EQ(reqs[1].length, 1024u);
  EXPECT_EQ(reqs[2].length, 1024u);
  EXPECT_EQ(reqs[2].items.size(), 41u);
}

TEST_F(Commands, RepliesMatchByTheLow16BitsOfTheCodeAndAStatusOfZero) {
  ScriptedCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam.cam());
  struct Case {
    const char* name;
    std::vector<CamItem> reply;
    int result;
    int value;  // of a get of 0x102 whose *value starts as 0
  } cases[] = {
      {"higher bits differ", {Item(0xFFFF0102, 8, Le32(42))}, 0, 42},
      {"refused item", {Item(0x102, 8, Le32(42), 1)}, 18, 0},
      {"refused, then accepted", {Item(0x102, 8, Le32(5), 1), Item(0x70102, 8, Le32(9))}, 0, 9},
      {"another code", {Item(0x103, 8, Le32(42))}, 18, 0},
      {"no item", {}, 18, 0},
      {"an answer of two bytes", {Item(0x102, 8, Bytes{0x34, 0x12})}, 0, 0x1234},
      {"an answer without data", {Item(0x102, 8)}, 0, 0},
      {"only the value's four bytes", {Item(0x102, 8, Bytes{1, 0, 0, 0, 9, 9})}, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cam.Reply(c.reply);
    int v = -1;
    EXPECT_EQ(Qelm_GetCurBright(h, &v, 2000), c.result);
    EXPECT_EQ(v, c.value);
  }
  // A set is matched the same way; an answer without data leaves a get's value.
  cam.Reply({Item(0x10105, 8)});
  EXPECT_EQ(Qelm_ControlShutter(h, 100, 2000), 0);
  cam.Reply({Item(0x105, 8, {}, 2)});
  EXPECT_EQ(Qelm_ControlShutter(h, 100, 2000), 18);
  cam.Reply({Item(0x40207, 7)});
  int v = 77;
  EXPECT_EQ(Qelm_ControlMinShutter(h, 0, &v, 2000), 0);
  EXPECT_EQ(v, 77);
}

TEST_F(Commands, AReplyAfterTheTimeOutNeverAnswersALaterRequest) {
  ScriptedCamera cam("127.0.0.2");
  std::mutex m;
  std::vector<CamFrame> seen;
  cam.SetScript([&](const CamFrame& req) -> std::vector<Bytes> {
    std::lock_guard<std::mutex> lk(m);
    seen.push_back(req);
    const uint32_t first = seen[0].seq;
    switch (seen.size()) {
      case 1: return {};  // answered late, by the test
      case 2: return {ReplyWithEcho(req, first, {Item(0x102, 8, Le32(111))})};
      default:
        return {ReplyWithEcho(req, first, {Item(0x102, 8, Le32(111))}),
                ReplyWithEcho(req, req.seq - 1, {Item(0x102, 8, Le32(222))}),
                ReplyWithEcho(req, req.seq, {Item(0x102, 8, Le32(333))})};
    }
  });
  StCameraHandle* h = OpenCam(cam.cam());
  int v = -1;
  int64_t t0 = NowMs();
  EXPECT_EQ(Qelm_GetCurBright(h, &v, 150), 209);
  EXPECT_GE(NowMs() - t0, 140);
  EXPECT_EQ(v, 0);
  // The late reply arrives just after the time-out, before the next request.
  {
    std::lock_guard<std::mutex> lk(m);
    ASSERT_TRUE(cam.cam().PushBytes(ReplyWithEcho(seen[0], seen[0].seq, {Item(0x102, 8, Le32(111))})));
  }
  // A request answered only by a reply to another sequence times out.
  v = -1;
  t0 = NowMs();
  EXPECT_EQ(Qelm_GetCurBright(h, &v, 200), 209);
  EXPECT_GE(NowMs() - t0, 190);
  EXPECT_EQ(v, 0);
  // Stale replies before its own do not answer it.
  EXPECT_EQ(Qelm_GetCurBright(h, &v, 2000), 0);
  EXPECT_EQ(v, 333);
}

TEST_F(Commands, NoSocketAndABrokenLink) {
  ScriptedCamera cam("127.0.0.2");
  cam.Reply({Item(0x40C0A, 2), Item(0x105, 8)});
  StCameraHandle* h = OpenCam(cam.cam());
  ASSERT_TRUE(cam.cam().WaitFrames(1, 5000));
  {
    NoSocket none(h);
    EXPECT_EQ(Qelm_ControlShutter(h, 1, 300), 19);
    EXPECT_EQ(Qelm_ForceLED(h, 1, 300), 2);
    StStorageInfo s;
    EXPECT_EQ(Qelm_GetStorageInfo(h, &s, 300), 2);
  }
  EXPECT_TRUE(cam.Requests().empty());
  EXPECT_EQ(Qelm_ForceLED(h, 1, 2000), 0);

  // The link is lost; until the next attempt the frames cannot go out: the
  // single-value commands find no reply at once, the others a failed send.
  qelm::test::SetReconnectStepMs(1000);
  BreakLink(cam);
  const int64_t t0 = NowMs();
  EXPECT_EQ(Qelm_ControlShutter(h, 1, 5000), 209);
  EXPECT_EQ(Qelm_ForceLED(h, 1, 5000), 17);
  EXPECT_LT(NowMs() - t0, 2000);
}

TEST_F(Commands, TwoHandlesDrivenFromTwoThreadsEachGetTheirOwnAnswers) {
  // Each camera answers with its tag and the sequence it was asked with.
  auto tagged = [](uint32_t tag) {
    return [tag](const CamFrame& req) -> std::vector<Bytes> {
      const uint32_t code = req.items.empty() ? 0 : req.items[0].code;
      return {kittest::EncodeCamFrame(FakeCamera::ReplyTo(req, {Item(code, 7, Le32(tag << 24 | req.seq))}))};
    };
  };
  ScriptedCamera a("127.0.0.2"), b("127.0.0.3");
  a.SetScript(tagged(0xA));
  b.SetScript(tagged(0xB));
  StCameraHandle* ha = OpenCam(a.cam());
  StCameraHandle* hb = OpenCam(b.cam());
  constexpr int kRounds = 300;
  std::atomic<int> wrong{0};
  auto drive = [&](StCameraHandle* h, uint32_t tag) {
    for (int i = 1; i <= kRounds; ++i) {
      int v = 0;
      const int r = i % 2 ? Qelm_GetCurBright(h, &v, 3000) : Qelm_ControlMinShutter(h, 0, &v, 3000);
      if (r != 0 || static_cast<uint32_t>(v) != (tag << 24 | static_cast<uint32_t>(i))) wrong.fetch_add(1);
    }
  };
  std::thread ta(drive, ha, 0xA), tb(drive, hb, 0xB);
  ta.join();
  tb.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(a.Requests().size(), static_cast<size_t>(kRounds));
  EXPECT_EQ(b.Requests().size(), static_cast<size_t>(kRounds));
}

}  // namespace

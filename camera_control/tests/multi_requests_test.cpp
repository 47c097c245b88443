// Requests of several items: how each reads the device's answer.
#include "command_support.h"

namespace {

using namespace cmdtest;
using ctltest::ControlTest;
using ctltest::OpenCam;

class MultiRequests : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    cam_ = std::make_unique<ScriptedCamera>("127.0.0.2");
    h_ = OpenCam(cam_->cam());
  }
  ScriptedCamera& cam() { return *cam_; }
  std::unique_ptr<ScriptedCamera> cam_;
  StCameraHandle* h_ = nullptr;
};

TEST_F(MultiRequests, DeviceTimeIsReadFromTheFirstFittingItem) {
  struct Case {
    const char* name;
    std::vector<CamItem> reply;
    int result;
    std::vector<int32_t> time;
  } cases[] = {
      {"text of 14 digits", {Item(0x40021, 13, Text("20240131235958"))}, 0, {2024, 1, 31, 23, 59, 58}},
      {"only 13 digits", {Item(0x40021, 13, Text("2024013123595"))}, 104, {-1, -1, -1, -1, -1, -1}},
      {"leading digits of each piece", {Item(0x10021, 13, Text("2x2405a1x359x8"))}, 0, {2, 5, 0, 0, 59, 0}},
      {"refused item, then a fitting one",
       {Item(0x40021, 13, Text("19990101000000"), 1), Item(0x40021, 13, Text("20001231120000"))},
       0, {2000, 12, 31, 12, 0, 0}},
      {"the clock item ends the walk", {Item(0x10007, 1), Item(0x40021, 13, Text("20240131235958"))}, 0,
       {-1, -1, -1, -1, -1, -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cam().Reply(c.reply);
    int32_t t[6] = {-1, -1, -1, -1, -1, -1};
    EXPECT_EQ(Qelm_ControlDeviceTime(h_, t, 1, 2000), c.result);
    EXPECT_EQ(std::vector<int32_t>(t, t + 6), c.time);
  }
}

TEST_F(MultiRequests, FactoryInfoReadChecksEveryItemAndKeepsWhatCameBefore) {
  struct Case {
    const char* name;
    std::vector<CamItem> reply;
    int result;
  } cases[] = {
      {"text longer than 32 bytes", {Item(0x20502, 13, Twelve(1)), Item(0x20509, 13, Bytes(33, 'T'))}, 105},
      {"0x502 not 12 bytes", {Item(0x20502, 13, Bytes(11, 2))}, 106},
      {"0x503 not 12 bytes", {Item(0x20502, 13, Twelve(1)), Item(0x20503, 13, Bytes(13, 3))}, 107},
      {"0x505 not 12 bytes", {Item(0x20502, 13, Twelve(1)), Item(0x20505, 13, Bytes(0))}, 106},
      {"0x506 not 12 bytes", {Item(0x20502, 13, Twelve(1)), Item(0x20506, 13, Bytes(24, 6))}, 107},
      {"an item refused", {Item(0x20502, 13, Twelve(1)), Item(0x777, 13, {}, 4), Item(0x20503, 13, Twelve(9))}, 104},
      {"other items are skipped", {Item(0x20502, 13, Twelve(1)), Item(0x20777, 13, Bytes(3, 7))}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cam().Reply(c.reply);
    StFactoryInfoEx f;
    memset(&f, 0xEE, sizeof f);
    EXPECT_EQ(Qelm_ControlFactoryInfoEx(h_, &f, 0, 1, 2000), c.result);
    // Field 2 came first and stays.
    if (c.reply.front().code == 0x20502 && c.reply.front().data.size() == 12) {
      EXPECT_EQ(Hex(f.field2, 12), Hex(Twelve(1)));
    }
    EXPECT_EQ(Hex(f.field3, 12), Hex(Bytes(12, 0xEE)));
  }
}

TEST_F(MultiRequests, StorageInfoTakesTheItemsItKnowsByTheirWholeCode) {
  cam().Reply({Item(0x10301, 7, Le32(1), 1), Item(0x20303, 7, Le32(5)), Item(0x10303, 7, Bytes{9, 9}),
               Item(0x10306, 7, Le32(1)), Item(0x10308, 7, Le32(0xFFFFFFFF))});
  StStorageInfo s;
  memset(&s, 0xEE, sizeof s);
  EXPECT_EQ(Qelm_GetStorageInfo(h_, &s, 2000), 0);
  EXPECT_EQ(s.firstFlag, 0);    // refused
  EXPECT_EQ(s.firstValue, 0u);  // another code, then too short to hold a word
  EXPECT_EQ(s.secondFlag, 1);
  EXPECT_EQ(s.secondValue, 0xFFFFFFFFu);
  // The record is cleared before the request, also when it gets no answer.
  cam().Silent();
  memset(&s, 0xEE, sizeof s);
  EXPECT_EQ(Qelm_GetStorageInfo(h_, &s, 100), 209);
  EXPECT_EQ(Hex(&s, sizeof s), std::string(32, '0'));
}

TEST_F(MultiRequests, VersionTextLedClipsStatusAndRefusedWrites) {
  char text[600];
  memset(text, '#', sizeof text);
  cam().Reply({Item(0x20201, 13, Bytes(513, 'L')), Item(0x20201, 13, Text("late"), 2),
               Item(0x30201, 13, Bytes(512, 'V'))});
  EXPECT_EQ(Qelm_GetDeviceVersionInfo(h_, text, 2000), 0);
  EXPECT_EQ(std::string(text, 513), std::string(512, 'V') + "#");
  cam().Reply({Item(0x20201, 13, Bytes(513, 'L'))});
  EXPECT_EQ(Qelm_GetDeviceVersionInfo(h_, text, 2000), 104);

  cam().Reply({Item(0x40C0A, 2, {}, 1), Item(0x40C0B, 2)});
  EXPECT_EQ(Qelm_ForceLED(h_, 0, 2000), 104);
  cam().Reply({Item(0x10C0A, 2)});
  EXPECT_EQ(Qelm_ForceLED(h_, 0, 2000), 0);
  EXPECT_EQ(Hex(cam().Requests().back().items[0].data), "00000000");

  StClipSelection sel{};
  sel.count = 2;
  sel.selectors[0] = 8;
  sel.selectors[1] = 9;
  cam().Reply({Item(0x40C09, 2, {}, 1), Item(0, 2, {}, 6)});
  EXPECT_EQ(Qelm_GetClipsStatus(h_, &sel, 2000), 104);
  cam().Reply({Item(0x40C09, 2, {}, 1), Item(0x123, 2)});  // any item with status 0
  EXPECT_EQ(Qelm_GetClipsStatus(h_, &sel, 2000), 0);

  // Writes: refused when an item answering a written one has a status.
  StFactoryInfoEx f{};
  int32_t t[6] = {};
  cam().Reply({Item(0x20508, 13), Item(0x20504, 13, {}, 2)});
  EXPECT_EQ(Qelm_ControlFactoryInfoEx(h_, &f, 0, 0, 2000), 104);
  EXPECT_EQ(Qelm_ControlFactoryInfoEx(h_, &f, 1, 0, 2000), 0);  // 0x20504 is not written
  cam().Reply({Item(0x10007, 1, {}, 9)});
  EXPECT_EQ(Qelm_ControlDeviceTime(h_, t, 0, 2000), 104);
  cam().Reply({});
  EXPECT_EQ(Qelm_ControlDeviceTime(h_, t, 0, 2000), 0);
}

}  // namespace

// What a camera pushes: status reports of each length to the callback that
// takes them (through the window or directly), with the mode and device type
// they carry, and algorithm results on the receive thread.
#include <cstring>

#include "control_support.h"

namespace {

using namespace ctltest;
using kittest::CamItem;
using kittest::FakeCamera;
using kittest::WaitUntil;

enum Reg { kGlobalBoth, kGlobalLong, kGlobalShort, kHandleBoth, kHandleAndGlobal };

struct Row {
  const char* what;
  size_t priorLength;  // a status sent before the case (0: none), type word 0
  size_t length;
  uint32_t modeWord, typeWord;
  Reg reg;
  const char* which;  // the callback that gets the case's status; nullptr: none
  size_t filled;      // bytes of the delivered block that are the status's; the rest is zero
  uint32_t mode, type;
};

void Register(Reg reg, StCameraHandle* h, bool window) {
  void* const user = reinterpret_cast<void*>(0x5151);
  Qelm_RegControlStatusCallback(nullptr, nullptr, nullptr, nullptr);
  switch (reg) {
    case kGlobalBoth: Qelm_RegControlStatusCallback(nullptr, user, LongCb, ShortCb); break;
    case kGlobalLong: Qelm_RegControlStatusCallback(nullptr, user, LongCb, nullptr); break;
    case kGlobalShort: Qelm_RegControlStatusCallback(nullptr, user, nullptr, ShortCb); break;
    case kHandleBoth:
      if (!window) {
        ASSERT_EQ(Qelm_RegControlStatusCallback(h, user, HandleLongCb, HandleShortCb), 0);
      } else {
        // Registered before the window existed: the handle keeps them.
        h->m_pStatusUser.store(user);
        h->m_pfnStatusLong.store(HandleLongCb);
        h->m_pfnStatusShort.store(HandleShortCb);
      }
      break;
    case kHandleAndGlobal:
      // Library-wide callbacks registered after the handle's own take over.
      Register(kHandleBoth, h, window);
      Qelm_RegControlStatusCallback(nullptr, user, LongCb, ShortCb);
      break;
  }
}

// Pushes a status and then an algorithm result: once the result has arrived,
// the status has been dispatched (and posted, which an idle window has handled).
void PushAndSettle(FakeCamera& cam, const Bytes& status) {
  const size_t algs = Calls("alg").size();
  ASSERT_TRUE(cam.PushItems({FakeCamera::StatusItem(status)}));
  ASSERT_TRUE(cam.PushItems({{0x707, 0, 0, 0, Bytes(kAlgBytes, 0)}}));
  ASSERT_TRUE(WaitCalls("alg", algs + 1));
  ASSERT_TRUE(WindowIdle());
}

void RunRows(const Row* rows, size_t n, bool window) {
  Qelm_RegAlgResultCallback(nullptr, AlgCb);
  for (size_t i = 0; i < n; ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE(r.what);
    FakeCamera cam("127.0.0." + std::to_string(10 + i));
    StCameraHandle* h = OpenCam(cam);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(cam.WaitFrames(1, 5000));
    AlgHandle().store(h);
    Register(r.reg, h, window);
    if (r.priorLength) PushAndSettle(cam, StatusBlock(r.priorLength, 0x40, 0, 0));
    const size_t before = Calls().size();
    const Bytes status = StatusBlock(r.length, static_cast<uint8_t>(i * 7 + 1), r.modeWord, r.typeWord);
    PushAndSettle(cam, status);

    std::vector<Call> made;
    const auto all = Calls();
    for (size_t k = before; k < all.size(); ++k)
      if (all[k].which != "alg") made.push_back(all[k]);
    if (!r.which) {
      EXPECT_TRUE(made.empty()) << made.size() << " calls, the first to " << made[0].which;
    } else {
      ASSERT_EQ(made.size(), 1u);
      const Call& c = made[0];
      EXPECT_EQ(c.which, r.which);
      EXPECT_EQ(c.handle, h);
      EXPECT_EQ(c.user, reinterpret_cast<void*>(0x5151));
      const bool direct = !window || r.reg == kHandleBoth;
      EXPECT_EQ(c.onDispatcher, !direct);
      EXPECT_EQ(c.onOwnRecvThread, direct);
      ASSERT_GE(c.bytes.size(), r.filled);
      EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.begin() + r.filled, status.begin()));
      for (size_t k = r.filled; k < c.bytes.size(); ++k) ASSERT_EQ(c.bytes[k], 0) << "byte " << k;
    }
    EXPECT_EQ(h->m_mode.load(), r.mode);
    EXPECT_EQ(h->m_deviceType.load(), r.type);
    EXPECT_EQ(Qelm_CloseCamera(h), 0);
  }
}

TEST_F(ControlTest, StatusReportsWithoutAWindowGoDirectlyByTheirLength) {
  const Row rows[] = {
      {"long, mode 2, type word 1", 0, 332, 0x20000, 1, kGlobalBoth, "long", 332, 2, 2},
      {"long, mode 1, type word 0", 0, 332, 0x10000, 0, kGlobalBoth, "long", 332, 1, 1},
      {"long, other words change nothing", 0, 332, 0x30000, 7, kGlobalBoth, "long", 332, 1, 0},
      {"short", 0, 76, 0, 0, kGlobalBoth, "short", 76, 1, 0},
      {"extended", 0, 560, 0, 0, kGlobalBoth, nullptr, 0, 1, 3},
      {"96 bytes", 0, 96, 0, 0, kGlobalBoth, nullptr, 0, 1, 0},
      {"40 bytes", 0, 40, 0, 0, kGlobalBoth, nullptr, 0, 1, 0},
      {"long with only the short callback", 0, 332, 0x20000, 1, kGlobalShort, nullptr, 0, 2, 2},
      {"short with only the long callback", 0, 76, 0, 0, kGlobalLong, nullptr, 0, 1, 0},
      {"long to the handle's own callback", 0, 332, 0x20000, 0, kHandleBoth, "hlong", 332, 2, 1},
      {"short to the handle's own callback", 0, 76, 0, 0, kHandleBoth, "hshort", 76, 1, 0},
      {"extended with the handle's callbacks", 0, 560, 0, 0, kHandleBoth, nullptr, 0, 1, 3},
      {"long with the handle's and library-wide callbacks", 0, 332, 0x20000, 1, kHandleAndGlobal, "long", 332, 2, 2},
      {"short with the handle's and library-wide callbacks", 0, 76, 0, 0, kHandleAndGlobal, "short", 76, 1, 0},
  };
  RunRows(rows, sizeof rows / sizeof rows[0], false);
}

TEST_F(ControlTest, StatusReportsThroughTheWindowDeliverTheBlockTheyFilled) {
  MakeWindow();
  const Row rows[] = {
      {"long, type word 0", 0, 332, 0x10000, 0, kGlobalLong, "long", 332, 1, 1},
      {"long, type word 1, only the long callback", 0, 332, 0x20000, 1, kGlobalLong, "long", 332, 2, 2},
      {"long before any type is known", 0, 332, 0, 7, kGlobalBoth, "long", 332, 1, 0},
      {"short", 0, 76, 0, 0, kGlobalBoth, "short", 76, 1, 0},
      {"short from a device of type 1", 332, 76, 0, 0, kGlobalBoth, "short", 76, 1, 1},
      {"40 bytes: the rest of the block is zero", 0, 40, 0, 0, kGlobalBoth, "short", 40, 1, 0},
      {"96 bytes: the first 76", 0, 96, 0, 0, kGlobalBoth, "short", 76, 1, 0},
      {"extended reaches no callback", 0, 560, 0, 0, kGlobalBoth, nullptr, 0, 1, 3},
      {"short after an extended one", 560, 76, 0, 0, kGlobalBoth, nullptr, 0, 1, 3},
      {"long with only the short callback", 0, 332, 0, 0, kGlobalShort, nullptr, 0, 1, 1},
      {"the handle's own callbacks, no library-wide one", 0, 332, 0x20000, 1, kHandleBoth, "hlong", 332, 2, 2},
      {"library-wide callbacks beside the handle's own", 0, 76, 0, 0, kHandleAndGlobal, "short", 76, 1, 0},
  };
  RunRows(rows, sizeof rows / sizeof rows[0], true);
}

TEST_F(ControlTest, AStatusInTheReplyToTheDeviceInformationGetIsDispatched) {
  FakeCamera cam("127.0.0.2");
  const Bytes status = StatusBlock(332, 3, 0x20000, 1);
  cam.SetStatusInReply(status);
  Qelm_RegControlStatusCallback(nullptr, nullptr, LongCb, ShortCb);
  StCameraHandle* h = OpenCam(cam);
  ASSERT_TRUE(WaitCalls("long", 1));
  EXPECT_EQ(Calls("long")[0].bytes, status);
  EXPECT_EQ(h->m_mode.load(), 2u);
  EXPECT_EQ(h->m_deviceType.load(), 2u);
}

void AlgResults(bool window) {
  FakeCamera cam("127.0.0.9");
  Qelm_RegAlgResultCallback(reinterpret_cast<void*>(0x707), AlgCb);
  StCameraHandle* h = OpenCam(cam);
  AlgHandle().store(h);
  ASSERT_TRUE(cam.WaitFrames(1, 5000));
  const Bytes a{1, 2, 3, 4, 5, 6, 7, 8}, b{9, 10, 11, 12, 13, 14, 15, 16};
  ASSERT_TRUE(cam.PushItems({{0x707, 0, 0, 0, a}, {0x555, 0, 0, 0, Bytes(4, 0)}, {0x707, 0, 0, 0, b}}));
  ASSERT_TRUE(WaitCalls("alg", 2));
  const auto calls = Calls("alg");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].bytes, a);
  EXPECT_EQ(calls[1].bytes, b);
  for (const Call& c : calls) {
    EXPECT_EQ(c.user, reinterpret_cast<void*>(0x707));
    EXPECT_EQ(c.ip, std::to_string(kittest::Addr("127.0.0.9")));
    EXPECT_FALSE(c.onDispatcher);
    EXPECT_TRUE(c.onOwnRecvThread);
  }
}

TEST_F(ControlTest, AlgorithmResultsReachTheirCallbackOnTheReceiveThreadWithAWindow) {
  MakeWindow();
  AlgResults(true);
}

TEST_F(ControlTest, AlgorithmResultsReachTheirCallbackOnTheReceiveThreadWithoutAWindow) {
  AlgResults(false);
}

TEST_F(ControlTest, ItemsAreTakenOnlyWhereTheyLieWhollyInsideTheirFrame) {
  FakeCamera cam("127.0.0.2");
  Qelm_RegAlgResultCallback(nullptr, AlgCb);
  StCameraHandle* h = OpenCam(cam);
  AlgHandle().store(h);
  ASSERT_TRUE(cam.WaitFrames(1, 5000));
  kittest::CamFrame f;
  f.items = {{0x707, 0, 0, 0, Bytes(kAlgBytes, 0xA1)}, {0x707, 0, 0, 0, Bytes(kAlgBytes, 0xA2)}};
  // The count claims more items than the frame holds.
  Bytes tooMany = kittest::EncodeCamFrame(f);
  kittest::PutLE32(tooMany, 32, 5);
  // The second item's length runs past the tail.
  Bytes tooLong = kittest::EncodeCamFrame(f);
  kittest::PutLE32(tooLong, 36 + 20 + kAlgBytes + 16, 24);
  // The last item ends where the tail begins, and a further item head would
  // lie in the bytes after the frame (the next frame's head).
  kittest::CamFrame one;
  one.items = {{0x707, 0, 0, 0, Bytes(kAlgBytes, 0xA3)}};
  Bytes lastFits = kittest::EncodeCamFrame(one);
  kittest::PutLE32(lastFits, 32, 2);
  for (const Bytes* b : {&tooMany, &tooLong, &lastFits}) ASSERT_TRUE(cam.PushBytes(*b));
  ASSERT_TRUE(cam.PushItems({{0x707, 0, 0, 0, Bytes(kAlgBytes, 0xEE)}}));
  ASSERT_TRUE(WaitUntil([] { return !Calls("alg").empty() && Calls("alg").back().bytes[0] == 0xEE; }, 5000));
  std::vector<uint8_t> got;
  for (const Call& c : Calls("alg")) got.push_back(c.bytes[0]);
  EXPECT_EQ(got, (std::vector<uint8_t>{0xA1, 0xA2, 0xA1, 0xA3, 0xEE}));
}

}  // namespace

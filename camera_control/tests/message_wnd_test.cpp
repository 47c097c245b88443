// The hidden message window: which callback each message reaches, on which
// thread, in which order; records freed after their handler.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "context.h"
#include "control.h"
#include "message_wnd.h"
#include "process.h"
#include "wait.h"

namespace {

using qelm::Global;
using qelm::MessageWnd;

struct Call {
  std::string which;
  StCameraHandle* handle;
  void* user;
  std::vector<uint8_t> block;
  std::thread::id thread;
  int event;
  std::string ip;
};

std::mutex g_m;
std::vector<Call> g_calls;

void Record(Call c) {
  c.thread = std::this_thread::get_id();
  std::lock_guard<std::mutex> lk(g_m);
  g_calls.push_back(std::move(c));
}

void QELM_CALL Found(StCameraInfo* info) {
  Record({"found", nullptr, nullptr, std::vector<uint8_t>(info->version, info->version + 4), {}, 0, {}});
}
void QELM_CALL Conn(void* user, StCameraHandle* h, int event) {
  Record({"conn", h, user, {}, {}, event, {}});
}
void QELM_CALL LongStatus(StCameraHandle* h, void* user, const void* st) {
  auto p = static_cast<const uint8_t*>(st);
  Record({"long", h, user, std::vector<uint8_t>(p, p + qelm::kLongStatusSize), {}, 0, {}});
}
void QELM_CALL ShortStatus(StCameraHandle* h, void* user, const void* st) {
  auto p = static_cast<const uint8_t*>(st);
  Record({"short", h, user, std::vector<uint8_t>(p, p + qelm::kShortStatusSize), {}, 0, {}});
}
void QELM_CALL HandleEvent(StCameraHandle* h, void* user, const char* ip, int event) {
  Record({"handle", h, user, {}, {}, event, ip});
}
void QELM_CALL Progress(void* user, const uint32_t* words) {
  auto b = reinterpret_cast<const uint8_t*>(words);
  Record({"progress", nullptr, user, std::vector<uint8_t>(b, b + 8), {}, 0, {}});
}

class Window : public testing::Test {
 protected:
  void SetUp() override {
    qelm::test::SetModulePath(kittest::MakeTempFolder("wnd"));
    std::lock_guard<std::mutex> lk(g_m);
    g_calls.clear();
  }
  void MakeWindow() {
    ASSERT_EQ(Qelm_InitControl(nullptr), 1);  // makes the window even so
    ASSERT_NE(MessageWnd(), nullptr);
  }
  bool Idle() { return MessageWnd()->Window().WaitIdle(5000); }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lk(g_m);
    return g_calls;
  }
};

TEST_F(Window, CallbacksRunOnTheDispatcherInPostingOrderNeverOnThePoster) {
  MakeWindow();
  Global().m_pfnConnEvent.store(Conn);
  Global().m_pfnCameraFound.store(Found);
  std::thread poster([] {
    for (int i = 0; i < 200; ++i) {
      if (i % 2) {
        auto* info = new StCameraInfo{};
        memcpy(info->version, &i, sizeof i);
        qelm::PostRecord(MessageWnd(), qelm::WM_DEVICE_FOUND, 0, info);
      } else {
        qelm::PostRecord(MessageWnd(), qelm::WM_CONN_EVENT, 0,
                         new qelm::StConnEvent{reinterpret_cast<void*>(uintptr_t(i)), nullptr, 3});
      }
    }
  });
  const auto posterId = poster.get_id();
  poster.join();
  ASSERT_TRUE(Idle());
  auto calls = Calls();
  ASSERT_EQ(calls.size(), 200u);
  for (int i = 0; i < 200; ++i) {
    const Call& c = calls[i];
    EXPECT_EQ(c.thread, MessageWnd()->Window().DispatcherId());
    EXPECT_NE(c.thread, posterId);
    if (i % 2) {
      int got;
      memcpy(&got, c.block.data(), sizeof got);
      EXPECT_EQ(c.which, "found");
      EXPECT_EQ(got, i);
    } else {
      EXPECT_EQ(c.which, "conn");
      EXPECT_EQ(reinterpret_cast<uintptr_t>(c.user), uintptr_t(i));
      EXPECT_EQ(c.event, 3);
    }
  }
}

TEST_F(Window, UnregisteredCallbacksStillFreeTheirRecords) {
  MakeWindow();
  // Nothing registered: every record must still be freed (AddressSanitizer's
  // leak check shows a record that is not).
  qelm::PostRecord(MessageWnd(), qelm::WM_DEVICE_FOUND, 0, new StCameraInfo{});
  qelm::PostRecord(MessageWnd(), qelm::WM_CONN_EVENT, 0, new qelm::StConnEvent{});
  qelm::PostRecord(MessageWnd(), qelm::WM_UPDATE_PROGRESS, 0, new qelm::StTransferProgress{});
  qelm::PostRecord(MessageWnd(), qelm::WM_DB_PROGRESS, 0, new qelm::StTransferProgress{});
  qelm::PostRecord(MessageWnd(), qelm::WM_CONTROL_STATUS, 0, new qelm::StStatusReport{});
  qelm::PostRecord(MessageWnd(), qelm::WM_CAMERA_HANDLE, 4, new qelm::StCameraHandleEvent{});
  qelm::PostRecord(MessageWnd(), 0x504, 0, static_cast<StCameraInfo*>(nullptr));
  ASSERT_TRUE(Idle());
  EXPECT_TRUE(Calls().empty());
}

TEST_F(Window, ARecordTheWindowCannotTakeIsFreed) {
  qelm::CMessageWnd never;  // not created: takes no messages
  qelm::PostRecord(&never, qelm::WM_DEVICE_FOUND, 0, new StCameraInfo{});
  SUCCEED();  // the leak check of the sanitizer build shows the record if it were lost
}

TEST_F(Window, StatusReportsReachTheCallbackOfTheirKindOrNone) {
  MakeWindow();
  ASSERT_EQ(Qelm_RegControlStatusCallback(nullptr, reinterpret_cast<void*>(0x77), LongStatus, ShortStatus), 0);
  struct Case {
    uintptr_t wParam;
    uint32_t length;
    const char* which;  // nullptr: no callback
  } cases[] = {
      {0, 76, "short"}, {1, 332, "long"}, {2, 332, "long"}, {3, 560, nullptr}, {3, 332, nullptr},
      // The kind and the received length disagree: the block that was filled is delivered.
      {2, 76, "short"}, {0, 332, "long"}, {0, 40, "short"},
  };
  auto* h = reinterpret_cast<StCameraHandle*>(0x1234);
  for (const auto& c : cases) {
    auto* r = new qelm::StStatusReport;
    r->handle = h;
    r->length = c.length;
    if (c.length == qelm::kLongStatusSize)
      memset(r->longStatus, 0xAB, sizeof r->longStatus);
    else
      memset(r->shortStatus, 0xCD, std::min<uint32_t>(c.length, qelm::kShortStatusSize));
    qelm::PostRecord(MessageWnd(), qelm::WM_CONTROL_STATUS, c.wParam, r);
    ASSERT_TRUE(Idle());
    auto calls = Calls();
    std::lock_guard<std::mutex> lk(g_m);
    g_calls.clear();
    if (!c.which) {
      EXPECT_TRUE(calls.empty()) << c.wParam << "/" << c.length;
      continue;
    }
    ASSERT_EQ(calls.size(), 1u) << c.wParam << "/" << c.length;
    EXPECT_EQ(calls[0].which, c.which);
    EXPECT_EQ(calls[0].handle, h);
    EXPECT_EQ(calls[0].user, reinterpret_cast<void*>(0x77));
    const auto& b = calls[0].block;
    if (calls[0].which == std::string("long")) {
      EXPECT_EQ(std::count(b.begin(), b.end(), 0xAB), 332);
    } else {
      // The received bytes, then zeros: never unfilled memory.
      EXPECT_EQ(std::count(b.begin(), b.end(), 0xCD), std::min<long>(c.length, 76));
      EXPECT_EQ(std::count(b.begin(), b.end(), 0), 76 - std::min<long>(c.length, 76));
    }
  }
}

TEST_F(Window, CameraHandleEventCarriesItsAddress) {
  MakeWindow();
  ASSERT_EQ(Qelm_RegCameraHandleCallBack(HandleEvent, reinterpret_cast<void*>(5)), 0);
  auto* h = reinterpret_cast<StCameraHandle*>(0x4321);
  qelm::PostRecord(MessageWnd(), qelm::WM_CAMERA_HANDLE, 3,
                   new qelm::StCameraHandleEvent{h, pf::InetAddr("198.51.100.7")});
  ASSERT_TRUE(Idle());
  auto calls = Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].handle, h);
  EXPECT_EQ(calls[0].user, reinterpret_cast<void*>(5));
  EXPECT_EQ(calls[0].ip, "198.51.100.7");
  EXPECT_EQ(calls[0].event, 3);
}

TEST_F(Window, ProgressGoesToItsOwnCallbackWithTheUserValue) {
  MakeWindow();
  Global().m_pfnUpdateProgress.store(Progress);
  auto* p = new qelm::StTransferProgress;
  p->user = reinterpret_cast<void*>(9);
  p->words[0] = 0x11;
  p->words[1] = 0x22;
  qelm::PostRecord(MessageWnd(), qelm::WM_UPDATE_PROGRESS, 0, p);
  qelm::PostRecord(MessageWnd(), qelm::WM_DB_PROGRESS, 0, new qelm::StTransferProgress{});
  ASSERT_TRUE(Idle());
  auto calls = Calls();
  ASSERT_EQ(calls.size(), 1u);  // no database callback registered
  EXPECT_EQ(calls[0].user, reinterpret_cast<void*>(9));
  uint32_t w[2];
  memcpy(w, calls[0].block.data(), 8);
  EXPECT_EQ(w[0], 0x11u);
  EXPECT_EQ(w[1], 0x22u);
}

TEST_F(Window, StatusRegistrationWithAWindowIsLibraryWide) {
  MakeWindow();
  auto* unknown = reinterpret_cast<StCameraHandle*>(0x99);
  EXPECT_EQ(Qelm_RegControlStatusCallback(unknown, nullptr, LongStatus, ShortStatus), 0);
  EXPECT_EQ(Global().m_pfnStatusLong.load(), LongStatus);
  EXPECT_EQ(Global().m_pfnStatusShort.load(), ShortStatus);
}

// These run in a process where the window was never made.
TEST(NoWindow, StatusRegistrationOnAHandleIsThatHandlesOwn) {
  ASSERT_EQ(MessageWnd(), nullptr);
  ASSERT_EQ(Qelm_RegControlStatusCallback(nullptr, reinterpret_cast<void*>(1), LongStatus, ShortStatus), 0);
  EXPECT_EQ(Global().m_pfnStatusLong.load(), LongStatus);

  auto* unknown = reinterpret_cast<StCameraHandle*>(0x99);
  EXPECT_EQ(Qelm_RegControlStatusCallback(unknown, nullptr, LongStatus, ShortStatus), 7);
  EXPECT_EQ(Global().m_pfnStatusLong.load(), nullptr);  // cleared even so
  EXPECT_EQ(Global().m_pfnStatusShort.load(), nullptr);

  StCameraHandle h;
  {
    pf::Lock lk(Global().m_csCamera);
    Global().m_listCamera.push_back(&h);
  }
  EXPECT_EQ(Qelm_RegControlStatusCallback(&h, reinterpret_cast<void*>(2), LongStatus, ShortStatus), 0);
  EXPECT_EQ(h.m_pfnStatusLong.load(), LongStatus);
  EXPECT_EQ(h.m_pfnStatusShort.load(), ShortStatus);
  EXPECT_EQ(h.m_pStatusUser.load(), reinterpret_cast<void*>(2));
  EXPECT_EQ(Global().m_pfnStatusLong.load(), nullptr);
  pf::Lock lk(Global().m_csCamera);
  Global().m_listCamera.clear();
}

TEST(NoWindow, OtherRegistrationsNeverFail) {
  EXPECT_EQ(Qelm_RegCameraHandleCallBack(HandleEvent, reinterpret_cast<void*>(3)), 0);
  EXPECT_EQ(Global().m_pfnCameraHandle.load(), HandleEvent);
  EXPECT_EQ(Qelm_RegAlgResultCallback(reinterpret_cast<void*>(4), nullptr), 0);
  EXPECT_EQ(Global().m_pAlgResultUser.load(), reinterpret_cast<void*>(4));
  EXPECT_EQ(MessageWnd(), nullptr);
}

}  // namespace

// The window's handler: each kind calls its callback with the user value and
// frees its record; posted records are handled one at a time, in order, on
// the window's thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "context.h"
#include "fake_camera.h"
#include "log.h"
#include "lpr_fixture.h"
#include "message_wnd.h"
#include "result.h"

namespace {

using lprtest::Recorder;
using nardix::CMessageWnd;

std::atomic<int> g_spareCalls{0};
void* g_spareBuffer = nullptr;
void NARDIX_CALL OnSpare(void* user, void* record) {
  ++g_spareCalls;
  g_spareBuffer = static_cast<nardix::StLprSpareRecord*>(record)->buffer;
}

class Window : public lprtest::LprTest {
 protected:
  void SetUp() override {
    LprTest::SetUp();
    nardix::CForGlobal& g = nardix::Global();
    g.m_pUserData.store(reinterpret_cast<void*>(0x55));
    g.m_pfnLprFound.store(&Recorder::OnFound);
    g.m_pfnLprConnEvent.store(&Recorder::OnEvent);
    g.m_pfnLprResult.store(&Recorder::OnResult);
    g.m_pfnLprSpare.store(&OnSpare);
    g.m_pfnAlgDebug.store(&Recorder::OnDebug);
    h_ = nardix::NewCameraHandle(kittest::Addr("127.0.0.3"));
  }
  nardix::HandlePtr h_;
};

TEST_F(Window, NullRecordCallsNothing) {
  for (uintptr_t kind = 0; kind <= 5; ++kind)
    EXPECT_EQ(CMessageWnd::OnLprNotify(kind, 0), kind == nardix::kNotifyAlgDebug ? -1 : 0);
  EXPECT_EQ(Recorder::Get().EventCount() + Recorder::Get().FoundCount() + Recorder::Get().ResultCount(), 0u);
}

TEST_F(Window, EachKindCallsItsCallbackWithTheUserValueAndFreesTheRecord) {
  auto* info = new StLprDeviceInfo{};
  strcpy(info->ip, "198.51.100.20");
  EXPECT_EQ(CMessageWnd::OnLprNotify(nardix::kNotifyFound, reinterpret_cast<uintptr_t>(info)), 0);
  StLprResult* r = nardix::NewResult(h_.get());
  r->image2Length = 2;
  EXPECT_EQ(CMessageWnd::OnLprNotify(nardix::kNotifyResult, reinterpret_cast<uintptr_t>(r)), 0);
  auto* spare = new nardix::StLprSpareRecord{{1, 2, 3, 4, 5}, new uint8_t[16]};
  uint8_t* spareBuffer = spare->buffer;
  EXPECT_EQ(CMessageWnd::OnLprNotify(nardix::kNotifySpare, reinterpret_cast<uintptr_t>(spare)), 0);
  EXPECT_EQ(CMessageWnd::OnLprNotify(nardix::kNotifyConnEvent,
                                     reinterpret_cast<uintptr_t>(nardix::NewConnEvent(h_.get(), 3))),
            0);
  EXPECT_EQ(CMessageWnd::OnLprNotify(nardix::kNotifyAlgDebug, reinterpret_cast<uintptr_t>(new uint8_t[1332]())),
            0);
  ASSERT_EQ(Recorder::Get().FoundCount(), 1u);
  EXPECT_STREQ(Recorder::Get().Found()[0].info.ip, "198.51.100.20");
  EXPECT_EQ(Recorder::Get().Found()[0].user, reinterpret_cast<void*>(0x55));
  ASSERT_EQ(Recorder::Get().ResultCount(), 1u);
  EXPECT_EQ(Recorder::Get().Results()[0].image2.size(), 2u);
  EXPECT_EQ(g_spareCalls.load(), 1);
  EXPECT_EQ(g_spareBuffer, spareBuffer);
  ASSERT_EQ(Recorder::Get().EventCount(), 1u);
  EXPECT_EQ(Recorder::Get().Events()[0].event.code, 3);
  EXPECT_STREQ(Recorder::Get().Events()[0].event.ip, "127.0.0.3");
  EXPECT_EQ(Recorder::Get().Debug().size(), 1u);
  // Freed records: the sanitizer build reports any that is not.
}

TEST_F(Window, RecordsWithoutACallbackAreFreedUncalled) {
  nardix::CForGlobal& g = nardix::Global();
  g.m_pfnLprFound.store(nullptr);
  g.m_pfnLprResult.store(nullptr);
  g.m_pfnLprSpare.store(nullptr);
  g.m_pfnLprConnEvent.store(nullptr);
  g.m_pfnAlgDebug.store(nullptr);
  CMessageWnd::OnLprNotify(nardix::kNotifyFound, reinterpret_cast<uintptr_t>(new StLprDeviceInfo{}));
  CMessageWnd::OnLprNotify(nardix::kNotifyResult, reinterpret_cast<uintptr_t>(nardix::NewResult(h_.get())));
  CMessageWnd::OnLprNotify(nardix::kNotifySpare,
                           reinterpret_cast<uintptr_t>(new nardix::StLprSpareRecord{{0}, new uint8_t[4]}));
  CMessageWnd::OnLprNotify(nardix::kNotifySpare, reinterpret_cast<uintptr_t>(new nardix::StLprSpareRecord{{0}, nullptr}));
  CMessageWnd::OnLprNotify(nardix::kNotifyConnEvent, reinterpret_cast<uintptr_t>(nardix::NewConnEvent(h_.get(), 0)));
  CMessageWnd::OnLprNotify(nardix::kNotifyAlgDebug, reinterpret_cast<uintptr_t>(new uint8_t[1332]));
  EXPECT_EQ(g_spareCalls.load(), 0);
}

TEST_F(Window, ResetEventIsLoggedWithTheCameraAddress) {
  ASSERT_EQ(lprtest::InitWithRecorder(1), 0);
  CMessageWnd::OnLprNotify(nardix::kNotifyConnEvent, reinterpret_cast<uintptr_t>(nardix::NewConnEvent(h_.get(), 4)));
  EXPECT_TRUE(Logged("设备127.0.0.3复位"));
}

TEST_F(Window, PostedRecordsRunInOrderOnTheWindowThread) {
  nardix::EnsureMessageWindow();
  nardix::Global().m_bDirectCall.store(0);
  for (int i = 0; i < 200; ++i)
    EXPECT_EQ(nardix::Deliver(nardix::kNotifyConnEvent, nardix::NewConnEvent(h_.get(), i)), nardix::Delivery::kPosted);
  ASSERT_TRUE(nardix::MessageWnd()->Window().WaitIdle(3000));
  const auto events = Recorder::Get().Events();
  ASSERT_EQ(events.size(), 200u);
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(events[i].event.code, i);
    EXPECT_EQ(events[i].thread, nardix::MessageWnd()->Window().DispatcherId());
  }
}

TEST_F(Window, DirectModeCallsOnTheCallingThread) {
  nardix::Global().m_bDirectCall.store(1);
  EXPECT_EQ(nardix::Deliver(nardix::kNotifyConnEvent, nardix::NewConnEvent(h_.get(), 0)), nardix::Delivery::kDirect);
  ASSERT_EQ(Recorder::Get().EventCount(), 1u);
  EXPECT_EQ(Recorder::Get().Events()[0].thread, std::this_thread::get_id());
  nardix::Global().m_pfnLprConnEvent.store(nullptr);
  EXPECT_EQ(nardix::Deliver(nardix::kNotifyConnEvent, nardix::NewConnEvent(h_.get(), 0)), nardix::Delivery::kNone);
}

TEST_F(Window, MessageModeWithoutAWindowFreesTheRecord) {
  nardix::Global().m_bDirectCall.store(0);
  ASSERT_EQ(nardix::MessageWnd(), nullptr);
  EXPECT_EQ(nardix::Deliver(nardix::kNotifyConnEvent, nardix::NewConnEvent(h_.get(), 0)), nardix::Delivery::kNone);
  EXPECT_EQ(Recorder::Get().EventCount(), 0u);
}

}  // namespace

// Start-up and shut-down: result codes, the window, the discovery port, and
// that nothing is left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "context.h"
#include "discovery.h"
#include "fake_camera.h"
#include "lpr_fixture.h"
#include "message_wnd.h"
#include "netns.h"
#include "platform/net.h"
#include "platform/thread.h"

namespace {

using lprtest::InitWithRecorder;
using lprtest::Recorder;

class Lifecycle : public lprtest::LprTest {};

uint16_t DiscoveryPort() {
  nardix::CForGlobal& g = nardix::Global();
  pf::Lock lk(g.m_csInfo);
  return g.m_pCameraInfo ? pf::LocalPort(g.m_pCameraInfo->m_hSocket) : 0;
}

void NARDIX_CALL OtherFound(void*, StLprDeviceInfo*) {}

TEST_F(Lifecycle, SecondInitWhileRunningGives1AndChangesNoCallback) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  ASSERT_EQ(InitWithRecorder(0, reinterpret_cast<void*>(1)), 0);
  nardix::CForGlobal& g = nardix::Global();
  {
    pf::Lock lk(g.m_csPath);
    g.m_strModulePath = "/elsewhere/";
  }
  EXPECT_EQ(LPR_Init(1, reinterpret_cast<void*>(2), &OtherFound, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(nardix::ModulePath(), dir_);  // the library's folder is found again all the same
  EXPECT_EQ(g.m_pfnLprFound.load(), &Recorder::OnFound);
  EXPECT_EQ(g.m_pUserData.load(), reinterpret_cast<void*>(1));
  EXPECT_EQ(g.m_bDirectCall.load(), 1);
  EXPECT_EQ(nardix::MessageWnd(), nullptr);
}

TEST_F(Lifecycle, InitQuitInitReusesTheWindowAndFreesThePort) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  ASSERT_EQ(InitWithRecorder(1), 0);
  nardix::CMessageWnd* w = nardix::MessageWnd();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(DiscoveryPort(), 58587);
  EXPECT_EQ(LPR_Quit(), 0);
  EXPECT_EQ(nardix::Global().m_bRunning.load(), 0);
  // The discovery socket is closed by the shut-down, not left to a thread
  // that may never wake: the port is free again.
  pf::SOCKET probe = pf::UdpSocket();
  EXPECT_EQ(pf::Bind(probe, 0, 58587), 0);
  pf::CloseSocket(probe);
  ASSERT_EQ(InitWithRecorder(2), 0);
  EXPECT_EQ(nardix::MessageWnd(), w);
  EXPECT_EQ(DiscoveryPort(), 58587);
  EXPECT_EQ(nardix::Global().m_bDirectCall.load(), 0);
}

TEST_F(Lifecycle, DiscoverySocketTakesTheNextFreePortOfItsSeries) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  std::vector<pf::SOCKET> taken;
  for (int i = 0; i < 49; ++i) {
    taken.push_back(pf::UdpSocket());
    ASSERT_EQ(pf::Bind(taken.back(), 0, static_cast<uint16_t>(58587 + 2 * i)), 0);
  }
  ASSERT_EQ(InitWithRecorder(0), 0);
  EXPECT_EQ(DiscoveryPort(), 58685);
  LPR_Quit();
  taken.push_back(pf::UdpSocket());
  ASSERT_EQ(pf::Bind(taken.back(), 0, 58685), 0);
  nardix::Global().m_log.m_bLogOn.store(1);
  EXPECT_EQ(InitWithRecorder(0), 4);
  EXPECT_EQ(nardix::Global().m_bRunning.load(), 0);
  // No writer runs now: the lines wait in the queue.
  const std::vector<std::string> want = {kittest::Gbk("启用UDP时，绑定socket失败"),
                                         kittest::Gbk("初始化生成UDP socket 失败")};
  EXPECT_EQ(Queued(), want);
  for (auto s : taken) pf::CloseSocket(s);
}

TEST_F(Lifecycle, StartFailuresLeaveNoThreadOrDescriptor) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  const int fds = kittest::OpenDescriptorCount();
  const int threads = kittest::ThreadCount();

  nardix::test::FailNextChannelAllocs(1);
  EXPECT_EQ(InitWithRecorder(0), 100);
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds);

  pf::test::FailNextThreadStarts(1);
  EXPECT_EQ(InitWithRecorder(0), 5);
  EXPECT_EQ(nardix::Global().m_bRunning.load(), 0);
  EXPECT_TRUE(kittest::WaitUntil([&] { return kittest::ThreadCount() == threads; }, 3000));
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds);
  {
    nardix::CForGlobal& g = nardix::Global();
    pf::Lock lk(g.m_csInfo);
    EXPECT_EQ(g.m_pCameraInfo, nullptr);
  }

  ASSERT_EQ(InitWithRecorder(0), 0);
  EXPECT_GT(kittest::ThreadCount(), threads);
  ASSERT_EQ(LPR_Quit(), 0);
  EXPECT_TRUE(kittest::ThreadCountBecomes(threads)) << kittest::ThreadCount();
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds);
  EXPECT_TRUE(Logged("初始化启用UDP线程失败"));
  EXPECT_TRUE(Logged("初始化CForGlobal::m_pCameraInfo 分配内存错误"));
  // The system's text of the thread failure follows as a line of its own.
  const std::vector<std::string> lines = LogLines();
  const auto at = std::find(lines.begin(), lines.end(), kittest::Gbk("初始化启用UDP线程失败"));
  ASSERT_NE(at, lines.end());
  ASSERT_NE(at + 1, lines.end());
  EXPECT_EQ(at[1], strerror(EAGAIN));
}

TEST_F(Lifecycle, ExportsBeforeInitGive2AndPointerChecksComeFirstWhereTheyDo) {
  StLprCameraHandle* h = reinterpret_cast<StLprCameraHandle*>(0x1000);
  StLprControlParams cp{};
  StLprAlgParams ap{};
  StLprVersionInfo vi{};
  StLprNetParams np{};
  int v = 0;
  const struct {
    const char* name;
    int got;
    int want;
  } cases[] = {
      {"Quit", LPR_Quit(), 2},
      {"ScanDevice", LPR_ScanDevice(), 2},
      {"SetNetParams", LPR_SetNetParams(nullptr, &np, &np), 2},
      {"ConnectCamera", LPR_ConnectCamera("127.0.0.1", &h), 2},
      {"DisconnectCamera", LPR_DisconnectCamera(h), 2},
      {"CheckStatus", LPR_CheckStatus(h, &v), 2},
      {"Capture", LPR_Capture(h), 2},
      {"CaptureEx", LPR_CaptureEx(h, 0), 2},
      {"AdjustTime", LPR_AdjustTime(h, 0), 2},
      {"NTPEnable", LPR_NTPEnable(h, 1, "1.2.3.4"), 2},
      {"NTPEnable off without a server", LPR_NTPEnable(h, 0x100, nullptr), 2},
      {"NTPEnable on without a server", LPR_NTPEnable(h, 1, nullptr), 3},
      {"GetAllVersion", LPR_GetAllVersion(h, &vi), 2},
      {"GetAllVersion without a record", LPR_GetAllVersion(h, nullptr), 3},
      {"GetShutterValue", LPR_GetShutterValue(h, &v), 2},
      {"GetShutterValue without a variable", LPR_GetShutterValue(h, nullptr), 3},
      {"SetShutterValue", LPR_SetShutterValue(h, 1), 2},
      {"SetWorkMode", LPR_SetWorkMode(h, 1), 2},
      {"ControlParams", LPR_ControlParams(h, &cp, 10), 2},
      {"ControlParams without a record", LPR_ControlParams(h, nullptr, 10), 2},
      {"GetAlgParams", LPR_GetAlgParams(h, &ap, 10), 2},
      {"GetAlgParams without a record", LPR_GetAlgParams(h, nullptr, 10), 2},
      {"IsWriteLog", LPR_IsWriteLog(1), 0},
      {"SetAlgDebugInfoCallback", LPR_SetAlgDebugInfoCallback(nullptr), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.name;
}

TEST_F(Lifecycle, ImageSwitchesSetBeforeInitHoldUntilInit) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  EXPECT_EQ(LPR_ControlContent(nullptr), 3);
  const uint8_t want[3] = {0, 1, 0};
  ASSERT_EQ(LPR_ControlContent(want), 0);
  nardix::CForGlobal& g = nardix::Global();
  EXPECT_EQ(g.m_bWantImage[0].load(), 0);
  EXPECT_EQ(g.m_bWantImage[1].load(), 1);
  ASSERT_EQ(InitWithRecorder(0), 0);
  for (auto& w : g.m_bWantImage) EXPECT_EQ(w.load(), 1);
}

TEST_F(Lifecycle, QuitLogsAndWritesItsLastLine) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  ASSERT_EQ(InitWithRecorder(0), 0);
  ASSERT_EQ(LPR_Quit(), 0);
  const std::string log = LogText();
  EXPECT_NE(log.find(kittest::Gbk("初始化成功")), std::string::npos);
  EXPECT_NE(log.find(kittest::Gbk("退出成功")), std::string::npos);
  EXPECT_FALSE(nardix::Global().m_logWriter.Running());
}

}  // namespace

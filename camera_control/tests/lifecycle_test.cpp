// Start-up and shut-down: result codes, and that nothing is left behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "context.h"
#include "discovery.h"
#include "message_wnd.h"
#include "netns.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "process.h"
#include "wait.h"

namespace {

using kittest::Gbk;

void QELM_CALL Found(StCameraInfo*) {}

class Lifecycle : public testing::Test {
 protected:
  void SetUp() override { qelm::test::SetModulePath(kittest::MakeTempFolder("life")); }
};

TEST_F(Lifecycle, NullCallbackGives1AndStillMakesTheWindow) {
  EXPECT_EQ(qelm::MessageWnd(), nullptr);
  EXPECT_EQ(Qelm_InitControl(nullptr), 1);
  EXPECT_NE(qelm::MessageWnd(), nullptr);
  EXPECT_EQ(qelm::Global().m_bRunning.load(), 0);
  EXPECT_EQ(qelm::Global().m_pCameraInfo, nullptr);
}

TEST_F(Lifecycle, QuitWithoutInitGives0) { EXPECT_EQ(Qelm_Quit(), 0); }

TEST_F(Lifecycle, InitQuitInitAgain) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  ASSERT_EQ(Qelm_InitControl(Found), 0);
  EXPECT_EQ(qelm::Global().m_bRunning.load(), 1);
  EXPECT_NE(qelm::Global().m_pCameraInfo, nullptr);
  EXPECT_EQ(Qelm_Quit(), 0);
  EXPECT_EQ(qelm::Global().m_bRunning.load(), 0);
  EXPECT_EQ(qelm::Global().m_pCameraInfo, nullptr);
  ASSERT_EQ(Qelm_InitControl(Found), 0);
  EXPECT_NE(qelm::Global().m_pCameraInfo, nullptr);
  EXPECT_EQ(Qelm_Quit(), 0);
}

TEST_F(Lifecycle, AllHundredPortsTakenGives2) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  std::vector<pf::SOCKET> taken;
  for (int i = 0; i < 100; ++i) {
    pf::SOCKET s = pf::UdpSocket();
    ASSERT_EQ(pf::Bind(s, 0, static_cast<uint16_t>(58590 + i)), 0);
    taken.push_back(s);
  }
  EXPECT_EQ(Qelm_InitControl(Found), 2);
  EXPECT_EQ(qelm::Global().m_bRunning.load(), 0);
  pf::CloseSocket(taken.back());  // one port free again
  EXPECT_EQ(Qelm_InitControl(Found), 0);
  EXPECT_EQ(pf::LocalPort(qelm::Global().m_pCameraInfo->m_hSocket.load()), 58689);
  Qelm_Quit();
  taken.pop_back();
  for (auto s : taken) pf::CloseSocket(s);
}

TEST_F(Lifecycle, FailuresAfterTheSocketCloseIt) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  Qelm_InitControl(nullptr);  // the window's thread is not counted below
  const int fds = kittest::OpenDescriptorCount();
  const int threads = kittest::ThreadCount();

  qelm::test::FailNextChannelAllocs(1);
  EXPECT_EQ(Qelm_InitControl(Found), 100);
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds);
  EXPECT_EQ(qelm::Global().m_pCameraInfo, nullptr);

  pf::test::FailNextThreadStarts(1);
  EXPECT_EQ(Qelm_InitControl(Found), 3);
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds);
  EXPECT_TRUE(kittest::ThreadCountBecomes(threads)) << kittest::ThreadCount();
  EXPECT_EQ(qelm::Global().m_bRunning.load(), 0);
  EXPECT_EQ(qelm::Global().m_pCameraInfo, nullptr);

  EXPECT_EQ(Qelm_InitControl(Found), 0);  // and it recovers
  Qelm_Quit();
}

// What each result of start-up logs, in order (the log is on; lines are only
// queued here, no writer runs).
TEST_F(Lifecycle, EachResultLogsItsLinesInOrder) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  auto& log = qelm::Global().m_log;
  log.m_bLogOn.store(1);
  auto take = [&log] {
    pf::Lock lk(log.m_csLog);
    std::vector<std::string> lines(log.m_listLog.begin(), log.m_listLog.end());
    log.m_listLog.clear();
    return lines;
  };
  const std::string start = Gbk("动态库开始初始化");
  const std::string created = Gbk("Create socket IP = 0.0.0.0 port = 58590 成功");

  EXPECT_EQ(Qelm_InitControl(nullptr), 1);
  EXPECT_EQ(take(), (std::vector<std::string>{start, Gbk("初始化回调函数是NULL")}));

  {
    std::vector<pf::SOCKET> taken;
    for (int i = 0; i < 100; ++i) {
      taken.push_back(pf::UdpSocket());
      ASSERT_EQ(pf::Bind(taken.back(), 0, static_cast<uint16_t>(58590 + i)), 0);
    }
    EXPECT_EQ(Qelm_InitControl(Found), 2);
    for (auto s : taken) pf::CloseSocket(s);
  }
  EXPECT_EQ(take(), (std::vector<std::string>{start, Gbk("启用UDP时，绑定socket失败"),
                                               Gbk("初始化生成UDP socket 失败")}));

  qelm::test::FailNextChannelAllocs(1);
  EXPECT_EQ(Qelm_InitControl(Found), 100);
  EXPECT_EQ(take(),
            (std::vector<std::string>{start, created, Gbk("初始化CForGlobal::m_pCameraInfo 分配内存错误")}));

  pf::test::FailNextThreadStarts(1);
  EXPECT_EQ(Qelm_InitControl(Found), 3);
  EXPECT_EQ(take(), (std::vector<std::string>{start, created, Gbk("初始化启用UDP线程失败"),
                                               pf::SystemErrorText(EAGAIN)}));

  EXPECT_EQ(Qelm_InitControl(Found), 0);
  const auto lines = take();  // the XML index has its own lines in between
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], start);
  EXPECT_EQ(lines[1], created);
  EXPECT_EQ(lines.back(), Gbk("初始化成功"));
  Qelm_Quit();
}

TEST_F(Lifecycle, QuitLeavesNoThreadOrSocketAndASecondInitLeaksNothing) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  // The window stays for good, so it is made before counting; nothing else
  // has run yet, so no thread that has just been joined is still counted.
  Qelm_InitControl(nullptr);
  const int fds = kittest::OpenDescriptorCount();
  const int threads = kittest::ThreadCount();

  ASSERT_EQ(Qelm_InitControl(Found), 0);
  EXPECT_EQ(kittest::ThreadCount(), threads + 2);  // discovery and heartbeat
  Qelm_Quit();
  EXPECT_TRUE(kittest::ThreadCountBecomes(threads)) << kittest::ThreadCount();
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds);

  ASSERT_EQ(Qelm_InitControl(Found), 0);
  ASSERT_EQ(Qelm_InitControl(Found), 0);  // replaces the first channel
  ASSERT_EQ(Qelm_InitControl(Found), 0);
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds + 1);  // one discovery socket
  EXPECT_TRUE(kittest::ThreadCountBecomes(threads + 2)) << kittest::ThreadCount();
  Qelm_Quit();
  EXPECT_TRUE(kittest::ThreadCountBecomes(threads)) << kittest::ThreadCount();
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds);
}

}  // namespace

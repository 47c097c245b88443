// The daily log: on from the moment the library is loaded, file and line
// format, midnight, and switching it off and on.
#include <gtest/gtest.h>

#include "context.h"
#include "fake_camera.h"
#include "log.h"
#include "lpr_fixture.h"
#include "netns.h"

namespace {

using kittest::Gbk;
using kittest::ReadFile;

constexpr int64_t kBeforeMidnightMs = 1706745599900;  // 2024-01-31 23:59:59.900 UTC

class Log : public lprtest::LprTest {
 protected:
  std::string File(const char* date) const { return dir_ + "LPRLog/" + date + ".log"; }
  bool WaitFor(const char* date, const std::string& gbk) const {
    return kittest::WaitUntil([&] { return ReadFile(File(date)).find(gbk) != std::string::npos; }, 3000);
  }
};

TEST_F(Log, OnFromLoadAndWrittenOnceTheLibraryStarts) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  pf::test::FreezeClock(kBeforeMidnightMs - 890);  // .010
  nardix::WriteLog("before start");
  EXPECT_EQ(Queued().size(), 1u);
  ASSERT_EQ(lprtest::InitWithRecorder(0), 0);
  ASSERT_TRUE(WaitFor("20240131", Gbk("初始化成功")));
  EXPECT_EQ(ReadFile(File("20240131")), "2024-01-31 23:59:59-010    before start\r\n"
                                        "2024-01-31 23:59:59-010    " + Gbk("初始化成功") + "\r\n");
}

TEST_F(Log, LineQueuedBeforeMidnightGoesIntoTheDayItIsWritten) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  ASSERT_EQ(lprtest::InitWithRecorder(0), 0);
  pf::test::FreezeClock(kBeforeMidnightMs);
  {
    pf::Lock lk(nardix::Global().m_log.m_csLog);  // the writer cannot take the line yet
    nardix::WriteLog("late line");
    pf::test::FreezeClock(kBeforeMidnightMs + 200);
  }
  ASSERT_TRUE(WaitFor("20240201", "late line"));
  EXPECT_NE(ReadFile(File("20240201")).find("2024-02-01 00:00:00-100    late line\r\n"), std::string::npos);
  EXPECT_EQ(ReadFile(File("20240131")).find("late line"), std::string::npos);
}

TEST_F(Log, SwitchingOffEndsTheWriterAfterWritingWhatIsQueued) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  pf::test::FreezeClock(kBeforeMidnightMs - 5000);
  ASSERT_EQ(lprtest::InitWithRecorder(0), 0);
  const int threads = kittest::ThreadCount();
  {
    pf::Lock lk(nardix::Global().m_log.m_csLog);
    for (int i = 0; i < 500; ++i) nardix::WriteLogF("queued %d", i);
  }
  ASSERT_EQ(LPR_IsWriteLog(0x100), 0);  // the low byte counts: off
  EXPECT_TRUE(kittest::ThreadCountBecomes(threads - 1)) << kittest::ThreadCount();
  EXPECT_NE(ReadFile(File("20240131")).find("queued 499\r\n"), std::string::npos);
  nardix::WriteLog("while off");
  EXPECT_TRUE(Queued().empty());
  // On again while running: a writer takes the lines at once.
  ASSERT_EQ(LPR_IsWriteLog(1), 0);
  EXPECT_EQ(kittest::ThreadCount(), threads);
  nardix::WriteLog("on again");
  EXPECT_TRUE(WaitFor("20240131", "on again"));
  EXPECT_EQ(ReadFile(File("20240131")).find("while off"), std::string::npos);
}

TEST_F(Log, LinesQueuedAfterQuitWaitForTheNextStart) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  ASSERT_EQ(lprtest::InitWithRecorder(0), 0);
  ASSERT_EQ(LPR_Quit(), 0);
  nardix::WriteLog("between runs");
  EXPECT_EQ(Queued().size(), 1u);
  ASSERT_EQ(lprtest::InitWithRecorder(0), 0);
  EXPECT_TRUE(Logged("between runs"));
}

}  // namespace

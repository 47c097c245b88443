// The control log: files, line format, order, bursts, midnight, switching.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "context.h"
#include "folders.h"
#include "log.h"
#include "log_queue.h"
#include "platform/net.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "process.h"
#include "wait.h"

namespace {

using kittest::Gbk;
using kittest::ReadFile;

// 2024-01-31 23:59:59.900 UTC
constexpr int64_t kBeforeMidnightMs = 1706745599900;

class Log : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    dir_ = kittest::MakeTempFolder("log");
    qelm::test::SetModulePath(dir_);
  }
  void TearDown() override {
    Qelm_RecordControlLog(0);
    pf::test::ThawClock();
  }
  std::string File(const char* date) const { return dir_ + "DLLLog/control-" + date + ".log"; }
  bool WaitFor(const char* date, const std::string& needle, int ms = 3000) {
    return kittest::WaitUntil([&] { return ReadFile(File(date)).find(needle) != std::string::npos; }, ms);
  }
  size_t Queued() {
    auto& q = qelm::Global().m_log;
    pf::Lock lk(q.m_csLog);
    return q.m_listLog.size();
  }
  std::string dir_;
};

TEST_F(Log, LineFormatFileNameAndGbkBytes) {
  pf::test::FreezeClock(kBeforeMidnightMs);
  ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  Qelm_InitControl(nullptr);  // logs two lines and returns 1
  const std::string expected = "2024-01-31 23:59:59-900    " + Gbk("动态库开始初始化") +
                               "\r\n2024-01-31 23:59:59-900    " + Gbk("初始化回调函数是NULL") + "\r\n";
  ASSERT_TRUE(WaitFor("20240131", Gbk("初始化回调函数是NULL")));
  EXPECT_EQ(ReadFile(File("20240131")), expected);
}

TEST_F(Log, MillisecondsAreThreeDigits) {
  pf::test::FreezeClock(kBeforeMidnightMs - 900 + 7);  // .007
  ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  qelm::WriteLog("abc");
  ASSERT_TRUE(WaitFor("20240131", "abc"));
  EXPECT_EQ(ReadFile(File("20240131")), "2024-01-31 23:59:59-007    abc\r\n");
}

TEST_F(Log, BurstOfTenThousandLinesIsWrittenWholeAndInOrder) {
  ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  pf::test::FreezeClock(kBeforeMidnightMs - 3600 * 1000);
  for (int i = 0; i < 10000; ++i) qelm::WriteLogF("line %05d", i);
  ASSERT_TRUE(WaitFor("20240131", "line 09999", 10000));
  const std::string all = ReadFile(File("20240131"));
  size_t pos = 0;
  for (int i = 0; i < 10000; ++i) {
    char want[16];
    snprintf(want, sizeof want, "line %05d\r\n", i);
    const size_t at = all.find(want, pos);
    ASSERT_NE(at, std::string::npos) << want;
    pos = at;
  }
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 10000);
}

TEST_F(Log, LineQueuedBeforeMidnightGoesIntoTheDayItIsWritten) {
  ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  pf::test::FreezeClock(kBeforeMidnightMs);
  {
    // Holding the queue's (re-entrant) lock keeps the writer from taking the line.
    pf::Lock lk(qelm::Global().m_log.m_csLog);
    qelm::WriteLog("late line");
    pf::test::FreezeClock(kBeforeMidnightMs + 200);  // 2024-02-01 00:00:00.100
  }
  ASSERT_TRUE(WaitFor("20240201", "late line"));
  EXPECT_EQ(ReadFile(File("20240201")), "2024-02-01 00:00:00-100    late line\r\n");
  EXPECT_FALSE(pf::PathExists(File("20240131")));
}

TEST_F(Log, SwitchingOnTwiceOrOffAndOnLeavesExactlyOneWriter) {
  const int base = kittest::ThreadCount();
  ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  EXPECT_EQ(kittest::ThreadCount(), base + 1);
  ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  EXPECT_EQ(kittest::ThreadCount(), base + 1);
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(Qelm_RecordControlLog(0), 0);
    ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  }
  EXPECT_TRUE(kittest::ThreadCountBecomes(base + 1)) << kittest::ThreadCount();
  qelm::WriteLog("still written");
  const std::string today = [] {
    std::tm tm = pf::LocalTime(pf::Now().sec);
    char d[16];
    strftime(d, sizeof d, "%Y%m%d", &tm);
    return std::string(d);
  }();
  EXPECT_TRUE(WaitFor(today.c_str(), "still written"));
  ASSERT_EQ(Qelm_RecordControlLog(0), 0);
  EXPECT_TRUE(kittest::ThreadCountBecomes(base)) << kittest::ThreadCount();
}

TEST_F(Log, LinesWhileOffAreDroppedAndQueuedLinesSurviveSwitchingOff) {
  pf::test::FreezeClock(kBeforeMidnightMs - 1000);
  qelm::WriteLog("while off");
  EXPECT_EQ(Queued(), 0u);
  ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  for (int i = 0; i < 100; ++i) qelm::WriteLogF("kept %d", i);
  ASSERT_EQ(Qelm_RecordControlLog(0), 0);  // the writer writes the queue before it ends
  const std::string all = ReadFile(File("20240131"));
  EXPECT_NE(all.find("kept 99\r\n"), std::string::npos);
  EXPECT_EQ(all.find("while off"), std::string::npos);
}

TEST_F(Log, QuitWritesWhatIsQueued) {
  pf::test::FreezeClock(kBeforeMidnightMs - 1000);
  ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  for (int i = 0; i < 100; ++i) qelm::WriteLogF("before quit %d", i);
  Qelm_Quit();
  EXPECT_NE(ReadFile(File("20240131")).find("before quit 99\r\n"), std::string::npos);
  EXPECT_EQ(qelm::Global().m_log.m_bLogOn.load(), 0);
}

TEST_F(Log, WriterThreadFailureGives3AndQueuesItsLineForTheNextWriter) {
  pf::test::FreezeClock(kBeforeMidnightMs - 1000);
  const int base = kittest::ThreadCount();
  pf::test::FailNextThreadStarts(1);
  EXPECT_EQ(Qelm_RecordControlLog(1), 3);
  EXPECT_EQ(qelm::Global().m_log.m_bLogOn.load(), 1);
  {
    auto& q = qelm::Global().m_log;
    pf::Lock lk(q.m_csLog);
    ASSERT_GE(q.m_listLog.size(), 2u);
    EXPECT_EQ(q.m_listLog[0], Gbk("记录日志，启用线程失败"));
  }
  EXPECT_EQ(kittest::ThreadCount(), base);
  // The log is on but has no writer: switching it on again starts one, which
  // writes what waited.
  ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  EXPECT_EQ(kittest::ThreadCount(), base + 1);
  EXPECT_TRUE(WaitFor("20240131", Gbk("记录日志，启用线程失败")));
  ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  EXPECT_EQ(kittest::ThreadCount(), base + 1);
}

TEST_F(Log, SwitchesFromSeveralThreadsLeaveTheFlagAndTheWriterAgreeing) {
  const int base = kittest::ThreadCount();
  auto& g = qelm::Global();
  for (int round = 0; round < 20; ++round) {
    std::vector<std::thread> switchers;
    for (int t = 0; t < 4; ++t)
      switchers.emplace_back([t, round] {
        for (int i = 0; i < 25; ++i) Qelm_RecordControlLog((i + t + round) % 2);
      });
    for (auto& s : switchers) s.join();
    const bool on = g.m_log.m_bLogOn.load() == 1;
    EXPECT_EQ(on, g.m_logWriter.Running()) << "round " << round;
    EXPECT_TRUE(kittest::ThreadCountBecomes(base + (on ? 1 : 0))) << "round " << round;
  }
}

TEST_F(Log, NoOperationExportsReturn0) {
  EXPECT_EQ(Qelm_EnableCameraLog(1, 2, 3), 0);
  EXPECT_EQ(Qelm_SetRevLogMode(1, 2, 3, 4, 5), 0);
  EXPECT_EQ(Qelm_GetLogData(1, 2), 0);
}

TEST(LogSocketError, QueuesTheEnglishTextOfTheLastError) {
  struct Case {
    int code;
    const char* text;
  } cases[] = {
      {10035, "The socket is marked as nonblocking and the requested operation would block. "},
      {10054,
       "The virtual circuit was reset by the remote side executing a hard or abortive close. For UPD "
       "sockets, the remote host was unable to deliver a previously sent UDP datagram and responded with "
       "a \"Port Unreachable\" ICMP packet. The application should close the socket as it is no longer "
       "usable. "},
      {10061, "Unknown socket error. "},
      {10093, "A successful WSAStartup call must occur before using this function. "},
      {10004, "A blocking Windows Sockets 1.1 call was canceled through WSACancelBlockingCall. "},
      {12345, "Unknown socket error. "},
  };
  auto& q = qelm::Global().m_log;
  q.m_bLogOn.store(1);  // queue only, no writer
  for (const auto& c : cases) {
    pf::WSASetLastError(c.code);
    qelm::LogSocketError();
    pf::Lock lk(q.m_csLog);
    ASSERT_FALSE(q.m_listLog.empty());
    EXPECT_EQ(q.m_listLog.back(), c.text) << c.code;
  }
  pf::Lock lk(q.m_csLog);
  EXPECT_EQ(q.m_listLog.size(), sizeof cases / sizeof cases[0]);
}

TEST(Folders, CreateFolderPathCases) {
  const std::string base = kittest::MakeTempFolder("folders");
  ASSERT_TRUE(kit::CreateFolderPath(base + "a/b/c/"));  // three nested, trailing separator
  EXPECT_TRUE(pf::IsDirectory(base + "a/b/c"));
  ASSERT_TRUE(kit::CreateFolderPath(base + "x/y"));  // no trailing separator
  EXPECT_TRUE(pf::IsDirectory(base + "x/y"));
  EXPECT_TRUE(kit::CreateFolderPath(base + "a/b"));  // already there
  FILE* f = fopen((base + "file").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_FALSE(kit::CreateFolderPath(base + "file/sub/"));  // a component is a file
  EXPECT_FALSE(pf::PathExists(base + "file/sub"));
}

// A library that keeps no files has no folder; the paths it then builds are
// relative and must not land in, or empty, the process's current folder.
TEST(Folders, RelativePathsAreLeftAlone) {
  const std::string cwd = kittest::MakeTempFolder("cwd");
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  ASSERT_TRUE(kit::CreateFolderPath(cwd + "XML/"));
  FILE* f = fopen((cwd + "XML/keep").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_FALSE(kit::CreateFolderPath("DLLLog/"));
  EXPECT_FALSE(kit::CreateFolderPath("ErrorData/127.0.0.2/"));
  kit::DeleteFolderTree("XML");
  EXPECT_FALSE(pf::PathExists(cwd + "DLLLog"));
  EXPECT_FALSE(pf::PathExists(cwd + "ErrorData"));
  EXPECT_TRUE(pf::PathExists(cwd + "XML/keep"));

  kit::LogQueue q;
  kit::LogWriter w(q, kit::LogFileLayout{[] { return std::string("DLLLog/"); }, "control-", true});
  q.m_bLogOn.store(1);
  kit::QueueLogLine(q, "a line with nowhere to go");
  w.Drain();
  EXPECT_FALSE(pf::PathExists(cwd + "DLLLog"));
  std::vector<std::string> names;
  ASSERT_TRUE(pf::ListDirectory(cwd, &names));
  EXPECT_EQ(names, std::vector<std::string>{"XML"});
}

TEST(Folders, DeleteFolderTreeRemovesEverythingBelow) {
  const std::string base = kittest::MakeTempFolder("tree");
  ASSERT_TRUE(kit::CreateFolderPath(base + "t/a/b/"));
  for (const char* name : {"t/one", "t/a/two", "t/a/b/three"}) {
    FILE* f = fopen((base + name).c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
  }
  chmod((base + "t/a/two").c_str(), 0444);  // read-only files go too
  // Links inside the tree to a folder and a file outside it: the links go,
  // what they point to stays.
  ASSERT_TRUE(kit::CreateFolderPath(base + "outside/"));
  FILE* f = fopen((base + "outside/keep").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  ASSERT_EQ(symlink((base + "outside").c_str(), (base + "t/a/dirlink").c_str()), 0);
  ASSERT_EQ(symlink((base + "outside/keep").c_str(), (base + "t/filelink").c_str()), 0);
  kit::DeleteFolderTree(base + "t");
  EXPECT_FALSE(pf::PathExists(base + "t"));
  EXPECT_FALSE(pf::IsLink(base + "t/a/dirlink"));
  EXPECT_TRUE(pf::PathExists(base + "outside/keep"));
  EXPECT_TRUE(pf::PathExists(base));
  kit::DeleteFolderTree("");  // nothing happens
}

}  // namespace

namespace {

// A stop that arrives while the writer is between taking the queue and writing
// it: the lines queued meanwhile must still be written before the writer ends.
TEST(LogWriterStop, LinesQueuedDuringTheLastDrainAreWrittenToo) {
  const std::string dir = kittest::MakeTempFolder("logstop");
  kit::LogQueue q;
  q.m_bLogOn.store(1);
  kit::LogWriter* self = nullptr;
  bool once = true;
  // The folder is asked for after the queue was taken: queue one more line
  // and ask the writer to stop from right there.
  kit::LogWriter writer(q, kit::LogFileLayout{[&] {
                          if (once) {
                            once = false;
                            kit::QueueLogLine(q, "queued during the drain");
                            self->Stop();  // on the writer itself: no join
                          }
                          return dir;
                        }, "w", true});
  self = &writer;
  kit::QueueLogLine(q, "first");
  ASSERT_TRUE(writer.Start());
  ASSERT_TRUE(kittest::WaitUntil([&] { return !writer.Running(); }, 3000));
  writer.Stop();
  std::tm tm = pf::LocalTime(pf::Now().sec);
  char day[16];
  strftime(day, sizeof day, "%Y%m%d", &tm);
  const std::string all = ReadFile(dir + "w" + day + ".log");
  EXPECT_NE(all.find("    first\r\n"), std::string::npos) << all;
  EXPECT_NE(all.find("    queued during the drain\r\n"), std::string::npos) << all;
}

}  // namespace

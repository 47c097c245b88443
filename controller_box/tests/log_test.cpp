// The box log: every line, its format and file, and the reconnection-failure
// line.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

#include "PyrnBox.h"
#include "context.h"
#include "log.h"
#include "platform/net.h"
#include "platform/system.h"
#include "process.h"
#include "wait.h"

namespace {

using kittest::Gbk;
using kittest::ReadFile;

constexpr int64_t kJan31 = 1706745599007;  // 2024-01-31 23:59:59.007 UTC

class BoxLog : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    dir_ = kittest::MakeTempFolder("boxlog");
    pyrn::test::SetModulePath(dir_);
  }
  void TearDown() override {
    PyrnBox_Quit();
    pf::test::ThawClock();
  }
  std::string File(const char* date) const { return dir_ + "DLLLog/" + date + ".log"; }
  bool WaitFor(const char* date, const std::string& needle, int ms = 3000) {
    return kittest::WaitUntil([&] { return ReadFile(File(date)).find(needle) != std::string::npos; }, ms);
  }
  std::string dir_;
};

TEST_F(BoxLog, LinesQueuedBeforeStartUpAreWrittenOldestFirstWithoutADash) {
  pf::test::FreezeClock(kJan31);
  pyrn::WriteLog("first");
  pyrn::WriteLog(Gbk("第二行"));
  EXPECT_FALSE(pf::PathExists(File("20240131")));
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, nullptr, nullptr), 0);
  ASSERT_TRUE(WaitFor("20240131", "\r\n2024"));
  EXPECT_EQ(ReadFile(File("20240131")),
            "2024-01-31 23:59:59007    first\r\n2024-01-31 23:59:59007    " + Gbk("第二行") + "\r\n");
}

TEST_F(BoxLog, LinesQueuedAfterQuitWaitForTheNextStartUp) {
  pf::test::FreezeClock(kJan31);
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, nullptr, nullptr), 0);
  PyrnBox_Quit();
  pyrn::WriteLog("after quit");
  {
    auto& q = pyrn::Global().m_log;
    pf::Lock lk(q.m_csLog);
    ASSERT_EQ(q.m_listLog.size(), 1u) << "queued, and no writer takes it";
  }
  EXPECT_EQ(ReadFile(File("20240131")).find("after quit"), std::string::npos);
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_TRUE(WaitFor("20240131", "2024-01-31 23:59:59007    after quit\r\n"));
}

TEST_F(BoxLog, TheReconnectionFailureLineIsInUtcPlusEight) {
  const struct {
    int64_t ms;
    int error;
    const char* stamp;
    const char* reason;
  } cases[] = {
      {1706720700123, 10035, "01:05:00.123", "The socket is marked as nonblocking and the requested operation would block. "},
      {1706745599007, 10061, "07:59:59.007", "Unknown socket error. "},
      {1706659200000, 10054, "08:00:00.000", nullptr},
  };
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, nullptr, nullptr), 0);
  for (const auto& c : cases) {
    pf::test::FreezeClock(c.ms);
    pf::WSASetLastError(c.error);
    pyrn::LogSocketError("10.1.2.3");
    const std::string reason = c.reason ? c.reason : kit::SocketErrorText(10054);
    const std::string want = std::string(c.stamp) + Gbk(" 设备 IP 10.1.2.3 ,重连失败，失败原因 ") + reason + "\r\n";
    std::tm tm = pf::LocalTime(c.ms / 1000);
    char date[16];
    strftime(date, sizeof date, "%Y%m%d", &tm);
    EXPECT_TRUE(WaitFor(date, want)) << c.stamp;
  }
}

TEST_F(BoxLog, ABurstIsWrittenWholeAndInOrderAndQuitWritesWhatIsLeft) {
  pf::test::FreezeClock(kJan31 - 3600 * 1000);
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, nullptr, nullptr), 0);
  for (int i = 0; i < 2000; ++i) pyrn::WriteLogF("line %04d", i);
  ASSERT_TRUE(WaitFor("20240131", "line 1999", 3000)) << "not one line per cycle";
  for (int i = 0; i < 50; ++i) pyrn::WriteLogF("late %d", i);
  PyrnBox_Quit();
  const std::string all = ReadFile(File("20240131"));
  size_t pos = 0;
  for (int i = 0; i < 2000; ++i) {
    char want[24];
    snprintf(want, sizeof want, "    line %04d\r\n", i);
    pos = all.find(want, pos);
    ASSERT_NE(pos, std::string::npos) << want;
  }
  EXPECT_NE(all.find("late 49\r\n"), std::string::npos);
}

TEST_F(BoxLog, AFolderThatCannotBeMadeLosesTheLinesAndNothingElse) {
  // The library's folder is a file: no log folder can be made below it.
  const std::string blocked = dir_ + "file";
  FILE* f = fopen(blocked.c_str(), "w");
  fclose(f);
  pyrn::test::SetModulePath(blocked + "/");
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, nullptr, nullptr), 0);
  pyrn::WriteLog("lost");
  ASSERT_TRUE(kittest::WaitUntil([] {
    auto& q = pyrn::Global().m_log;
    pf::Lock lk(q.m_csLog);
    return q.m_listLog.empty();
  }, 2000));
  pyrn::test::SetModulePath(dir_);
  pf::test::FreezeClock(kJan31);
  pyrn::WriteLog("kept");
  ASSERT_TRUE(WaitFor("20240131", "kept"));
  EXPECT_EQ(ReadFile(File("20240131")).find("lost"), std::string::npos);
}

// Devices' bytes make lines from many threads at once. While no writer
// runs, the queue stops at its bound and every line past it is counted; the
// first drain writes the lines that waited, then one line with the count.
// With the writer running meanwhile, every line is written or counted in
// exactly one such line.
TEST_F(BoxLog, ManyThreadsFillingTheQueueLoseNoLineUncounted) {
  pf::test::FreezeClock(kJan31);
  constexpr int kThreads = 8;
  auto logFromThreads = [](int lines) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([t, lines] {
        for (int i = 0; i < lines; ++i) pyrn::WriteLogF("t%d n%d", t, i);
      });
    for (auto& th : threads) th.join();
  };
  // The lines written so far (from "t") and the counts the drop lines tell.
  auto tally = [&](size_t* written, uint64_t* told, size_t* dropLines) {
    *written = 0;
    *told = 0;
    *dropLines = 0;
    const std::string all = ReadFile(File("20240131"));
    const std::string drop = Gbk("日志队列已满，丢弃");
    for (size_t at = 0, end; (end = all.find("\r\n", at)) != std::string::npos; at = end + 2) {
      const std::string text = all.substr(at, end - at).substr(26);  // past the time stamp and blanks
      if (text[0] == 't') {
        ++*written;
      } else if (text.compare(0, drop.size(), drop) == 0) {
        ++*dropLines;
        *told += strtoull(text.c_str() + drop.size(), nullptr, 10);
        EXPECT_EQ(text.substr(text.find_first_not_of("0123456789", drop.size())), Gbk("条日志"));
      }
    }
  };

  logFromThreads(5000);
  {
    auto& q = pyrn::Global().m_log;
    pf::Lock lk(q.m_csLog);
    EXPECT_EQ(q.m_listLog.size(), kit::kMaxQueuedLogLines);
    EXPECT_EQ(q.m_dropped, kThreads * 5000 - kit::kMaxQueuedLogLines);
  }
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, nullptr, nullptr), 0);
  ASSERT_TRUE(WaitFor("20240131", Gbk("丢弃30000条日志\r\n")));
  size_t written, dropLines;
  uint64_t told;
  tally(&written, &told, &dropLines);
  EXPECT_EQ(written, kit::kMaxQueuedLogLines);
  EXPECT_EQ(told, 30000u);
  EXPECT_EQ(dropLines, 1u);
  EXPECT_EQ(ReadFile(File("20240131")).rfind(Gbk("丢弃30000条日志\r\n")) + Gbk("丢弃30000条日志\r\n").size(),
            ReadFile(File("20240131")).size())
      << "after the lines that waited";

  logFromThreads(20000);
  PyrnBox_Quit();  // writes what is left
  tally(&written, &told, &dropLines);
  EXPECT_EQ(written + told, kit::kMaxQueuedLogLines + 30000u + kThreads * 20000u);
}

}  // namespace

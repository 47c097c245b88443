#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "platform/thread.h"
#include "wait.h"

namespace {

TEST(AutoResetEvent, SetBeforeWaitIsTakenOnce) {
  pf::AutoResetEvent ev;
  ev.Set();
  EXPECT_TRUE(ev.Wait(0));
  EXPECT_FALSE(ev.Wait(0));  // auto-reset: taken by the first wait
}

TEST(AutoResetEvent, WaitTimesOut) {
  pf::AutoResetEvent ev;
  const int64_t t0 = kittest::NowMs();
  EXPECT_FALSE(ev.Wait(50));
  EXPECT_GE(kittest::NowMs() - t0, 45);
}

TEST(AutoResetEvent, OneSetWakesExactlyOneOfTwoWaiters) {
  pf::AutoResetEvent ev;
  std::atomic<int> woke{0}, done{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 2; ++i)
    ts.emplace_back([&] {
      if (ev.Wait(2000)) ++woke;
      ++done;
    });
  // Both waiters are blocked before the one set.
  ASSERT_TRUE(kittest::WaitUntil([&] { return ev.Waiters() == 2; }, 2000));
  ev.Set();
  ASSERT_TRUE(kittest::WaitUntil([&] { return done.load() == 1; }, 1000));  // well before the time-out
  EXPECT_EQ(woke.load(), 1);
  EXPECT_EQ(ev.Waiters(), 1);  // the other one still waits
  ASSERT_TRUE(kittest::WaitUntil([&] { return done.load() == 2; }, 5000));
  for (auto& t : ts) t.join();
  EXPECT_EQ(woke.load(), 1);
  EXPECT_FALSE(ev.Wait(0));  // the set was taken, not left behind
}

TEST(AutoResetEvent, NegativeWaitsUntilSet) {
  pf::AutoResetEvent ev;
  std::atomic<bool> got{false};
  std::thread t([&] { got = ev.Wait(-1); });
  ev.Set();
  t.join();
  EXPECT_TRUE(got.load());
}

TEST(CriticalSection, IsReentrant) {
  pf::CriticalSection cs;
  pf::Lock a(cs);
  pf::Lock b(cs);  // would deadlock on a plain mutex
  SUCCEED();
}

TEST(Thread, StartFailureCanBeForcedAndJoinIsSafe) {
  pf::Thread t;
  pf::test::FailNextThreadStarts(1);
  EXPECT_FALSE(t.Start([] {}));
  EXPECT_NE(pf::GetLastError(), 0);
  std::atomic<bool> ran{false};
  EXPECT_TRUE(t.Start([&] { ran = true; }));
  EXPECT_TRUE(t.Join());
  EXPECT_TRUE(ran.load());
  EXPECT_TRUE(t.Join());  // nothing left to join
}

TEST(Thread, NeverJoinsItself) {
  pf::Thread t;
  std::atomic<int> result{-1};
  std::atomic<bool> go{false};
  ASSERT_TRUE(t.Start([&] {
    while (!go.load()) std::this_thread::yield();
    result = t.Join() ? 1 : 0;
  }));
  go = true;
  ASSERT_TRUE(kittest::WaitUntil([&] { return result.load() != -1; }, 2000));
  EXPECT_EQ(result.load(), 0);
  t.Join();
}

TEST(TimedMutex, GivesUpAfterItsTimeAndIsTakenOnceFree) {
  pf::TimedMutex m;
  m.lock();
  EXPECT_FALSE(m.try_lock());
  std::atomic<bool> gaveUp{false}, got{false};
  std::thread t([&] {
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(m.try_lock_for(std::chrono::milliseconds(50)));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
    gaveUp.store(true);
    got.store(m.try_lock_for(std::chrono::seconds(5)));  // freed below
    if (got.load()) m.unlock();
  });
  ASSERT_TRUE(kittest::WaitUntil([&] { return gaveUp.load(); }, 5000));
  m.unlock();
  t.join();
  EXPECT_TRUE(got.load());
  EXPECT_TRUE(m.try_lock());
  m.unlock();
}

}  // namespace

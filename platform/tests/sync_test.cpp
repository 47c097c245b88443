#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/reply_signal.h"
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

// The reply hand-over, with the spin before the sleep at its default length,
// switched off (every wait sleeps) and long enough that waits never sleep.
class ReplySignalTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    saved_ = pf::test::ReplySpinUs();
    pf::test::SetReplySpinUs(GetParam() < 0 ? saved_ : GetParam());
  }
  void TearDown() override { pf::test::SetReplySpinUs(saved_); }
  int saved_ = 0;
};

TEST_P(ReplySignalTest, ASetIsTakenByOneWaitAndResetForgetsIt) {
  pf::ReplySignal s;
  s.Set();
  s.Set();  // not counted: still one set
  EXPECT_TRUE(s.Wait(0));
  EXPECT_FALSE(s.Wait(0));
  s.Set();
  s.Reset();
  EXPECT_FALSE(s.Wait(0));
}

TEST_P(ReplySignalTest, WaitEndsAtItsDeadlineWithoutASet) {
  pf::ReplySignal s;
  const int64_t t0 = kittest::NowMs();
  EXPECT_FALSE(s.Wait(30));
  EXPECT_GE(kittest::NowMs() - t0, 29);
  EXPECT_FALSE(s.WaitUntilMs(kittest::NowMs() - 5));  // a deadline already past
}

TEST_P(ReplySignalTest, SetFromAnotherThreadEndsTheWaitLongBeforeItsDeadline) {
  pf::ReplySignal s;
  std::atomic<bool> waiting{false};
  std::thread setter([&] {
    while (!waiting.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the waiter sleeps by now
    s.Set();
  });
  waiting.store(true);
  const int64_t t0 = kittest::NowMs();
  EXPECT_TRUE(s.Wait(10000));
  EXPECT_LT(kittest::NowMs() - t0, 5000);
  setter.join();
  EXPECT_FALSE(s.Wait(0));  // taken by that wait
}

// Round trips between two threads: every set reaches its wait, none is lost
// or taken twice, and what was written before a set is seen after the wait.
TEST_P(ReplySignalTest, ManyHandOversLoseNothing) {
  pf::ReplySignal toB, toA;
  int value = 0;  // written before each set, read after each wait
  constexpr int kRounds = 2000;
  std::atomic<bool> failed{false};
  std::thread b([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (!toB.Wait(10000) || value != 2 * i + 1) {
        failed.store(true);
        toA.Set();
        return;
      }
      value = 2 * i + 2;
      toA.Set();
    }
  });
  for (int i = 0; i < kRounds && !failed.load(); ++i) {
    value = 2 * i + 1;
    toB.Set();
    ASSERT_TRUE(toA.Wait(10000));
    if (!failed.load()) {
      EXPECT_EQ(value, 2 * i + 2);
    }
  }
  b.join();
  EXPECT_FALSE(failed.load());
  EXPECT_FALSE(toA.Wait(0));
  EXPECT_FALSE(toB.Wait(0));
}

INSTANTIATE_TEST_SUITE_P(Spin, ReplySignalTest, ::testing::Values(-1, 0, 1000000),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return i.param < 0 ? std::string("Default") : i.param == 0 ? std::string("None")
                                                                                      : std::string("Long");
                         });

TEST(TimedMutex, ContendedLockingLosesNoWakeUp) {
  pf::TimedMutex m;
  long counter = 0;
  constexpr int kThreads = 4, kRounds = 5000;
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        if (t % 2) {
          std::lock_guard<pf::TimedMutex> lk(m);
          ++counter;
        } else {
          std::unique_lock<pf::TimedMutex> lk(m, std::defer_lock);
          while (!lk.try_lock_for(std::chrono::milliseconds(1))) {
          }
          ++counter;
        }
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
}

}  // namespace

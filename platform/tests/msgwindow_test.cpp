#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "platform/msgwindow.h"

namespace {

struct Seen {
  uint32_t msg;
  uintptr_t w, l;
  std::thread::id thread;
};

TEST(MessageWindow, RunsHandlersInPostingOrderOnItsOwnThread) {
  pf::MessageWindow win;
  std::mutex m;
  std::vector<Seen> seen;
  ASSERT_TRUE(win.Create([&](uint32_t msg, uintptr_t w, uintptr_t l) {
    std::lock_guard<std::mutex> lk(m);
    seen.push_back({msg, w, l, std::this_thread::get_id()});
  }));
  // Two posters: each one's messages keep their order.
  auto poster = [&](uint32_t base) {
    for (uintptr_t i = 0; i < 500; ++i) ASSERT_TRUE(win.Post(base, i, i + 1));
  };
  std::thread a(poster, 0x500), b(poster, 0x501);
  const auto aId = a.get_id(), bId = b.get_id();
  a.join();
  b.join();
  poster(0x502);
  ASSERT_TRUE(win.WaitIdle(5000));
  std::lock_guard<std::mutex> lk(m);
  ASSERT_EQ(seen.size(), 1500u);
  uintptr_t next[3] = {0, 0, 0};
  for (const auto& s : seen) {
    EXPECT_EQ(s.thread, win.DispatcherId());
    EXPECT_NE(s.thread, aId);
    EXPECT_NE(s.thread, bId);
    EXPECT_NE(s.thread, std::this_thread::get_id());
    EXPECT_EQ(s.w, next[s.msg - 0x500]++);
    EXPECT_EQ(s.l, s.w + 1);
  }
}

TEST(MessageWindow, PostFailsBeforeCreateAndWhenFull) {
  pf::MessageWindow win;
  EXPECT_FALSE(win.Post(1, 0, 0));
  std::mutex gate;
  gate.lock();  // the first handler blocks, so the queue fills up
  ASSERT_TRUE(win.Create([&](uint32_t, uintptr_t, uintptr_t) {
    std::lock_guard<std::mutex> lk(gate);
  }));
  size_t accepted = 0;
  while (win.Post(1, 0, 0) && accepted < 2 * pf::MessageWindow::kQueueLimit) ++accepted;
  EXPECT_GE(accepted, pf::MessageWindow::kQueueLimit);
  EXPECT_LE(accepted, pf::MessageWindow::kQueueLimit + 1);
  gate.unlock();
  EXPECT_TRUE(win.WaitIdle(10000));
  EXPECT_TRUE(win.Post(1, 0, 0));  // room again
  EXPECT_TRUE(win.WaitIdle(5000));
}

}  // namespace

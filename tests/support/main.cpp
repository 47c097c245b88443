// Test main: enters a private network before anything starts a thread.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "netns.h"
#include "wait.h"

int main(int argc, char** argv) {
  std::string why;
  if (!kittest::EnterPrivateNetwork(&why))
    fprintf(stderr, "note: no private network for this test process (%s)\n", why.c_str());
  // Sanitizer runtimes start helper threads with the first thread; start that
  // now, so that thread counts taken by tests are stable. The joined thread
  // leaves /proc/self/task a moment after the join: a test's first count must
  // not find it there.
  long tid = 0;
  std::thread([&tid] { tid = syscall(SYS_gettid); }).join();
  const std::string task = "/proc/self/task/" + std::to_string(tid);
  kittest::WaitUntil([&] { return access(task.c_str(), F_OK) != 0; }, 5000);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

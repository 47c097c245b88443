// Test main: enters a private network before anything starts a thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "netns.h"

int main(int argc, char** argv) {
  std::string why;
  if (!kittest::EnterPrivateNetwork(&why))
    fprintf(stderr, "note: no private network for this test process (%s)\n", why.c_str());
  // Sanitizer runtimes start helper threads with the first thread; start that
  // now, so that thread counts taken by tests are stable.
  std::thread([] {}).join();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

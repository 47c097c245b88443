// Test main: enters a private network before anything starts a thread.
#include <gtest/gtest.h>

#include <cstdio>

#include "netns.h"

int main(int argc, char** argv) {
  std::string why;
  if (!kittest::EnterPrivateNetwork(&why))
    fprintf(stderr, "note: no private network for this test process (%s)\n", why.c_str());
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

// Test main of the tool: a private network first (before any thread starts),
// then one QApplication on the offscreen platform for every test.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdio>
#include <thread>

#include "netns.h"

int main(int argc, char** argv) {
  std::string why;
  if (!kittest::EnterPrivateNetwork(&why))
    fprintf(stderr, "note: no private network for this test process (%s)\n", why.c_str());
  std::thread([] {}).join();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Kept to the end of the process: the offscreen platform does not free its
  // screen when the application goes, which a leak check would report.
  static int qtArgc = argc;
  static QApplication* app = new QApplication(qtArgc, argv);
  (void)app;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

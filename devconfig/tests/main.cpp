// Test main of the tool: a private network first (before any thread starts),
// then one QApplication on the offscreen platform for every test.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdio>
#include <thread>

#include "netns.h"

#if defined(__SANITIZE_THREAD__)
// Qt is not built for ThreadSanitizer: its locks (futexes of its own) are
// unseen, so the copies Qt makes under them (its posted-event list, which the
// libraries' threads fill while the GUI thread takes from it) would look like
// races. Copies that Qt's own code makes are not checked; the tool's code is.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt5Core.so.5\n";
}
#endif

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

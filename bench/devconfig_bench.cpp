// The configuration tool under many answers, on the offscreen Qt platform.
//
//   rows [max]   answers posted to the window as the libraries' callbacks
//                post them (distinct devices, then every device answering
//                twice, as it does on both search ports), 2500 up to `max`
//                (20000 by default): the time the window needs for them, the
//                time per answer (which stays flat when the cost grows with
//                the number of answers, and doubles with it when the cost
//                grows with its square), and the time the next search takes
//                to clear the rows.
//   burst [n] [rounds]
//                one search through the three libraries, answered at once by
//                `n` fake devices (1000 by default: a third of them of each
//                kind): the rows the table shows of them, per round.
//
// Runs only inside the private test network:
//   scripts/in-test-network.sh build/bench/devconfig_bench rows
//   scripts/in-test-network.sh build/bench/devconfig_bench burst [n] [rounds]
#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "callbacks.h"
#include "fake_discovery_camera.h"
#include "fake_peer.h"
#include "fake_site_devices.h"
#include "mainwindow.h"
#include "netns.h"

namespace {

uint32_t DeviceIp(uint32_t i) {
  return kittest::Addr("10.0.0.0") | ((i >> 16) & 0xFF) << 8 | ((i >> 8) & 0xFF) << 16 | (i & 0xFF) << 24;
}

int Rows(MainWindow& w) { return w.findChild<QTableView*>()->model()->rowCount(); }

// Runs the window's events until `cond` holds (at most `ms`).
template <class Cond>
bool RunUntil(Cond cond, int ms) {
  QElapsedTimer t;
  t.start();
  while (!cond()) {
    if (t.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

// The next search's first step: every found row goes. Milliseconds.
double EmptyTable(MainWindow& w) {
  QElapsedTimer t;
  t.start();
  w.ClearAutoSearchRows();
  QApplication::processEvents();
  return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

// Every answer posted from a library's thread, as the box library's callback
// posts it; the time from the first post to the table holding every device.
double PostAnswers(MainWindow& w, int devices, int answersEach) {
  QElapsedTimer t;
  t.start();
  std::thread library([&] {
    for (int pass = 0; pass < answersEach; ++pass) {
      for (int i = 0; i < devices; ++i) {
        StSearchResult r;
        memset(&r, 0, sizeof r);
        r.ip = DeviceIp(static_cast<uint32_t>(i));
        r.mask = kittest::Addr("255.0.0.0");
        strcpy(r.version, "VELD-box");
        BoxSearchCallback(&r);
      }
    }
  });
  library.join();
  if (!RunUntil([&] { return Rows(w) == devices; }, 600000)) fprintf(stderr, "rows missing: %d\n", Rows(w));
  QApplication::processEvents();  // the view's layout of what came
  return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

int RowsBench(MainWindow& w, int max) {
  printf("%-22s %8s %12s %16s %18s\n", "answers", "devices", "window (ms)", "per answer (us)",
         "next search's clearing (ms)");
  for (int answersEach : {1, 2}) {
    for (int n = 2500; n <= max; n *= 2) {
      const double ms = PostAnswers(w, n, answersEach);
      const double clearMs = EmptyTable(w);
      const int answers = n * answersEach;
      printf("%-22s %8d %12.1f %16.2f %18.1f\n",
             (std::to_string(answers) + (answersEach == 1 ? " distinct" : " (each twice)")).c_str(), n, ms,
             1000.0 * ms / answers, clearMs);
      fflush(stdout);
    }
  }
  return 0;
}

// ---- one search answered at once by fake devices of the three kinds ----

const uint8_t kMac[6] = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};

// Device i of one kind (1: cameras, 2: boxes, 3: plate-recognition cameras).
std::string CrowdIp(int kind, int i) {
  return "10." + std::to_string(kind) + "." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
}

int BurstBench(MainWindow& w, int devices, int rounds) {
  const int perKind[3] = {devices - 2 * (devices / 3), devices / 3, devices / 3};  // camera, box, plate
  kittest::FakeUdpEndpoint port("0.0.0.0", fakecam::kSearchPort);
  if (!port.Bound()) {
    fprintf(stderr, "cannot bind the fakes' port %u\n", fakecam::kSearchPort);
    return 1;
  }
  // Devices of each kind get their own addresses: 10.1.x.y cameras,
  // 10.2.x.y boxes, 10.3.x.y plate-recognition cameras.
  port.SetOnDatagram([perKind](kittest::FakeUdpEndpoint& ep, const kittest::Datagram& d) {
    fakesite::AnswerAsCrowd(ep, d, perKind, [](int kind, int i) { return CrowdIp(kind + 1, i); }, kMac);
  });
  printf("%5s %12s\n", "round", "rows shown");
  long shown = 0;
  for (int r = 1; r <= rounds; ++r) {
    w.SearchDevice();
    // Done when every row came, or when nothing more came for two seconds.
    benchkit::WaitBurstEnd([&] { return Rows(w); }, devices, 2000,
                           [](const std::function<bool()>& cond, int ms) { return RunUntil(cond, ms); });
    printf("%5d %7d/%-4d\n", r, Rows(w), devices);
    fflush(stdout);
    shown += Rows(w);
  }
  printf("shown %.1f%% of %ld answers\n", 100.0 * shown / (1.0 * devices * rounds), 1L * devices * rounds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!kittest::ProgramInPrivateNetwork(argv[0])) return 2;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const std::string what = argc > 1 ? argv[1] : "rows";
  MainWindow w;
  w.show();
  int rc = 2;
  if (what == "rows") {
    rc = RowsBench(w, argc > 2 ? std::max(2500, atoi(argv[2])) : 20000);
  } else if (what == "burst") {
    rc = BurstBench(w, argc > 2 ? std::max(3, atoi(argv[2])) : 1000, argc > 3 ? std::max(1, atoi(argv[3])) : 5);
  } else {
    fprintf(stderr, "usage: %s rows [max] | burst [devices] [rounds]\n", argv[0]);
  }
  w.close();
  return rc;
}

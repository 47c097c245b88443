// Discovery under load: one search answered at once by 254 fake cameras.
// Prints, per round, the time from the search to the last callback, the share
// of answers delivered, and how long the fake needed to send them.
//
// Runs only inside the private test network:
//   scripts/in-test-network.sh build/bench/discovery_bench [rounds]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Qelm_Control.h"
#include "bench_support.h"
#include "fake_discovery_camera.h"
#include "message_wnd.h"
#include "netns.h"
#include "wait.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCameras = 254;
std::atomic<int> g_found{0};
std::atomic<int64_t> g_lastNs{0};

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

void QELM_CALL OnFound(StCameraInfo*) {
  g_found.fetch_add(1);
  g_lastNs.store(NowNs());
}

std::vector<fakecam::Bytes> Answers(const kittest::Datagram& search) {
  std::vector<fakecam::Bytes> out;
  for (uint32_t i = 1; i <= kCameras; ++i) {
    fakecam::Answer a;
    a.hostAddr = kittest::Addr(kittest::kHostAddress);
    a.ip = kittest::Addr("198.51.100.0") | i << 24;
    a.mask = kittest::Addr("255.255.255.0");
    out.push_back(fakecam::Encode(a));
  }
  return out;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (!kittest::ProgramInPrivateNetwork(argv[0])) return 2;
  const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 20;

  fakecam::FakeCamera cam;
  if (!cam.Bound()) {
    fprintf(stderr, "cannot bind the fake camera's ports 58588/58589\n");
    return 1;
  }
  cam.AnswerSearches(Answers);
  if (Qelm_InitControl(OnFound) != 0) {
    fprintf(stderr, "Qelm_InitControl failed\n");
    return 1;
  }

  printf("%5s %22s %10s %16s\n", "round", "search->last cb (ms)", "delivered", "fake sends (ms)");
  std::vector<double> total, sends;
  long delivered = 0;
  for (int r = 1; r <= rounds; ++r) {
    g_found.store(0);
    g_lastNs.store(0);
    const size_t sentBefore = cam.AnswersSent();
    const int64_t t0 = NowNs();
    if (Qelm_SearchCamera() != 0) {
      fprintf(stderr, "Qelm_SearchCamera failed\n");
      return 1;
    }
    // Done when all arrived, or when nothing more came for half a second.
    benchkit::WaitBurstEnd([] { return g_found.load(); }, kCameras, 500);
    kittest::WaitUntil([&] { return cam.AnswersSent() == sentBefore + kCameras; }, 2000);
    qelm::MessageWnd()->Window().WaitIdle(2000);
    const int got = g_found.load();
    const double ms = got ? (g_lastNs.load() - t0) / 1e6 : 0;
    total.push_back(ms);
    sends.push_back(cam.LastBurstMs());
    delivered += got;
    printf("%5d %22.3f %5d/%-4d %16.3f\n", r, ms, got, kCameras, cam.LastBurstMs());
  }
  printf("median: search->last callback %.3f ms, fake sends %.3f ms; delivered %.1f%% of %ld\n",
         Median(total), Median(sends), 100.0 * delivered / (static_cast<long>(rounds) * kCameras),
         static_cast<long>(rounds) * kCameras);
  Qelm_Quit();
  return 0;
}

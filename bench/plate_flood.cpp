// What a flood of frame heads at 1 MB/s costs the plate-recognition library:
// the CPU share of its threads on each channel while heads announcing the
// longest body come 8 (result) or 12 (control) bytes apart, and how long after
// the flood's last byte the channel answers again (the result channel with a
// result sent right after the flood, checked whole).
//
// The fake camera (127.0.0.40) runs in a child process, so that only the
// library's own threads count. Run it inside the test network:
//   scripts/in-test-network.sh build/bench/plate_flood [seconds]
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "Nardix.h"
#include "bench_support.h"
#include "fake_camera.h"
#include "netns.h"
#include "wait.h"

namespace {

using lprtest::Bytes;

const char* const kIp = "127.0.0.40";
const Bytes kImages[3] = {lprtest::Filled(60000, 1), lprtest::Filled(20000, 2), lprtest::Filled(4000, 3)};

// The camera: waits for the library, floods one channel for `seconds`, tells
// the bench when the last byte went out, answers shutter requests with 42,
// and on the result channel sends a result right after the flood.
int RunCamera(bool resultChannel, int seconds, benchkit::Link& bench) {
  lprtest::FakeCamera cam(kIp);
  cam.SetReplier([](const lprtest::Command& c) {
    std::vector<Bytes> r;
    if (c.type == 0x20 && c.code == 0x0B) r.push_back(lprtest::ReplyFrame(0x20, 0x0B, {0x00, 42}));
    return r;
  });
  char go = 0;
  if (!bench.Get(&go) || !cam.WaitBothConnected(5000)) return 2;
  const Bytes head = resultChannel ? Bytes{0xAA, 0x55, 0xFF, 0x40, 0x00, 0x20, 0x03, 0x00}
                                   : Bytes{0xAA, 0x55, 0, 0, 0, 0, 0x20, 0x0B, 0xFE, 0x03, 0xFE, 0x03};
  Bytes piece;  // 10 kB every 10 ms
  while (piece.size() < 10000) piece.insert(piece.end(), head.begin(), head.end());
  auto send = [&](const Bytes& b) { return resultChannel ? cam.SendResult(b) : cam.SendReply(b); };
  if (!benchkit::Flood(piece, seconds * 100, 10, send)) return 3;
  const int64_t last = kittest::NowMs();
  if (resultChannel &&
      !send(lprtest::Concat({lprtest::ResultFrame(0x40, 500, kImages[0]), lprtest::ResultFrame(0x42, 500, kImages[1]),
                             lprtest::ResultFrame(0x20, 500, kImages[2]), lprtest::ResultFrame(0x50, 500, {})})))
    return 3;
  if (!bench.Put(last)) return 4;
  bench.WaitClosed();  // until the bench is done
  return 0;
}

std::atomic<int> g_results{0};
std::atomic<bool> g_whole{false};
void NARDIX_CALL OnResult(void*, StLprResult* r) {
  g_whole.store(r->resultId == 500 && r->image1Length == 60000 && r->image2Length == 20000 &&
                r->image3Length == 4000 && Bytes(r->image1, r->image1 + 60000) == kImages[0] &&
                Bytes(r->image2, r->image2 + 20000) == kImages[1] && Bytes(r->image3, r->image3 + 4000) == kImages[2]);
  g_results.fetch_add(1);
}

int Run(bool resultChannel, int seconds) {
  // Forked before LPR_Init (the second run's camera after the first run's
  // LPR_Quit).
  benchkit::ChildFakes camera([&](benchkit::Link& bench) { return RunCamera(resultChannel, seconds, bench); });
  g_results.store(0);
  if (LPR_Init(0, nullptr, nullptr, nullptr, &OnResult, nullptr) != 0) return 1;
  StLprCameraHandle* h = nullptr;
  // The camera listens by the time its first connection is accepted.
  const bool connected = kittest::WaitUntil([&] { return LPR_ConnectCamera(kIp, &h) == 0; }, 5000);
  if (!connected || !camera.link().Put('g')) return 1;
  benchkit::CpuShare flood;
  int64_t last = 0;
  if (!camera.link().Get(&last, seconds * 1000 + 30000)) return 1;
  flood.Stop();
  int64_t answered = -1;
  bool whole = false;
  if (resultChannel) {
    if (kittest::WaitUntil([] { return g_results.load() > 0; }, 12000)) answered = kittest::NowMs() - last;
    whole = g_whole.load();
  } else {
    int v = 0;
    if (kittest::WaitUntil([&] { return LPR_GetShutterValue(h, &v) == 0; }, 12000))
      answered = kittest::NowMs() - last;
    whole = v == 42;
  }
  printf("%-16s flood %d s at 1 MB/s: %.1f%% of a core (%.2f s CPU in %.2f s); answered %lld ms after its last byte%s\n",
         resultChannel ? "result channel" : "control channel", seconds, flood.Percent(), flood.cpuSeconds(),
         flood.wallSeconds(), static_cast<long long>(answered),
         resultChannel ? (whole ? ", the result after it whole" : ", the result after it NOT whole") : "");
  LPR_Quit();
  camera.Finish();
  return answered >= 0 && answered < 6000 && whole ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (!kittest::ProgramInPrivateNetwork(argv[0])) return 2;
  const int seconds = argc > 1 ? atoi(argv[1]) : 10;
  return Run(true, seconds) | Run(false, seconds);
}

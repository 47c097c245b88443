// CPU cost of a camera control connection under a flood of nested heads (each
// a 12-byte head announcing a body of 4 MiB, the channel's bound, that never
// comes) at about 1 MB/s, and the time from the flood's last byte until the
// same handle answers a request again (goal: a few per cent of one core, and
// an answer within 6 s).
//
// The fake camera (127.0.0.2) runs in a child process, so that only the
// library's own threads count. Run it inside the test network:
//   scripts/in-test-network.sh build/bench/control_flood [seconds] [good]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Qelm_Control.h"
#include "bench_support.h"
#include "fake_camera.h"
#include "netns.h"
#include "wait.h"

namespace {

constexpr char kIp[] = "127.0.0.2";
constexpr size_t kPiece = 10000;  // every 10 ms
constexpr int kGapMs = 10;

// Answers a get with its own sequence number; floods once the library is
// connected (with good frames instead of heads, for comparison), telling the
// bench when the flood starts and ends.
int RunCamera(int seconds, bool good, benchkit::Link& bench) {
  kittest::FakeCamera cam(kIp);
  cam.SetAnswer([](const kittest::CamFrame& req) -> std::vector<kittest::Bytes> {
    if (req.items.empty()) return {};
    kittest::Bytes value;
    kittest::PutLE32(value, 0, req.seq);
    return {kittest::EncodeCamFrame(kittest::FakeCamera::ReplyTo(req, {kittest::CamItem{req.items[0].code, 8, 0, 0, value}}))};
  });
  if (!cam.Listening() || !cam.WaitConnections(1, 10000) || !cam.WaitFrames(1, 10000)) return 2;
  kittest::Bytes piece;
  if (good) {
    // Pushed frames of an item the library passes over, 10 kB in all.
    kittest::CamFrame f;
    f.items.push_back(kittest::CamItem{0x999, 0, 0, 0, kittest::Bytes(kPiece / 2 - 60, 0x5A)});
    for (int i = 0; i < 2; ++i) {
      const kittest::Bytes b = kittest::EncodeCamFrame(f);
      piece.insert(piece.end(), b.begin(), b.end());
    }
  }
  while (!good && piece.size() + 12 <= kPiece) {
    const size_t at = piece.size();
    piece.resize(at + 12);
    kittest::PutLE32(piece, at, kittest::kCamHead);
    kittest::PutLE32(piece, at + 4, 0x00010000);
    kittest::PutLE32(piece, at + 8, 4u << 20);
  }
  if (!bench.Put('s')) return 2;
  if (!benchkit::Flood(piece, seconds * 1000 / kGapMs, kGapMs, [&](const kittest::Bytes& b) { return cam.PushBytes(b); }))
    return 3;
  if (!bench.Put('e')) return 2;
  bench.WaitClosed();  // stays to answer until the bench is done
  return 0;
}

void QELM_CALL Found(StCameraInfo*) {}

}  // namespace

int main(int argc, char** argv) {
  if (!kittest::ProgramInPrivateNetwork(argv[0])) return 2;
  const int seconds = argc > 1 ? atoi(argv[1]) : 5;
  const bool good = argc > 2 && std::string(argv[2]) == "good";
  // Before any thread starts.
  benchkit::ChildFakes camera([&](benchkit::Link& bench) { return RunCamera(seconds, good, bench); });
  // The camera listens by the time its first connection is accepted.
  StCameraHandle* h = nullptr;
  if (Qelm_InitControl(Found) != 0) return 2;
  if (!kittest::WaitUntil([&] { return Qelm_OpenCamera(kittest::Addr(kIp), &h, nullptr, nullptr) == 0; }, 5000)) {
    fprintf(stderr, "Qelm_OpenCamera failed\n");
    return 2;
  }
  char c;
  if (!camera.link().Get(&c, 15000) || c != 's') return 2;
  benchkit::CpuShare flood;
  if (!camera.link().Get(&c, seconds * 1000 + 30000) || c != 'e') return 2;
  flood.Stop();

  // The same handle, asked until it answers.
  double recovery = -1;
  int v = 0;
  if (kittest::WaitUntil([&] { return Qelm_GetCurBright(h, &v, 500) == 0; }, 12000))
    recovery = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - flood.stopped()).count();
  Qelm_Quit();
  camera.Finish();

  printf("control flood: %s at %.2f MB/s for %.1f s: library CPU %.1f ms = %.2f%% of one core; "
         "answered again %.0f ms after the last byte\n",
         good ? "good frames of 5 kB" : "nested heads of 4 MiB", kPiece / 1e6 * 1000.0 / kGapMs, flood.wallSeconds(),
         flood.cpuSeconds() * 1000.0, flood.Percent(), recovery);
  return recovery >= 0 && recovery < 6000 ? 0 : 1;
}

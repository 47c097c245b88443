// CPU cost of a box that floods its link with nested bodyless heads at about
// 1 MB/s (goal: a few per cent of one core), and how soon after the flood's
// last byte the same handle answers again (goal: within 6 s).
//
// The fake box (127.0.0.2:10028) runs in a child process, so that only the
// library's own threads count. Run it inside the test network:
//   scripts/in-test-network.sh build/bench/box_flood [seconds]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "PyrnBox.h"
#include "bench_support.h"
#include "box_codec.h"
#include "fake_box.h"
#include "netns.h"
#include "wait.h"

namespace {

constexpr size_t kPiece = 10000;  // every 10 ms
constexpr int kGapMs = 10;

// The box answers the log count; once the bench has connected it floods for
// `seconds`, telling the bench when the flood starts and ends.
int RunBox(int seconds, benchkit::Link& bench) {
  boxtest::FakeBox box("127.0.0.2");
  box.script().Answer(7, 0, {1, 0, 0, 0});
  char c = 1;
  if (!bench.Put(c) || !bench.Get(&c)) return 2;  // listening; connected
  const size_t pieces = static_cast<size_t>(seconds) * 1000 / kGapMs;
  const boxtest::Bytes flood = boxtest::Heads(static_cast<int>(pieces * kPiece / 6), 0xFFFF);
  if (!bench.Put(c)) return 2;
  const int64_t sent = kittest::SendPaced(flood, pieces, kGapMs, [&](const boxtest::Bytes& b) { return box.Push(b); });
  const int64_t bytes = sent < 0 ? -1 : static_cast<int64_t>(flood.size());
  if (!bench.Put(bytes)) return 2;
  bench.WaitClosed();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!kittest::ProgramInPrivateNetwork(argv[0])) return 2;
  const int seconds = argc > 1 ? atoi(argv[1]) : 10;
  // Before any thread starts.
  benchkit::ChildFakes box([&](benchkit::Link& bench) { return RunBox(seconds, bench); });
  benchkit::Link& link = box.link();
  char c = 0;
  if (!link.Get(&c, 15000)) {
    fprintf(stderr, "the fake box did not start\n");
    return 2;
  }
  PyrnBox_Init(nullptr, nullptr, nullptr, nullptr);
  CBoxDevice* h = nullptr;
  if (PyrnBox_ConnectDevice("127.0.0.2", &h) != 0) {
    fprintf(stderr, "PyrnBox_ConnectDevice failed\n");
    return 2;
  }
  uint32_t n = 0;
  const int before = PyrnBox_ReadLogNum(h, &n);
  if (!link.Put(c) || !link.Get(&c, 60000)) return 2;

  benchkit::CpuShare flood;
  int64_t bytes = 0;
  if (!link.Get(&bytes, seconds * 1000 + 30000) || bytes < 0) {
    fprintf(stderr, "the flood failed\n");
    return 2;
  }
  flood.Stop();

  // The same handle, asked until it answers.
  int64_t answeredMs = -1;
  if (kittest::WaitUntil([&] { return PyrnBox_ReadLogNum(h, &n) == 0; }, 15000))
    answeredMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - flood.stopped()).count();
  PyrnBox_DisconnectDevice(h);
  PyrnBox_Quit();
  box.Finish();

  const double wall = flood.wallSeconds();
  printf("box flood: %.1f MB of nested heads over %.1f s (%.2f MB/s): library CPU %.1f ms = %.2f%% of one core; "
         "answered before %s, again %lld ms after the last byte (goal < 6000)\n",
         bytes / 1e6, wall, bytes / 1e6 / wall, flood.cpuSeconds() * 1000.0, flood.Percent(), before == 0 ? "yes" : "no",
         static_cast<long long>(answeredMs));
  return before == 0 && answeredMs >= 0 && answeredMs < 6000 ? 0 : 1;
}

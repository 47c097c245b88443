// CPU cost of a box that floods its link with nested bodyless heads at about
// 1 MB/s (goal: a few per cent of one core), and how soon after the flood's
// last byte the same handle answers again (goal: within 6 s).
//
// The fake box (127.0.0.2:10028) runs in a child process, so that only the
// library's own threads count. Run it inside the test network:
//   scripts/in-test-network.sh build/bench/box_flood [seconds]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "PyrnBox.h"
#include "box_codec.h"
#include "fake_box.h"
#include "wait.h"

namespace {

constexpr size_t kPiece = 10000;  // every 10 ms
constexpr int kGapMs = 10;

// The box answers the log count; once the parent has connected it floods
// for `seconds`, telling the parent when the flood starts and ends.
[[noreturn]] void RunBox(int seconds, int toParent, int fromParent) {
  boxtest::FakeBox box("127.0.0.2");
  box.script().Answer(7, 0, {1, 0, 0, 0});
  char c = 1;
  if (write(toParent, &c, 1) != 1) _exit(2);
  if (read(fromParent, &c, 1) != 1) _exit(2);  // connected
  const size_t pieces = static_cast<size_t>(seconds) * 1000 / kGapMs;
  const boxtest::Bytes flood = boxtest::Heads(static_cast<int>(pieces * kPiece / 6), 0xFFFF);
  if (write(toParent, &c, 1) != 1) _exit(2);
  const int64_t sent = kittest::SendPaced(flood, pieces, kGapMs, [&](const boxtest::Bytes& b) { return box.Push(b); });
  const int64_t bytes = sent < 0 ? -1 : static_cast<int64_t>(flood.size());
  if (write(toParent, &bytes, sizeof bytes) != sizeof bytes) _exit(2);
  if (read(fromParent, &c, 1) < 0) {  // until the parent closes its end
  }
  _exit(0);
}

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? atoi(argv[1]) : 10;
  int up[2], down[2];
  if (pipe(up) != 0 || pipe(down) != 0) return 2;
  const pid_t child = fork();  // before any thread starts
  if (child < 0) return 2;
  if (child == 0) {
    close(up[0]);
    close(down[1]);
    RunBox(seconds, up[1], down[0]);
  }
  close(up[1]);
  close(down[0]);
  char c = 0;
  if (read(up[0], &c, 1) != 1) {
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
  if (write(down[1], &c, 1) != 1 || read(up[0], &c, 1) != 1) return 2;

  const double cpu0 = CpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  int64_t bytes = 0;
  if (read(up[0], &bytes, sizeof bytes) != sizeof bytes || bytes < 0) {
    fprintf(stderr, "the flood failed\n");
    return 2;
  }
  const auto t1 = std::chrono::steady_clock::now();
  const double cpu = CpuSeconds() - cpu0;
  const double wall = std::chrono::duration<double>(t1 - t0).count();

  // The same handle, asked until it answers.
  int64_t answeredMs = -1;
  while (std::chrono::steady_clock::now() - t1 < std::chrono::seconds(15)) {
    if (PyrnBox_ReadLogNum(h, &n) == 0) {
      answeredMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t1).count();
      break;
    }
  }
  PyrnBox_DisconnectDevice(h);
  PyrnBox_Quit();
  close(down[1]);
  waitpid(child, nullptr, 0);

  const double percent = 100.0 * cpu / wall;
  printf("box flood: %.1f MB of nested heads over %.1f s (%.2f MB/s): library CPU %.1f ms = %.2f%% of one core; "
         "answered before %s, again %lld ms after the last byte (goal < 6000)\n",
         bytes / 1e6, wall, bytes / 1e6 / wall, cpu * 1000.0, percent, before == 0 ? "yes" : "no",
         static_cast<long long>(answeredMs));
  return before == 0 && answeredMs >= 0 && answeredMs < 6000 ? 0 : 1;
}

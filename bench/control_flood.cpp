// CPU cost of a camera control connection under a flood of nested heads (each
// a 12-byte head announcing a body of 4 MiB, the channel's bound, that never
// comes) at about 1 MB/s, and the time from the flood's last byte until the
// same handle answers a request again (goal: a few per cent of one core, and
// an answer within 6 s).
//
// The fake camera (127.0.0.2) runs in a child process, so that only the
// library's own threads count. Run it inside the test network:
//   scripts/in-test-network.sh build/bench/control_flood [seconds] [good]
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "Qelm_Control.h"
#include "fake_camera.h"

namespace {

constexpr char kIp[] = "127.0.0.2";
constexpr size_t kPiece = 10000;  // every 10 ms
constexpr int kGapMs = 10;

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Answers a get with its own sequence number; floods once the library is
// connected (with good frames instead of heads, for comparison), telling the
// parent when the flood starts and ends.
[[noreturn]] void RunCamera(int seconds, bool good, int toParent) {
  kittest::FakeCamera cam(kIp);
  cam.SetAnswer([](const kittest::CamFrame& req) -> std::vector<kittest::Bytes> {
    if (req.items.empty()) return {};
    kittest::Bytes value;
    kittest::PutLE32(value, 0, req.seq);
    return {kittest::EncodeCamFrame(kittest::FakeCamera::ReplyTo(req, {kittest::CamItem{req.items[0].code, 8, 0, 0, value}}))};
  });
  if (!cam.Listening() || !cam.WaitConnections(1, 10000) || !cam.WaitFrames(1, 10000)) _exit(2);
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
  char c = 's';
  if (write(toParent, &c, 1) != 1) _exit(2);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < seconds * 1000 / kGapMs; ++i) {
    if (!cam.PushBytes(piece)) _exit(3);
    std::this_thread::sleep_until(start + std::chrono::milliseconds(kGapMs * (i + 1)));
  }
  c = 'e';
  if (write(toParent, &c, 1) != 1) _exit(2);
  // Stays to answer until the parent is done (it closes its end).
  if (read(toParent, &c, 1) < 0) {
  }
  _exit(0);
}

void QELM_CALL Found(StCameraInfo*) {}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? atoi(argv[1]) : 5;
  const bool good = argc > 2 && std::string(argv[2]) == "good";
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 2;
  const pid_t child = fork();  // before any thread starts
  if (child < 0) return 2;
  if (child == 0) {
    close(sv[0]);
    RunCamera(seconds, good, sv[1]);
  }
  close(sv[1]);
  // The child listens before the library connects.
  StCameraHandle* h = nullptr;
  if (Qelm_InitControl(Found) != 0) return 2;
  for (int i = 0; i < 100 && Qelm_OpenCamera(kittest::Addr(kIp), &h, nullptr, nullptr) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (!h) {
    fprintf(stderr, "Qelm_OpenCamera failed\n");
    return 2;
  }
  char c;
  if (read(sv[0], &c, 1) != 1 || c != 's') return 2;
  const double cpu0 = CpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  if (read(sv[0], &c, 1) != 1 || c != 'e') return 2;
  const auto t1 = std::chrono::steady_clock::now();
  const double cpu = CpuSeconds() - cpu0;
  const double wall = std::chrono::duration<double>(t1 - t0).count();

  int answered = -1;
  double recovery = -1;
  for (int v = 0; std::chrono::steady_clock::now() - t1 < std::chrono::seconds(12);) {
    answered = Qelm_GetCurBright(h, &v, 500);
    if (answered == 0) {
      recovery = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t1).count();
      break;
    }
  }
  Qelm_Quit();
  close(sv[0]);
  waitpid(child, nullptr, 0);

  const double share = 100.0 * cpu / wall;
  printf("control flood: %s at %.2f MB/s for %.1f s: library CPU %.1f ms = %.2f%% of one core; "
         "answered again %.0f ms after the last byte\n",
         good ? "good frames of 5 kB" : "nested heads of 4 MiB", kPiece / 1e6 * 1000.0 / kGapMs, wall, cpu * 1000.0,
         share, recovery);
  return answered == 0 && recovery < 6000 ? 0 : 1;
}

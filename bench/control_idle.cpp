// Idle cost of the control connections: the CPU time the library uses in 30 s
// with 64 open handles and their heartbeats (goal: under 1% of one core).
//
// The 64 fake cameras (127.0.0.2 .. 127.0.0.65) run in a child process, so
// that only the library's own threads count. Run it inside the test network:
//   scripts/in-test-network.sh build/bench/control_idle [seconds]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Qelm_Control.h"
#include "fake_camera.h"

namespace {

constexpr int kCameras = 64;

std::string CameraIp(int i) { return "127.0.0." + std::to_string(i + 2); }

// The cameras answer every heartbeat with a long status, as devices do.
[[noreturn]] void RunCameras(int readyFd, int stopFd) {
  std::vector<std::unique_ptr<kittest::FakeCamera>> cams;
  kittest::Bytes status(332, 0);
  kittest::PutLE32(status, 4, 0x00010000);
  kittest::PutLE32(status, 8, 332);
  for (int i = 0; i < kCameras; ++i) {
    cams.push_back(std::make_unique<kittest::FakeCamera>(CameraIp(i)));
    cams.back()->SetStatusInReply(status);
    if (!cams.back()->Listening()) {
      fprintf(stderr, "cannot listen on %s:58000\n", CameraIp(i).c_str());
      _exit(2);
    }
  }
  char c = 1;
  if (write(readyFd, &c, 1) != 1) _exit(2);
  if (read(stopFd, &c, 1) < 0) {  // until the parent closes its end
  }
  _exit(0);
}

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void QELM_CALL Found(StCameraInfo*) {}
void QELM_CALL Status(StCameraHandle*, void*, const void*) {}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? atoi(argv[1]) : 30;
  int ready[2], stop[2];
  if (pipe(ready) != 0 || pipe(stop) != 0) return 2;
  const pid_t child = fork();  // before any thread starts
  if (child < 0) return 2;
  if (child == 0) {
    close(ready[0]);
    close(stop[1]);
    RunCameras(ready[1], stop[0]);
  }
  close(ready[1]);
  close(stop[0]);
  char c;
  if (read(ready[0], &c, 1) != 1) {
    fprintf(stderr, "the fake cameras did not start\n");
    return 2;
  }

  if (Qelm_InitControl(Found) != 0) {
    fprintf(stderr, "Qelm_InitControl failed\n");
    return 2;
  }
  Qelm_RegControlStatusCallback(nullptr, nullptr, Status, Status);
  std::vector<StCameraHandle*> handles(kCameras, nullptr);
  for (int i = 0; i < kCameras; ++i) {
    const int r = Qelm_OpenCamera(kittest::Addr(CameraIp(i)), &handles[i], nullptr, nullptr);
    if (r != 0) {
      fprintf(stderr, "Qelm_OpenCamera(%s) = %d\n", CameraIp(i).c_str(), r);
      return 2;
    }
  }

  const double cpu0 = CpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu = CpuSeconds() - cpu0;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  int connected = 0;
  for (StCameraHandle* h : handles) {
    int st = 0;
    connected += Qelm_CheckStatus(h, &st) == 0 && st == 4;
  }
  Qelm_Quit();
  close(stop[1]);
  waitpid(child, nullptr, 0);

  const double percent = 100.0 * cpu / wall;
  printf("control idle: %d handles (%d connected), %.1f s: library CPU %.1f ms = %.3f%% of one core "
         "(goal < 1%%)\n",
         kCameras, connected, wall, cpu * 1000.0, percent);
  return connected == kCameras && percent < 1.0 ? 0 : 1;
}

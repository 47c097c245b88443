// Idle cost of the control connections: the CPU time the library uses in 30 s
// with 64 open handles and their heartbeats (goal: under 1% of one core).
//
// The 64 fake cameras (127.0.0.2 .. 127.0.0.65) run in a child process, so
// that only the library's own threads count. Run it inside the test network:
//   scripts/in-test-network.sh build/bench/control_idle [seconds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Qelm_Control.h"
#include "bench_support.h"
#include "fake_camera.h"
#include "netns.h"

namespace {

constexpr int kCameras = 64;

std::string CameraIp(int i) { return "127.0.0." + std::to_string(i + 2); }

// The cameras answer every heartbeat with a long status, as devices do; they
// say when they listen, and stay until the bench is done.
int RunCameras(benchkit::Link& bench) {
  std::vector<std::unique_ptr<kittest::FakeCamera>> cams;
  kittest::Bytes status(332, 0);
  kittest::PutLE32(status, 4, 0x00010000);
  kittest::PutLE32(status, 8, 332);
  for (int i = 0; i < kCameras; ++i) {
    cams.push_back(std::make_unique<kittest::FakeCamera>(CameraIp(i)));
    cams.back()->SetStatusInReply(status);
    if (!cams.back()->Listening()) {
      fprintf(stderr, "cannot listen on %s:58000\n", CameraIp(i).c_str());
      return 2;
    }
  }
  if (!bench.Put('r')) return 2;
  bench.WaitClosed();
  return 0;
}

void QELM_CALL Found(StCameraInfo*) {}
void QELM_CALL Status(StCameraHandle*, void*, const void*) {}

}  // namespace

int main(int argc, char** argv) {
  if (!kittest::ProgramInPrivateNetwork(argv[0])) return 2;
  const int seconds = argc > 1 ? atoi(argv[1]) : 30;
  benchkit::ChildFakes cameras(RunCameras);  // before any thread starts
  char c;
  if (!cameras.link().Get(&c, 30000)) {
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

  benchkit::CpuShare idle;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));  // the stretch measured
  idle.Stop();

  int connected = 0;
  for (StCameraHandle* h : handles) {
    int st = 0;
    connected += Qelm_CheckStatus(h, &st) == 0 && st == 4;
  }
  Qelm_Quit();
  cameras.Finish();

  printf("control idle: %d handles (%d connected), %.1f s: library CPU %.1f ms = %.3f%% of one core "
         "(goal < 1%%)\n",
         kCameras, connected, idle.wallSeconds(), idle.cpuSeconds() * 1000.0, idle.Percent());
  return connected == kCameras && idle.Percent() < 1.0 ? 0 : 1;
}

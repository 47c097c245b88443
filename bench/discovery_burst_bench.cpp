// A big site: one search of each library answered at once by a thousand fake
// devices, all sent in one burst. Prints, per library and round, how many
// answers reached the search callback, and the receive buffer the library's
// discovery socket holds.
//
// Runs only inside the private test network:
//   scripts/in-test-network.sh build/bench/discovery_burst_bench [devices] [rounds]
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "Nardix.h"
#include "PyrnBox.h"
#include "Qelm_Control.h"
#include "bench_support.h"
#include "fake_discovery_camera.h"
#include "fake_peer.h"
#include "fake_site_devices.h"
#include "netns.h"
#include "wait.h"

namespace {

std::atomic<int> g_found{0};

void QELM_CALL OnCamera(StCameraInfo*) { g_found.fetch_add(1); }
void PYRN_CALL OnBox(StSearchResult*) { g_found.fetch_add(1); }
void NARDIX_CALL OnPlate(void*, StLprDeviceInfo*) { g_found.fetch_add(1); }

// The receive buffer that the system reports (SO_RCVBUF) for this process's
// UDP socket bound to `port`, or -1: the buffer the socket may fill. A size a
// program asked for is reported doubled (the system's own bookkeeping takes
// from it); a socket that asked for none reports the system's default.
int ReceiveBufferOfPort(uint16_t port) {
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  int found = -1;
  while (dirent* e = readdir(d)) {
    const int fd = atoi(e->d_name);
    if (fd <= 2) continue;
    int type = 0;
    socklen_t len = sizeof type;
    sockaddr_in sa{};
    socklen_t salen = sizeof sa;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_DGRAM) continue;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &salen) != 0 || sa.sin_family != AF_INET ||
        ntohs(sa.sin_port) != port)
      continue;
    len = sizeof found;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &found, &len) != 0) found = -1;
    break;
  }
  closedir(d);
  return found;
}

const uint8_t kMac[6] = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};

std::string DeviceIp(int i) { return "10.20." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1); }

struct Library {
  const char* name;
  uint16_t port;  // its discovery socket's
  std::function<bool()> start;
  std::function<bool()> search;
  std::function<void()> quit;
};

}  // namespace

int main(int argc, char** argv) {
  if (!kittest::ProgramInPrivateNetwork(argv[0])) return 2;
  const int devices = argc > 1 ? std::max(1, atoi(argv[1])) : 1000;
  const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 5;

  // The devices of the site: each kind answers its own library's search, in
  // one burst, from UDP 58588.
  kittest::FakeUdpEndpoint site("0.0.0.0", fakecam::kSearchPort);
  if (!site.Bound()) {
    fprintf(stderr, "cannot bind the fakes' port %u\n", fakecam::kSearchPort);
    return 1;
  }
  const int counts[3] = {devices, devices, devices};
  site.SetOnDatagram([counts](kittest::FakeUdpEndpoint& ep, const kittest::Datagram& d) {
    fakesite::AnswerAsCrowd(ep, d, counts, [](int, int i) { return DeviceIp(i); }, kMac);
  });

  const Library libraries[] = {
      {"camera (Qelm_SearchCamera)", 58590, [] { return Qelm_InitControl(OnCamera) == 0; },
       [] { return Qelm_SearchCamera() == 0; }, [] { Qelm_Quit(); }},
      {"plate camera (LPR_ScanDevice)", 58587,
       [] { return LPR_Init(0, nullptr, OnPlate, nullptr, nullptr, nullptr) == 0; },
       [] { return LPR_ScanDevice() == 0; }, [] { LPR_Quit(); }},
      {"controller box (PyrnBox_SearchPyrnCore)", 58590,
       [] { return PyrnBox_Init(nullptr, nullptr, nullptr, nullptr) == 0; },
       [] { return PyrnBox_SearchPyrnCore(OnBox) == 0; }, [] { PyrnBox_Quit(); }},
  };
  for (const Library& lib : libraries) {
    if (!lib.start()) {
      fprintf(stderr, "%s: start-up failed\n", lib.name);
      return 1;
    }
    long total = 0;
    int buffer = -1;
    printf("%s\n", lib.name);
    for (int r = 1; r <= rounds; ++r) {
      g_found.store(0);
      if (!lib.search()) {
        fprintf(stderr, "%s: search failed\n", lib.name);
        return 1;
      }
      buffer = ReceiveBufferOfPort(lib.port);  // the box makes its socket on the first search
      // Done when all came, or when nothing more came for a second.
      benchkit::WaitBurstEnd([] { return g_found.load(); }, devices, 1000);
      printf("  round %d: %4d of %d answers reached the callback\n", r, g_found.load(), devices);
      total += g_found.load();
    }
    printf("  discovery socket's receive buffer (SO_RCVBUF): %d bytes; delivered %.1f%% of %ld\n", buffer,
           100.0 * total / (static_cast<double>(devices) * rounds), static_cast<long>(devices) * rounds);
    fflush(stdout);
    lib.quit();
  }
  return 0;
}

// A fake site for the example site application: one smart traffic camera, one
// plate-recognition camera and one controller box, each answering its own
// library's search on UDP 58588 (bound to any address of the private test
// network, so that the searches' broadcasts reach it). Test code: built with
// the suite, never installed.
//
//   scripts/in-test-network.sh sh -c 'build/tests/fake_site 30 & ...'
//
// Prints "ready" once it listens, a line for each search it answers, and
// quits when its time (seconds, 30 by default) is up.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "fake_discovery_camera.h"
#include "fake_peer.h"
#include "fake_site_devices.h"
#include "netns.h"

namespace {

using fakesite::Found;
using kittest::Datagram;

constexpr uint8_t kCameraMac[6] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15};
constexpr uint8_t kLprMac[6] = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
constexpr uint8_t kBoxMac[6] = {0x40, 0x41, 0x42, 0x43, 0x44, 0x45};
const Found kCamera{"IPNC", "-site camera", "198.51.100.21", "255.255.255.0", "198.51.100.254", kCameraMac,
                    "CAM-0001"};
const Found kBox{"VELD", "-site box", "198.51.100.40", "255.255.255.0", "198.51.100.254", kBoxMac, "BOX-0001"};

void Answer(kittest::FakeUdpEndpoint& port, const Datagram& d) {
  const uint32_t host = fakecam::Get32(d.bytes, fakecam::kOffAddressB);
  const char* what = nullptr;
  if (fakesite::IsRecord(d, 0, "QV-IPNC")) {
    what = "camera search";
    port.SendTo(d.fromAddr, d.fromPort, fakesite::DiscoveryAnswer(host, kCamera));
  } else if (fakesite::IsRecord(d, 0, "QV-ZNPC")) {
    what = "controller box search";
    port.SendTo(d.fromAddr, d.fromPort, fakesite::DiscoveryAnswer(host, kBox));
  } else if (fakesite::IsLprPacket(d, 0)) {
    what = "plate-recognition camera scan";
    port.SendTo(d.fromAddr, d.fromPort, fakesite::LprAnswer(fakesite::TextAt(d.bytes, 24, 16), kLprMac));
  }
  if (what) {
    printf("answered a %s from port %u\n", what, static_cast<unsigned>(d.fromPort));
    fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (!kittest::ProgramInPrivateNetwork(argv[0])) return 2;
  const int seconds = argc > 1 ? atoi(argv[1]) : 30;
  kittest::FakeUdpEndpoint port("0.0.0.0", fakecam::kSearchPort);
  if (!port.Bound()) {
    fprintf(stderr, "cannot listen on UDP %u\n", static_cast<unsigned>(fakecam::kSearchPort));
    return 1;
  }
  port.SetOnDatagram(Answer);
  printf("ready\n");
  fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(seconds > 0 ? seconds : 30));
  return 0;
}

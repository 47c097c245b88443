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
#include <cstring>
#include <string>
#include <thread>

#include "fake_discovery_camera.h"
#include "fake_peer.h"
#include "netns.h"

namespace {

using kittest::Addr;
using kittest::Bytes;
using kittest::Datagram;

std::string TextAt(const Bytes& b, size_t at, size_t size) {
  std::string s(b.begin() + at, b.begin() + at + size);
  return s.substr(0, s.find('\0'));
}

// A camera or a box as its discovery answer describes it; `host` is the
// address the search named as its sender.
Bytes DiscoveryAnswer(uint32_t host, const char* type, const char* text, const char* ip, uint8_t macSeed,
                      const char* serial) {
  fakecam::Answer a;
  a.hostAddr = host;
  a.type = type;
  a.text = text;
  a.ip = Addr(ip);
  a.mask = Addr("255.255.255.0");
  a.gateway = Addr("198.51.100.254");
  for (size_t i = 0; i < a.mac.size(); ++i) a.mac[i] = static_cast<uint8_t>(macSeed + i);
  a.serial = serial;
  return fakecam::Encode(a);
}

// The plate-recognition camera's 160-byte answer to a scan from `pc`.
Bytes ScanAnswer(const std::string& pc) {
  Bytes p(160, 0);
  const auto put = [&p](size_t at, const std::string& s) { memcpy(p.data() + at, s.data(), s.size()); };
  p[0] = 0xAA, p[1] = 0x55, p[2] = 0xF0, p[3] = 2;
  p[4] = 148;
  put(8, pc);
  put(48, "MOLQ-SD");
  put(56, "A1");
  const uint8_t mac[6] = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
  memcpy(p.data() + 63, mac, sizeof mac);
  put(69, "198.51.100.30");
  put(91, "255.255.255.0");
  put(107, "198.51.100.254");
  p[156] = 0x0F, p[157] = 0x55, p[158] = 0xAA;
  return p;
}

bool IsSearch(const Datagram& d, const char* sender) {
  return d.bytes.size() == fakecam::kRecordSize && fakecam::Get32(d.bytes, fakecam::kOffCommand) == 0 &&
         TextAt(d.bytes, fakecam::kOffSender, 16) == sender;
}

void Answer(kittest::FakeUdpEndpoint& port, const Datagram& d) {
  const uint32_t host = fakecam::Get32(d.bytes, fakecam::kOffAddressB);
  const char* what = nullptr;
  if (IsSearch(d, "QV-IPNC")) {
    what = "camera search";
    port.SendTo(d.fromAddr, d.fromPort, DiscoveryAnswer(host, "IPNC", "-site camera", "198.51.100.21", 0x10, "CAM-0001"));
  } else if (IsSearch(d, "QV-ZNPC")) {
    what = "controller box search";
    port.SendTo(d.fromAddr, d.fromPort, DiscoveryAnswer(host, "VELD", "-site box", "198.51.100.40", 0x40, "BOX-0001"));
  } else if (d.bytes.size() == 160 && d.bytes[3] == 0) {
    what = "plate-recognition camera scan";
    port.SendTo(d.fromAddr, d.fromPort, ScanAnswer(TextAt(d.bytes, 24, 16)));
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

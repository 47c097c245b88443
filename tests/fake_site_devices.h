// What answers a search on UDP 58588 at a fake site: a camera or a controller
// box (the 524-byte discovery record) and a plate-recognition camera (its
// 160-byte scan answer), each encoded by the test's own code. Shared by the
// configuration tool's tests, the benchmarks and the fake site of the example
// application.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "fake_peer.h"

namespace fakesite {

using kittest::Bytes;
using kittest::Datagram;

// The text of a zero-padded field.
std::string TextAt(const Bytes& b, size_t at, size_t size);

// What a camera or a box says about itself in its discovery answer.
struct Found {
  const char* type;
  std::string text;
  const char* ip;
  const char* mask;
  const char* gateway;
  const uint8_t* mac;
  const char* serial;
};
// The answer to a search from `host` (the address the search names as its
// sender).
Bytes DiscoveryAnswer(uint32_t host, const Found& f);
// A discovery record with this command from the library whose sender tag it
// carries ("QV-IPNC": the camera library, "QV-ZNPC": the box library).
bool IsRecord(const Datagram& d, uint32_t command, const char* tag);

// The plate-recognition camera at `ip` (198.51.100.30 unless given)/24
// (gateway 198.51.100.254), model "MOLQ-SD" "A1", answering a scan from the
// PC address `pc`.
Bytes LprAnswer(const std::string& pc, const uint8_t mac[6], const char* ip = "198.51.100.30");
// A plate-recognition packet with this sub-command (0: scan).
bool IsLprPacket(const Datagram& d, uint8_t sub);

// A big site behind one search port: when `d` is a camera search, a box
// search or a plate-recognition scan, `counts[kind]` devices of its kind (0:
// cameras, 1: boxes, 2: plate-recognition cameras) answer it at once from
// `port`, device i at `ip(kind, i)` (mask 255.0.0.0, no gateway, MAC `mac`).
// False when `d` is none of these.
bool AnswerAsCrowd(kittest::FakeUdpEndpoint& port, const Datagram& d, const int counts[3],
                   const std::function<std::string(int kind, int i)>& ip, const uint8_t mac[6]);

}  // namespace fakesite

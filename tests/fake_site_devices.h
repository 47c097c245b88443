// What answers a search on UDP 58588 at a fake site: a camera or a controller
// box (the 524-byte discovery record) and a plate-recognition camera (its
// 160-byte scan answer), each encoded by the test's own code. Shared by the
// configuration tool's tests and the fake site of the example application.
#pragma once

#include <cstdint>
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

}  // namespace fakesite

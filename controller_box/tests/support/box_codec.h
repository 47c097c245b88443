// The test's own encoder and parser of box frames (never the library's):
// AA 55 FF 00, u16 length, u16 sequence, u16 status, direction, class,
// sub-command, payload, checksum (all bytes sum to 0), 55 AA.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fake_peer.h"

namespace boxtest {

using kittest::Bytes;

struct Frame {
  uint8_t dir = 0;
  uint8_t cls = 0;
  uint8_t sub = 0;
  uint16_t seq = 0;
  uint16_t status = 0;
  Bytes payload;
};

Bytes Encode(const Frame& f);
// A reply to `req`: same class, sub-command and sequence.
Bytes ReplyTo(const Frame& req, const Bytes& payload, uint16_t status = 0x8000);
// Cuts every whole frame off the front of `pending`; bytes before a head are
// thrown away. A frame whose checksum or tail is wrong is returned with
// `good` false.
struct Cut {
  Frame frame;
  Bytes raw;
  bool good;
};
std::vector<Cut> Decode(Bytes& pending);

// Heads whose bodies never come: AA 55 FF 00 and a length of `len`; `n` of
// them in a row, each inside the one before.
Bytes Head(uint16_t len);
Bytes Heads(int n, uint16_t len);
// `n` heads nested so that all their lengths end on one 55 AA tail, none
// with its checksum right (a byte after each head sees to it).
Bytes HeadsOnOneTail(int n);

// Hex text "AA 55 ..." of bytes, and bytes of such a text.
std::string Hex(const Bytes& b);
Bytes FromHex(const std::string& hex);

}  // namespace boxtest

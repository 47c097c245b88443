// A fake camera for discovery: listens on UDP 58588 and 58589 (any address of
// the private test network, so broadcasts reach it), records every request,
// and answers searches by script. It encodes and parses the 524-byte
// discovery record with its own code.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fake_peer.h"

namespace fakecam {

using kittest::Bytes;

constexpr uint16_t kSearchPort = 58588;
constexpr uint16_t kSearchPortAlt = 58589;
constexpr size_t kRecordSize = 524;

// Field offsets of the discovery record as the fake reads and writes it.
enum Offset : size_t {
  kOffHead = 0,
  kOffVersion = 4,
  kOffLength = 8,
  kOffAddressA = 12,
  kOffAddressB = 16,
  kOffCommand = 20,
  kOffReply = 24,
  kOffSender = 28,
  kOffType = 44,
  kOffText = 60,
  kOffWord124 = 124,
  kOffNetMagic = 128,
  kOffNetVersion = 132,
  kOffIp = 136,
  kOffMask = 140,
  kOffFourth = 144,
  kOffGateway = 148,
  kOffMac = 152,
  kOffSerial = 160,
  kOffValue1 = 192,
  kOffValue2 = 194,
  kOffValue3 = 196,
  kOffValue8 = 216,
  kOffUser = 260,
  kOffReserved516 = 516,
  kOffTail = 520,
};

uint32_t Get32(const Bytes& b, size_t off);
void Put32(Bytes& b, size_t off, uint32_t v);
void Put16(Bytes& b, size_t off, uint16_t v);
// Writes raw bytes of `text` (no terminator added) at `off`.
void PutText(Bytes& b, size_t off, const std::string& text);

// What a camera says about itself in an answer.
struct Answer {
  uint32_t hostAddr = 0;  // address A: the host that asked
  uint32_t version = 0x00010000;
  uint32_t command = 0;
  uint32_t replyCode = 0x80000000;
  std::string type = "IPNC";  // at most 16 bytes; a 16-byte text has no NUL
  std::string text = "-FakeCam 1.0";  // at most 64 bytes
  uint32_t word124 = 0;
  uint32_t ip = 0, mask = 0, fourth = 0, gateway = 0;
  std::array<uint8_t, 6> mac{};
  std::string serial;  // at most 32 bytes
  uint16_t value1 = 0, value2 = 0;
  std::array<uint32_t, 5> value3to7{};
  uint16_t value8 = 0;
  std::array<std::string, 4> user;  // at most 64 bytes each
  uint32_t reserved516 = 0;
};

Bytes Encode(const Answer& a);

// The requests of the camera library as they must look, byte for byte.
struct NetWords {
  uint32_t ip, mask, gateway;
};
Bytes ExpectedRequest(uint32_t addressA, uint32_t addressB, uint32_t command,
                      const NetWords* net = nullptr);

class FakeCamera {
 public:
  // Datagrams to send back to the host whose search arrived on 58588.
  using Script = std::function<std::vector<Bytes>(const kittest::Datagram& search)>;

  FakeCamera();
  bool Bound() const { return main_.Bound() && alt_.Bound(); }

  // Answers every search (command 0) that arrives on 58588; each answer goes
  // to the sender's address and port. Records how long the sends took.
  void AnswerSearches(Script script);

  kittest::FakeUdpEndpoint& Port58588() { return main_; }
  kittest::FakeUdpEndpoint& Port58589() { return alt_; }
  // Milliseconds that the last scripted burst took to send (steady clock).
  double LastBurstMs() const { return lastBurstMs_.load(); }
  size_t AnswersSent() const { return answersSent_.load(); }

 private:
  kittest::FakeUdpEndpoint main_;
  kittest::FakeUdpEndpoint alt_;
  std::atomic<double> lastBurstMs_{0};
  std::atomic<size_t> answersSent_{0};
};

}  // namespace fakecam

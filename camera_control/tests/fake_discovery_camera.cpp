#include "fake_discovery_camera.h"

#include <chrono>

namespace fakecam {

uint32_t Get32(const Bytes& b, size_t off) {
  return static_cast<uint32_t>(b[off]) | static_cast<uint32_t>(b[off + 1]) << 8 |
         static_cast<uint32_t>(b[off + 2]) << 16 | static_cast<uint32_t>(b[off + 3]) << 24;
}

void Put32(Bytes& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

void Put16(Bytes& b, size_t off, uint16_t v) {
  b[off] = static_cast<uint8_t>(v);
  b[off + 1] = static_cast<uint8_t>(v >> 8);
}

void PutText(Bytes& b, size_t off, const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) b[off + i] = static_cast<uint8_t>(text[i]);
}

namespace {

Bytes Frame(uint32_t version, uint32_t a, uint32_t b, uint32_t command, uint32_t reply) {
  Bytes r(kRecordSize, 0);
  Put32(r, kOffHead, 0x0FF055AA);
  Put32(r, kOffVersion, version);
  Put32(r, kOffLength, kRecordSize);
  Put32(r, kOffAddressA, a);
  Put32(r, kOffAddressB, b);
  Put32(r, kOffCommand, command);
  Put32(r, kOffReply, reply);
  Put32(r, kOffTail, 0x550FF0AA);
  return r;
}

}  // namespace

Bytes Encode(const Answer& a) {
  Bytes r = Frame(a.version, a.hostAddr, 0, a.command, a.replyCode);
  PutText(r, kOffSender, "IPNC-CAM");
  PutText(r, kOffType, a.type.substr(0, 16));
  PutText(r, kOffText, a.text.substr(0, 64));
  Put32(r, kOffWord124, a.word124);
  Put32(r, kOffNetMagic, 0x12345678);
  Put32(r, kOffNetVersion, 0x00010000);
  Put32(r, kOffIp, a.ip);
  Put32(r, kOffMask, a.mask);
  Put32(r, kOffFourth, a.fourth);
  Put32(r, kOffGateway, a.gateway);
  for (size_t i = 0; i < 6; ++i) r[kOffMac + i] = a.mac[i];
  PutText(r, kOffSerial, a.serial.substr(0, 32));
  Put16(r, kOffValue1, a.value1);
  Put16(r, kOffValue2, a.value2);
  for (size_t i = 0; i < 5; ++i) Put32(r, kOffValue3 + 4 * i, a.value3to7[i]);
  Put16(r, kOffValue8, a.value8);
  for (size_t i = 0; i < 4; ++i) PutText(r, kOffUser + 64 * i, a.user[i].substr(0, 64));
  Put32(r, kOffReserved516, a.reserved516);
  return r;
}

Bytes ExpectedRequest(uint32_t addressA, uint32_t addressB, uint32_t command, const NetWords* net) {
  Bytes r = Frame(0x00010000, addressA, addressB, command, 0);
  PutText(r, kOffSender, "QV-IPNC");
  PutText(r, kOffType, "IPNC");
  Put32(r, kOffNetVersion, 0x00010000);
  if (net) {
    Put32(r, kOffNetMagic, 0x12345678);
    Put32(r, kOffIp, net->ip);
    Put32(r, kOffMask, net->mask);
    Put32(r, kOffGateway, net->gateway);
  }
  return r;
}

FakeCamera::FakeCamera() : main_("0.0.0.0", kSearchPort), alt_("0.0.0.0", kSearchPortAlt) {}

void FakeCamera::AnswerSearches(Script script) {
  main_.SetOnDatagram([this, script](kittest::FakeUdpEndpoint& ep, const kittest::Datagram& d) {
    if (d.bytes.size() != kRecordSize || Get32(d.bytes, kOffCommand) != 0) return;
    const std::vector<Bytes> answers = script(d);
    const auto start = std::chrono::steady_clock::now();
    for (const Bytes& b : answers)
      if (ep.SendTo(d.fromAddr, d.fromPort, b)) answersSent_.fetch_add(1);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    lastBurstMs_.store(took.count());
  });
}

}  // namespace fakecam

#include "fake_site_devices.h"

#include <cstring>

#include "fake_discovery_camera.h"

namespace fakesite {

namespace {
void PutText(Bytes& b, size_t at, const std::string& s) { memcpy(b.data() + at, s.data(), s.size()); }
}  // namespace

std::string TextAt(const Bytes& b, size_t at, size_t size) {
  std::string s(b.begin() + at, b.begin() + at + size);
  return s.substr(0, s.find('\0'));
}

Bytes DiscoveryAnswer(uint32_t host, const Found& f) {
  fakecam::Answer a;
  a.hostAddr = host;
  a.type = f.type;
  a.text = f.text;
  a.ip = kittest::Addr(f.ip);
  a.mask = kittest::Addr(f.mask);
  a.gateway = kittest::Addr(f.gateway);
  memcpy(a.mac.data(), f.mac, 6);
  a.serial = f.serial;
  return fakecam::Encode(a);
}

bool IsRecord(const Datagram& d, uint32_t command, const char* tag) {
  return d.bytes.size() == fakecam::kRecordSize && fakecam::Get32(d.bytes, fakecam::kOffCommand) == command &&
         TextAt(d.bytes, fakecam::kOffSender, 16) == tag;
}

Bytes LprAnswer(const std::string& pc, const uint8_t mac[6], const char* ip) {
  Bytes p(160, 0);
  p[0] = 0xAA, p[1] = 0x55, p[2] = 0xF0, p[3] = 2;
  p[4] = 148;
  PutText(p, 8, pc);
  PutText(p, 48, "MOLQ-SD");
  PutText(p, 56, "A1");
  memcpy(p.data() + 63, mac, 6);
  PutText(p, 69, ip);
  PutText(p, 91, "255.255.255.0");
  PutText(p, 107, "198.51.100.254");
  p[156] = 0x0F, p[157] = 0x55, p[158] = 0xAA;
  return p;
}

bool IsLprPacket(const Datagram& d, uint8_t sub) { return d.bytes.size() == 160 && d.bytes[3] == sub; }

bool AnswerAsCrowd(kittest::FakeUdpEndpoint& port, const Datagram& d, const int counts[3],
                   const std::function<std::string(int kind, int i)>& ip, const uint8_t mac[6]) {
  const bool camera = IsRecord(d, 0, "QV-IPNC"), box = IsRecord(d, 0, "QV-ZNPC");
  if (camera || box) {
    const int kind = box ? 1 : 0;
    const uint32_t host = fakecam::Get32(d.bytes, fakecam::kOffAddressB);
    for (int i = 0; i < counts[kind]; ++i) {
      const std::string at = ip(kind, i);
      port.SendTo(d.fromAddr, d.fromPort,
                  DiscoveryAnswer(host, Found{box ? "VELD" : "IPNC", "", at.c_str(), "255.0.0.0", "0.0.0.0", mac, ""}));
    }
    return true;
  }
  if (!IsLprPacket(d, 0)) return false;
  const std::string pc = TextAt(d.bytes, 24, 16);
  for (int i = 0; i < counts[2]; ++i) port.SendTo(d.fromAddr, d.fromPort, LprAnswer(pc, mac, ip(2, i).c_str()));
  return true;
}

}  // namespace fakesite

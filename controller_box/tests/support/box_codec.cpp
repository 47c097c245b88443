#include "box_codec.h"

#include <cstdio>
#include <cstdlib>

namespace boxtest {

Bytes Encode(const Frame& f) {
  const size_t len = f.payload.size() + 16;
  Bytes b = {0xAA, 0x55, 0xFF, 0x00,
             static_cast<uint8_t>(len & 0xFF), static_cast<uint8_t>(len >> 8),
             static_cast<uint8_t>(f.seq & 0xFF), static_cast<uint8_t>(f.seq >> 8),
             static_cast<uint8_t>(f.status & 0xFF), static_cast<uint8_t>(f.status >> 8),
             f.dir, f.cls, f.sub};
  for (uint8_t x : f.payload) b.push_back(x);
  unsigned sum = 0x55 + 0xAA;
  for (uint8_t x : b) sum += x;
  b.push_back(static_cast<uint8_t>(256 - (sum & 0xFF)));
  b.push_back(0x55);
  b.push_back(0xAA);
  return b;
}

Bytes Head(uint16_t len) {
  return {0xAA, 0x55, 0xFF, 0x00, static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8)};
}

Bytes Heads(int n, uint16_t len) {
  Bytes b;
  const Bytes h = Head(len);
  for (int i = 0; i < n; ++i) b.insert(b.end(), h.begin(), h.end());
  return b;
}

Bytes HeadsOnOneTail(int n) {
  Bytes s = {0x55, 0xAA};
  uint8_t suffix = 0x55 + 0xAA;  // sum of the bytes from here to the end
  for (int i = 0; i < n; ++i) {
    Bytes h = Head(static_cast<uint16_t>(s.size() + 7));
    uint8_t sum = 0;
    for (uint8_t b : h) sum = static_cast<uint8_t>(sum + b);
    const uint8_t fill = static_cast<uint8_t>(sum + 1 + suffix) == 0 ? 2 : 1;
    h.push_back(fill);
    suffix = static_cast<uint8_t>(suffix + sum + fill);
    s.insert(s.begin(), h.begin(), h.end());
  }
  return s;
}

Bytes ReplyTo(const Frame& req, const Bytes& payload, uint16_t status) {
  Frame r;
  r.dir = req.dir;
  r.cls = req.cls;
  r.sub = req.sub;
  r.seq = req.seq;
  r.status = status;
  r.payload = payload;
  return Encode(r);
}

std::vector<Cut> Decode(Bytes& pending) {
  std::vector<Cut> out;
  size_t i = 0;
  for (;;) {
    while (i + 4 <= pending.size() &&
           !(pending[i] == 0xAA && pending[i + 1] == 0x55 && pending[i + 2] == 0xFF &&
             pending[i + 3] == 0x00))
      ++i;
    if (i + 6 > pending.size()) break;
    const size_t len = pending[i + 4] | (pending[i + 5] << 8);
    if (len < 16) {
      ++i;
      continue;
    }
    if (i + len > pending.size()) break;
    Cut c;
    c.raw.assign(pending.begin() + i, pending.begin() + i + len);
    unsigned sum = 0;
    for (uint8_t x : c.raw) sum += x;
    c.good = (sum & 0xFF) == 0 && c.raw[len - 2] == 0x55 && c.raw[len - 1] == 0xAA;
    c.frame.seq = c.raw[6] | (c.raw[7] << 8);
    c.frame.status = c.raw[8] | (c.raw[9] << 8);
    c.frame.dir = c.raw[10];
    c.frame.cls = c.raw[11];
    c.frame.sub = c.raw[12];
    c.frame.payload.assign(c.raw.begin() + 13, c.raw.end() - 3);
    out.push_back(std::move(c));
    i += len;
  }
  pending.erase(pending.begin(), pending.begin() + static_cast<long>(i));
  return out;
}

std::string Hex(const Bytes& b) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < b.size(); ++i) {
    snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
    s += buf;
  }
  return s;
}

Bytes FromHex(const std::string& hex) {
  Bytes b;
  const char* p = hex.c_str();
  while (*p) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    char two[3] = {p[0], p[1], 0};
    b.push_back(static_cast<uint8_t>(strtoul(two, nullptr, 16)));
    p += 2;
  }
  return b;
}

}  // namespace boxtest

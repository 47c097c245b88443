// Little-endian field access for wire records built and parsed at explicit
// byte offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kit {

inline uint16_t ReadLE16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t ReadLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void WriteLE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void WriteLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// Copies a text field of `fieldSize` bytes out of a record: reads only within
// the field and always terminates (at most fieldSize - 1 characters).
inline void CopyTextField(char* dst, size_t dstSize, const uint8_t* field, size_t fieldSize) {
  if (dstSize == 0) return;
  size_t n = 0;
  const size_t limit = fieldSize < dstSize - 1 ? fieldSize : dstSize - 1;
  while (n < limit && field[n] != 0) ++n;
  memcpy(dst, field, n);
  dst[n] = 0;
}

}  // namespace kit

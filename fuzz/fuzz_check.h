// What the camera library's fuzz targets share: a check that aborts with the
// line it failed at, and the little-endian reads of their reference readers
// (written here, not taken from the library).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzzcheck {

[[noreturn]] inline void Fail(const char* target, const char* what, int line) {
  fprintf(stderr, "%s: check failed at line %d: %s\n", target, line, what);
  abort();
}

inline uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace fuzzcheck

// FUZZ_TARGET names the target in the message.
#define FUZZ_CHECK(c)                                          \
  do {                                                         \
    if (!(c)) ::fuzzcheck::Fail(FUZZ_TARGET, #c, __LINE__);    \
  } while (0)

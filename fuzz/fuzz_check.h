// What the fuzz targets share: a check that names its place and aborts, so
// that libFuzzer keeps the input (and the corpus replay fails), and the
// little-endian reads of their reference readers (written here, not taken
// from the libraries).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzzcheck {

[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
  fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  abort();
}

inline uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace fuzzcheck

#define FUZZ_CHECK(c)                                        \
  do {                                                       \
    if (!(c)) ::fuzzcheck::Fail(#c, __FILE__, __LINE__);     \
  } while (0)

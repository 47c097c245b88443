// Fuzz target: the check of a camera's first answer in server mode.
//
// Input: the bytes of the one receive. The library's verdict must be that of
// a plain reading of the rules written here: head, version, a length word
// equal to the bytes received, the reply's namespace words 8 and 2, echo 0,
// class 0x8002, items; the first status item (0x10001) among the items that
// lie wholly before the tail decides: 332 bytes with the word 332 at data
// offset 8, or at least 96 bytes with the word 96 there. The input is copied
// into a block of exactly its size, so that a read beyond it shows.
#include <cstdint>
#include <cstring>
#include <memory>

#include "server.h"

#include "fuzz_check.h"

namespace {

using fuzzcheck::Le16;
using fuzzcheck::Le32;

bool ReferenceVerdict(const uint8_t* p, size_t n) {
  if (n < 40) return false;  // no room for a head and a tail
  if (Le32(p) != 0x0FF055AA || Le32(p + 4) != 0x00010000 || Le32(p + 8) != n) return false;
  if (Le16(p + 12) != 8 || Le16(p + 14) != 2 || Le32(p + 20) != 0 || Le32(p + 24) != 0x8002) return false;
  const uint32_t count = Le32(p + 32);
  if (count == 0) return false;
  const size_t end = n - 4;
  size_t pos = 36;
  for (uint32_t k = 0; k < count && pos + 20 <= end; ++k) {
    const uint32_t len = Le32(p + pos + 16);
    if (len > end - pos - 20) break;
    if (Le32(p + pos + 4) == 0x10001) {
      const uint32_t word = len >= 12 ? Le32(p + pos + 20 + 8) : 0;
      return (len == 332 && word == 332) || (len >= 96 && word == 96);
    }
    pos += 20 + len;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[size ? size : 1]);
  if (size) memcpy(exact.get(), data, size);
  FUZZ_CHECK(qelm::CheckHandshakeReply(exact.get(), size) == ReferenceVerdict(data, size));
  return 0;
}

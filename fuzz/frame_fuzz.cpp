// Fuzz target: camera frame reassembly and the item walk.
//
// Input: one byte that chooses how the stream is cut into receives, then the
// stream. The stream goes through a reassembly state of every channel kind,
// cut once into receives as large as the buffer takes and once into receives
// of varying sizes. What comes out is checked against a plain reading of the
// rules written here (not the library's code), and so is the item walk of
// every frame handed over. Any difference aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frame.h"
#include "fuzz_check.h"

namespace {

using Bytes = std::vector<uint8_t>;
using qelm::FrameLimits;

uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool VersionAccepted(uint32_t v, const FrameLimits& lim) {
  return v == 0x00010000 || (lim.acceptAltVersion && v == 0x00010001);
}

// The frames a stream holds: a head is magic, accepted version and a length
// from 40 to the channel's bound; a refused head is searched again one byte
// after its start; a frame is handed over when its last word is the tail.
std::vector<Bytes> ReferenceFrames(const uint8_t* s, size_t n, const FrameLimits& lim) {
  std::vector<Bytes> out;
  size_t pos = 0;
  while (n - pos >= 12) {
    const uint32_t len = Le32(s + pos + 8);
    if (Le32(s + pos) != 0x0FF055AA || !VersionAccepted(Le32(s + pos + 4), lim) || len < 40 ||
        len > lim.maxFrame) {
      ++pos;
      continue;
    }
    if (n - pos < len) break;  // still arriving when the stream ends
    if (Le32(s + pos + len - 4) == 0x550FF0AA) out.emplace_back(s + pos, s + pos + len);
    pos += len;
  }
  return out;
}

struct RefItem {
  size_t offset;
  uint32_t length;
};

// Items from offset 36, each used only when its head and data end before the
// tail; at most the head's count of them.
std::vector<RefItem> ReferenceItems(const Bytes& f) {
  std::vector<RefItem> out;
  if (f.size() < 40) return out;
  const uint64_t len = std::min<uint64_t>(f.size(), Le32(&f[8]));
  if (len < 40) return out;
  const uint64_t end = len - 4;
  const uint32_t count = Le32(&f[32]);
  uint64_t pos = 36;
  for (uint32_t k = 0; k < count; ++k) {
    if (pos + 20 > end) break;
    const uint32_t n = Le32(&f[pos + 16]);
    if (pos + 20 + n > end) break;
    out.push_back({static_cast<size_t>(pos), n});
    pos += 20 + static_cast<uint64_t>(n);
  }
  return out;
}

void CheckItems(const Bytes& f) {
  const std::vector<RefItem> want = ReferenceItems(f);
  qelm::ItemWalker w(f.data(), f.size());
  qelm::ItemView v;
  size_t k = 0;
  while (w.Next(&v)) {
    FUZZ_CHECK(k < want.size());
    FUZZ_CHECK(v.offset == want[k].offset);
    FUZZ_CHECK(v.head.length == want[k].length);
    FUZZ_CHECK(v.data == f.data() + v.offset + 20);
    FUZZ_CHECK(v.head.magic == Le32(&f[v.offset]));
    FUZZ_CHECK(v.head.code == Le32(&f[v.offset + 4]));
    FUZZ_CHECK(v.head.status == Le32(&f[v.offset + 12]));
    ++k;
  }
  FUZZ_CHECK(k == want.size());
  FUZZ_CHECK(!w.Next(&v));  // stays ended
}

// Receive sizes: all the buffer takes (seed 0), or a mix of single bytes,
// small and larger pieces.
struct Splitter {
  uint32_t state;
  size_t Next(size_t space) {
    if (state == 0) return space;
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    size_t n;
    switch (state & 3) {
      case 0: n = 1; break;
      case 1: n = 1 + (state >> 2) % 16; break;
      case 2: n = 1 + (state >> 2) % 700; break;
      default: n = space; break;
    }
    return n < space ? n : space;
  }
};

std::vector<Bytes> Reassemble(qelm::StRecvState& st, const FrameLimits& lim, const uint8_t* s, size_t n,
                              uint32_t seed) {
  st.Clear();
  std::vector<Bytes> got;
  const qelm::StRecvState::Handler handler = [&](qelm::FrameBuffer& frame) {
    FUZZ_CHECK(frame.size() >= 40 && frame.size() <= lim.maxFrame);
    FUZZ_CHECK(Le32(frame.data()) == 0x0FF055AA);
    FUZZ_CHECK(VersionAccepted(Le32(frame.data() + 4), lim));
    FUZZ_CHECK(Le32(frame.data() + 8) == frame.size());
    FUZZ_CHECK(Le32(frame.data() + frame.size() - 4) == 0x550FF0AA);
    got.emplace_back(frame.begin(), frame.end());
    if (got.size() % 2) qelm::FrameBuffer taken = std::move(frame);  // as the control channel does
  };
  Splitter split{seed};
  size_t at = 0;
  while (at < n) {
    const size_t space = st.RecvSpace();
    FUZZ_CHECK(space > 0);
    size_t k = split.Next(space);
    if (k > n - at) k = n - at;
    memcpy(st.RecvPtr(), s + at, k);
    st.Feed(k, handler);
    at += k;
    FUZZ_CHECK(st.Held() < 12);  // only a partial head waits between receives
  }
  return got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t seed = 0x9E3779B9u * (data[0] + 1u);
  const uint8_t* s = data + 1;
  const size_t n = size - 1;
  // A channel's state lives as long as its receive thread; here, for the
  // whole run (the XML channel's buffer is a megabyte).
  static const FrameLimits kinds[] = {qelm::kDiscoveryLimits, qelm::kControlLimits, qelm::kXmlLimits,
                                      qelm::kUpdateLimits};
  static qelm::StRecvState* states[4] = {new qelm::StRecvState(kinds[0]), new qelm::StRecvState(kinds[1]),
                                         new qelm::StRecvState(kinds[2]), new qelm::StRecvState(kinds[3])};
  for (int i = 0; i < 4; ++i) {
    const std::vector<Bytes> want = ReferenceFrames(s, n, kinds[i]);
    FUZZ_CHECK(Reassemble(*states[i], kinds[i], s, n, 0) == want);
    FUZZ_CHECK(Reassemble(*states[i], kinds[i], s, n, seed) == want);
    for (const Bytes& f : want) CheckItems(f);
  }
  // The walker also meets frames that did not come through the reassembly.
  Bytes raw(s, s + n);
  CheckItems(raw);
  return 0;
}

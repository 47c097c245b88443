// Fuzz target: camera frame reassembly and the item walk.
//
// Input: one byte that chooses how the stream is cut into receives and how
// time passes between them, then the stream. The stream goes through a
// reassembly state of every channel kind, cut once into receives as large as
// the buffer takes (all at one moment) and once into receives of varying
// sizes with pauses between them, some beyond a frame's body limit, at whose
// deadlines the receive thread wakes or not; the stream's end is the end of a
// datagram. What comes out (frames and where they began) is checked against a
// plain reading of the rules written here (not the library's code), and so is
// the item walk of every frame handed over, the time it was handed over, and
// the room the state reserves. Any difference aborts.
#include <algorithm>
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

// A frame as handed over, with the stream position of its first byte.
struct Handed {
  Bytes bytes;
  size_t start;
  bool operator==(const Handed& o) const { return start == o.start && bytes == o.bytes; }
};

// The frames a stream holds, each byte with the time it arrived: a head is
// magic, accepted version and a length from 40 to the channel's bound; a
// refused head is searched again one byte after its start. A frame is good
// when its last byte is there within 5 s of its first byte's arrival (arrived
// strictly before that deadline) and its last word is the tail. A frame that
// is not good is bad, however late it is found (also one the stream's end
// cuts short), and the search goes on one byte after its start.
std::vector<Handed> ReferenceFrames(const uint8_t* s, size_t n, const FrameLimits& lim,
                                    const std::vector<int64_t>& arrived) {
  std::vector<Handed> out;
  size_t pos = 0;
  while (n - pos >= 12) {
    const uint32_t len = Le32(s + pos + 8);
    if (Le32(s + pos) != 0x0FF055AA || !VersionAccepted(Le32(s + pos + 4), lim) || len < 40 ||
        len > lim.maxFrame) {
      ++pos;
      continue;
    }
    const size_t end = pos + len;
    if (end <= n && arrived[end - 1] < arrived[pos] + qelm::kFrameBodyLimitMs &&
        Le32(s + end - 4) == 0x550FF0AA) {
      out.push_back({Bytes(s + pos, s + end), pos});
      pos = end;
    } else {
      ++pos;
    }
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
// small and larger pieces; and, with a seed, the time that passes before each
// receive, and whether the receive thread wakes at the deadlines in between
// or is late and meets them only when the next bytes come.
struct Splitter {
  uint32_t state;
  uint32_t Step() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  size_t Next(size_t space) {
    if (state == 0) return space;
    const uint32_t r = Step();
    size_t n;
    switch (r & 3) {
      case 0: n = 1; break;
      case 1: n = 1 + (r >> 2) % 16; break;
      case 2: n = 1 + (r >> 2) % 700; break;
      default: n = space; break;
    }
    return n < space ? n : space;
  }
  int64_t Pause() {
    if (state == 0) return 0;
    const uint32_t r = Step();
    switch (r & 15) {
      case 0: return 5000;                        // just at a deadline set now
      case 1: return 5000 + (r >> 4) % 2000;      // past it
      case 2: case 3: return 1 + (r >> 4) % 4999;  // within it
      case 4: case 5: return 1 + (r >> 4) % 50;
      default: return 0;
    }
  }
  bool Wakes() { return state == 0 || (Step() & 3) != 0; }
};

struct Run {
  std::vector<Handed> frames;
  std::vector<int64_t> arrived;  // of each byte
};

Run Reassemble(qelm::StRecvState& st, const FrameLimits& lim, const uint8_t* s, size_t n, uint32_t seed) {
  st.Clear();
  const uint64_t origin = st.Taken();  // positions go on across a Clear
  Run run;
  run.arrived.resize(n);
  int64_t now = 0;
  const qelm::StRecvState::Handler handler = [&](qelm::FrameBuffer& frame) {
    FUZZ_CHECK(frame.size() >= 40 && frame.size() <= lim.maxFrame);
    FUZZ_CHECK(Le32(frame.data()) == 0x0FF055AA);
    FUZZ_CHECK(VersionAccepted(Le32(frame.data() + 4), lim));
    FUZZ_CHECK(Le32(frame.data() + 8) == frame.size());
    FUZZ_CHECK(Le32(frame.data() + frame.size() - 4) == 0x550FF0AA);
    FUZZ_CHECK(st.FrameStart() >= origin && st.FrameStart() + frame.size() <= st.Taken());
    run.frames.push_back({Bytes(frame.begin(), frame.end()), static_cast<size_t>(st.FrameStart() - origin)});
    if (run.frames.size() % 2) qelm::FrameBuffer taken = std::move(frame);  // as the control channel does
  };
  Splitter split{seed};
  size_t at = 0;
  while (at < n) {
    const int64_t next = now + split.Pause();
    if (split.Wakes()) {
      // The receive thread waits for bytes until the deadline of the frame
      // under way, and wakes there if nothing came first.
      while (st.DeadlineMs() >= 0 && st.DeadlineMs() <= next) {
        FUZZ_CHECK(st.DeadlineMs() > now);
        now = st.DeadlineMs();
        st.Expire(now, handler);
        FUZZ_CHECK(!st.InFrame() || st.DeadlineMs() > now);
      }
    }
    now = next;
    const size_t space = st.RecvSpace();
    FUZZ_CHECK(space > 0 && space <= lim.bufferSize);
    size_t k = split.Next(space);
    if (k > n - at) k = n - at;
    memcpy(st.RecvPtr(), s + at, k);
    std::fill(run.arrived.begin() + at, run.arrived.begin() + at + k, now);
    st.Feed(k, handler, now);
    at += k;
    FUZZ_CHECK(st.Taken() - origin == at);
    FUZZ_CHECK(st.Held() < 12);  // only a partial head waits between receives
    // However heads nest, the one under way is bad by 5 s after the last
    // byte that came, so the channel is clear by then.
    FUZZ_CHECK(!st.InFrame() || (st.DeadlineMs() > now && st.DeadlineMs() <= now + qelm::kFrameBodyLimitMs));
    // Room only for what came: the bytes of the frame under way, at most the
    // channel's bound, and a few receive buffers.
    FUZZ_CHECK(st.Reserved() <= std::min(at, lim.maxFrame) + 4 * lim.bufferSize);
  }
  st.Finish(handler);
  FUZZ_CHECK(!st.InFrame() && st.Held() == 0);
  return run;
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
    const Run whole = Reassemble(*states[i], kinds[i], s, n, 0);
    const std::vector<Handed> want = ReferenceFrames(s, n, kinds[i], whole.arrived);
    FUZZ_CHECK(whole.frames == want);
    const Run cut = Reassemble(*states[i], kinds[i], s, n, seed);
    FUZZ_CHECK(cut.frames == ReferenceFrames(s, n, kinds[i], cut.arrived));
    for (const Handed& f : want) CheckItems(f.bytes);
  }
  // The walker also meets frames that did not come through the reassembly.
  Bytes raw(s, s + n);
  CheckItems(raw);
  return 0;
}

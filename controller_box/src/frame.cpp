#include "frame.h"

#include <algorithm>
#include <cstring>

#include "bytes.h"

namespace pyrn {

bool PackFrame(uint16_t payloadLen, uint8_t* frame, uint8_t dir, uint16_t seq, uint8_t cls,
               uint8_t sub, const void* payload, uint16_t* total) {
  *total = 0;
  const uint16_t len = static_cast<uint16_t>(payloadLen + kFrameOverhead);
  frame[0] = 0xAA;
  frame[1] = 0x55;
  frame[2] = 0xFF;
  frame[3] = 0x00;
  kit::WriteLE16(frame + kOffLength, len);
  kit::WriteLE16(frame + kOffSeq, seq);
  frame[kOffDir] = dir;
  frame[kOffClass] = cls;
  frame[kOffSub] = sub;
  if (payloadLen) memcpy(frame + kOffPayload, payload, payloadLen);
  uint8_t* check = frame + kOffPayload + payloadLen;
  check[0] = 0;
  check[1] = 0x55;
  check[2] = 0xAA;
  uint8_t sum = 0;
  for (uint16_t i = 0; i < len; ++i) sum = static_cast<uint8_t>(sum + frame[i]);
  check[0] = static_cast<uint8_t>(-sum);
  *total = len;
  return true;
}

std::vector<uint8_t> MakeFrame(uint8_t dir, uint16_t seq, uint8_t cls, uint8_t sub,
                               const void* payload, uint16_t payloadLen) {
  std::vector<uint8_t> f(payloadLen + kFrameOverhead, 0);
  uint16_t total;
  PackFrame(payloadLen, f.data(), dir, seq, cls, sub, payload, &total);
  return f;
}

uint32_t SwapBytes32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

uint16_t FrameView::Seq() const { return kit::ReadLE16(bytes + kOffSeq); }
uint16_t FrameView::Status() const { return kit::ReadLE16(bytes + kOffStatus); }

namespace {
// The store never grows past twice the longest frame: what a frame under way
// holds (less than its length) then leaves at least as much room, so a
// compaction moves no more bytes than the receives after it bring.
constexpr size_t kMaxHold = 2 * 65536;
// Less room than this at the end of the store makes room (compaction, or
// growth while more than half is held).
constexpr size_t kMinRoom = 1024;
}  // namespace

CBoxParser::CBoxParser() { Allocate(kRecvBufferSize); }

void CBoxParser::Allocate(size_t cap) {
  // Left uninitialised: only what is received is ever read, and the sum
  // before the first byte, which every later sum starts from.
  m_store.reset(new uint8_t[2 * cap + 1]);
  m_nCap = cap;
  m_buf = m_store.get();
  m_sum = m_buf + cap;
  m_sum[0] = 0;
}

void CBoxParser::Reset() {
  // The stream's count goes on: a frame of the new connection is still
  // told from a request sent before it.
  m_nBase += m_nEnd;
  m_nKeep = m_nPos = m_nEnd = 0;
  m_bFrame = false;
  m_arrivals.clear();
  m_nHeadArrival = 0;
  if (m_nCap > kRecvBufferSize) Allocate(kRecvBufferSize);
}

void CBoxParser::Stamp(size_t n, int64_t nowMs) {
  if (n == 0) return;
  const uint32_t from = m_nEnd;
  m_nEnd += static_cast<uint32_t>(n);
  uint8_t sum = m_sum[from];
  const uint8_t* b = m_buf;
  uint8_t* s = m_sum;
  for (uint32_t i = from; i < m_nEnd; ++i) {
    sum = static_cast<uint8_t>(sum + b[i]);
    s[i + 1] = sum;
  }
  // Bytes of the same millisecond (or of a clock that did not advance) share
  // an entry.
  if (!m_arrivals.empty() && m_arrivals.back().ms >= nowMs) {
    m_arrivals.back().end = m_nBase + m_nEnd;
  } else {
    m_arrivals.push_back(Arrival{m_nBase + m_nEnd, nowMs});
  }
}

int64_t CBoxParser::HeadArrivedAt(uint32_t at) {
  // Heads are found in the order of the stream: the entry of the last one
  // found is where to look on from.
  size_t i = m_nHeadArrival;
  while (m_arrivals[i].end <= m_nBase + at) ++i;
  m_nHeadArrival = i;
  return m_arrivals[i].ms;
}

int64_t CBoxParser::ArrivedAt(uint32_t at) const {
  const auto it = std::upper_bound(m_arrivals.begin(), m_arrivals.end(), m_nBase + at,
                                   [](uint64_t x, const Arrival& a) { return x < a.end; });
  return it->ms;
}

int64_t CBoxParser::Allowance(uint16_t len) const {
  int64_t ms = kFrameLimitMs;
  if (m_nBaud > 0)
    ms += static_cast<int64_t>((uint64_t{len} * m_nBitsPerByte * 1000 + m_nBaud - 1) / m_nBaud);
  return ms;
}

bool CBoxParser::Step(int64_t nowMs, FrameView* f) {
  const uint8_t* b = m_buf;
  for (;;) {
    while (!m_bFrame) {
      if (m_nEnd - m_nPos < 4) return false;
      const uint8_t* p = b + m_nPos;
      if (p[0] != 0xAA) {
        // The next byte that may begin a head with three bytes after it.
        const void* at = memchr(p + 1, 0xAA, m_nEnd - m_nPos - 4);
        m_nPos = at ? static_cast<uint32_t>(static_cast<const uint8_t*>(at) - b) : m_nEnd - 3;
        continue;
      }
      if (p[1] != 0x55 || p[2] != 0xFF) {
        ++m_nPos;
        continue;
      }
      if (p[3] != 0x00) {
        // Not a head after all; the hunt resumes at this byte, which may
        // itself begin the next head.
        m_nPos += 3;
        continue;
      }
      if (m_nEnd - m_nPos < 6) return false;  // its length has yet to come
      const uint16_t len = kit::ReadLE16(p + kOffLength);
      if (len < kFrameOverhead) {
        // Too short for its own head and tail: not a frame.
        m_nPos += 6;
        continue;
      }
      m_bFrame = true;
      m_nHead = m_nPos;
      m_wLength = len;
      m_tDeadline = HeadArrivedAt(m_nHead) + Allowance(len);
    }
    if (m_nEnd - m_nHead < m_wLength) {
      if (nowMs < m_tDeadline) return false;  // the rest may still come
      m_bFrame = false;
      m_nPos = m_nHead + 1;
      continue;
    }
    // Whole: in time, with its tail and checksum where its length puts them.
    m_bFrame = false;
    const uint32_t end = m_nHead + m_wLength;
    if (b[end - 2] == 0x55 && b[end - 1] == 0xAA &&
        static_cast<uint8_t>(m_sum[end] - m_sum[m_nHead]) == 0 &&
        ArrivedAt(end - 1) < m_tDeadline) {
      m_nPos = end;
      *f = FrameView{b + m_nHead, m_wLength, m_nBase + m_nHead};
      return true;
    }
    m_nPos = m_nHead + 1;
  }
}

void CBoxParser::Settle() {
  m_nKeep = m_bFrame ? m_nHead : m_nPos;
  while (!m_arrivals.empty() && m_arrivals.front().end <= m_nBase + m_nKeep) {
    m_arrivals.pop_front();
    if (m_nHeadArrival > 0) --m_nHeadArrival;
  }
  if (m_nKeep == m_nEnd) {
    // Nothing held: the store starts over at its beginning, nothing moved.
    // (A grown store is kept for the link's next long frame; it shrinks
    // when room is made with little held, and on a new connection.)
    m_nBase += m_nEnd;
    m_nKeep = m_nPos = m_nEnd = 0;
    m_nHeadArrival = 0;
  }
  if (m_nCap - m_nEnd < kMinRoom) MakeRoom();
}

void CBoxParser::MakeRoom() {
  const uint32_t held = m_nEnd - m_nKeep;
  const size_t cap = m_nCap;
  size_t want = cap;
  if (size_t{held} * 2 > cap) {
    want = cap * 2 < kMaxHold ? cap * 2 : kMaxHold;
  } else if (cap > kRecvBufferSize && size_t{held} * 4 <= kRecvBufferSize) {
    want = kRecvBufferSize;  // a long frame has gone: its room goes too
  }
  if (want != cap) {
    const std::unique_ptr<uint8_t[]> old = std::move(m_store);
    const uint8_t* buf = m_buf;
    const uint8_t* sum = m_sum;
    Allocate(want);
    memcpy(m_buf, buf + m_nKeep, held);
    memcpy(m_sum, sum + m_nKeep, held + 1);
  } else {
    memmove(m_buf, m_buf + m_nKeep, held);
    memmove(m_sum, m_sum + m_nKeep, held + 1);
  }
  const uint32_t shift = m_nKeep;
  m_nBase += shift;
  m_nPos -= shift;
  m_nEnd -= shift;
  if (m_bFrame) m_nHead -= shift;
  m_nKeep = 0;
}

}  // namespace pyrn

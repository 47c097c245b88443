// The box frame: head AA 55 FF 00, u16 length (whole frame), u16 sequence,
// u16 status, direction, class and sub-command bytes, payload, an 8-bit
// checksum that makes all bytes sum to 0, tail 55 AA. Little-endian.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace pyrn {

constexpr size_t kFrameOverhead = 16;  // head, fields, checksum and tail
constexpr size_t kOffLength = 4;
constexpr size_t kOffSeq = 6;
constexpr size_t kOffStatus = 8;
constexpr size_t kOffDir = 10;
constexpr size_t kOffClass = 11;
constexpr size_t kOffSub = 12;
constexpr size_t kOffPayload = 13;
constexpr uint16_t kStatusOk = 0x8000;
// The frame store's size while no long frame is held (it grows with the
// bytes a long frame holds).
constexpr size_t kRecvBufferSize = 4096;
// A frame not complete this long after its head's first byte arrived is
// dropped (on a serial line the time its length takes at the line's rate
// comes on top).
constexpr int64_t kFrameLimitMs = 5000;
// Bits of one byte on a serial line when its settings do not say: a start
// bit, 8 data bits and a stop bit.
constexpr uint32_t kLineBitsPerByte = 10;

// Builds a frame into `frame` (which holds payloadLen + 16 bytes and whose
// status bytes the caller has cleared); the total length goes to *total.
bool PackFrame(uint16_t payloadLen, uint8_t* frame, uint8_t dir, uint16_t seq, uint8_t cls,
               uint8_t sub, const void* payload, uint16_t* total);
// The same into a new vector.
std::vector<uint8_t> MakeFrame(uint8_t dir, uint16_t seq, uint8_t cls, uint8_t sub,
                               const void* payload, uint16_t payloadLen);

uint32_t SwapBytes32(uint32_t v);

// A whole frame as the parser hands it out (exactly its length field's bytes).
struct FrameView {
  const uint8_t* bytes;
  size_t len;
  // Where its first byte is in the stream of the parser that cut it out
  // (the bytes that parser took before it); a frame made elsewhere counts
  // as just taken.
  uint64_t at = UINT64_MAX;
  uint16_t Seq() const;
  uint16_t Status() const;
  uint8_t Dir() const { return bytes[kOffDir]; }
  uint8_t Class() const { return bytes[kOffClass]; }
  uint8_t Sub() const { return bytes[kOffSub]; }
  const uint8_t* Payload() const { return bytes + kOffPayload; }
  size_t PayloadLen() const { return len - kFrameOverhead; }
};

// Cuts frames out of a byte stream that arrives in pieces of any size. Bytes
// before a head are skipped one at a time; a frame whose length is below 16
// is not assembled (the hunt resumes after its length field).
//
// A frame is bad when its tail is not 55 AA or its bytes do not sum to 0
// where its length puts them, or when it is not complete by its deadline:
// kFrameLimitMs after the first byte of its head arrived, plus on a serial
// line the time its length takes at the line's rate. A bad frame is dropped
// and the hunt resumes at the byte after the first of its head, so that the
// good frames among its bytes are still found; a head found there keeps the
// time its own bytes arrived, so however heads nest, the stream is clear by
// the deadline of its last byte. Nothing of a bad frame is handed out.
//
// The bytes of the frame under way stay where they arrived, with the 8-bit
// sums of the stream up to each of them and the times they came: a frame is
// checked in place, its sum in one subtraction, so every byte costs a
// bounded amount of work however often it is parsed again. The store grows
// with the bytes held (doubling, up to twice the longest frame) and is
// compacted only when a receive needs room.
class CBoxParser {
 public:
  static constexpr int64_t kNoDeadline = INT64_MAX;

  CBoxParser();

  // Parses n bytes just received at RecvPtr() at nowMs (monotonic). A frame
  // whose deadline has passed by then is dropped: its body did not come in
  // time.
  template <class Handler>
  void Received(size_t n, int64_t nowMs, Handler&& onFrame) {
    m_nTaken.store(m_nBase + m_nEnd + n, std::memory_order_release);
    Take(n, nowMs, onFrame);
  }
  // Drops the frame under way if its deadline has passed by nowMs, and hands
  // out the good frames among its bytes.
  template <class Handler>
  void Expire(int64_t nowMs, Handler&& onFrame) {
    if (m_bFrame && nowMs >= m_tDeadline) Run(nowMs, onFrame);
  }
  // When the frame under way turns bad if it is not complete; kNoDeadline
  // while no frame is under way.
  int64_t Deadline() const { return m_bFrame ? m_tDeadline : kNoDeadline; }
  // Where to receive and how many bytes fit (never 0).
  uint8_t* RecvPtr() { return m_buf + m_nEnd; }
  size_t RecvSpace() const { return m_nCap - m_nEnd; }
  // Copies bytes in (as much as fits at a time) and parses them.
  template <class Handler>
  size_t Feed(const uint8_t* data, size_t n, int64_t nowMs, Handler&& onFrame) {
    m_nTaken.store(m_nBase + m_nEnd + n, std::memory_order_release);
    size_t fed = 0;
    while (fed < n) {
      size_t room = RecvSpace();
      size_t k = n - fed < room ? n - fed : room;
      memcpy(RecvPtr(), data + fed, k);
      fed += k;
      Take(k, nowMs, onFrame);
    }
    return fed;
  }
  // The bytes taken so far (readable from any thread). Every frame whose
  // `at` is below what this said when a request went out came before that
  // request, whatever the clock says: a frame's bytes and a request of the
  // same millisecond are told apart.
  uint64_t Taken() const { return m_nTaken.load(std::memory_order_acquire); }
  // Bytes held: those of the frame under way, or the few that may begin a
  // head.
  uint32_t Unconsumed() const { return m_nEnd - m_nKeep; }
  // The bytes the store has room for.
  size_t StoreSize() const { return m_nCap; }
  // The memory that the bytes held take: the store and their arrival times.
  size_t HeldMemory() const { return 2 * m_nCap + 1 + m_arrivals.size() * sizeof(Arrival); }
  // Forgets every byte held: a new connection starts afresh (the count of
  // bytes taken goes on).
  void Reset();
  // The line's rate in bits per second and the bits that one byte takes on
  // it (start, data, parity and stop bits). A rate of 0, the start: no
  // serial line, no allowance for the length.
  void SetLineRate(uint32_t baud, uint32_t bitsPerByte = kLineBitsPerByte) {
    m_nBaud = baud;
    m_nBitsPerByte = bitsPerByte;
  }

 private:
  // The bytes before `end` (counted from the start of the stream) since the
  // previous entry arrived at `ms`: one entry per millisecond of the bytes
  // held, so at most one per byte held.
  struct Arrival {
    uint64_t end;
    int64_t ms;
  };

  template <class Handler>
  void Take(size_t n, int64_t nowMs, Handler& onFrame) {
    Stamp(n, nowMs);
    Run(nowMs, onFrame);
  }
  template <class Handler>
  void Run(int64_t nowMs, Handler& onFrame) {
    FrameView f{nullptr, 0};
    while (Step(nowMs, &f)) onFrame(f);
    Settle();
  }
  // Takes n bytes received at RecvPtr(): their sums and their time.
  void Stamp(size_t n, int64_t nowMs);
  // Advances over the bytes held; true with a good frame in *f.
  bool Step(int64_t nowMs, FrameView* f);
  // When the byte at `at` (held) arrived; for a head, found after the last
  // one.
  int64_t ArrivedAt(uint32_t at) const;
  int64_t HeadArrivedAt(uint32_t at);
  // The frame limit for a length.
  int64_t Allowance(uint16_t len) const;
  // Lets go of what no frame can need any more and makes room for the next
  // receive.
  void Settle();
  void MakeRoom();

  // A store of m_nCap bytes and their sums, in one block.
  void Allocate(size_t cap);

  std::unique_ptr<uint8_t[]> m_store;
  size_t m_nCap = 0;
  uint8_t* m_buf = nullptr;  // held bytes from m_nKeep to m_nEnd, then room
  // m_sum[i] (m_nCap + 1 of them): the 8-bit sum of the stream's bytes
  // before m_buf[i] (only differences count).
  uint8_t* m_sum = nullptr;
  // Of the held bytes only: the entries of bytes let go of go with them.
  std::deque<Arrival> m_arrivals;
  size_t m_nHeadArrival = 0;  // the entry of the last head found
  uint64_t m_nBase = 0;       // bytes of the stream before m_buf[0]
  std::atomic<uint64_t> m_nTaken{0};  // m_nBase + m_nEnd, for other threads
  uint32_t m_nKeep = 0;  // first byte held
  uint32_t m_nPos = 0;   // where the hunt for a head stands
  uint32_t m_nEnd = 0;   // end of the bytes received
  bool m_bFrame = false;  // a frame is under way at m_nHead
  uint32_t m_nHead = 0;
  uint16_t m_wLength = 0;
  int64_t m_tDeadline = 0;
  uint32_t m_nBaud = 0;
  uint32_t m_nBitsPerByte = kLineBitsPerByte;
};

}  // namespace pyrn

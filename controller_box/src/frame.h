// The box frame: head AA 55 FF 00, u16 length (whole frame), u16 sequence,
// u16 status, direction, class and sub-command bytes, payload, an 8-bit
// checksum that makes all bytes sum to 0, tail 55 AA. Little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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
constexpr size_t kRecvBufferSize = 4096;
// A frame not complete this long after its head was taken is dropped (on a
// serial line the time its length takes at the line's rate comes on top).
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
// kFrameLimitMs after its head was taken, plus on a serial line the time its
// length takes at the line's rate. A bad frame is dropped and every byte it
// had taken after the first byte of its head is parsed again, in order, as if
// just received, so that the good frames among them are still found. Nothing
// of a bad frame is handed out.
class CBoxParser {
 public:
  static constexpr int64_t kNoDeadline = INT64_MAX;

  // Parses n bytes just received at RecvPtr() at nowMs (monotonic). A frame
  // whose deadline has passed by then is dropped first: its body did not
  // come in time.
  template <class Handler>
  void Received(size_t n, int64_t nowMs, Handler&& onFrame) {
    m_nCount += static_cast<uint32_t>(n);
    if (Due(nowMs)) DropFrame();
    Run(nowMs, onFrame);
  }
  // Drops the frame under way if its deadline has passed by nowMs, and hands
  // out the good frames among its bytes.
  template <class Handler>
  void Expire(int64_t nowMs, Handler&& onFrame) {
    if (!Due(nowMs)) return;
    DropFrame();
    Run(nowMs, onFrame);
  }
  // When the frame under way turns bad if it is not complete; kNoDeadline
  // while no frame is under way.
  int64_t Deadline() const { return m_bLength ? m_tDeadline : kNoDeadline; }
  // Where to receive and how many bytes fit.
  uint8_t* RecvPtr() { return m_recv + m_nPos + m_nCount; }
  size_t RecvSpace() const { return kRecvBufferSize - m_nPos - m_nCount; }
  // Copies bytes in (as much as fits) and parses them.
  template <class Handler>
  size_t Feed(const uint8_t* data, size_t n, int64_t nowMs, Handler&& onFrame) {
    size_t fed = 0;
    while (fed < n) {
      size_t room = RecvSpace();
      size_t k = n - fed < room ? n - fed : room;
      memcpy(RecvPtr(), data + fed, k);
      fed += k;
      Received(k, nowMs, onFrame);
    }
    return fed;
  }
  uint32_t Unconsumed() const { return m_nCount; }
  // Forgets every byte taken so far: a new connection starts afresh.
  void Reset();
  // The line's rate in bits per second and the bits that one byte takes on
  // it (start, data, parity and stop bits). A rate of 0, the start: no
  // serial line, no allowance for the length.
  void SetLineRate(uint32_t baud, uint32_t bitsPerByte = kLineBitsPerByte) {
    m_nBaud = baud;
    m_nBitsPerByte = bitsPerByte;
  }

 private:
  bool Due(int64_t nowMs) const { return m_bLength && nowMs >= m_tDeadline; }
  template <class Handler>
  void Run(int64_t nowMs, Handler& onFrame) {
    while (ParseStep(nowMs)) onFrame(FrameView{m_frame.data(), m_frame.size()});
    // Keep what is not consumed at the start of the buffer.
    if (m_nPos > 0) {
      memmove(m_recv, m_recv + m_nPos, m_nCount);
      m_nPos = 0;
    }
  }
  // Advances over the bytes to parse, taken at nowMs; true when a good frame
  // is complete in m_frame.
  bool ParseStep(int64_t nowMs);
  // Drops the frame under way; its bytes after the first are parsed again.
  void DropFrame();
  // Ends a re-parse: the few bytes it leaves wait with the received ones.
  void EndReplay();
  bool Replaying() const { return !m_replay.empty(); }
  const uint8_t* InPtr() const {
    return Replaying() ? m_replay.data() + m_nReplayPos : m_recv + m_nPos;
  }
  uint32_t InCount() const {
    return Replaying() ? static_cast<uint32_t>(m_replay.size() - m_nReplayPos) : m_nCount;
  }
  void Consume(uint32_t k) {
    if (Replaying()) {
      m_nReplayPos += k;
    } else {
      m_nPos += k;
      m_nCount -= k;
    }
  }
  void ClearFlags() { m_bHead = m_bZero = m_bLength = false; }

  uint8_t m_recv[kRecvBufferSize];
  uint32_t m_nCount = 0;  // unconsumed bytes from m_nPos
  uint32_t m_nPos = 0;
  bool m_bHead = false, m_bZero = false, m_bLength = false;
  uint16_t m_wLength = 0;
  uint32_t m_nWrite = 0;
  std::vector<uint8_t> m_frame;
  uint32_t m_nBaud = 0;
  uint32_t m_nBitsPerByte = kLineBitsPerByte;
  int64_t m_tDeadline = 0;  // of the frame under way
  // Bytes being parsed again after a bad frame, read from m_nReplayPos; the
  // received bytes wait until they are done. A frame whose head lies in them
  // (at m_nHeadAt) has all its bytes there while m_bFrameInReplay is set.
  std::vector<uint8_t> m_replay;
  size_t m_nReplayPos = 0;
  size_t m_nHeadAt = 0;
  bool m_bFrameInReplay = false;
};

}  // namespace pyrn

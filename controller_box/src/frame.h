// The box frame: head AA 55 FF 00, u16 length (whole frame), u16 sequence,
// u16 status, direction, class and sub-command bytes, payload, an 8-bit
// checksum that makes all bytes sum to 0, tail 55 AA. Little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
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
// is not assembled (the hunt resumes after its length field); a frame whose
// tail is not 55 AA is dropped whole. The checksum is not verified.
class CBoxParser {
 public:
  template <class Handler>
  void Received(size_t n, Handler&& onFrame) {
    m_nCount += static_cast<uint32_t>(n);
    while (ParseStep()) onFrame(FrameView{m_frame.data(), m_frame.size()});
    // Keep what is not consumed at the start of the buffer.
    if (m_nPos > 0) {
      for (uint32_t i = 0; i < m_nCount; ++i) m_recv[i] = m_recv[m_nPos + i];
      m_nPos = 0;
    }
  }
  // Where to receive and how many bytes fit.
  uint8_t* RecvPtr() { return m_recv + m_nPos + m_nCount; }
  size_t RecvSpace() const { return kRecvBufferSize - m_nPos - m_nCount; }
  // Copies bytes in (as much as fits) and parses them.
  template <class Handler>
  size_t Feed(const uint8_t* data, size_t n, Handler&& onFrame) {
    size_t fed = 0;
    while (fed < n) {
      size_t room = RecvSpace();
      size_t k = n - fed < room ? n - fed : room;
      for (size_t i = 0; i < k; ++i) RecvPtr()[i] = data[fed + i];
      fed += k;
      Received(k, onFrame);
    }
    return fed;
  }
  uint32_t Unconsumed() const { return m_nCount; }

 private:
  // Advances over the buffered bytes; true when a frame with a good tail is
  // complete in m_frame.
  bool ParseStep();
  void Consume(uint32_t k) {
    m_nPos += k;
    m_nCount -= k;
  }
  void ClearFlags() { m_bHead = m_bZero = m_bLength = false; }

  uint8_t m_recv[kRecvBufferSize];
  uint32_t m_nCount = 0;  // unconsumed bytes from m_nPos
  uint32_t m_nPos = 0;
  bool m_bHead = false, m_bZero = false, m_bLength = false;
  uint16_t m_wLength = 0;
  uint32_t m_nWrite = 0;
  std::vector<uint8_t> m_frame;
};

}  // namespace pyrn

#include "frame.h"

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

bool CBoxParser::ParseStep() {
  for (;;) {
    while (!m_bHead) {
      if (m_nCount < 4) return false;
      const uint8_t* p = m_recv + m_nPos;
      if (p[0] == 0xAA && p[1] == 0x55 && p[2] == 0xFF) {
        Consume(3);
        m_bHead = true;
      } else {
        Consume(1);
      }
    }
    while (!m_bZero) {
      if (m_nCount < 1) return false;
      if (m_recv[m_nPos] == 0x00) {
        Consume(1);
        m_bZero = true;
      } else {
        // Not a head after all; the hunt resumes at this byte, which may
        // itself begin the next head.
        ClearFlags();
        break;
      }
    }
    if (!m_bZero) continue;
    if (!m_bLength) {
      if (m_nCount < 2) return false;
      m_wLength = kit::ReadLE16(m_recv + m_nPos);
      Consume(2);
      if (m_wLength < kFrameOverhead) {
        // Too short for its own head and tail: not a frame.
        ClearFlags();
        continue;
      }
      m_bLength = true;
      m_frame.assign(m_wLength, 0);
      m_frame[0] = 0xAA;
      m_frame[1] = 0x55;
      m_frame[2] = 0xFF;
      m_frame[3] = 0x00;
      kit::WriteLE16(m_frame.data() + kOffLength, m_wLength);
      m_nWrite = 6;
    }
    uint32_t need = m_wLength - m_nWrite;
    uint32_t take = m_nCount < need ? m_nCount : need;
    memcpy(m_frame.data() + m_nWrite, m_recv + m_nPos, take);
    m_nWrite += take;
    Consume(take);
    if (m_nWrite < m_wLength) return false;
    ClearFlags();
    if (m_frame[m_wLength - 2] == 0x55 && m_frame[m_wLength - 1] == 0xAA) return true;
    // A wrong tail: the frame is dropped, its bytes stay consumed.
  }
}

}  // namespace pyrn

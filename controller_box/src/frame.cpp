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

void CBoxParser::Reset() {
  m_nCount = m_nPos = 0;
  ClearFlags();
  m_wLength = 0;
  m_nWrite = 0;
  std::vector<uint8_t>().swap(m_frame);
  std::vector<uint8_t>().swap(m_replay);
  m_nReplayPos = m_nHeadAt = 0;
  m_bFrameInReplay = false;
}

void CBoxParser::DropFrame() {
  if (m_bFrameInReplay) {
    // All its bytes are still in the re-parse: go back to the byte after its
    // head.
    m_nReplayPos = m_nHeadAt + 1;
  } else {
    // Its bytes after the first (the head word and length are the bytes that
    // came), then the received bytes not yet parsed.
    m_replay.assign(m_frame.begin() + 1, m_frame.begin() + m_nWrite);
    m_replay.insert(m_replay.end(), m_recv + m_nPos, m_recv + m_nPos + m_nCount);
    m_nReplayPos = 0;
    m_nPos = m_nCount = 0;
  }
  m_bFrameInReplay = false;
  ClearFlags();
}

void CBoxParser::EndReplay() {
  // Fewer bytes than a head needs are left; no byte is waiting behind them.
  const uint32_t left = InCount();
  memcpy(m_recv, m_replay.data() + m_nReplayPos, left);
  m_nPos = 0;
  m_nCount = left;
  m_bFrameInReplay = false;
  if (m_replay.capacity() > kRecvBufferSize) {
    std::vector<uint8_t>().swap(m_replay);
  } else {
    m_replay.clear();
  }
  m_nReplayPos = 0;
}

bool CBoxParser::ParseStep(int64_t nowMs) {
  for (;;) {
    while (!m_bHead) {
      if (InCount() < 4) break;
      const uint8_t* p = InPtr();
      if (p[0] == 0xAA && p[1] == 0x55 && p[2] == 0xFF) {
        m_bFrameInReplay = Replaying();
        m_nHeadAt = m_nReplayPos;
        Consume(3);
        m_bHead = true;
      } else {
        Consume(1);
      }
    }
    if (m_bHead && !m_bZero && InCount() >= 1) {
      if (InPtr()[0] == 0x00) {
        Consume(1);
        m_bZero = true;
      } else {
        // Not a head after all; the hunt resumes at this byte, which may
        // itself begin the next head.
        ClearFlags();
        continue;
      }
    }
    if (m_bZero && !m_bLength && InCount() >= 2) {
      m_wLength = kit::ReadLE16(InPtr());
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
      m_tDeadline = nowMs + kFrameLimitMs;
      if (m_nBaud > 0)
        m_tDeadline += static_cast<int64_t>(
            (uint64_t{m_wLength} * m_nBitsPerByte * 1000 + m_nBaud - 1) / m_nBaud);
    }
    if (!m_bLength) {
      // More bytes are needed before the head can be told.
      if (!Replaying()) return false;
      EndReplay();
      continue;
    }
    const uint32_t need = m_wLength - m_nWrite;
    const uint32_t have = InCount();
    const uint32_t take = have < need ? have : need;
    memcpy(m_frame.data() + m_nWrite, InPtr(), take);
    m_nWrite += take;
    Consume(take);
    if (m_nWrite < m_wLength) {
      // The rest comes with later receives; the frame's bytes are all in
      // m_frame from here on.
      if (!Replaying()) return false;
      EndReplay();
      continue;
    }
    uint8_t sum = 0;
    for (uint8_t b : m_frame) sum = static_cast<uint8_t>(sum + b);
    if (sum == 0 && m_frame[m_wLength - 2] == 0x55 && m_frame[m_wLength - 1] == 0xAA) {
      ClearFlags();
      m_bFrameInReplay = false;
      return true;
    }
    // A wrong tail or checksum where the length puts them.
    DropFrame();
  }
}

}  // namespace pyrn

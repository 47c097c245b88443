#include "device.h"

#include "context.h"
#include "reports.h"
#include "platform/system.h"

using pyrn::FrameView;

CBoxDevice::CBoxDevice() = default;

CBoxDevice::~CBoxDevice() {
  // The receive thread holds the device while it runs, so here it has ended
  // or this is its own last step; the serial reader is ended before the
  // receive state it fills goes.
  m_serial.ClosePort();
}

bool CBoxDevice::Connected() const {
  if (m_bTcp.load()) return m_hSocket.load() != pf::INVALID_SOCKET && m_bConnected.load();
  return m_serial.IsOpen();
}

void CBoxDevice::DeliverReply(const FrameView& f) {
  if (f.len == 0) return;
  const uint16_t seq = f.Seq();
  if (seq == 0) return;
  pf::Lock lk(m_csDevice);
  for (pyrn::ReplySlot* slot = m_slots; slot; slot = slot->next) {
    if (slot->seq != seq || slot->filled || f.at < slot->sentAt) continue;
    slot->frame.assign(f.bytes, f.bytes + f.len);
    slot->filled = true;
    slot->ev.Set();
    return;
  }
}

void CBoxDevice::AddSlot(pyrn::ReplySlot* slot) {
  pf::Lock lk(m_csDevice);
  slot->next = m_slots;
  m_slots = slot;
}

void CBoxDevice::RemoveSlot(pyrn::ReplySlot* slot) {
  pf::Lock lk(m_csDevice);
  for (pyrn::ReplySlot** at = &m_slots; *at; at = &(*at)->next) {
    if (*at != slot) continue;
    *at = slot->next;
    slot->next = nullptr;
    return;
  }
}

size_t CBoxDevice::WaitingCount() {
  pf::Lock lk(m_csDevice);
  size_t n = 0;
  for (const pyrn::ReplySlot* slot = m_slots; slot; slot = slot->next) ++n;
  return n;
}

void CBoxDevice::Dispatch(const FrameView& f) {
  if (!m_bStop.load()) pyrn::DispatchFrame(*this, f);
}

void CBoxDevice::ReceiveBytes(const uint8_t* data, size_t n) {
  m_parser.Feed(data, n, pf::MonotonicMs(), [this](const FrameView& f) { Dispatch(f); });
}

void CBoxDevice::ParseReceived(size_t n) {
  m_parser.Received(n, pf::MonotonicMs(), [this](const FrameView& f) { Dispatch(f); });
}

int CBoxDevice::ExpireFrame() {
  const int64_t now = pf::MonotonicMs();
  m_parser.Expire(now, [this](const FrameView& f) { Dispatch(f); });
  const int64_t deadline = m_parser.Deadline();
  if (deadline == pyrn::CBoxParser::kNoDeadline) return -1;
  const int64_t left = deadline - pf::MonotonicMs();
  if (left <= 0) return 0;
  return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

uint16_t CBoxDevice::NextSeq() {
  uint16_t cur = m_wSeq.load();
  uint16_t next;
  do {
    next = static_cast<uint16_t>(cur + 1);
    if (next == 0) next = 1;
  } while (!m_wSeq.compare_exchange_weak(cur, next));
  return next;
}

void CBoxDevice::WakeWaiters() {
  pf::Lock lk(m_csDevice);
  for (pyrn::ReplySlot* slot = m_slots; slot; slot = slot->next) slot->ev.Set();
  m_evLink.Set();
}

namespace pyrn {

int SendFrame(CBoxDevice& d, const uint8_t* bytes, size_t len) {
  if (d.m_bTcp.load()) {
    pf::Lock lk(d.m_csSocket);
    const pf::SOCKET s = d.m_hSocket.load();
    if (s == pf::INVALID_SOCKET) {
      pf::WSASetLastError(pf::WSAENOTSOCK);
      return -1;
    }
    return pf::Send(s, bytes, len) > 0 ? 1 : -1;
  }
  d.m_serial.m_lastWriteTick.store(pf::MonotonicMs());
  return d.m_serial.WriteData(bytes, len) ? 1 : -1;
}

std::vector<uint8_t> MakeTimeFrame() {
  const pf::WallTime now = pf::Now();
  const std::tm tm = pf::LocalTime(now.sec);
  const uint8_t payload[6] = {static_cast<uint8_t>(tm.tm_year + 1900 - 2000),
                              static_cast<uint8_t>(tm.tm_mon + 1),
                              static_cast<uint8_t>(tm.tm_mday),
                              static_cast<uint8_t>(tm.tm_hour),
                              static_cast<uint8_t>(tm.tm_min),
                              static_cast<uint8_t>(tm.tm_sec)};
  return MakeFrame(1, 0, 0, 0, payload, sizeof payload);
}

int CheckConnection(CBoxDevice* handle, std::shared_ptr<CBoxDevice>* dev, int* timeoutMs) {
  std::shared_ptr<CBoxDevice> d = FindDevice(handle);
  if (!d) return 7;
  *timeoutMs = d->m_bTcp.load() ? Timing().tcpReplyMs.load() : Timing().serialReplyMs.load();
  if (!d->Connected()) return 14;
  *dev = std::move(d);
  return 0;
}

int Exchange(CBoxDevice& d, const BoxRequest& rq, int timeoutMs, std::vector<uint8_t>* reply) {
  ReplySlot slot;
  slot.seq = d.NextSeq();
  slot.frame.swap(*reply);  // the reply goes into the caller's buffer, reused
  slot.frame.clear();
  // Command frames are small; the rare large one gets a buffer of its own.
  uint8_t small[256];
  std::vector<uint8_t> large;
  uint8_t* frame = small;
  const size_t len = rq.payloadLen + kFrameOverhead;
  if (len > sizeof small) {
    large.resize(len);
    frame = large.data();
  }
  frame[kOffStatus] = frame[kOffStatus + 1] = 0;
  uint16_t total = 0;
  PackFrame(rq.payloadLen, frame, rq.dir, slot.seq, rq.cls, rq.sub, rq.payload, &total);
  slot.sentAt = d.m_parser.Taken();
  d.AddSlot(&slot);
  auto leave = [&] {
    d.RemoveSlot(&slot);
    reply->swap(slot.frame);
    return slot.filled;  // no reply can come in once the slot is out of the list
  };
  if (SendFrame(d, frame, total) < 0) {
    leave();
    return 17;
  }
  slot.ev.Wait(timeoutMs);
  return leave() ? 0 : 209;
}

int CheckReply(const std::vector<uint8_t>& reply, const BoxRequest& rq) {
  if (reply.size() < kFrameOverhead) return 24;
  const FrameView f{reply.data(), reply.size()};
  if (f.Class() != rq.cls || f.Sub() != rq.sub || f.Status() != kStatusOk) return 24;
  return 0;
}

}  // namespace pyrn

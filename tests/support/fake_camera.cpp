#include "fake_camera.h"

#include <chrono>

#include "wait.h"

namespace kittest {

void PutLE32(Bytes& b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetLE32(const Bytes& b, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
  return v;
}

namespace {

void PutLE16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

Bytes EncodeCamFrame(const CamFrame& f) {
  Bytes b(36, 0);
  for (const CamItem& it : f.items) {
    const size_t at = b.size();
    b.resize(at + 20, 0);
    PutLE32(b, at, it.magic);
    PutLE32(b, at + 4, it.code);
    b[at + 8] = it.paraType;
    b[at + 9] = it.setFlag;
    PutLE16(b, at + 10, it.reserved);
    PutLE32(b, at + 12, it.status);
    PutLE32(b, at + 16, static_cast<uint32_t>(it.data.size()));
    b.insert(b.end(), it.data.begin(), it.data.end());
  }
  PutLE32(b, b.size(), f.tail);
  PutLE32(b, 0, kCamHead);
  PutLE32(b, 4, f.version);
  PutLE32(b, 8, static_cast<uint32_t>(b.size()));
  PutLE16(b, 12, f.ns);
  PutLE16(b, 14, f.sender);
  PutLE32(b, 16, f.seq);
  PutLE32(b, 20, f.echo);
  PutLE32(b, 24, f.cls);
  PutLE32(b, 28, f.reserved);
  PutLE32(b, 32, static_cast<uint32_t>(f.items.size()));
  return b;
}

bool ParseCamFrame(const uint8_t* p, size_t n, CamFrame* out) {
  if (n < 40 || Le32(p) != kCamHead || Le32(p + 8) != n) return false;
  CamFrame f;
  f.version = Le32(p + 4);
  f.length = Le32(p + 8);
  f.ns = static_cast<uint16_t>(p[12] | (p[13] << 8));
  f.sender = static_cast<uint16_t>(p[14] | (p[15] << 8));
  f.seq = Le32(p + 16);
  f.echo = Le32(p + 20);
  f.cls = Le32(p + 24);
  f.reserved = Le32(p + 28);
  const uint32_t count = Le32(p + 32);
  f.tail = Le32(p + n - 4);
  size_t at = 36;
  for (uint32_t i = 0; i < count; ++i) {
    if (n - 4 < at + 20) return false;
    CamItem it;
    it.magic = Le32(p + at);
    it.code = Le32(p + at + 4);
    it.paraType = p[at + 8];
    it.setFlag = p[at + 9];
    it.reserved = static_cast<uint16_t>(p[at + 10] | (p[at + 11] << 8));
    it.status = Le32(p + at + 12);
    const uint32_t len = Le32(p + at + 16);
    if (n - 4 - (at + 20) < len) return false;
    it.data.assign(p + at + 20, p + at + 20 + len);
    f.items.push_back(std::move(it));
    at += 20 + len;
  }
  *out = std::move(f);
  return true;
}

std::vector<CamFrame> TakeCamFrames(Bytes& pending) {
  std::vector<CamFrame> out;
  size_t at = 0;
  while (pending.size() - at >= 12) {
    if (Le32(pending.data() + at) != kCamHead) {
      ++at;
      continue;
    }
    const uint32_t len = Le32(pending.data() + at + 8);
    if (len < 40) {
      ++at;
      continue;
    }
    if (pending.size() - at < len) break;
    CamFrame f;
    if (ParseCamFrame(pending.data() + at, len, &f)) {
      out.push_back(std::move(f));
      at += len;
    } else {
      ++at;
    }
  }
  pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
  return out;
}

FakeCamera::FakeCamera(const std::string& ip, uint16_t port) : ip_(ip), server_(ip, port) {
  server_.SetOnData([this](FakeConn& c, Bytes& pending) { OnData(c, pending); });
}

CamFrame FakeCamera::ReplyTo(const CamFrame& request, std::vector<CamItem> items) {
  CamFrame r;
  r.sender = request.ns;
  r.echo = request.seq;
  r.cls = request.cls == 2 ? 0x8002 : request.cls | 0x8000;
  r.items = std::move(items);
  return r;
}

void FakeCamera::SetStatusInReply(const Bytes& status) {
  std::lock_guard<std::mutex> lk(m_);
  status_ = status;
  hasStatus_ = true;
}

void FakeCamera::SetAnswer(Answer a) {
  std::lock_guard<std::mutex> lk(m_);
  answer_ = std::move(a);
}

void FakeCamera::SetAnswering(bool on) {
  std::lock_guard<std::mutex> lk(m_);
  answering_ = on;
}

void FakeCamera::SetRecording(bool on) {
  {
    std::lock_guard<std::mutex> lk(m_);
    recording_ = on;
  }
  server_.SetRecording(on);
}

std::vector<Bytes> FakeCamera::DefaultAnswer(const CamFrame& req) {
  if (req.cls != 2 || req.items.size() != 1 || req.items[0].code != 0x20001) return {};
  std::vector<CamItem> items{CamItem{0x20001, 0, 0, 0, Bytes(16, 0x5A)}};
  CamFrame r;
  {
    std::lock_guard<std::mutex> lk(m_);
    if (hasStatus_) items.push_back(StatusItem(status_));
    r = ReplyTo(req, std::move(items));
    r.seq = deviceSeq_++;
  }
  return {EncodeCamFrame(r)};
}

void FakeCamera::OnData(FakeConn& c, Bytes& pending) {
  for (CamFrame& f : TakeCamFrames(pending)) {
    Answer answer;
    bool answering;
    {
      std::lock_guard<std::mutex> lk(m_);
      if (recording_) frames_.push_back(ReceivedFrame{NowMs(), c.id(), f});
      answer = answer_;
      answering = answering_;
    }
    cv_.notify_all();
    if (!answering) continue;
    for (const Bytes& b : answer ? answer(f) : DefaultAnswer(f)) c.Send(b);
  }
}

bool FakeCamera::Push(const CamFrame& f) { return PushBytes(EncodeCamFrame(f)); }

bool FakeCamera::PushBytes(const Bytes& b) {
  auto c = server_.Last();
  return c && c->Send(b);
}

bool FakeCamera::PushItems(std::vector<CamItem> items) {
  CamFrame f;
  f.cls = 0x8002;
  f.items = std::move(items);
  return Push(f);
}

std::vector<ReceivedFrame> FakeCamera::Frames() const {
  std::lock_guard<std::mutex> lk(m_);
  return frames_;
}

size_t FakeCamera::FrameCount() const {
  std::lock_guard<std::mutex> lk(m_);
  return frames_.size();
}

bool FakeCamera::WaitFrames(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> lk(m_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return frames_.size() >= n; });
}

void FakeCamera::PauseReading(bool pause) {
  if (auto c = server_.Last()) c->PauseReading(pause);
}

bool FakeCamera::LinkOpen() const {
  auto c = server_.Last();
  return c && c->Open();
}

}  // namespace kittest

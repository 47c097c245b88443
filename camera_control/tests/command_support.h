// What the device-command tests share: a fake camera that answers each
// request with scripted items, the requests it received, and little helpers
// for expected bytes.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "control_support.h"

namespace cmdtest {

using kittest::Bytes;
using kittest::CamFrame;
using kittest::CamItem;
using kittest::FakeCamera;

inline Bytes Le32(uint32_t v) {
  Bytes b;
  kittest::PutLE32(b, 0, v);
  return b;
}
inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
// A 12-byte factory field: seed, seed + 1, ...
inline Bytes Twelve(uint8_t seed) {
  Bytes b(12);
  for (int i = 0; i < 12; ++i) b[i] = static_cast<uint8_t>(seed + i);
  return b;
}
inline std::string Hex(const void* p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    snprintf(b, sizeof b, "%02X", static_cast<const uint8_t*>(p)[i]);
    s += b;
  }
  return s;
}
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

// An item as a request or a reply carries it.
inline CamItem Item(uint32_t code, uint8_t paraType, Bytes data = {}, uint32_t status = 0) {
  CamItem it;
  it.code = code;
  it.paraType = paraType;
  it.status = status;
  it.data = std::move(data);
  return it;
}

// A fake camera on a control port whose answer to each request (every frame
// but the open's, which carries sequence 0) is scripted: by default a reply
// with the items given to Reply; none while silent.
class ScriptedCamera {
 public:
  using Script = std::function<std::vector<Bytes>(const CamFrame& req)>;

  explicit ScriptedCamera(const std::string& ip) : cam_(ip) {
    cam_.SetAnswer([this](const CamFrame& req) -> std::vector<Bytes> {
      if (req.seq == 0) return {};
      std::lock_guard<std::mutex> lk(m_);
      if (script_) return script_(req);
      if (silent_) return {};
      return {kittest::EncodeCamFrame(FakeCamera::ReplyTo(req, items_))};
    });
  }
  void Reply(std::vector<CamItem> items) {
    std::lock_guard<std::mutex> lk(m_);
    items_ = std::move(items);
    silent_ = false;
  }
  void Silent() {
    std::lock_guard<std::mutex> lk(m_);
    silent_ = true;
  }
  void SetScript(Script s) {
    std::lock_guard<std::mutex> lk(m_);
    script_ = std::move(s);
  }
  // The requests received (the open's frame left out).
  std::vector<CamFrame> Requests() const {
    std::vector<CamFrame> out;
    for (auto& f : cam_.Frames())
      if (f.frame.seq != 0) out.push_back(f.frame);
    return out;
  }
  FakeCamera& cam() { return cam_; }

 private:
  FakeCamera cam_;
  mutable std::mutex m_;
  std::vector<CamItem> items_;
  bool silent_ = false;
  Script script_;
};

// A reply frame to `req` whose sequence echo is `echo`.
inline Bytes ReplyWithEcho(const CamFrame& req, uint32_t echo, std::vector<CamItem> items) {
  CamFrame r = FakeCamera::ReplyTo(req, std::move(items));
  r.echo = echo;
  return kittest::EncodeCamFrame(r);
}

// Takes the socket away from an open handle for the lifetime of the object
// (the receive thread stays blocked on the descriptor it holds), so that
// requests find no socket.
class NoSocket {
 public:
  explicit NoSocket(StCameraHandle* h) : h_(h), s_(h->m_hSocket.exchange(pf::INVALID_SOCKET)) {}
  ~NoSocket() { h_->m_hSocket.store(s_); }

 private:
  StCameraHandle* h_;
  pf::SOCKET s_;
};

// Breaks a handle's link by a reset from the camera and returns once the
// handle has seen the loss: requests then fail to send until the next
// reconnection attempt (the caller makes that late enough).
inline void BreakLink(ScriptedCamera& cam) {
  ASSERT_TRUE(cam.cam().WaitConnections(1, 5000));
  cam.cam().Refuse();
  cam.cam().ResetLinks();
  ASSERT_TRUE(ctltest::WaitCalls("conn", 1));
  ASSERT_EQ(ctltest::Calls("conn")[0].event, 3);
}

}  // namespace cmdtest

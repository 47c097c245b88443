// What the control-connection tests share: callbacks that record what they
// are given (and on which thread), a fixture with short reconnection pauses,
// and a listener whose backlog is full, so that a connect to it hangs.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "context.h"
#include "control.h"
#include "fake_camera.h"
#include "message_wnd.h"
#include "process.h"
#include "wait.h"

namespace ctltest {

using kittest::Bytes;

struct Call {
  std::string which;  // conn, handle, long, short, hlong, hshort, alg
  StCameraHandle* handle = nullptr;
  void* user = nullptr;
  int event = 0;
  std::string ip;
  Bytes bytes;
  std::thread::id thread;
  bool onDispatcher = false;
  bool onOwnRecvThread = false;  // the receive thread of `handle` (direct calls only)
  int closeResult = -1;          // Qelm_CloseCamera made inside the callback
};

// Never destroyed: the window's dispatcher may still record while the process ends.
inline std::mutex& CallLock() {
  static auto* m = new std::mutex;
  return *m;
}
inline std::vector<Call>& CallList() {
  static auto* v = new std::vector<Call>;
  return *v;
}

// Set by a test: the conn callback closes the handle on event 3; the alg
// callback closes this handle.
inline std::atomic<bool>& CloseOnLoss() {
  static std::atomic<bool> b{false};
  return b;
}
inline std::atomic<StCameraHandle*>& AlgHandle() {
  static std::atomic<StCameraHandle*> h{nullptr};
  return h;
}
inline std::atomic<bool>& CloseOnAlg() {
  static std::atomic<bool> b{false};
  return b;
}
constexpr size_t kAlgBytes = 8;

inline Call MakeCall(const char* which, StCameraHandle* h, void* user, int event = 0,
                     const char* ip = "") {
  Call c;
  c.which = which;
  c.handle = h;
  c.user = user;
  c.event = event;
  c.ip = ip ? ip : "";
  return c;
}

inline void Record(Call c, StCameraHandle* own) {
  c.thread = std::this_thread::get_id();
  qelm::CMessageWnd* w = qelm::MessageWnd();
  c.onDispatcher = w && w->Window().OnDispatcherThread();
  // A handle reached directly is alive during its callback; one reached
  // through the window may be closed already, so it is not looked into.
  if (!c.onDispatcher && own) c.onOwnRecvThread = own->m_thread.IsCurrent();
  std::lock_guard<std::mutex> lk(CallLock());
  CallList().push_back(std::move(c));
}

inline std::vector<Call> Calls() {
  std::lock_guard<std::mutex> lk(CallLock());
  return CallList();
}
inline std::vector<Call> Calls(const std::string& which) {
  std::vector<Call> out;
  for (auto& c : Calls())
    if (c.which == which) out.push_back(c);
  return out;
}
inline void ClearCalls() {
  std::lock_guard<std::mutex> lk(CallLock());
  CallList().clear();
}
inline bool WaitCalls(const std::string& which, size_t n, int ms = 5000) {
  return kittest::WaitUntil([&] { return Calls(which).size() >= n; }, ms);
}

inline void QELM_CALL ConnCb(void* user, StCameraHandle* h, int event) {
  Call c = MakeCall("conn", h, user, event);
  if (event == 3 && CloseOnLoss().load()) c.closeResult = Qelm_CloseCamera(h);
  Record(std::move(c), CloseOnLoss().load() ? nullptr : h);
}
inline void QELM_CALL HandleCb(StCameraHandle* h, void* user, const char* ip, int event) {
  Call c = MakeCall("handle", h, user, event, ip);
  Record(std::move(c), nullptr);  // a server-made handle is being freed
}
inline void StatusCall(const char* which, StCameraHandle* h, void* user, const void* st, size_t n) {
  auto p = static_cast<const uint8_t*>(st);
  Call c = MakeCall(which, h, user);
  c.bytes.assign(p, p + n);
  Record(std::move(c), h);
}
inline void QELM_CALL LongCb(StCameraHandle* h, void* u, const void* st) {
  StatusCall("long", h, u, st, qelm::kLongStatusSize);
}
inline void QELM_CALL ShortCb(StCameraHandle* h, void* u, const void* st) {
  StatusCall("short", h, u, st, qelm::kShortStatusSize);
}
inline void QELM_CALL HandleLongCb(StCameraHandle* h, void* u, const void* st) {
  StatusCall("hlong", h, u, st, qelm::kLongStatusSize);
}
inline void QELM_CALL HandleShortCb(StCameraHandle* h, void* u, const void* st) {
  StatusCall("hshort", h, u, st, qelm::kShortStatusSize);
}
inline void QELM_CALL AlgCb(void* user, StAlgResult* r) {
  Call c = MakeCall("alg", nullptr, user);
  c.ip = std::to_string(r->ip);
  auto p = static_cast<const uint8_t*>(r->data);
  c.bytes.assign(p, p + kAlgBytes);
  StCameraHandle* h = AlgHandle().load();
  if (CloseOnAlg().load() && h) c.closeResult = Qelm_CloseCamera(h);
  Record(std::move(c), CloseOnAlg().load() ? nullptr : h);
}

class ControlTest : public testing::Test {
 protected:
  void SetUp() override {
    qelm::test::SetModulePath(kittest::MakeTempFolder("control"));
    qelm::test::SetReconnectStepMs(20);  // an attempt 240 ms after a loss
    ClearCalls();
  }
  void TearDown() override { Qelm_Quit(); }

};

// The window without the discovery channel (a start-up refused for its null
// callback still makes the window).
inline void MakeWindow() {
  ASSERT_EQ(Qelm_InitControl(nullptr), 1);
  ASSERT_NE(qelm::MessageWnd(), nullptr);
}
inline bool WindowIdle() {
  qelm::CMessageWnd* w = qelm::MessageWnd();
  return !w || w->Window().WaitIdle(5000);
}
inline StCameraHandle* OpenCam(const kittest::FakeCamera& cam, void* user = nullptr,
                               ConnEventCallback cb = ConnCb) {
  StCameraHandle* h = nullptr;
  EXPECT_EQ(Qelm_OpenCamera(cam.addr(), &h, user, cb), 0) << cam.ip();
  EXPECT_NE(h, nullptr);
  return h;
}
inline int StateOf(StCameraHandle* h, int* result = nullptr) {
  int st = 0;
  const int r = Qelm_CheckStatus(h, &st);
  if (result) *result = r;
  return st;
}

// A listener whose accept queue is full: connects to it neither complete nor
// fail.
class JammedPort {
 public:
  JammedPort(const std::string& ip, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = kittest::Addr(ip);
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(fd_, 0) == 0;
    for (int i = 0; ok_ && i < 3; ++i) {
      const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      ::connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
      fillers_.push_back(c);
    }
  }
  ~JammedPort() {
    for (int c : fillers_) ::close(c);
    ::close(fd_);
  }
  bool ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
  std::vector<int> fillers_;
};

// A status block of `n` bytes: byte i is (i + seed), with the mode word at 4
// and the device-type word at 132 where the block holds them.
inline Bytes StatusBlock(size_t n, uint8_t seed, uint32_t modeWord = 0, uint32_t typeWord = 7) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i + seed);
  if (n >= 8) kittest::PutLE32(b, 4, modeWord);
  if (n >= 136) kittest::PutLE32(b, 132, typeWord);
  return b;
}

}  // namespace ctltest

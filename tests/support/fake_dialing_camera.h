// A camera that connects to the host (server mode): it dials the host's
// listener from its own loopback address, answers the host's opening request
// by script, and then behaves as a camera on that link: it records what it
// receives, answers gets of 0x20001, pushes frames on command, falls silent
// or closes. Frames are encoded and parsed with the fake camera's own codec.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_camera.h"

namespace kittest {

class FakeDialingCamera {
 public:
  // Chunks sent in answer to the opening request, one send each (none: no
  // answer at all). Before each chunk after the first the fake waits until
  // the host has taken the bytes sent so far and closed the link, at most
  // `chunkGapMs`; when the host has closed, the rest is not sent.
  using HandshakeAnswer = std::function<std::vector<Bytes>(const CamFrame& request)>;

  explicit FakeDialingCamera(const std::string& ip);
  ~FakeDialingCamera();
  FakeDialingCamera(const FakeDialingCamera&) = delete;
  FakeDialingCamera& operator=(const FakeDialingCamera&) = delete;

  const std::string& ip() const { return ip_; }
  uint32_t addr() const { return Addr(ip_); }

  // A reply to the opening request carrying a status item of `statusLength`
  // bytes whose word at data offset 8 is `statusWord`.
  static CamFrame HandshakeReply(const CamFrame& request, uint32_t statusLength, uint32_t statusWord);
  // The script of a camera that answers as it should (a 96-byte status).
  static HandshakeAnswer Answers(uint32_t statusLength = 96);

  // Set before Dial; by default the camera answers as it should.
  void SetHandshake(HandshakeAnswer answer, int chunkGapMs = 3000);
  // Closes the link as soon as the answer to the opening request is sent.
  void SetCloseAfterHandshake(bool on) { closeAfterHandshake_ = on; }
  // Connects to the host's listener; false when the connect fails.
  bool Dial(const std::string& hostIp, uint16_t port);

  // After the handshake: answer gets of 0x20001 (on by default) or stay silent.
  void SetAnswering(bool on);
  bool Push(const CamFrame& f);
  void Close();  // orderly close of the link

  bool WaitRequest(int timeoutMs) const;  // the host's opening request arrived
  bool HostClosed() const;                // the host closed the link
  // Steady-clock times (as NowMs) at which the fake saw the opening request
  // and the host's close; 0 until then.
  int64_t RequestAtMs() const;
  int64_t HostClosedAtMs() const;
  bool WaitHostClosed(int timeoutMs) const;
  // Frames received, the opening request first.
  std::vector<CamFrame> Frames() const;
  bool WaitFrames(size_t n, int timeoutMs) const;

 private:
  void Run();
  bool SendBytes(const Bytes& b);
  // Reads what is there within `ms`; false once the host has closed the link.
  bool ReadSome(int ms);

  std::string ip_;
  HandshakeAnswer handshake_;
  int chunkGapMs_ = 3000;
  bool closeAfterHandshake_ = false;
  std::atomic<int> fd_{-1};
  std::atomic<bool> stop_{false};
  std::atomic<bool> answering_{true};
  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  std::mutex sendLock_;
  Bytes pending_;
  std::vector<CamFrame> frames_;
  bool hostClosed_ = false;
  int64_t requestAtMs_ = 0;
  int64_t hostClosedAtMs_ = 0;
  uint32_t deviceSeq_ = 500;
  std::thread t_;
};

}  // namespace kittest

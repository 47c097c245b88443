// A fake camera control port: speaks the camera frame (36-byte head, 20-byte
// items, tail) with its own encoder and parser, records every frame it
// receives with its time, answers requests by script (by default a get of
// 0x20001 with a reply that echoes its sequence), pushes frames on command,
// and closes, resets or refuses its links.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fake_peer.h"

namespace kittest {

struct CamItem {
  uint32_t code = 0;
  uint8_t paraType = 0;
  uint8_t setFlag = 0;
  uint32_t status = 0;
  Bytes data;
  uint32_t magic = 0xAA55A55A;
  uint16_t reserved = 0;  // the two bytes after the set flag
};

struct CamFrame {
  uint32_t version = 0x00010000;
  uint16_t ns = 8;      // a camera's frames are addressed to the host
  uint16_t sender = 2;  // the namespace answered
  uint32_t seq = 0;
  uint32_t echo = 0;
  uint32_t cls = 0x8002;
  uint32_t reserved = 0;
  std::vector<CamItem> items;
  uint32_t tail = 0x550FF0AA;
  uint32_t length = 0;  // as read; Encode computes its own
};

constexpr uint32_t kCamHead = 0x0FF055AA;
constexpr uint32_t kCamTail = 0x550FF0AA;

Bytes EncodeCamFrame(const CamFrame& f);
// Parses one whole frame of exactly `n` bytes; false when it is not one.
bool ParseCamFrame(const uint8_t* p, size_t n, CamFrame* out);
// Takes every whole frame off the front of a byte stream; bytes before a head
// are skipped, an incomplete frame stays.
std::vector<CamFrame> TakeCamFrames(Bytes& pending);

// Little-endian helpers for test data.
void PutLE32(Bytes& b, size_t at, uint32_t v);
uint32_t GetLE32(const Bytes& b, size_t at);

struct ReceivedFrame {
  int64_t atMs;  // steady clock, as kittest::NowMs
  int conn;      // the connection's number (0 first)
  CamFrame frame;
};

class FakeCamera {
 public:
  // Frames to send back for one received frame (none: no answer).
  using Answer = std::function<std::vector<Bytes>(const CamFrame& request)>;

  explicit FakeCamera(const std::string& ip, uint16_t port = 58000);
  FakeCamera(const FakeCamera&) = delete;
  FakeCamera& operator=(const FakeCamera&) = delete;

  const std::string& ip() const { return ip_; }
  uint32_t addr() const { return Addr(ip_); }
  bool Listening() const { return server_.Listening(); }

  // The reply frame of a request with these items (sequence echoed).
  static CamFrame ReplyTo(const CamFrame& request, std::vector<CamItem> items);
  static CamItem StatusItem(const Bytes& data) { return CamItem{0x10001, 0, 0, 0, data}; }
  // The default answer: a get of 0x20001 is answered with a 0x20001 item and,
  // when set, the status item given here; everything else is not answered.
  void SetStatusInReply(const Bytes& status);
  void SetAnswer(Answer a);
  void SetAnswering(bool on);
  // Whether received frames are kept for Frames() (on by default).
  void SetRecording(bool on);

  // Pushes to the newest connection.
  bool Push(const CamFrame& f);
  bool PushBytes(const Bytes& b);
  bool PushItems(std::vector<CamItem> items);

  std::vector<ReceivedFrame> Frames() const;
  size_t FrameCount() const;
  bool WaitFrames(size_t n, int timeoutMs) const;

  size_t Connections() const { return server_.ConnectionCount(); }
  bool WaitConnections(size_t n, int timeoutMs) const { return server_.WaitConnections(n, timeoutMs); }
  void CloseLinks() { server_.CloseAll(); }
  void ResetLinks() { server_.ResetAll(); }
  void Refuse() { server_.StopListening(); }  // new connections are refused
  bool Return() { return server_.StartListening(); }
  void PauseReading(bool pause);
  // Whether the newest connection is still open on the fake's side.
  bool LinkOpen() const;
  FakeTcpServer& server() { return server_; }

 private:
  void OnData(FakeConn& c, Bytes& pending);
  std::vector<Bytes> DefaultAnswer(const CamFrame& req);

  std::string ip_;
  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  std::vector<ReceivedFrame> frames_;
  Answer answer_;
  bool answering_ = true;
  bool recording_ = true;
  Bytes status_;
  bool hasStatus_ = false;
  uint32_t deviceSeq_ = 100;
  FakeTcpServer server_;  // last: its threads stop before the rest goes
};

}  // namespace kittest

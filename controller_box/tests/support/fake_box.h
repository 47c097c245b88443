// Fake controller boxes for the tests: one on 127.0.0.N:10028 and one on the
// far end of a pseudo-terminal pair. Both parse what they receive with the
// test's own codec, record every frame and answer by a script.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "box_codec.h"
#include "fake_peer.h"

namespace boxtest {

class BoxScript {
 public:
  using Send = std::function<void(const Bytes&)>;
  // Returns true when it answered (or chose not to) the frame itself.
  using Handler = std::function<bool(const Frame& req, const Send& send)>;

  // The reply to (class, sub-command): its payload and status.
  void Answer(uint8_t cls, uint8_t sub, Bytes payload, uint16_t status = 0x8000);
  // No reply to (class, sub-command).
  void Silent(uint8_t cls, uint8_t sub);
  void SetHandler(Handler h);
  // The reply to time frames (class 0, sub-command 0); none by default.
  void AnswerHeartbeats(Bytes payload);
  void StopHeartbeatAnswers();

  void OnBytes(Bytes& pending, const Send& send);
  std::vector<Frame> Frames() const;
  std::vector<Bytes> RawFrames() const;
  // Frames with this class and sub-command.
  std::vector<Frame> Frames(uint8_t cls, uint8_t sub) const;
  bool WaitFrames(uint8_t cls, uint8_t sub, size_t n, int ms) const;
  // The last request that was not a time frame.
  bool WaitRequest(Frame* out, int ms) const;
  void Clear();

 private:
  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  std::vector<Cut> got_;
  std::map<std::pair<uint8_t, uint8_t>, std::pair<Bytes, uint16_t>> answers_;
  std::map<std::pair<uint8_t, uint8_t>, bool> silent_;
  Handler handler_;
  bool heartbeat_ = false;
  Bytes heartbeatPayload_;
};

// Link information payload: third and fourth bytes the link counts.
Bytes LinkInfo(uint8_t links, uint8_t maxLinks);

class FakeBox {
 public:
  // Listens on ip:10028; every new connection first gets the link information
  // (unless SetLinkInfo(false)).
  explicit FakeBox(const std::string& ip);
  ~FakeBox();
  void SetLinkInfo(bool send, uint8_t links = 1, uint8_t maxLinks = 8);
  BoxScript& script() { return script_; }
  kittest::FakeTcpServer& server() { return server_; }
  std::shared_ptr<kittest::FakeConn> Conn() const { return server_.Last(); }
  // Sends bytes on the latest connection.
  bool Push(const Bytes& b);

 private:
  // Declared before the server, whose threads use them, so they outlive it.
  BoxScript script_;
  std::atomic<bool> link_{true};
  std::atomic<uint8_t> links_{1}, maxLinks_{8};
  kittest::FakeTcpServer server_;
};

// A box at the master end of a pseudo-terminal; the library opens SlavePath().
class FakeSerialBox {
 public:
  FakeSerialBox();
  ~FakeSerialBox();
  bool Ok() const { return master_ >= 0; }
  const std::string& SlavePath() const { return slavePath_; }
  int SlaveFd() const { return slave_; }
  BoxScript& script() { return script_; }
  bool Push(const Bytes& b);
  // Bytes in separate writes, each once the library has read the one before
  // (so the reader sees them as separate pieces).
  bool PushSlowly(const Bytes& b, size_t piece);
  // Everything received, in order.
  Bytes Received() const;
  // The far end goes away: the line is hung up, writes to it fail.
  void HangUp();

 private:
  void Run();
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::atomic<bool> stop_{false};
  BoxScript script_;
  mutable std::mutex m_;
  Bytes all_;
  std::thread t_;
};

}  // namespace boxtest

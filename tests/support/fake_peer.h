// Building blocks for fake devices: a TCP listener on a chosen 127.0.0.N
// address and port whose connections record what they receive (with times)
// and answer by script, and a UDP endpoint that does the same for datagrams.
// Fakes parse the wire formats with their own code, never the library's.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kittest {

using Bytes = std::vector<uint8_t>;

uint32_t Addr(const std::string& dotted);  // first octet in the lowest byte

struct Chunk {
  int64_t atMs;  // steady clock
  Bytes bytes;
};

class FakeTcpServer;

// One accepted connection.
class FakeConn {
 public:
  int id() const { return id_; }
  bool Send(const Bytes& b);
  bool Send(const void* p, size_t n);
  void Close();  // orderly close
  void Reset();  // abortive close (RST)
  bool Open() const { return fd_.load() >= 0; }
  // Everything received so far, in one piece and chunk by chunk.
  Bytes Received() const;
  std::vector<Chunk> Chunks() const;
  uint32_t peerAddr() const { return peerAddr_; }
  // Stops reading (the peer's sends then back up).
  void PauseReading(bool pause);
  // Limits the connection's receive buffer (so that a peer's sends back up
  // after a few kilobytes).
  void SetRecvBuffer(int bytes);

 private:
  friend class FakeTcpServer;
  void Run(FakeTcpServer* owner);
  int id_ = 0;
  std::atomic<int> fd_{-1};
  uint32_t peerAddr_ = 0;
  std::atomic<bool> paused_{false};
  mutable std::mutex m_;
  std::vector<Chunk> chunks_;
  std::thread t_;
};

class FakeTcpServer {
 public:
  // Called on the connection's thread for each receive; `all` is everything
  // received on that connection so far (so a script can parse whole frames).
  using OnData = std::function<void(FakeConn& c, Bytes& pending)>;
  using OnAccept = std::function<void(FakeConn& c)>;

  FakeTcpServer(const std::string& ip, uint16_t port);
  ~FakeTcpServer();
  FakeTcpServer(const FakeTcpServer&) = delete;
  FakeTcpServer& operator=(const FakeTcpServer&) = delete;

  bool Listening() const { return listenFd_.load() >= 0; }
  // `pending` holds the bytes not yet consumed; the script erases what it used.
  void SetOnData(OnData f);
  void SetOnAccept(OnAccept f);

  // Closes the listening socket (new connections are refused) / opens it again.
  void StopListening();
  bool StartListening();

  size_t ConnectionCount() const;
  std::shared_ptr<FakeConn> Conn(size_t i) const;
  std::shared_ptr<FakeConn> Last() const;
  void CloseAll();
  void ResetAll();
  // Waits until `n` connections have been accepted.
  bool WaitConnections(size_t n, int timeoutMs) const;
  // Whether connections keep what they receive (on by default; a benchmark
  // turns it off, so that the fake's memory does not grow with every frame).
  void SetRecording(bool on) { recording_.store(on); }

 private:
  friend class FakeConn;
  void AcceptLoop();
  std::string ip_;
  uint16_t port_;
  std::atomic<int> listenFd_{-1};
  std::atomic<bool> stop_{false};
  std::atomic<bool> recording_{true};
  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  std::vector<std::shared_ptr<FakeConn>> conns_;
  OnData onData_;
  OnAccept onAccept_;
  std::thread acceptThread_;
};

struct Datagram {
  int64_t atMs;
  uint32_t fromAddr;
  uint16_t fromPort;
  Bytes bytes;
};

class FakeUdpEndpoint {
 public:
  using OnDatagram = std::function<void(FakeUdpEndpoint& ep, const Datagram& d)>;
  // Binds ip:port (ip "0.0.0.0" for any address); SO_REUSEADDR and broadcast on.
  FakeUdpEndpoint(const std::string& ip, uint16_t port);
  ~FakeUdpEndpoint();
  FakeUdpEndpoint(const FakeUdpEndpoint&) = delete;
  FakeUdpEndpoint& operator=(const FakeUdpEndpoint&) = delete;

  bool Bound() const { return fd_ >= 0; }
  uint16_t Port() const;
  void SetOnDatagram(OnDatagram f);
  bool SendTo(uint32_t addr, uint16_t port, const Bytes& b);
  std::vector<Datagram> Received() const;
  size_t Count() const;
  bool WaitCount(size_t n, int timeoutMs) const;

 private:
  void Run();
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  std::vector<Datagram> got_;
  OnDatagram on_;
  std::thread t_;
};

// All `n` bytes sent on a stream socket, or false (the peer has gone).
// Never raises SIGPIPE.
bool SendAll(int fd, const void* p, size_t n);

// Sends `bytes` as a peer that is slow to send them: `pieces` parts of about
// equal size, `gapMs` apart (the peer's pace, not a wait on the library).
// The milliseconds from the first part to the last; -1 when a send failed.
int64_t SendPaced(const Bytes& bytes, size_t pieces, int gapMs,
                  const std::function<bool(const Bytes&)>& send);

// The receive buffer a UDP socket of this process gets when it asks for
// `bytes`, in the units asked: all of it where the process may pass the
// system's limit, otherwise no more than that limit.
int RecvBufferGranted(int bytes);
// The receive buffer a socket holds, in the units a program asks for (Linux
// reports twice that); -1 when it cannot be read.
int RecvBufferOf(int fd);

}  // namespace kittest

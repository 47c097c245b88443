#include "fake_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "wait.h"

namespace kittest {

uint32_t Addr(const std::string& dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted.c_str(), &a);
  return a.s_addr;
}

namespace {
sockaddr_in SockAddr(uint32_t addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  sa.sin_port = htons(port);
  return sa;
}
}  // namespace

// ---- FakeConn ----

bool FakeConn::Send(const Bytes& b) { return Send(b.data(), b.size()); }

bool FakeConn::Send(const void* p, size_t n) {
  std::lock_guard<std::mutex> lk(m_);
  const int fd = fd_.load();
  return fd >= 0 && SendAll(fd, p, n);
}

void FakeConn::Close() {
  std::lock_guard<std::mutex> lk(m_);
  const int fd = fd_.load();
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void FakeConn::Reset() {
  std::lock_guard<std::mutex> lk(m_);
  const int fd = fd_.load();
  if (fd < 0) return;
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::shutdown(fd, SHUT_RD);  // wakes the reader, which closes: an RST goes out
}

Bytes FakeConn::Received() const {
  std::lock_guard<std::mutex> lk(m_);
  Bytes all;
  for (const auto& c : chunks_) all.insert(all.end(), c.bytes.begin(), c.bytes.end());
  return all;
}

std::vector<Chunk> FakeConn::Chunks() const {
  std::lock_guard<std::mutex> lk(m_);
  return chunks_;
}

void FakeConn::PauseReading(bool pause) { paused_.store(pause); }

void FakeConn::SetRecvBuffer(int bytes) {
  std::lock_guard<std::mutex> lk(m_);
  const int fd = fd_.load();
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void FakeConn::Run(FakeTcpServer* owner) {
  Bytes pending;
  uint8_t buf[65536];
  for (;;) {
    const int fd = fd_.load();
    if (paused_.load()) {
      pollfd p{fd, POLLRDHUP, 0};
      poll(&p, 1, 10);
      if (owner->stop_.load()) break;
      continue;
    }
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (owner->recording_.load()) {
      std::lock_guard<std::mutex> lk(m_);
      chunks_.push_back(Chunk{NowMs(), Bytes(buf, buf + n)});
    }
    pending.insert(pending.end(), buf, buf + n);
    FakeTcpServer::OnData on;
    {
      std::lock_guard<std::mutex> lk(owner->m_);
      on = owner->onData_;
    }
    if (on) on(*this, pending);
  }
  std::lock_guard<std::mutex> lk(m_);
  const int fd = fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

// ---- FakeTcpServer ----

FakeTcpServer::FakeTcpServer(const std::string& ip, uint16_t port) : ip_(ip), port_(port) {
  StartListening();
}

FakeTcpServer::~FakeTcpServer() {
  stop_.store(true);
  StopListening();
  std::vector<std::shared_ptr<FakeConn>> conns;
  {
    std::lock_guard<std::mutex> lk(m_);
    conns = conns_;
  }
  for (auto& c : conns) {
    c->Close();
    if (c->t_.joinable()) c->t_.join();
  }
}

void FakeTcpServer::SetOnData(OnData f) {
  std::lock_guard<std::mutex> lk(m_);
  onData_ = std::move(f);
}

void FakeTcpServer::SetOnAccept(OnAccept f) {
  std::lock_guard<std::mutex> lk(m_);
  onAccept_ = std::move(f);
}

bool FakeTcpServer::StartListening() {
  if (listenFd_.load() >= 0) return true;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = SockAddr(Addr(ip_), port_);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 128) != 0) {
    ::close(fd);
    return false;
  }
  listenFd_.store(fd);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void FakeTcpServer::StopListening() {
  const int fd = listenFd_.load();
  if (fd < 0) return;
  ::shutdown(fd, SHUT_RDWR);  // wakes accept
  if (acceptThread_.joinable()) acceptThread_.join();
  ::close(fd);
  listenFd_.store(-1);
}

void FakeTcpServer::AcceptLoop() {
  const int lf = listenFd_.load();
  for (;;) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int c = ::accept4(lf, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    if (c < 0 && errno == EINTR) continue;
    if (c < 0) return;
    int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto conn = std::make_shared<FakeConn>();
    conn->fd_.store(c);
    conn->peerAddr_ = sa.sin_addr.s_addr;
    OnAccept onAccept;
    {
      std::lock_guard<std::mutex> lk(m_);
      conn->id_ = static_cast<int>(conns_.size());
      conns_.push_back(conn);
      onAccept = onAccept_;
    }
    if (onAccept) onAccept(*conn);
    conn->t_ = std::thread([this, conn] { conn->Run(this); });
    cv_.notify_all();
  }
}

size_t FakeTcpServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lk(m_);
  return conns_.size();
}

std::shared_ptr<FakeConn> FakeTcpServer::Conn(size_t i) const {
  std::lock_guard<std::mutex> lk(m_);
  return i < conns_.size() ? conns_[i] : nullptr;
}

std::shared_ptr<FakeConn> FakeTcpServer::Last() const {
  std::lock_guard<std::mutex> lk(m_);
  return conns_.empty() ? nullptr : conns_.back();
}

void FakeTcpServer::CloseAll() {
  std::lock_guard<std::mutex> lk(m_);
  for (auto& c : conns_) c->Close();
}

void FakeTcpServer::ResetAll() {
  std::lock_guard<std::mutex> lk(m_);
  for (auto& c : conns_) c->Reset();
}

bool FakeTcpServer::WaitConnections(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> lk(m_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return conns_.size() >= n; });
}

// ---- FakeUdpEndpoint ----

FakeUdpEndpoint::FakeUdpEndpoint(const std::string& ip, uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  int big = 4 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  sockaddr_in sa = SockAddr(Addr(ip), port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
  t_ = std::thread([this] { Run(); });
}

FakeUdpEndpoint::~FakeUdpEndpoint() {
  stop_.store(true);
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  if (t_.joinable()) t_.join();
  if (fd_ >= 0) ::close(fd_);
}

uint16_t FakeUdpEndpoint::Port() const {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

void FakeUdpEndpoint::SetOnDatagram(OnDatagram f) {
  std::lock_guard<std::mutex> lk(m_);
  on_ = std::move(f);
}

bool FakeUdpEndpoint::SendTo(uint32_t addr, uint16_t port, const Bytes& b) {
  sockaddr_in sa = SockAddr(addr, port);
  return ::sendto(fd_, b.data(), b.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa) ==
         static_cast<ssize_t>(b.size());
}

std::vector<Datagram> FakeUdpEndpoint::Received() const {
  std::lock_guard<std::mutex> lk(m_);
  return got_;
}

size_t FakeUdpEndpoint::Count() const {
  std::lock_guard<std::mutex> lk(m_);
  return got_.size();
}

bool FakeUdpEndpoint::WaitCount(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> lk(m_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return got_.size() >= n; });
}

void FakeUdpEndpoint::Run() {
  uint8_t buf[65536];
  while (!stop_.load()) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (stop_.load()) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    Datagram d{NowMs(), sa.sin_addr.s_addr, ntohs(sa.sin_port), Bytes(buf, buf + n)};
    OnDatagram on;
    {
      std::lock_guard<std::mutex> lk(m_);
      got_.push_back(d);
      on = on_;
    }
    cv_.notify_all();
    if (on) on(*this, d);
  }
}

bool SendAll(int fd, const void* p, size_t n) {
  const char* c = static_cast<const char*>(p);
  while (n > 0) {
    const ssize_t k = ::send(fd, c, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    c += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

int64_t SendPaced(const Bytes& bytes, size_t pieces, int gapMs,
                  const std::function<bool(const Bytes&)>& send) {
  const int64_t t0 = NowMs();
  for (size_t i = 0; i < pieces; ++i) {
    const size_t from = bytes.size() * i / pieces, to = bytes.size() * (i + 1) / pieces;
    if (!send(Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to))))
      return -1;
    if (i + 1 < pieces) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
  }
  return NowMs() - t0;
}

int RecvBufferGranted(int bytes) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  const int got = RecvBufferOf(fd);
  ::close(fd);
  return got;
}

int RecvBufferOf(int fd) {
  int kept = 0;
  socklen_t len = sizeof kept;
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kept, &len) != 0) return -1;
  return kept / 2;
}

}  // namespace kittest

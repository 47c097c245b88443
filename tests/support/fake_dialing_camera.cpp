#include "fake_dialing_camera.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "fake_peer.h"
#include "wait.h"

namespace kittest {

FakeDialingCamera::FakeDialingCamera(const std::string& ip) : ip_(ip), handshake_(Answers()) {}

FakeDialingCamera::~FakeDialingCamera() {
  stop_.store(true);
  const int fd = fd_.load();
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  if (t_.joinable()) t_.join();
  if (fd >= 0) ::close(fd);
}

CamFrame FakeDialingCamera::HandshakeReply(const CamFrame& request, uint32_t statusLength,
                                           uint32_t statusWord) {
  Bytes status(statusLength);
  for (size_t i = 0; i < status.size(); ++i) status[i] = static_cast<uint8_t>(i * 7 + 1);
  if (statusLength >= 12) PutLE32(status, 8, statusWord);
  return FakeCamera::ReplyTo(request, {CamItem{0x20001, 0, 0, 0, Bytes(16, 0x5A)},
                                       FakeCamera::StatusItem(status)});
}

FakeDialingCamera::HandshakeAnswer FakeDialingCamera::Answers(uint32_t statusLength) {
  return [statusLength](const CamFrame& req) {
    return std::vector<Bytes>{EncodeCamFrame(HandshakeReply(req, statusLength, statusLength == 332 ? 332 : 96))};
  };
}

void FakeDialingCamera::SetHandshake(HandshakeAnswer answer, int chunkGapMs) {
  handshake_ = std::move(answer);
  chunkGapMs_ = chunkGapMs;
}

bool FakeDialingCamera::Dial(const std::string& hostIp, uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = Addr(ip_);
  sockaddr_in host{};
  host.sin_family = AF_INET;
  host.sin_port = htons(port);
  host.sin_addr.s_addr = Addr(hostIp);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&host), sizeof host) != 0) {
    ::close(fd);
    return false;
  }
  fd_.store(fd);
  t_ = std::thread([this] { Run(); });
  return true;
}

void FakeDialingCamera::SetAnswering(bool on) { answering_.store(on); }

bool FakeDialingCamera::Push(const CamFrame& f) { return SendBytes(EncodeCamFrame(f)); }

void FakeDialingCamera::Close() {
  const int fd = fd_.load();
  if (fd >= 0) ::shutdown(fd, SHUT_WR);  // the host sees the end; reading goes on
}

bool FakeDialingCamera::SendBytes(const Bytes& b) {
  std::lock_guard<std::mutex> lk(sendLock_);
  const int fd = fd_.load();
  return fd >= 0 && SendAll(fd, b.data(), b.size());
}

bool FakeDialingCamera::ReadSome(int ms) {
  const int fd = fd_.load();
  pollfd p{fd, POLLIN, 0};
  const int r = ::poll(&p, 1, ms);
  if (r == 0) return true;
  uint8_t buf[4096];
  const ssize_t n = r < 0 ? -1 : ::recv(fd, buf, sizeof buf, 0);
  if (n <= 0) {
    std::lock_guard<std::mutex> lk(m_);
    if (!hostClosed_) hostClosedAtMs_ = NowMs();
    hostClosed_ = true;
    cv_.notify_all();
    return false;
  }
  std::vector<CamFrame> got;
  bool afterHandshake;
  {
    std::lock_guard<std::mutex> lk(m_);
    afterHandshake = !frames_.empty();
    pending_.insert(pending_.end(), buf, buf + n);
    got = TakeCamFrames(pending_);
    if (frames_.empty() && !got.empty()) requestAtMs_ = NowMs();
    frames_.insert(frames_.end(), got.begin(), got.end());
  }
  cv_.notify_all();
  for (size_t i = 0; i < got.size(); ++i) {
    const CamFrame& f = got[i];
    if (!(afterHandshake || i > 0) || !answering_.load()) continue;
    if (f.cls != 2 || f.items.size() != 1 || f.items[0].code != 0x20001) continue;
    CamFrame reply = FakeCamera::ReplyTo(f, {CamItem{0x20001, 0, 0, 0, Bytes(16, 0x5A)}});
    reply.seq = deviceSeq_++;
    SendBytes(EncodeCamFrame(reply));
  }
  return true;
}

void FakeDialingCamera::Run() {
  auto requestArrived = [this] {
    std::lock_guard<std::mutex> lk(m_);
    return !frames_.empty();
  };
  while (!stop_.load() && !requestArrived())
    if (!ReadSome(50)) return;
  if (stop_.load()) return;
  const CamFrame request = Frames()[0];
  const std::vector<Bytes> chunks = handshake_ ? handshake_(request) : std::vector<Bytes>{};
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (i > 0) {
      // The next chunk goes only if the host still waits for it.
      const int64_t end = NowMs() + chunkGapMs_;
      while (!stop_.load() && NowMs() < end)
        if (!ReadSome(static_cast<int>(std::min<int64_t>(50, std::max<int64_t>(1, end - NowMs()))))) return;
    }
    if (stop_.load() || !SendBytes(chunks[i])) return;
  }
  if (closeAfterHandshake_) Close();
  while (!stop_.load())
    if (!ReadSome(50)) return;
}

bool FakeDialingCamera::WaitRequest(int timeoutMs) const { return WaitFrames(1, timeoutMs); }

bool FakeDialingCamera::HostClosed() const {
  std::lock_guard<std::mutex> lk(m_);
  return hostClosed_;
}

bool FakeDialingCamera::WaitHostClosed(int timeoutMs) const {
  std::unique_lock<std::mutex> lk(m_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return hostClosed_; });
}

int64_t FakeDialingCamera::RequestAtMs() const {
  std::lock_guard<std::mutex> lk(m_);
  return requestAtMs_;
}

int64_t FakeDialingCamera::HostClosedAtMs() const {
  std::lock_guard<std::mutex> lk(m_);
  return hostClosedAtMs_;
}

std::vector<CamFrame> FakeDialingCamera::Frames() const {
  std::lock_guard<std::mutex> lk(m_);
  return frames_;
}

bool FakeDialingCamera::WaitFrames(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> lk(m_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return frames_.size() >= n; });
}

}  // namespace kittest

#include "bench_support.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace benchkit {

bool RecvAll(int fd, void* p, size_t n, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  char* at = static_cast<char*>(p);
  // No clock read without a time-out: the raw ping-pong of a bench runs here.
  const Clock::time_point end = timeoutMs >= 0 ? Clock::now() + std::chrono::milliseconds(timeoutMs) : Clock::time_point();
  while (n > 0) {
    if (timeoutMs >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      pollfd pfd{fd, POLLIN, 0};
      const int ready = poll(&pfd, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
    }
    const ssize_t r = recv(fd, at, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    at += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

void Link::WaitClosed() {
  char c;
  while (recv(fd_, &c, 1, 0) < 0 && errno == EINTR) {
  }
}

ChildFakes::ChildFakes(const std::function<int(Link&)>& body) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    close(sv[0]);
    Link child(sv[1]);
    _exit(body(child));
  }
  close(sv[1]);
  if (pid_ < 0) {
    close(sv[0]);
    return;
  }
  link_ = Link(sv[0]);
}

void ChildFakes::Finish() {
  if (link_.fd() >= 0) close(link_.fd());
  link_ = Link();
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void CpuShare::Start() {
  cpu0_ = CpuSeconds();
  started_ = stopped_ = Clock::now();
  cpu_ = 0;
}

void CpuShare::Stop() {
  stopped_ = Clock::now();
  cpu_ = CpuSeconds() - cpu0_;
}

bool Flood(const kittest::Bytes& piece, int times, int gapMs,
           const std::function<bool(const kittest::Bytes&)>& send) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < times; ++i) {
    if (!send(piece)) return false;
    std::this_thread::sleep_until(start + std::chrono::milliseconds(static_cast<int64_t>(gapMs) * (i + 1)));
  }
  return true;
}

}  // namespace benchkit

// What the benchmarks share: fake devices run in a child process (so that the
// bench's CPU figures count the library's own threads only), the CPU share of
// a stretch of a run, a flood sent at a fixed pace, and the end of a burst of
// answers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>

#include "fake_peer.h"
#include "wait.h"

namespace benchkit {

// All `n` bytes received from a stream socket, or false (the peer has gone;
// or, with a `timeoutMs` of 0 or more, the bytes did not all come in that
// time).
bool RecvAll(int fd, void* p, size_t n, int timeoutMs = -1);

// One end of the link between a bench and the fakes in its child process: a
// stream socket, so either end sees the other one's end (or death) as the
// end of the stream.
class Link {
 public:
  explicit Link(int fd = -1) : fd_(fd) {}
  // Whole values of plain types, or false (the other end has gone; or, with
  // a `timeoutMs` of 0 or more, nothing came in that time).
  template <class T>
  bool Put(const T& v) {
    return kittest::SendAll(fd_, &v, sizeof v);
  }
  template <class T>
  bool Get(T* v, int timeoutMs = -1) {
    return RecvAll(fd_, v, sizeof *v, timeoutMs);
  }
  // Until the other end closes its side (or sends a byte).
  void WaitClosed();
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Fake devices in a child process. Start it before the bench starts any
// thread: the child is a copy of the process as it is at the fork. The child
// runs `body` on its end of the link and exits with what it returns; it never
// comes back into the bench.
class ChildFakes {
 public:
  explicit ChildFakes(const std::function<int(Link&)>& body);
  ~ChildFakes() { Finish(); }
  ChildFakes(const ChildFakes&) = delete;
  ChildFakes& operator=(const ChildFakes&) = delete;

  bool Started() const { return pid_ > 0; }
  Link& link() { return link_; }
  // Closes the bench's end (the child's WaitClosed returns) and waits until
  // the child has ended.
  void Finish();

 private:
  pid_t pid_ = -1;
  Link link_;
};

// The CPU time (user and system) of this process's threads, in seconds.
double CpuSeconds();

// The CPU time this process uses over a stretch of wall time: from the
// construction (or Start) to Stop.
class CpuShare {
 public:
  using Clock = std::chrono::steady_clock;
  CpuShare() { Start(); }
  void Start();
  void Stop();
  double cpuSeconds() const { return cpu_; }
  double wallSeconds() const { return std::chrono::duration<double>(stopped_ - started_).count(); }
  // Per cent of one core.
  double Percent() const { return wallSeconds() > 0 ? 100.0 * cpu_ / wallSeconds() : 0; }
  Clock::time_point stopped() const { return stopped_; }

 private:
  double cpu0_ = 0, cpu_ = 0;
  Clock::time_point started_, stopped_;
};

// Sends `piece` `times` times, the i-th at `gapMs` * i from the first (a
// late send does not push back the ones after it), and after the last one
// waits out its gap too, so that the flood lasts `times` * `gapMs`. False
// when a send failed.
bool Flood(const kittest::Bytes& piece, int times, int gapMs,
           const std::function<bool(const kittest::Bytes&)>& send);

// Waits until `count()` reaches `all`, or has not changed for `quietMs`: the
// end of a burst of answers, however many of them came. `wait(cond, ms)` is
// the bounded wait on a condition (a window's event loop, for one).
template <class Count, class Wait>
void WaitBurstEnd(Count count, int all, int quietMs, Wait wait) {
  int last = -1;
  while (count() < all) {
    if (!wait([&] { return count() != last; }, quietMs)) break;
    last = count();
  }
}
template <class Count>
void WaitBurstEnd(Count count, int all, int quietMs) {
  WaitBurstEnd(count, all, quietMs, [](const std::function<bool()>& cond, int ms) {
    return kittest::WaitUntil(cond, ms);
  });
}

}  // namespace benchkit

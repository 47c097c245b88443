// Round trip of a device command (Qelm_ControlShutter: a 64-byte request and
// a 64-byte reply) against fake cameras that answer at once, beside a raw TCP
// ping-pong of the same frame sizes on loopback in the same run: median and
// 99th percentile and their ratio (goal: within 2x). A raw client that sends
// the same frame to the fake camera shows what the fake itself costs. Then 8
// handles driven in parallel beside 8 raw ping-pong pairs (goal: they scale
// alike, so that the library adds no shared bottleneck).
//
// The kinds take turns in short blocks, so that all see the same machine.
// Runs only inside the private test network:
//   scripts/in-test-network.sh build/bench/command_bench [requests of each kind]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Qelm_Control.h"
#include "fake_camera.h"
#include "netns.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kFrame = 64;  // request and reply alike
constexpr int kParallel = 8;
constexpr int kBlocks = 20;      // turns of the round-trip kinds
constexpr int kScaleRounds = 5;  // turns of the throughput kinds

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Stats {
  double median, p99;
};
Stats Of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return {0, 0};
  return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
  while (n) {
    const ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n) {
    const ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

void NoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// The raw reference: a listener on 127.0.0.1 whose connections answer every
// 64 bytes with 64 bytes, one thread per connection.
class EchoServer {
 public:
  EchoServer() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd_, 16) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
      return;
    addr_ = sa;
    ok_ = true;
    accepter_ = std::thread([this] {
      for (;;) {
        const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        NoDelay(c);
        conns_.emplace_back([c] {
          uint8_t buf[kFrame];
          while (ReadAll(c, buf, kFrame) && WriteAll(c, buf, kFrame)) {
          }
          close(c);
        });
      }
    });
  }
  ~EchoServer() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    accepter_.join();
    for (auto& t : conns_) t.join();
  }
  bool ok() const { return ok_; }
  int Connect() const {
    const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    NoDelay(c);
    if (connect(c, reinterpret_cast<const sockaddr*>(&addr_), sizeof addr_) != 0) {
      close(c);
      return -1;
    }
    return c;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
  sockaddr_in addr_{};
  std::thread accepter_;
  std::vector<std::thread> conns_;  // touched by the accepter only until it ends
};

// A fake camera that answers every request at once with one 4-byte item of
// the request's code: 64 bytes, as the request.
std::unique_ptr<kittest::FakeCamera> AnsweringCamera(const std::string& ip) {
  auto cam = std::make_unique<kittest::FakeCamera>(ip);
  cam->SetRecording(false);
  cam->SetAnswer([](const kittest::CamFrame& req) -> std::vector<kittest::Bytes> {
    if (req.seq == 0 || req.items.empty()) return {};
    kittest::CamItem it;
    it.code = req.items[0].code;
    it.paraType = req.items[0].paraType;
    it.data = {1, 0, 0, 0};
    return {kittest::EncodeCamFrame(kittest::FakeCamera::ReplyTo(req, {it}))};
  });
  return cam;
}

// One client's round trips, each timed.
void RawRounds(int fd, int n, std::vector<double>* out) {
  uint8_t buf[kFrame] = {};
  for (int i = 0; i < n; ++i) {
    const auto t0 = Clock::now();
    if (!WriteAll(fd, buf, kFrame) || !ReadAll(fd, buf, kFrame)) {
      fprintf(stderr, "raw ping-pong failed\n");
      exit(1);
    }
    out->push_back(Us(Clock::now() - t0));
  }
}

// A raw client sending the command's frame to the fake camera.
void FakeRounds(int fd, int n, std::vector<double>* out) {
  static uint32_t seq = 0;
  kittest::CamFrame f;
  f.ns = 1;
  f.sender = 8;
  f.cls = 3;
  kittest::CamItem it;
  it.code = 0x105;
  it.paraType = 8;
  it.setFlag = 1;
  it.data = {1, 0, 0, 0};
  f.items.push_back(it);
  uint8_t reply[kFrame];
  for (int i = 0; i < n; ++i) {
    f.seq = ++seq;
    const kittest::Bytes b = kittest::EncodeCamFrame(f);
    const auto t0 = Clock::now();
    if (!WriteAll(fd, b.data(), b.size()) || !ReadAll(fd, reply, kFrame)) {
      fprintf(stderr, "raw client to the fake camera failed\n");
      exit(1);
    }
    out->push_back(Us(Clock::now() - t0));
  }
}

int ConnectTo(const std::string& ip, uint16_t port) {
  const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  NoDelay(c);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = kittest::Addr(ip);
  if (connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(c);
    return -1;
  }
  return c;
}

double MedianOf(std::vector<double> v) { return Of(std::move(v)).median; }

void LibRounds(StCameraHandle* h, int n, std::vector<double>* out) {
  for (int i = 0; i < n; ++i) {
    const auto t0 = Clock::now();
    const int r = Qelm_ControlShutter(h, i, 2000);
    if (r != 0) {
      fprintf(stderr, "Qelm_ControlShutter = %d\n", r);
      exit(1);
    }
    out->push_back(Us(Clock::now() - t0));
  }
}

// Runs `work(i, &samples)` on `threads` threads at once; returns requests per
// second over all of them, with every sample in *all.
template <typename Work>
double Parallel(int threads, int n, Work work, std::vector<double>* all) {
  std::vector<std::vector<double>> samples(threads);
  std::vector<std::thread> ts;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  for (int i = 0; i < threads; ++i) {
    samples[i].reserve(n);
    ts.emplace_back([&, i] {
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      work(i, n, &samples[i]);
    });
  }
  while (ready.load() < threads) std::this_thread::yield();
  const auto t0 = Clock::now();
  go.store(true);
  for (auto& t : ts) t.join();
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  for (auto& s : samples) all->insert(all->end(), s.begin(), s.end());
  return threads * n / secs;
}

std::string CameraIp(int i) { return "127.0.0." + std::to_string(i + 2); }

}  // namespace

int main(int argc, char** argv) {
  if (!kittest::ProgramInPrivateNetwork(argv[0])) return 2;
  const int n = argc > 1 ? std::max(kBlocks * 10, atoi(argv[1])) : 20000;
  const int block = n / kBlocks;
  const int perThread = n / kScaleRounds;

  EchoServer echo;
  std::vector<std::unique_ptr<kittest::FakeCamera>> cams;
  for (int i = 0; i < kParallel; ++i) {
    cams.push_back(AnsweringCamera(CameraIp(i)));
    if (!cams.back()->Listening()) {
      fprintf(stderr, "cannot listen on %s:58000\n", CameraIp(i).c_str());
      return 1;
    }
  }
  if (!echo.ok()) {
    fprintf(stderr, "cannot start the raw echo server\n");
    return 1;
  }
  std::vector<int> raw(kParallel, -1);
  std::vector<StCameraHandle*> handles(kParallel, nullptr);
  for (int i = 0; i < kParallel; ++i) {
    raw[i] = echo.Connect();
    const int r = Qelm_OpenCamera(kittest::Addr(CameraIp(i)), &handles[i], nullptr, nullptr);
    if (raw[i] < 0 || r != 0) {
      fprintf(stderr, "cannot connect (raw %d, Qelm_OpenCamera %d)\n", raw[i], r);
      return 1;
    }
  }
  const int toFake = ConnectTo(CameraIp(0), 58000);
  if (toFake < 0) {
    fprintf(stderr, "cannot connect to the fake camera\n");
    return 1;
  }

  std::vector<double> rawUs, fakeUs, libUs, warm;
  RawRounds(raw[0], block, &warm);
  FakeRounds(toFake, block, &warm);
  LibRounds(handles[0], block, &warm);
  for (int b = 0; b < kBlocks; ++b) {
    RawRounds(raw[0], block, &rawUs);
    FakeRounds(toFake, block, &fakeUs);
    LibRounds(handles[0], block, &libUs);
  }
  const Stats rs = Of(rawUs), fs = Of(fakeUs), ls = Of(libUs);
  printf("round trip, %zu-byte request and reply, %d requests of each kind\n", kFrame, kBlocks * block);
  printf("  %-32s median %8.1f us   p99 %8.1f us\n", "raw TCP ping-pong", rs.median, rs.p99);
  printf("  %-32s median %8.1f us   p99 %8.1f us\n", "raw client to the fake camera", fs.median, fs.p99);
  printf("  %-32s median %8.1f us   p99 %8.1f us\n", "Qelm_ControlShutter", ls.median, ls.p99);
  printf("  %-32s median %8.2f x    p99 %8.2f x    (goal: within 2x)\n", "library / raw ping-pong",
         ls.median / rs.median, ls.p99 / rs.p99);
  printf("  %-32s median %8.2f x    p99 %8.2f x\n", "library / raw client to the fake", ls.median / fs.median,
         ls.p99 / fs.p99);

  // Throughput of 1 and of 8 clients at once, each kind in turn.
  auto rawWork = [&](int i, int m, std::vector<double>* v) { RawRounds(raw[i], m, v); };
  auto libWork = [&](int i, int m, std::vector<double>* v) { LibRounds(handles[i], m, v); };
  std::vector<double> raw1, lib1, raw8, lib8, r8, l8, unused;
  for (int round = 0; round < kScaleRounds; ++round) {
    raw1.push_back(Parallel(1, perThread, rawWork, &unused));
    lib1.push_back(Parallel(1, perThread, libWork, &unused));
    raw8.push_back(Parallel(kParallel, perThread, rawWork, &r8));
    lib8.push_back(Parallel(kParallel, perThread, libWork, &l8));
  }
  const double rawAlone = MedianOf(raw1), libAlone = MedianOf(lib1);
  const double rawAll = MedianOf(raw8), libAll = MedianOf(lib8);
  const Stats r8s = Of(r8), l8s = Of(l8);
  printf("parallel: %d connections, %d requests each, median of %d rounds (%u cores)\n", kParallel, perThread,
         kScaleRounds, std::thread::hardware_concurrency());
  printf("  %-32s %8.0f/s alone %8.0f/s with %d  scaling %5.2f x  median %6.1f us  p99 %7.1f us\n",
         "raw TCP ping-pong", rawAlone, rawAll, kParallel, rawAll / rawAlone, r8s.median, r8s.p99);
  printf("  %-32s %8.0f/s alone %8.0f/s with %d  scaling %5.2f x  median %6.1f us  p99 %7.1f us\n",
         "Qelm_ControlShutter", libAlone, libAll, kParallel, libAll / libAlone, l8s.median, l8s.p99);
  printf("  %-32s %5.2f (1.00: the library scales as the raw sockets do)\n", "scaling library / raw",
         (libAll / libAlone) / (rawAll / rawAlone));

  close(toFake);
  for (int fd : raw) close(fd);
  Qelm_Quit();
  const bool goal = ls.median <= 2 * rs.median && ls.p99 <= 2 * rs.p99;
  return goal ? 0 : 1;
}

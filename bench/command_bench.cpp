// Round trip of one request of each library against fake devices that answer
// at once, each beside a raw TCP ping-pong of its own frame sizes on loopback
// in the same run:
//   Qelm_ControlShutter       camera command, 64-byte request, 64-byte reply
//   LPR_GetShutterValue       plate-recognition request, 17 and 19 bytes
//   PyrnBox_ControlRoadgate   box command, 17 and 17 bytes
// For each: median and 99th percentile of the library and of its raw
// ping-pong and their ratios (goal: within 2x), then the throughput of 8
// handles driven in parallel against 1, beside 8 raw ping-pong pairs against
// 1 (goal: the library scales at least 0.8 as well as the raw sockets).
//
// The kinds take turns in short blocks, so that all see the same machine, each
// on a client thread of its own; the table says how many processors the
// machine has and how busy it was.
// Runs only inside the private test network:
//   scripts/in-test-network.sh build/bench/command_bench [requests of each kind] [--spin-us=N]
// (--spin-us sets the spin of the reply hand-over; 0 sleeps at once).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Nardix.h"
#include "PyrnBox.h"
#include "Qelm_Control.h"
#include "bench_support.h"
#include "box_codec.h"
#include "fake_camera.h"
#include "fake_peer.h"
#include "netns.h"
#include "platform/reply_signal.h"

namespace {

using Clock = std::chrono::steady_clock;
using kittest::Bytes;
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
double MedianOf(std::vector<double> v) { return Of(std::move(v)).median; }

void NoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::string LoadAverage() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

// The raw reference: a listener on 127.0.0.1 whose connections answer every
// request of `req` bytes with `reply` bytes, one thread per connection.
class EchoServer {
 public:
  EchoServer(size_t req, size_t reply) : req_(req), reply_(reply) {
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
        conns_.emplace_back([this, c] {
          std::vector<uint8_t> in(req_), out(reply_, 0x5A);
          while (benchkit::RecvAll(c, in.data(), req_) && kittest::SendAll(c, out.data(), reply_)) {
          }
          close(c);
        });
      }
    });
  }
  ~EchoServer() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    if (accepter_.joinable()) accepter_.join();
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
  size_t req_, reply_;
  int fd_ = -1;
  bool ok_ = false;
  sockaddr_in addr_{};
  std::thread accepter_;
  std::vector<std::thread> conns_;  // touched by the accepter only until it ends
};

std::string DeviceIp(int i) { return "127.0.0." + std::to_string(i + 2); }

[[noreturn]] void Fail(const char* what, int code) {
  fprintf(stderr, "%s = %d\n", what, code);
  exit(1);
}

// A fake camera that answers every request at once with one 4-byte item of
// the request's code: 64 bytes, as the request.
std::unique_ptr<kittest::FakeCamera> AnsweringCamera(const std::string& ip) {
  auto cam = std::make_unique<kittest::FakeCamera>(ip);
  cam->SetRecording(false);
  cam->SetAnswer([](const kittest::CamFrame& req) -> std::vector<Bytes> {
    if (req.seq == 0 || req.items.empty()) return {};
    kittest::CamItem it;
    it.code = req.items[0].code;
    it.paraType = req.items[0].paraType;
    it.data = {1, 0, 0, 0};
    return {kittest::EncodeCamFrame(kittest::FakeCamera::ReplyTo(req, {it}))};
  });
  return cam;
}

// A fake plate-recognition camera: a result channel that only listens and a
// control channel whose shutter reads are answered at once with the value 7.
// Its parser is its own: command items AA 55, u32 sequence, type, code, u16
// payload length, direction, payload, 8-bit sum, AA F0 0F 55.
struct FakePlateCamera {
  explicit FakePlateCamera(const std::string& ip) : result(ip, 59002), control(ip, 59200) {
    result.SetRecording(false);
    control.SetRecording(false);
    control.SetOnData([](kittest::FakeConn& c, Bytes& pending) {
      size_t pos = 0;
      while (pending.size() - pos >= 16) {
        const uint8_t* p = pending.data() + pos;
        if (p[0] != 0xAA || p[1] != 0x55) {
          ++pos;
          continue;
        }
        const size_t n = p[8] | (p[9] << 8);
        if (pending.size() - pos < 16 + n) break;
        if (p[6] == 0x20 && p[7] == 0x0B && p[10] == 0) {
          // Reply: AA 55, sequence 0, type, code, the payload length twice,
          // payload {0, value}, its sum, tail.
          const uint8_t reply[19] = {0xAA, 0x55, 0, 0, 0, 0, 0x20, 0x0B, 2, 0, 2, 0, 0, 7, 7, 0xAA, 0xF0, 0x0F, 0x55};
          c.Send(reply, sizeof reply);
        }
        pos += 16 + n;
      }
      pending.erase(pending.begin(), pending.begin() + static_cast<long>(pos));
    });
  }
  bool Listening() const { return result.Listening() && control.Listening(); }
  kittest::FakeTcpServer result, control;
};

// A fake box: tells its link information on every new connection, answers
// every request at once with the request's class, sub-command and sequence,
// status 0x8000 and one payload byte, and the heartbeat's time frames with the
// 144-byte heartbeat reply.
struct FakeQuickBox {
  explicit FakeQuickBox(const std::string& ip) : server(ip, 10028) {
    server.SetRecording(false);
    server.SetOnAccept([](kittest::FakeConn& c) {
      boxtest::Frame f;
      f.sub = 35;
      Bytes link(40, 0);
      link[2] = 1;  // one link of eight
      link[3] = 8;
      f.payload = link;
      c.Send(boxtest::Encode(f));
    });
    server.SetOnData([](kittest::FakeConn& c, Bytes& pending) {
      for (const boxtest::Cut& cut : boxtest::Decode(pending)) {
        if (!cut.good) continue;
        const bool beat = cut.frame.cls == 0 && cut.frame.sub == 0 && cut.frame.seq == 0;
        c.Send(boxtest::ReplyTo(cut.frame, beat ? Bytes(144, 0) : Bytes{1}));
      }
    });
  }
  bool Listening() const { return server.Listening(); }
  kittest::FakeTcpServer server;
};

// One library request and its raw reference.
struct Kind {
  Kind(const char* n, size_t rq, size_t rp, std::function<void(int)> c)
      : name(n), req(rq), reply(rp), call(std::move(c)) {}
  const char* name;
  size_t req, reply;                   // frame sizes on the wire
  std::function<void(int handle)> call;  // one request on handle i; exits on failure
  std::unique_ptr<EchoServer> echo;
  std::vector<int> raw;
  // Figures.
  std::vector<double> rawUs, libUs, raw1, lib1, raw8, lib8;
};

void RawRounds(Kind& k, int conn, int n, std::vector<double>* out) {
  std::vector<uint8_t> req(k.req, 0xA5), reply(k.reply);
  for (int i = 0; i < n; ++i) {
    const auto t0 = Clock::now();
    if (!kittest::SendAll(k.raw[conn], req.data(), k.req) || !benchkit::RecvAll(k.raw[conn], reply.data(), k.reply)) {
      fprintf(stderr, "raw ping-pong failed\n");
      exit(1);
    }
    out->push_back(Us(Clock::now() - t0));
  }
}

void LibRounds(Kind& k, int handle, int n, std::vector<double>* out) {
  for (int i = 0; i < n; ++i) {
    const auto t0 = Clock::now();
    k.call(handle);
    out->push_back(Us(Clock::now() - t0));
  }
}

// A thread of its own that runs blocks of round trips on request: each kind of
// client keeps its thread, so that where the scheduler put one kind's threads
// does not decide where the next kind starts.
class Client {
 public:
  explicit Client(std::function<void(int n, std::vector<double>*)> rounds)
      : rounds_(std::move(rounds)), t_([this] { Run(); }) {}
  ~Client() {
    {
      std::lock_guard<std::mutex> lk(m_);
      stop_ = true;
    }
    cv_.notify_all();
    t_.join();
  }
  // Runs `n` round trips on the client's thread and waits until they are done.
  void Block(int n, std::vector<double>* out) {
    std::unique_lock<std::mutex> lk(m_);
    n_ = n;
    out_ = out;
    cv_.notify_all();
    cv_.wait(lk, [this] { return n_ == 0; });
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lk(m_);
    for (;;) {
      cv_.wait(lk, [this] { return stop_ || n_ > 0; });
      if (stop_) return;
      lk.unlock();
      rounds_(n_, out_);
      lk.lock();
      n_ = 0;
      cv_.notify_all();
    }
  }
  std::function<void(int n, std::vector<double>*)> rounds_;
  std::mutex m_;
  std::condition_variable cv_;
  int n_ = 0;
  std::vector<double>* out_ = nullptr;
  bool stop_ = false;
  std::thread t_;
};

// Runs `work(i, n, &samples)` on `threads` threads at once; returns requests
// per second over all of them.
template <typename Work>
double Parallel(int threads, int n, Work work) {
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
  return threads * n / secs;
}

}  // namespace

int main(int argc, char** argv) {
  if (!kittest::ProgramInPrivateNetwork(argv[0])) return 2;
  int n = 20000;
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], "--spin-us=", 10) == 0)
      pf::test::SetReplySpinUs(atoi(argv[i] + 10));
    else
      n = std::max(kBlocks * 10, atoi(argv[i]));
  }
  const int block = n / kBlocks;
  const int perThread = n / kScaleRounds;
  const std::string loadBefore = LoadAverage();

  std::vector<std::unique_ptr<kittest::FakeCamera>> cams;
  std::vector<std::unique_ptr<FakePlateCamera>> plates;
  std::vector<std::unique_ptr<FakeQuickBox>> boxes;
  for (int i = 0; i < kParallel; ++i) {
    cams.push_back(AnsweringCamera(DeviceIp(i)));
    plates.push_back(std::make_unique<FakePlateCamera>(DeviceIp(i)));
    boxes.push_back(std::make_unique<FakeQuickBox>(DeviceIp(i)));
    if (!cams.back()->Listening() || !plates.back()->Listening() || !boxes.back()->Listening()) {
      fprintf(stderr, "cannot listen on %s\n", DeviceIp(i).c_str());
      return 1;
    }
  }

  // The plate-recognition library logs every command it sends while its log
  // is on (as it is from the start): six queued lines per request, and a log
  // file beside the program that grows by megabytes a second here.
  LPR_IsWriteLog(0);
  if (LPR_Init(0, nullptr, nullptr, nullptr, nullptr, nullptr) != 0) Fail("LPR_Init", -1);
  PyrnBox_Init(nullptr, nullptr, nullptr, nullptr);
  std::vector<StCameraHandle*> camHandles(kParallel, nullptr);
  std::vector<StLprCameraHandle*> plateHandles(kParallel, nullptr);
  std::vector<CBoxDevice*> boxHandles(kParallel, nullptr);
  for (int i = 0; i < kParallel; ++i) {
    if (int r = Qelm_OpenCamera(kittest::Addr(DeviceIp(i)), &camHandles[i], nullptr, nullptr)) Fail("Qelm_OpenCamera", r);
    if (int r = LPR_ConnectCamera(DeviceIp(i).c_str(), &plateHandles[i])) Fail("LPR_ConnectCamera", r);
    if (int r = PyrnBox_ConnectDevice(DeviceIp(i).c_str(), &boxHandles[i])) Fail("PyrnBox_ConnectDevice", r);
  }

  Kind kinds[3] = {
      {"Qelm_ControlShutter", 64, 64,
       [&](int i) {
         if (int r = Qelm_ControlShutter(camHandles[i], 100, 2000)) Fail("Qelm_ControlShutter", r);
       }},
      {"LPR_GetShutterValue", 17, 19,
       [&](int i) {
         int v = 0;
         if (int r = LPR_GetShutterValue(plateHandles[i], &v)) Fail("LPR_GetShutterValue", r);
         if (v != 7) Fail("LPR_GetShutterValue value", v);
       }},
      {"PyrnBox_ControlRoadgate", 17, 17,
       [&](int i) {
         if (int r = PyrnBox_ControlRoadgate(boxHandles[i], 1)) Fail("PyrnBox_ControlRoadgate", r);
       }},
  };
  for (Kind& k : kinds) {
    k.echo = std::make_unique<EchoServer>(k.req, k.reply);
    if (!k.echo->ok()) {
      fprintf(stderr, "cannot start the raw echo server\n");
      return 1;
    }
    for (int i = 0; i < kParallel; ++i) {
      k.raw.push_back(k.echo->Connect());
      if (k.raw.back() < 0) Fail("raw connect", k.raw.back());
    }
  }

  // Round trips, one at a time, each kind on its own client thread.
  {
    std::vector<std::unique_ptr<Client>> raw, lib;
    for (Kind& k : kinds) {
      raw.push_back(std::make_unique<Client>([&k](int m, std::vector<double>* v) { RawRounds(k, 0, m, v); }));
      lib.push_back(std::make_unique<Client>([&k](int m, std::vector<double>* v) { LibRounds(k, 0, m, v); }));
    }
    std::vector<double> warm;
    for (size_t i = 0; i < raw.size(); ++i) {
      raw[i]->Block(block, &warm);
      lib[i]->Block(block, &warm);
    }
    for (int b = 0; b < kBlocks; ++b)
      for (size_t i = 0; i < raw.size(); ++i) {
        raw[i]->Block(block, &kinds[i].rawUs);
        lib[i]->Block(block, &kinds[i].libUs);
      }
  }
  // Throughput of 1 and of 8 clients at once, each kind in turn.
  for (int round = 0; round < kScaleRounds; ++round)
    for (Kind& k : kinds) {
      auto raw = [&](int i, int m, std::vector<double>* v) { RawRounds(k, i, m, v); };
      auto lib = [&](int i, int m, std::vector<double>* v) { LibRounds(k, i, m, v); };
      k.raw1.push_back(Parallel(1, perThread, raw));
      k.lib1.push_back(Parallel(1, perThread, lib));
      k.raw8.push_back(Parallel(kParallel, perThread, raw));
      k.lib8.push_back(Parallel(kParallel, perThread, lib));
    }
  const std::string loadAfter = LoadAverage();

  printf("request round trips against fake devices that answer at once, beside raw TCP ping-pong of\n"
         "the same frame sizes; %d requests of each kind one at a time, then %d handles in parallel\n"
         "(%d requests each, median of %d rounds); %u processors, load average %s before, %s after;\n"
         "reply hand-over spin %d us\n\n",
         kBlocks * block, kParallel, perThread, kScaleRounds, std::thread::hardware_concurrency(),
         loadBefore.c_str(), loadAfter.c_str(), pf::test::ReplySpinUs());
  printf("%-24s %9s | %8s %8s | %8s %8s | %6s %6s | %7s %7s %6s\n", "", "bytes", "raw", "raw", "library",
         "library", "ratio", "ratio", "raw", "library", "ratio");
  printf("%-24s %9s | %8s %8s | %8s %8s | %6s %6s | %7s %7s %6s\n", "request", "req/reply", "median", "p99",
         "median", "p99", "median", "p99", "8x", "8x", "8x");
  bool goal = true;
  for (Kind& k : kinds) {
    const Stats rs = Of(k.rawUs), ls = Of(k.libUs);
    const double rawScale = MedianOf(k.raw8) / MedianOf(k.raw1);
    const double libScale = MedianOf(k.lib8) / MedianOf(k.lib1);
    const std::string bytes = std::to_string(k.req) + "/" + std::to_string(k.reply);
    printf("%-24s %9s | %6.1fus %6.1fus | %6.1fus %6.1fus | %5.2fx %5.2fx | %6.2fx %6.2fx %6.2f\n", k.name,
           bytes.c_str(), rs.median, rs.p99, ls.median, ls.p99, ls.median / rs.median, ls.p99 / rs.p99, rawScale,
           libScale, libScale / rawScale);
    goal = goal && ls.median <= 2 * rs.median && ls.p99 <= 2 * rs.p99 && libScale >= 0.8 * rawScale;
  }
  printf("\ngoals: ratios within 2.00x; 8-handle scaling ratio (library / raw) at least 0.80\n");

  for (Kind& k : kinds)
    for (int fd : k.raw) close(fd);
  for (int i = 0; i < kParallel; ++i) {
    PyrnBox_DisconnectDevice(boxHandles[i]);
    LPR_DisconnectCamera(plateHandles[i]);
  }
  PyrnBox_Quit();
  LPR_Quit();
  Qelm_Quit();
  return goal ? 0 : 1;
}

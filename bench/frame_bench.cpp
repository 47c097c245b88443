// Reassembly throughput beside a plain memcpy of the same bytes, cut into the
// same 4096-byte receives. Each reassembly run includes the copy into the
// receive buffer that stands for the socket receive, so "reassembly / memcpy"
// is what the whole user-space path costs against copying the bytes once.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "frame.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kRecv = 4096;

// A stream of `count` one-item frames of `frameSize` bytes each.
Bytes Stream(size_t frameSize, size_t count) {
  Bytes data(frameSize - 60, 0x5A);
  const qelm::ItemSpec item{0x10105, 0, static_cast<uint32_t>(data.size()), data.data()};
  Bytes out(frameSize * count);
  for (size_t i = 0; i < count; ++i)
    qelm::BuildCommandPacket(out.data() + i * frameSize, 8, static_cast<uint32_t>(i), 0, 16, &item, 1);
  return out;
}

void Reassembly(benchmark::State& state, size_t frameSize, size_t count, const qelm::FrameLimits& limits) {
  const Bytes stream = Stream(frameSize, count);
  qelm::StRecvState st(limits);
  size_t frames = 0;
  const qelm::StRecvState::Handler handler = [&](qelm::FrameBuffer& f) {
    benchmark::DoNotOptimize(f.data());
    ++frames;
  };
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min({kRecv, st.RecvSpace(), stream.size() - at});
      memcpy(st.RecvPtr(), stream.data() + at, n);
      st.Feed(n, handler, 0);
      at += n;
    }
  }
  if (frames != count * state.iterations()) state.SkipWithError("frames lost");
  state.SetBytesProcessed(static_cast<int64_t>(stream.size() * state.iterations()));
}

void Memcpy(benchmark::State& state, size_t frameSize, size_t count) {
  const Bytes stream = Stream(frameSize, count);
  Bytes dst(stream.size());
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += kRecv) {
      const size_t n = std::min(kRecv, stream.size() - at);
      memcpy(dst.data() + at, stream.data() + at, n);
    }
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(stream.size() * state.iterations()));
}

constexpr size_t kLarge = 4u << 20;  // one 4 MiB frame per run
constexpr size_t kSmall = 60;        // 16384 frames of 60 bytes per run
constexpr size_t kSmallCount = 16384;
constexpr qelm::FrameLimits kLargeLimits{8192, false, 64u << 20};

BENCHMARK_CAPTURE(Reassembly, large_4MiB, kLarge, 1, kLargeLimits);
BENCHMARK_CAPTURE(Memcpy, large_4MiB, kLarge, 1);
BENCHMARK_CAPTURE(Reassembly, small_60B, kSmall, kSmallCount, qelm::kControlLimits);
BENCHMARK_CAPTURE(Memcpy, small_60B, kSmall, kSmallCount);

// Prints the usual table, then each reassembly time over its memcpy time.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      // One figure per benchmark: the run itself, or the mean of repetitions.
      std::string name = r.benchmark_name();
      if (r.run_type == Run::RT_Aggregate) {
        if (r.aggregate_name != "mean") continue;
        name.resize(name.size() - std::string("_mean").size());
      }
      const auto slash = name.find('/');
      if (slash == std::string::npos) continue;
      times_[name.substr(slash + 1)][name.substr(0, slash)] = r.GetAdjustedRealTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [what, t] : times_) {
      const auto re = t.find("Reassembly"), mc = t.find("Memcpy");
      if (re == t.end() || mc == t.end() || mc->second <= 0) continue;
      printf("%-12s reassembly / memcpy = %.2f\n", what.c_str(), re->second / mc->second);
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

// Prints each parser's cost per byte of good frames and of each hostile
// stream, and their ratio. Exits 1 when a ratio is above the goal.
// An argument keeps only the parsers whose name holds it (for profiling one).
#include "stream_bench.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr double kGoal = 20.0;  // hostile cost per byte / good cost per byte

// Best of several runs, each long enough to time: ns per byte.
double NsPerByte(const streambench::Stream& s) {
  using Clock = std::chrono::steady_clock;
  s.feed();  // warm caches and allocators
  double best = 1e300;
  for (int run = 0; run < 5; ++run) {
    size_t bytes = 0;
    const auto start = Clock::now();
    Clock::duration spent{};
    do {
      s.feed();
      bytes += s.bytes;
      spent = Clock::now() - start;
    } while (spent < std::chrono::milliseconds(100));
    best = std::min(best, std::chrono::duration<double, std::nano>(spent).count() / static_cast<double>(bytes));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<streambench::Parser> parsers;
  streambench::AddCameraParsers(parsers);
  streambench::AddPlateParsers(parsers);
  streambench::AddBoxParsers(parsers);
  bool met = true;
  printf("%-28s %-36s %12s %8s\n", "parser", "stream", "ns/byte", "ratio");
  for (const auto& p : parsers) {
    if (argc > 1 && p.name.find(argv[1]) == std::string::npos) continue;
    const double good = NsPerByte(p.good);
    printf("%-28s %-36s %12.3f %8s\n", p.name.c_str(), p.good.name.c_str(), good, "1.00");
    for (const auto& h : p.hostile) {
      const double cost = NsPerByte(h);
      const double ratio = good > 0 ? cost / good : 0;
      met = met && ratio <= kGoal;
      printf("%-28s %-36s %12.3f %8.2f%s\n", p.name.c_str(), h.name.c_str(), cost, ratio, ratio <= kGoal ? "" : "  above the goal");
    }
  }
  printf("goal: no hostile stream above %.0f times its parser's good frames: %s\n", kGoal, met ? "met" : "missed");
  return met ? EXIT_SUCCESS : EXIT_FAILURE;
}

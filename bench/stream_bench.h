// Cost per byte of each stream parser of the three libraries, fed a stream of
// heads nested one inside another (each announcing a body longer than the
// bytes after it, no body ever coming) beside the same number of bytes of good
// frames. A faulty or hostile device must not make parsing cost more per byte
// than good traffic does by more than a small factor.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace streambench {

// One stream fed to one parser: `feed` pushes exactly `bytes` bytes through the
// parser once (its clock, receives and time-outs as the parser's own receive
// thread would drive them).
struct Stream {
  std::string name;
  size_t bytes = 0;
  std::function<void()> feed;
};

// One parser: its good stream and the hostile streams measured against it.
struct Parser {
  std::string name;
  Stream good;
  std::vector<Stream> hostile;
};

// Each library's parsers (stream_bench_camera.cpp, stream_bench_plate.cpp,
// stream_bench_box.cpp).
void AddCameraParsers(std::vector<Parser>& out);
void AddPlateParsers(std::vector<Parser>& out);
void AddBoxParsers(std::vector<Parser>& out);

}  // namespace streambench

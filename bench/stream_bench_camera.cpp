// The camera library's stream reassembly, as the control connection and the
// XML file channel run it: good frames beside streams of nested heads (each a
// 12-byte head announcing a body longer than the bytes after it, no body ever
// coming). The bytes are fed as the receive thread feeds them: receives of at
// most the room the state offers, a clock that runs with the stream's rate,
// and a wake-up at each deadline that comes before the next bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

// The camera's own frame header (the box has one of the same name).
#include "../camera_control/src/frame.h"
#include "stream_bench.h"

namespace streambench {

namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A frame with one item of `data` bytes, as a camera's reply carries it.
Bytes Reply(uint32_t sequence, uint32_t code, size_t data) {
  Bytes payload(data);
  for (size_t i = 0; i < data; ++i) payload[i] = static_cast<uint8_t>(i * 13 + sequence);
  const qelm::ItemSpec item{code, 0, static_cast<uint32_t>(data), payload.data()};
  Bytes f(qelm::CommandPacketSize(&item, 1));
  qelm::BuildCommandPacket(f.data(), 8, sequence, 0, 0x8002, &item, 1);
  return f;
}

Bytes NestedHeads(size_t bytes, uint32_t announced) {
  Bytes out;
  out.reserve(bytes);
  while (out.size() + 12 <= bytes) {
    Put32(out, 0x0FF055AA);
    Put32(out, 0x00010000);
    Put32(out, announced);
  }
  return out;
}

// One channel's reassembly state and its clock, driven as its receive thread
// drives it.
class Channel {
 public:
  explicit Channel(const qelm::FrameLimits& limits)
      : limits_(limits), state_(std::make_unique<qelm::StRecvState>(limits)) {}

  // Feeds `stream` at `bytesPerMs` (0: all of it at one moment) and then
  // lets the clock run until every frame under way is decided, so that each
  // run ends where it began: nothing held.
  void Run(const Bytes& stream, double bytesPerMs) {
    const int64_t start = now_;
    for (size_t at = 0; at < stream.size();) {
      const int64_t arrives = bytesPerMs > 0 ? start + static_cast<int64_t>(at / bytesPerMs) : start;
      WakeUntil(arrives);
      now_ = arrives;
      const size_t n = std::min(state_->RecvSpace(), stream.size() - at);
      memcpy(state_->RecvPtr(), stream.data() + at, n);
      state_->Feed(n, handler_, now_);
      at += n;
    }
    WakeUntil(INT64_MAX);
    now_ += 1;
  }

  // Each receive is at most `piece` bytes, all at the same moment.
  void RunPieces(const Bytes& stream, size_t piece) {
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min({piece, stream.size() - at, state_->RecvSpace()});
      memcpy(state_->RecvPtr(), stream.data() + at, n);
      state_->Feed(n, handler_, now_);
      at += n;
    }
  }

  size_t frames() const { return frames_; }

 private:
  // The thread waits for bytes until the deadline of the frame under way and
  // wakes there when nothing comes first.
  void WakeUntil(int64_t until) {
    while (state_->DeadlineMs() >= 0 && state_->DeadlineMs() <= until) {
      now_ = state_->DeadlineMs();
      state_->Expire(now_, handler_);
    }
  }

  qelm::FrameLimits limits_;
  std::unique_ptr<qelm::StRecvState> state_;
  int64_t now_ = 0;
  size_t frames_ = 0;
  const qelm::StRecvState::Handler handler_ = [this](qelm::FrameBuffer& f) {
    // As the control channel does with a reply: the frame is taken away.
    if (f.size() >= 40) ++frames_;
    qelm::FrameBuffer taken = std::move(f);
  };
};

Stream Fed(const char* name, const qelm::FrameLimits& limits, Bytes stream, double bytesPerMs) {
  auto ch = std::make_shared<Channel>(limits);
  auto bytes = std::make_shared<Bytes>(std::move(stream));
  Stream s;
  s.name = name;
  s.bytes = bytes->size();
  s.feed = [ch, bytes, bytesPerMs] { ch->Run(*bytes, bytesPerMs); };
  return s;
}

constexpr double kOneMBps = 1000.0;  // bytes per millisecond

Parser ControlParser() {
  const qelm::FrameLimits& lim = qelm::kControlLimits;
  // What a camera sends on it: replies to gets and long status reports.
  Bytes good;
  for (uint32_t i = 0; good.size() < (4u << 20); ++i) {
    const Bytes f = i % 2 ? Reply(i, 0x10001, 332) : Reply(i, 0x102, 4);
    good.insert(good.end(), f.begin(), f.end());
  }
  Parser p;
  p.name = "camera control";
  p.good = Fed("replies and status, 1 MB/s", lim, good, kOneMBps);
  p.hostile.push_back(Fed("heads of 4 MiB, 1 MB/s", lim, NestedHeads(8u << 20, 4u << 20), kOneMBps));
  p.hostile.push_back(Fed("heads of 4 MiB, 0.5 MB/s", lim, NestedHeads(4u << 20, 4u << 20), kOneMBps / 2));
  p.hostile.push_back(Fed("heads of 3 MiB, all at once", lim, NestedHeads(4u << 20, 3u << 20), 0));
  return p;
}

Parser XmlParser() {
  const qelm::FrameLimits& lim = qelm::kXmlLimits;
  // A file in blocks of 8 KiB, as its block replies come.
  Bytes good;
  for (uint32_t i = 0; good.size() < (16u << 20); ++i) {
    const Bytes f = Reply(0, 0x10104, 16 + 8192);
    good.insert(good.end(), f.begin(), f.end());
  }
  Parser p;
  p.name = "camera XML file channel";
  p.good = Fed("blocks of 8 KiB, 1 MB/s", lim, good, kOneMBps);
  p.hostile.push_back(Fed("heads of 64 MiB, 1 MB/s", lim, NestedHeads(16u << 20, 64u << 20), kOneMBps));
  p.hostile.push_back(Fed("heads of 64 MiB, all at once", lim, NestedHeads(16u << 20, 64u << 20), 0));
  return p;
}

// Receives of 12 bytes each cost the receive's own work whatever they hold:
// a head a receive is measured against good frames that come the same way.
Parser XmlSmallReceivesParser() {
  const qelm::FrameLimits& lim = qelm::kXmlLimits;
  auto good = std::make_shared<Bytes>();
  while (good->size() < (1u << 20)) {
    const Bytes f = Reply(0, 0x10104, 16 + 8192);
    good->insert(good->end(), f.begin(), f.end());
  }
  auto goodCh = std::make_shared<Channel>(lim);
  Parser p;
  p.name = "camera XML, 12-byte receives";
  p.good.name = "blocks of 8 KiB";
  p.good.bytes = good->size();
  p.good.feed = [goodCh, good] { goodCh->RunPieces(*good, 12); };

  // A store full of 64 MiB of heads that all came at once, then single heads
  // of 12 bytes, one a receive: each completes the oldest head held, whose
  // tail is then wrong. The store is filled once, in the warm-up run.
  auto ch = std::make_shared<Channel>(lim);
  auto filled = std::make_shared<bool>(false);
  auto single = std::make_shared<Bytes>(NestedHeads(12 * 100000, 64u << 20));
  Stream s;
  s.name = "single heads after a full store";
  s.bytes = single->size();
  s.feed = [ch, filled, single] {
    if (!*filled) {
      ch->RunPieces(NestedHeads(64u << 20, 64u << 20), qelm::kXmlLimits.bufferSize);
      *filled = true;
    }
    ch->RunPieces(*single, 12);
  };
  p.hostile.push_back(std::move(s));
  return p;
}

}  // namespace

void AddCameraParsers(std::vector<Parser>& out) {
  out.push_back(ControlParser());
  out.push_back(XmlParser());
  out.push_back(XmlSmallReceivesParser());
}

}  // namespace streambench

#include "stream_window.h"

#include <new>
#include <random>

#include "platform/system.h"

namespace nardix {

StreamWindow::StreamWindow(uint32_t bound, uint32_t room, bool sums)
    : cap_(bound + room), minReceive_(room < kMinReceive ? room : kMinReceive), buf_(new (std::nothrow) uint8_t[bound + room]) {
  if (sums) {
    sums_.reset(new (std::nothrow) uint8_t[cap_]);
    if (!sums_) buf_.reset();
  }
}

void StreamWindow::SumFrom(uint32_t i) {
  if (!sums_) return;
  uint8_t s = i ? sums_[i - 1] : 0;
  for (; i < end_; ++i) sums_[i] = s = static_cast<uint8_t>(s + buf_[i]);
}

const StreamWindow::Arrival StreamWindow::kNone{0, INT64_MIN / 2, INT64_MIN / 2, 0};

void StreamWindow::Compact() {
  const uint32_t held = end_ - pos_;
  if (held) memmove(buf_.get(), buf_.get() + pos_, held);
  base_ += pos_;
  pos_ = 0;
  end_ = held;
  SumFrom(0);
}

void StreamWindow::NewRecord(int64_t nowMs, uint64_t sends) {
  const uint64_t streamEnd = base_ + end_;
  // Records of bytes already parsed are no longer needed.
  while (count_ && records_[first_].end <= Offset()) {
    first_ = (first_ + 1) % kRecords;
    --count_;
  }
  if (count_ == kRecords) {
    // A full list takes the bytes into its last record anyway: their time
    // then only errs late for a frame's limit, and their count of sends low
    // (an answer among them is taken for an earlier request's).
    Arrival& last = records_[(first_ + count_ - 1) % kRecords];
    last.end = streamEnd;
    if (nowMs > last.lastMs) last.lastMs = nowMs;
    return;
  }
  records_[(first_ + count_) % kRecords] = Arrival{streamEnd, nowMs, nowMs, sends};
  ++count_;
}

bool StreamWindow::SeekHead(uint32_t need) {
  const uint32_t held = Held();
  if (held < need) return false;
  const uint8_t* d = Data();
  const uint32_t last = held - need;  // last offset a head can be read at
  for (uint32_t i = 0; i <= last; ++i) {
    const void* hit = memchr(d + i, 0xAA, last - i + 1);
    if (!hit) break;
    i = static_cast<uint32_t>(static_cast<const uint8_t*>(hit) - d);
    if (d[i + 1] == 0x55) {
      Take(i);
      return true;
    }
  }
  Take(last + 1);
  return false;
}

void StreamWindow::Clear() {
  base_ += end_;
  pos_ = end_ = 0;
  first_ = count_ = 0;
  want_ = 0;
}

TailOwners::TailOwners() {
  uint64_t seed = reinterpret_cast<uintptr_t>(this) ^ static_cast<uint64_t>(pf::MonotonicMs());
  try {
    std::random_device random;
    seed = (static_cast<uint64_t>(random()) << 32) ^ random() ^ seed;
  } catch (...) {  // no source of randomness: the address and the clock stand in
  }
  mult_ = (seed * 0x9E3779B97F4A7C15ull) | 1;
}

size_t TailOwners::SlotOf(uint64_t end) const { return static_cast<size_t>((end * mult_) >> shift_); }

bool TailOwners::InnerHeadEndsAt(uint64_t end, uint64_t start) const {
  if (slots_.empty()) return false;
  for (size_t i = SlotOf(end);; i = (i + 1) & (slots_.size() - 1)) {
    const Slot& s = slots_[i];
    if (s.gen != gen_) return false;
    if (s.end == end) return end - s.dist > start;
  }
}

void TailOwners::Rebuild(uint64_t readOffset) {
  std::vector<Slot> live;
  for (const Slot& s : slots_)
    if (s.gen == gen_ && s.end - s.dist > readOffset) live.push_back(s);
  size_t size = 64;  // a table grown by a burst of heads shrinks again
  while (live.size() * 2 > size) size *= 2;
  slots_.assign(size, Slot());
  shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(size));
  ++gen_;
  used_ = 0;
  for (Slot s : live) {
    size_t i = SlotOf(s.end);
    while (slots_[i].gen == gen_) i = (i + 1) & (slots_.size() - 1);
    s.gen = gen_;
    slots_[i] = s;
    ++used_;
  }
}

void TailOwners::Insert(uint64_t end, uint64_t head, uint64_t readOffset) {
  if ((used_ + 1) * 4 > slots_.size() * 3) Rebuild(readOffset);
  for (size_t i = SlotOf(end);; i = (i + 1) & (slots_.size() - 1)) {
    Slot& s = slots_[i];
    if (s.gen != gen_) {
      s = Slot{end, static_cast<uint32_t>(end - head), gen_};
      ++used_;
      return;
    }
    if (s.end == end) {  // heads are searched in order: this one is further in
      s.dist = static_cast<uint32_t>(end - head);
      return;
    }
  }
}

}  // namespace nardix

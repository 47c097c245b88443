#include "stream_window.h"

#include <new>

namespace nardix {

StreamWindow::StreamWindow(uint32_t bound, uint32_t room, bool sums)
    : cap_(bound + room), room_(room), buf_(new (std::nothrow) uint8_t[bound + room]) {
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

uint8_t* StreamWindow::Space(uint32_t* n) {
  if (pos_ == end_) {
    base_ += pos_;
    pos_ = end_ = 0;
  } else if (cap_ - end_ < room_ / 2) {
    const uint32_t held = end_ - pos_;
    memmove(buf_.get(), buf_.get() + pos_, held);
    base_ += pos_;
    pos_ = 0;
    end_ = held;
    SumFrom(0);
  }
  *n = cap_ - end_;
  return buf_.get() + end_;
}

void StreamWindow::Arrived(uint32_t n, int64_t nowMs) {
  if (n == 0) return;
  const uint32_t from = end_;
  end_ += n;
  SumFrom(from);
  const uint64_t streamEnd = base_ + end_;
  // Records of bytes already parsed are no longer needed.
  while (count_ && records_[first_].end <= Offset()) {
    first_ = (first_ + 1) % kRecords;
    --count_;
  }
  if (count_) {
    Arrival& last = records_[(first_ + count_ - 1) % kRecords];
    // A record takes more bytes only while they come close behind its first
    // ones and no request went out meanwhile; a full list takes them anyway
    // (their time then only errs late for a frame's limit).
    const bool close = nowMs - last.firstMs < kMergeMs &&
                       fenceMs_.load(std::memory_order_acquire) <= last.firstMs;
    if (close || count_ == kRecords) {
      last.end = streamEnd;
      if (nowMs > last.lastMs) last.lastMs = nowMs;
      return;
    }
  }
  records_[(first_ + count_) % kRecords] = Arrival{streamEnd, nowMs, nowMs};
  ++count_;
}

const StreamWindow::Arrival& StreamWindow::AtReadPosition() {
  while (count_ > 1 && records_[first_].end <= Offset()) {
    first_ = (first_ + 1) % kRecords;
    --count_;
  }
  return records_[first_];
}

int64_t StreamWindow::ArrivedLatestMs() { return count_ ? AtReadPosition().lastMs : INT64_MIN / 2; }
int64_t StreamWindow::ArrivedEarliestMs() { return count_ ? AtReadPosition().firstMs : INT64_MIN / 2; }

bool StreamWindow::SeekHead(uint32_t need) {
  const uint32_t held = Held();
  if (held < need) return false;
  const uint8_t* d = Data();
  const uint32_t last = held - need;  // last offset a head can be read at
  for (uint32_t i = 0; i <= last;) {
    const void* hit = memchr(d + i, 0xAA, last - i + 1);
    if (!hit) break;
    i = static_cast<uint32_t>(static_cast<const uint8_t*>(hit) - d);
    if (d[i + 1] == 0x55) {
      Take(i);
      return true;
    }
    ++i;
  }
  Take(last + 1);
  return false;
}

void StreamWindow::Clear() {
  base_ += end_;
  pos_ = end_ = 0;
  first_ = count_ = 0;
}

size_t TailOwners::SlotOf(uint64_t end) const {
  return static_cast<size_t>((end * 0x9E3779B97F4A7C15ull) >> 20) & (slots_.size() - 1);
}

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

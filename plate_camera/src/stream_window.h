// The receive store of a stream channel and what its parser needs to look at
// each byte a bounded number of times: the bytes not yet parsed (from the
// head of the frame under way on), when they arrived, running sums over them,
// and which heads inside a frame end where it ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace nardix {

class StreamWindow {
 public:
  // `bound`: the longest frame, which is held whole until its tail is read;
  // `room`: what a receive may take beside it; `sums`: keep running 8-bit
  // sums of the held bytes.
  StreamWindow(uint32_t bound, uint32_t room, bool sums);
  StreamWindow(const StreamWindow&) = delete;
  StreamWindow& operator=(const StreamWindow&) = delete;
  bool Ok() const { return buf_ != nullptr; }

  // Where the next receive goes and how much it may take. The held bytes move
  // to the front only when room has run short: for a receive, or for the
  // frame under way to be held whole (Want), so each byte moves a bounded
  // number of times.
  uint8_t* Space(uint32_t* n) {
    if (pos_ == end_ || cap_ - end_ < minReceive_ || pos_ + want_ > cap_) Compact();
    *n = cap_ - end_;
    return buf_.get() + end_;
  }
  // The frame at the read position is `size` bytes long and not all here
  // (0: none is waited for).
  void Want(uint32_t size) { want_ = size; }
  // `n` bytes were received into Space() at monotonic time `nowMs`, after
  // the sends noted so far (a receive may wait for the answer to a request
  // that goes out meanwhile).
  void Arrived(uint32_t n, int64_t nowMs) {
    if (n == 0) return;
    const uint64_t sends = sends_.load();
    const uint32_t from = end_;
    end_ += n;
    if (sums_) SumFrom(from);
    if (count_) {
      // A record takes more bytes only while they come close behind its
      // first ones and no request went out meanwhile.
      Arrival& last = records_[(first_ + count_ - 1) % kRecords];
      if (nowMs >= last.firstMs && nowMs - last.firstMs < kMergeMs && last.sends == sends) {
        last.end = base_ + end_;
        if (nowMs > last.lastMs) last.lastMs = nowMs;
        return;
      }
    }
    NewRecord(nowMs, sends);
  }
  // A request is about to go out (any thread): returns its number. Bytes
  // received before this call carry a smaller one, however close in time,
  // so they never pass for its answer.
  uint64_t NoteSend() { return ++sends_; }

  const uint8_t* Data() const { return buf_.get() + pos_; }
  uint32_t Held() const { return end_ - pos_; }
  void Take(uint32_t n) { pos_ += n; }
  // Reads past bytes up to the next AA 55 that has `need` bytes held from it
  // on: true when the read position is at one. Otherwise only the last
  // need - 1 bytes stay (a head may begin among them).
  bool SeekHead(uint32_t need);
  // Drops every held byte (a new connection, or a dump of what is held).
  void Clear();
  // Stream offset of the read position (counted over all connections).
  uint64_t Offset() const { return base_ + pos_; }

  // When the byte at the read position arrived: the latest time that its
  // receive may have had (receives within a few milliseconds of each other
  // share one record), what a frame's time limit counts from, so that a
  // frame is never dropped early.
  int64_t ArrivedLatestMs() { return AtReadPosition().lastMs; }
  // How many sends were noted before the byte at the read position was
  // received: bytes carrying less than a request's number came before it
  // went out.
  uint64_t SendsBefore() { return AtReadPosition().sends; }

  // 8-bit sum of `n` held bytes from `from` bytes after the read position
  // (only with sums).
  uint8_t Sum(uint32_t from, uint32_t n) const {
    if (n == 0) return 0;
    const uint32_t a = pos_ + from, b = a + n;
    return static_cast<uint8_t>(sums_[b - 1] - (a ? sums_[a - 1] : 0));
  }

 private:
  struct Arrival {
    uint64_t end;  // stream offset after the record's last byte
    int64_t firstMs, lastMs;
    uint64_t sends;  // noted before its bytes were received
  };
  static constexpr uint32_t kRecords = 256;
  // A receive gets at least this much room (or all of a smaller store's).
  static constexpr uint32_t kMinReceive = 16 * 1024;
  static constexpr int64_t kMergeMs = 20;
  // The record of the byte at the read position (records of bytes already
  // parsed are let go on the way).
  const Arrival& AtReadPosition() {
    while (count_ > 1 && records_[first_].end <= Offset()) {
      first_ = (first_ + 1) % kRecords;
      --count_;
    }
    return count_ ? records_[first_] : kNone;
  }
  static const Arrival kNone;
  void SumFrom(uint32_t i);
  void Compact();
  void NewRecord(int64_t nowMs, uint64_t sends);

  uint32_t cap_, minReceive_;
  uint32_t want_ = 0;
  std::unique_ptr<uint8_t[]> buf_;
  std::unique_ptr<uint8_t[]> sums_;
  uint32_t pos_ = 0, end_ = 0;
  uint64_t base_ = 0;  // stream offset of buf_[0]
  Arrival records_[kRecords];
  uint32_t first_ = 0, count_ = 0;
  std::atomic<uint64_t> sends_{0};
};

// For the frame at a window's read position whose tail is in place: whether a
// head inside it announces a frame that ends where it ends. Such a frame is
// not taken: its head is a bad one whose length happens to reach the tail of
// a good frame behind it, and the good frame is found when parsing goes on.
// Every held byte is searched for heads once, however many frames ask.
class TailOwners {
 public:
  TailOwners();
  // `headSize(p)`: the size of the frame that a head at p announces (p holds
  // AA 55, and as many bytes as the shortest frame are readable), 0 when p
  // holds no head that counts; `minFrame`: the size of the shortest frame.
  template <class HeadSize>
  bool Shared(const StreamWindow& w, uint32_t size, uint32_t minFrame, HeadSize headSize);
  void Reset() {
    if (++gen_ == 0) {  // slots of every earlier generation are forgotten
      slots_.assign(slots_.size(), Slot());
      gen_ = 1;
    }
    used_ = 0;
    frontier_ = 0;
  }

 private:
  struct Slot {
    uint64_t end = 0;
    uint32_t dist = 0;  // end minus the innermost head's offset
    uint32_t gen = 0;
  };
  void Insert(uint64_t end, uint64_t head, uint64_t readOffset);
  bool InnerHeadEndsAt(uint64_t end, uint64_t start) const;
  size_t SlotOf(uint64_t end) const;
  void Rebuild(uint64_t readOffset);

  std::vector<Slot> slots_;
  // Slots are chosen by the top bits of end * mult_, a multiplier of this
  // index's own: a stream cannot be made whose ends pile up in one run of
  // slots, which would make every search walk the run.
  uint64_t mult_;
  unsigned shift_ = 64;
  uint32_t gen_ = 1;
  size_t used_ = 0;
  uint64_t frontier_ = 0;  // stream offset up to which heads were searched
};

template <class HeadSize>
bool TailOwners::Shared(const StreamWindow& w, uint32_t size, uint32_t minFrame, HeadSize headSize) {
  const uint64_t start = w.Offset();
  const uint64_t end = start + size;
  if (frontier_ <= start) {  // nothing searched is still held
    Reset();
    frontier_ = start + 1;
  }
  if (size >= minFrame + 1) {
    const uint64_t last = end - minFrame;  // last offset an inner frame can start at
    const uint8_t* d = w.Data();
    while (frontier_ <= last) {
      const uint32_t from = static_cast<uint32_t>(frontier_ - start);
      const uint32_t upto = static_cast<uint32_t>(last - start);
      const void* hit = memchr(d + from, 0xAA, upto - from + 1);
      if (!hit) {
        frontier_ = last + 1;
        break;
      }
      const uint32_t q = static_cast<uint32_t>(static_cast<const uint8_t*>(hit) - d);
      frontier_ = start + q + 1;
      if (d[q + 1] != 0x55) continue;
      if (const uint32_t inner = headSize(d + q)) Insert(start + q + inner, start + q, start);
    }
  }
  return InnerHeadEndsAt(end, start);
}

}  // namespace nardix

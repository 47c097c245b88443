// The camera frame: a 36-byte head, a run of items (20-byte item head and its
// data), and a 4-byte tail; all fields little-endian. Also the stream
// reassembly that every receive thread runs, and the one item walker that
// every handler uses.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace qelm {

constexpr uint32_t kFrameHead = 0x0FF055AA;
constexpr uint32_t kFrameTail = 0x550FF0AA;
constexpr uint32_t kFrameVersion = 0x00010000;
constexpr uint32_t kFrameVersionAlt = 0x00010001;  // accepted on the discovery channel only
constexpr uint32_t kItemMagic = 0xAA55A55A;
constexpr uint16_t kSenderHost = 8;

// StCommandHead field offsets.
struct StCommandHead {
  static constexpr size_t kHead = 0, kVersion = 4, kLength = 8, kNamespace = 12, kSender = 14,
                          kSequence = 16, kEcho = 20, kClass = 24, kReserved = 28, kCount = 32;
  static constexpr size_t kSize = 36;

  uint32_t head = kFrameHead;
  uint32_t version = kFrameVersion;
  uint32_t length = 0;
  uint16_t ns = 0;
  uint16_t sender = kSenderHost;
  uint32_t sequence = 0;
  uint32_t echo = 0;
  uint32_t cls = 0;
  uint32_t reserved = 0;
  uint32_t count = 0;

  static StCommandHead Read(const uint8_t* p);
  void Write(uint8_t* p) const;
};
static_assert(StCommandHead::kCount + 4 == StCommandHead::kSize, "frame head is 36 bytes");

// StCommandItem field offsets (the data follows the 20-byte item head).
struct StCommandItem {
  static constexpr size_t kMagic = 0, kCode = 4, kParaType = 8, kSetFlag = 9, kReserved = 10,
                          kStatus = 12, kLength = 16;
  static constexpr size_t kSize = 20;

  uint32_t magic = kItemMagic;
  uint32_t code = 0;
  uint8_t paraType = 0;
  uint8_t setFlag = 0;
  uint16_t reserved = 0;
  uint32_t status = 0;
  uint32_t length = 0;

  static StCommandItem Read(const uint8_t* p);
  void Write(uint8_t* p) const;
};
static_assert(StCommandItem::kLength + 4 == StCommandItem::kSize, "item head is 20 bytes");

constexpr size_t kTailSize = 4;
constexpr size_t kMinFrame = StCommandHead::kSize + kTailSize;  // a frame with no item: 40

// One item of a request.
struct ItemSpec {
  uint32_t code;
  uint8_t paraType;
  uint32_t length;
  const void* data;  // may be null when length is 0
};

// Size of the frame BuildCommandPacket makes for these items.
size_t CommandPacketSize(const ItemSpec* items, uint32_t count);
// Builds a request into `buf` (at least CommandPacketSize bytes); returns its length.
size_t BuildCommandPacket(uint8_t* buf, uint16_t ns, uint32_t sequence, uint8_t setFlag, uint32_t cls,
                          const ItemSpec* items, uint32_t count);
// One-item request from a stored 20-byte item head: copied as stored, then its
// set flag and length replaced; `n` data bytes follow. Returns 60 + n.
size_t BuildParamPacket(const uint8_t itemHead[StCommandItem::kSize], uint16_t ns, uint32_t n,
                        uint8_t* buf, uint32_t sequence, uint8_t setFlag, uint32_t cls,
                        const void* data);

// One item as found in a frame; `data` points into the frame.
struct ItemView {
  StCommandItem head;
  const uint8_t* data;
  size_t offset;  // of the item head within the frame
};

// Walks the items of a frame from offset 36. An item is given out only when
// its head and all of its data lie inside the frame before the tail; the walk
// ends at the head's item count or at the first item that does not fit.
class ItemWalker {
 public:
  ItemWalker(const uint8_t* frame, size_t size);
  bool Next(ItemView* out);

 private:
  const uint8_t* frame_;
  size_t end_;  // first byte of the tail
  size_t pos_;
  uint32_t left_;
};

// Channel limits of the reassembly.
struct FrameLimits {
  size_t bufferSize;     // receive buffer
  bool acceptAltVersion; // 0x00010001 as well
  size_t maxFrame;       // longest frame taken; longer length fields resynchronise
};

constexpr FrameLimits kDiscoveryLimits{4096, true, 4096};
constexpr FrameLimits kControlLimits{8192, false, 4u << 20};
constexpr FrameLimits kXmlLimits{1024000, false, 64u << 20};
constexpr FrameLimits kUpdateLimits{1024, false, 4u << 20};

// A complete frame as the reassembly hands it over.
using FrameBuffer = std::vector<uint8_t>;
// A frame buffer up to this size is kept for the next frame.
constexpr size_t kKeptFrameCapacity = 64 * 1024;

// A frame whose body has not wholly arrived this long after the first byte of
// its head arrived is bad: a peer that announces a length and never sends it
// must not blind the channel.
constexpr int64_t kFrameBodyLimitMs = 5000;

// Stream reassembly state. Bytes are received into RecvPtr()/RecvSpace() and
// handed over with Feed; each complete frame whose tail is right goes to the
// handler, which may move the frame out or swap it for another buffer (which
// the next frame then reuses). A head, version or length that is refused
// resynchronises one byte after the start of that head; nothing is ever read
// outside the bytes received.
//
// Every byte from the head of the frame under way on is held until that frame
// is either handed over or found bad: its tail wrong where its length puts it,
// or its body not wholly there 5 s after its head's first byte arrived. A bad
// frame is dropped and parsing resumes at the byte after the first byte of its
// head, so that the good frames among the bytes it had taken are found (a
// frame found there may itself be partial and go on in the bytes still to
// come). Each byte keeps the time it arrived: a head found again in such bytes
// has the deadline its own first byte gave it, so that however heads nest, the
// channel is clear 5 s after the last byte of a bad stream came.
//
// The cost is in proportion to the bytes received: the search for a head never
// goes back, each pass over a bad frame consumes at least one byte, a tail is
// looked at once, and a byte is copied out only with the one good frame it
// belongs to. Bytes are held in blocks of about a receive buffer's size,
// taken as the bytes come and given back as soon as parsing has passed them, so held
// bytes are never moved (only a partial head, under 12 bytes, goes to the
// front of its block) and a head reserves nothing for the length it
// announces: memory is the bytes held (at most the channel's bound) and a
// block or two more. Times are the caller's monotonic milliseconds.
class StRecvState {
 public:
  using Handler = std::function<void(FrameBuffer& frame)>;

  explicit StRecvState(const FrameLimits& limits);

  uint8_t* RecvPtr() { return blocks_.back().get() + ((held_ - base_) & blockMask_); }
  // At most a receive buffer; never 0.
  size_t RecvSpace() const {
    return std::min(limits_.bufferSize, static_cast<size_t>(base_ + blocks_.size() * blockSize_ - held_));
  }
  // Takes `received` bytes written at RecvPtr(), which arrived at `nowMs`.
  // Frames under way whose deadline has passed by then are dropped before
  // they are taken.
  void Feed(size_t received, const Handler& handler, int64_t nowMs);
  // The deadline of the frame under way, or -1 while none is.
  int64_t DeadlineMs() const { return inFrame_ ? deadline_ : -1; }
  // Drops every frame under way whose deadline is `nowMs` or earlier.
  void Expire(int64_t nowMs, const Handler& handler);
  // The stream ends here (the end of a datagram): every frame still under way
  // is bad, and nothing is kept for the next bytes.
  void Finish(const Handler& handler);

  // Stream positions count every byte taken since the state was made (a
  // Clear does not start them again). Taken() may be read on any thread: a
  // request notes it before it is sent, and a frame that starts before the
  // position noted arrived before the request went out, so it cannot be its
  // reply. FrameStart() is the position of the frame's first byte while the
  // handler runs.
  uint64_t Taken() const { return taken_.load(std::memory_order_acquire); }
  uint64_t FrameStart() const { return handedStart_; }

  // Bytes that wait outside a frame under way (at most a partial head).
  size_t Held() const { return inFrame_ ? 0 : static_cast<size_t>(held_ - begin_); }
  bool InFrame() const { return inFrame_; }
  // Bytes of store reserved for received bytes (the frame handed over aside).
  size_t Reserved() const { return (blocks_.size() + (spare_ ? 1 : 0)) * blockSize_; }
  void Clear();  // drops held bytes and the frame under way

 private:
  using Block = std::unique_ptr<uint8_t[]>;
  struct Arrival {
    uint64_t at;  // stream position of the first byte of a receive
    int64_t ms;
  };

  // Decides what the bytes held allow at `nowMs`: refused heads skipped,
  // frames handed over or found bad (also those found with their deadline
  // already past), the head of a frame under way taken.
  void Parse(const Handler& handler, int64_t nowMs);
  void DropFrame();
  void Resync();  // the head at begin_ is refused or bad
  void HandOver(const Handler& handler);  // the complete frame at begin_, tail checked
  // After a parse: a partial head to the front of its block, room for the next receive.
  void Settle(const Handler& handler, int64_t nowMs);
  void Release();  // gives back the blocks and arrival times parsing has passed
  bool AddBlock();
  int64_t ArrivalAt(uint64_t pos);
  // The byte at `pos` (held), and in *n how many held bytes follow it in its block.
  const uint8_t* Span(uint64_t pos, size_t* n) const {
    const uint64_t off = pos - base_;
    const size_t inBlock = static_cast<size_t>(off & blockMask_);
    *n = static_cast<size_t>(std::min<uint64_t>(blockSize_ - inBlock, held_ - pos));
    return blocks_[static_cast<size_t>(off >> blockShift_)].get() + inBlock;
  }
  // `n` held bytes from pos, pointing into the store or gathered into `tmp`.
  const uint8_t* Read(uint64_t pos, size_t n, uint8_t* tmp) const {
    size_t here;
    const uint8_t* p = Span(pos, &here);
    if (here >= n) return p;
    for (size_t i = 0; i < n; ++i) tmp[i] = *Span(pos + i, &here);
    return tmp;
  }
  uint64_t FindHeadByte(uint64_t from) const;  // first 0xAA from `from`, or held_

  FrameLimits limits_;
  size_t blockSize_;  // the receive buffer's size rounded up to a power of two
  unsigned blockShift_;
  uint64_t blockMask_;
  std::deque<Block> blocks_;  // blocks_[0] starts at stream position base_
  Block spare_;               // one block given back, for the next one needed
  std::vector<Arrival> arrivals_;  // from arrivalsFirst_ on, in stream order
  size_t arrivalsFirst_ = 0;
  uint64_t base_ = 0;
  uint64_t begin_ = 0;  // first byte not yet decided (the head of the frame under way)
  uint64_t held_ = 0;   // end of the bytes received
  std::atomic<uint64_t> taken_{0};
  bool inFrame_ = false;
  size_t frameLen_ = 0;
  int64_t deadline_ = 0;
  uint64_t handedStart_ = 0;
  FrameBuffer frame_;  // the buffer a complete frame is handed over in
};

}  // namespace qelm

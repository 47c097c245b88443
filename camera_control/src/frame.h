// The camera frame: a 36-byte head, a run of items (20-byte item head and its
// data), and a 4-byte tail; all fields little-endian. Also the stream
// reassembly that every receive thread runs, and the one item walker that
// every handler uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

// A frame whose body has not wholly arrived this long after its head was
// taken is bad: a peer that announces a length and never sends it must not
// blind the channel.
constexpr int64_t kFrameBodyLimitMs = 5000;

// Stream reassembly state. Bytes are received into RecvPtr()/RecvSpace() and
// handed over with Feed; each complete frame whose tail is right goes to the
// handler, which may move the frame out or swap it for another buffer (which
// the next frame then reuses). A head, version or length that is refused
// resynchronises one byte after the start of that head; nothing is ever read
// outside the bytes received.
//
// Every byte from the head of the frame under way on stays in one store until
// that frame is either handed over or found bad (its tail wrong where its
// length puts it, or its body not complete by its deadline). A bad frame is
// dropped and parsing resumes at the byte after the first byte of its head,
// so that the good frames among the bytes it had taken are found (a frame
// found there may itself be partial and go on in the bytes still to come).
// The bytes are parsed where they lie: the search for a head never goes back,
// each pass over a bad frame consumes at least one byte, a byte is copied out
// only with the one good frame it belongs to (a frame longer than the receive
// buffer not even then: the store it grew in is handed over), and a receive
// moves the bytes not yet decided to the front of the store at most once. The
// store holds the receive buffer or, while a longer frame is under way, room
// for that frame's length (at most the channel's bound), of which a receive
// reads at most a receive buffer's worth. Times are the caller's monotonic
// milliseconds.
class StRecvState {
 public:
  using Handler = std::function<void(FrameBuffer& frame)>;

  explicit StRecvState(const FrameLimits& limits);

  uint8_t* RecvPtr() { return store_.data() + held_; }
  size_t RecvSpace() const { return store_.size() - held_; }
  // Takes `received` bytes written at RecvPtr() at time `nowMs`. A frame under
  // way whose deadline has passed by then is dropped before they are taken.
  void Feed(size_t received, const Handler& handler, int64_t nowMs);
  // The deadline of the frame under way, or -1 while none is.
  int64_t DeadlineMs() const { return inFrame_ ? deadline_ : -1; }
  // Drops the frame under way when its deadline is `nowMs` or earlier.
  void Expire(int64_t nowMs, const Handler& handler);
  // The stream ends here (the end of a datagram): every frame still under way
  // is bad, and nothing is kept for the next bytes.
  void Finish(const Handler& handler);

  // Bytes that wait outside a frame under way (at most a partial head).
  size_t Held() const { return inFrame_ ? 0 : held_ - begin_; }
  bool InFrame() const { return inFrame_; }
  void Clear();  // drops held bytes and the frame under way

 private:
  // Decides what the bytes held allow: refused heads skipped, frames handed
  // over or found bad, the head of a frame under way taken at `nowMs`.
  void Parse(const Handler& handler, int64_t nowMs);
  void DropFrame();
  void HandOver(const Handler& handler);  // the complete frame at begin_, tail checked
  // After a parse: the bytes left go to the front, with room for the frame under way.
  void Settle(const Handler& handler, int64_t nowMs);
  bool LongFrame() const;  // a frame under way longer than the receive buffer
  void FitStore();         // the store back to the receive buffer, held bytes kept

  FrameLimits limits_;
  FrameBuffer store_;
  FrameBuffer spare_;  // the receive buffer, while a long frame's store is the store
  size_t begin_ = 0;  // first byte not yet decided (the head of the frame under way)
  size_t held_ = 0;   // end of the bytes received
  bool inFrame_ = false;
  size_t frameLen_ = 0;
  int64_t deadline_ = 0;
  FrameBuffer frame_;  // the buffer a complete frame is handed over in
};

}  // namespace qelm

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

// Stream reassembly state. Bytes are received into RecvPtr()/RecvSpace() and
// handed over with Feed; each complete frame whose tail is right goes to the
// handler, which may move the frame out or swap it for another buffer (which
// the next frame then reuses). A head, version or length that is
// refused resynchronises one byte after the start of that head; nothing is
// ever read outside the bytes received.
class StRecvState {
 public:
  using Handler = std::function<void(FrameBuffer& frame)>;

  explicit StRecvState(const FrameLimits& limits);

  uint8_t* RecvPtr() { return buf_.data() + held_; }
  size_t RecvSpace() const { return buf_.size() - held_; }
  void Feed(size_t received, const Handler& handler);

  size_t Held() const { return held_; }
  bool InFrame() const { return inBody_; }
  void Clear();  // drops held bytes and the frame under way

 private:
  FrameLimits limits_;
  std::vector<uint8_t> buf_;
  size_t held_ = 0;  // held bytes start at buf_[0] between receives
  bool inBody_ = false;
  FrameBuffer frame_;   // the frame under way: its bytes so far, capacity its length
  size_t frameLen_ = 0;
};

}  // namespace qelm

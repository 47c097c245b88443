#include "frame.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <new>

#include "bytes.h"

namespace qelm {

using kit::ReadLE16;
using kit::ReadLE32;
using kit::WriteLE16;
using kit::WriteLE32;

StCommandHead StCommandHead::Read(const uint8_t* p) {
  StCommandHead h;
  h.head = ReadLE32(p + kHead);
  h.version = ReadLE32(p + kVersion);
  h.length = ReadLE32(p + kLength);
  h.ns = ReadLE16(p + kNamespace);
  h.sender = ReadLE16(p + kSender);
  h.sequence = ReadLE32(p + kSequence);
  h.echo = ReadLE32(p + kEcho);
  h.cls = ReadLE32(p + kClass);
  h.reserved = ReadLE32(p + kReserved);
  h.count = ReadLE32(p + kCount);
  return h;
}

void StCommandHead::Write(uint8_t* p) const {
  WriteLE32(p + kHead, head);
  WriteLE32(p + kVersion, version);
  WriteLE32(p + kLength, length);
  WriteLE16(p + kNamespace, ns);
  WriteLE16(p + kSender, sender);
  WriteLE32(p + kSequence, sequence);
  WriteLE32(p + kEcho, echo);
  WriteLE32(p + kClass, cls);
  WriteLE32(p + kReserved, reserved);
  WriteLE32(p + kCount, count);
}

StCommandItem StCommandItem::Read(const uint8_t* p) {
  StCommandItem it;
  it.magic = ReadLE32(p + kMagic);
  it.code = ReadLE32(p + kCode);
  it.paraType = p[kParaType];
  it.setFlag = p[kSetFlag];
  it.reserved = ReadLE16(p + kReserved);
  it.status = ReadLE32(p + kStatus);
  it.length = ReadLE32(p + kLength);
  return it;
}

void StCommandItem::Write(uint8_t* p) const {
  WriteLE32(p + kMagic, magic);
  WriteLE32(p + kCode, code);
  p[kParaType] = paraType;
  p[kSetFlag] = setFlag;
  WriteLE16(p + kReserved, reserved);
  WriteLE32(p + kStatus, status);
  WriteLE32(p + kLength, length);
}

size_t CommandPacketSize(const ItemSpec* items, uint32_t count) {
  size_t n = kMinFrame;
  // An item without data travels with length 0, whatever length it gives.
  for (uint32_t i = 0; i < count; ++i) n += StCommandItem::kSize + (items[i].data ? items[i].length : 0);
  return n;
}

size_t BuildCommandPacket(uint8_t* buf, uint16_t ns, uint32_t sequence, uint8_t setFlag, uint32_t cls,
                          const ItemSpec* items, uint32_t count) {
  size_t pos = StCommandHead::kSize;
  for (uint32_t i = 0; i < count; ++i) {
    StCommandItem it;
    it.code = items[i].code;
    it.paraType = items[i].paraType;
    it.setFlag = setFlag;
    it.length = items[i].data ? items[i].length : 0;
    it.Write(buf + pos);
    pos += StCommandItem::kSize;
    if (it.length) {
      memcpy(buf + pos, items[i].data, it.length);
      pos += it.length;
    }
  }
  WriteLE32(buf + pos, kFrameTail);
  pos += kTailSize;
  StCommandHead h;
  h.length = static_cast<uint32_t>(pos);
  h.ns = ns;
  h.sequence = sequence;
  h.cls = cls;
  h.count = count;
  h.Write(buf);
  return pos;
}

size_t BuildParamPacket(const uint8_t itemHead[StCommandItem::kSize], uint16_t ns, uint32_t n,
                        uint8_t* buf, uint32_t sequence, uint8_t setFlag, uint32_t cls,
                        const void* data) {
  uint8_t* item = buf + StCommandHead::kSize;
  memcpy(item, itemHead, StCommandItem::kSize);
  item[StCommandItem::kSetFlag] = setFlag;
  if (!data) n = 0;
  WriteLE32(item + StCommandItem::kLength, n);
  if (n) memcpy(item + StCommandItem::kSize, data, n);
  const size_t total = kMinFrame + StCommandItem::kSize + n;
  WriteLE32(buf + total - kTailSize, kFrameTail);
  StCommandHead h;
  h.length = static_cast<uint32_t>(total);
  h.ns = ns;
  h.sequence = sequence;
  h.cls = cls;
  h.count = 1;
  h.Write(buf);
  return total;
}

ItemWalker::ItemWalker(const uint8_t* frame, size_t size) : frame_(frame), end_(0), pos_(0), left_(0) {
  if (!frame || size < kMinFrame) return;
  const StCommandHead h = StCommandHead::Read(frame);
  const size_t len = std::min<size_t>(size, h.length);
  if (len < kMinFrame) return;
  end_ = len - kTailSize;
  pos_ = StCommandHead::kSize;
  left_ = h.count;
}

bool ItemWalker::Next(ItemView* out) {
  if (left_ == 0) return false;
  if (pos_ > end_ || end_ - pos_ < StCommandItem::kSize) {
    left_ = 0;
    return false;
  }
  const StCommandItem it = StCommandItem::Read(frame_ + pos_);
  const size_t dataAt = pos_ + StCommandItem::kSize;
  if (it.length > end_ - dataAt) {  // no overflow: dataAt <= end_
    left_ = 0;
    return false;
  }
  out->head = it;
  out->data = frame_ + dataAt;
  out->offset = pos_;
  pos_ = dataAt + it.length;
  --left_;
  return true;
}

namespace {
unsigned ShiftFor(size_t size) {
  unsigned shift = 0;
  while ((size_t{1} << shift) < size) ++shift;
  return shift;
}
}  // namespace

StRecvState::StRecvState(const FrameLimits& limits)
    : limits_(limits),
      blockSize_(size_t{1} << ShiftFor(limits.bufferSize)),
      blockShift_(ShiftFor(limits.bufferSize)),
      blockMask_(blockSize_ - 1) {
  blocks_.emplace_back(new uint8_t[blockSize_]);
}

uint64_t StRecvState::FindHeadByte(uint64_t from) const {
  // The first byte of 0x0FF055AA in memory is 0xAA.
  for (uint64_t pos = from; pos < held_;) {
    size_t n;
    const uint8_t* p = Span(pos, &n);
    // A head is often near (the next one of a run of heads): a few bytes are
    // looked at here before the library's search takes over.
    const size_t near = std::min<size_t>(n, 16);
    for (size_t i = 0; i < near; ++i)
      if (p[i] == 0xAA) return pos + i;
    if (const void* q = memchr(p + near, 0xAA, n - near))
      return pos + static_cast<uint64_t>(static_cast<const uint8_t*>(q) - p);
    pos += n;
  }
  return held_;
}

int64_t StRecvState::ArrivalAt(uint64_t pos) {
  // The times of bytes parsing has passed are not looked at again.
  while (arrivals_.size() - arrivalsFirst_ > 1 && arrivals_[arrivalsFirst_ + 1].at <= begin_) ++arrivalsFirst_;
  const Arrival* first = arrivals_.data() + arrivalsFirst_;
  const Arrival* end = arrivals_.data() + arrivals_.size();
  if (end - first == 1 || first[1].at > pos) return first->ms;
  const Arrival* it = std::upper_bound(first, end, pos, [](uint64_t p, const Arrival& a) { return p < a.at; });
  return it[-1].ms;
}

void StRecvState::Release() {
  while (blocks_.size() > 1 && begin_ - base_ >= blockSize_) {
    if (!spare_) spare_ = std::move(blocks_.front());
    blocks_.pop_front();
    base_ += blockSize_;
  }
  // The arrival times of bytes parsing has passed (the one of begin_ stays).
  while (arrivals_.size() - arrivalsFirst_ > 1 && arrivals_[arrivalsFirst_ + 1].at <= begin_) ++arrivalsFirst_;
  if (arrivalsFirst_ > 64 && arrivalsFirst_ * 2 > arrivals_.size()) {
    arrivals_.erase(arrivals_.begin(), arrivals_.begin() + static_cast<ptrdiff_t>(arrivalsFirst_));
    arrivalsFirst_ = 0;
  }
}

bool StRecvState::AddBlock() {
  Block b = spare_ ? std::move(spare_) : Block(new (std::nothrow) uint8_t[blockSize_]);
  if (!b) return false;
  try {
    blocks_.push_back(std::move(b));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void StRecvState::Clear() {
  begin_ = held_;  // positions go on counting
  inFrame_ = false;
  frameLen_ = 0;
  blocks_.resize(1);
  base_ = begin_;
  spare_.reset();
  arrivals_.clear();
  arrivalsFirst_ = 0;
  FrameBuffer().swap(frame_);
}

void StRecvState::DropFrame() {
  inFrame_ = false;
  Resync();
}

void StRecvState::Resync() {
  // The search goes on at the byte after the head's first byte, where no
  // head starts (it holds the magic's second byte).
  begin_ = FindHeadByte(begin_ + 1);
}

void StRecvState::HandOver(const Handler& handler) {
  inFrame_ = false;
  try {
    frame_.clear();
    frame_.reserve(frameLen_);
  } catch (const std::bad_alloc&) {
    Resync();  // no room to hand it over: resynchronise as for a refused length
    return;
  }
  handedStart_ = begin_;
  const uint64_t end = begin_ + frameLen_;
  while (begin_ < end) {
    size_t n;
    const uint8_t* p = Span(begin_, &n);
    n = static_cast<size_t>(std::min<uint64_t>(n, end - begin_));
    frame_.insert(frame_.end(), p, p + n);
    begin_ += n;
    Release();  // a long frame's blocks go as they are copied, not after
  }
  if (handler) handler(frame_);
  // The next frame reuses whatever buffer the handler left (the frame, or
  // one it gave in exchange) unless it is large.
  if (frame_.capacity() > kKeptFrameCapacity)
    FrameBuffer().swap(frame_);
  else
    frame_.clear();
}

void StRecvState::Parse(const Handler& handler, int64_t nowMs) {
  uint8_t tmp[12];
  for (;;) {
    const uint64_t avail = held_ - begin_;
    if (inFrame_) {
      if (avail >= frameLen_) {
        // Complete: in time unless its deadline is behind us and its last
        // byte came at or after it (a head found again after a drop).
        const bool late = deadline_ <= nowMs && ArrivalAt(begin_ + frameLen_ - 1) >= deadline_;
        if (late || ReadLE32(Read(begin_ + frameLen_ - kTailSize, kTailSize, tmp)) != kFrameTail)
          DropFrame();
        else
          HandOver(handler);
        continue;
      }
      if (deadline_ <= nowMs) {
        DropFrame();
        continue;
      }
      return;
    }
    if (avail < 4) return;
    const uint8_t* p = Read(begin_, static_cast<size_t>(std::min<uint64_t>(avail, 12)), tmp);
    if (ReadLE32(p) != kFrameHead) {
      begin_ = FindHeadByte(begin_ + 1);
      continue;
    }
    if (avail < 8) return;
    const uint32_t version = ReadLE32(p + 4);
    if (version != kFrameVersion && !(limits_.acceptAltVersion && version == kFrameVersionAlt)) {
      Resync();
      continue;
    }
    if (avail < 12) return;
    const uint32_t length = ReadLE32(p + 8);
    if (length < kMinFrame || length > limits_.maxFrame) {
      Resync();
      continue;
    }
    const int64_t deadline = ArrivalAt(begin_) + kFrameBodyLimitMs;
    if (deadline <= nowMs && avail < length) {
      Resync();  // found after its deadline without all of its body: bad at once
      continue;
    }
    inFrame_ = true;
    frameLen_ = length;
    deadline_ = deadline;
  }
}

void StRecvState::Settle(const Handler& handler, int64_t nowMs) {
  for (;;) {
    Release();
    if (!inFrame_ && begin_ != base_) {
      // At most a partial head waits: it goes to the front of the first
      // block, so that the next receive has a whole buffer's room.
      const size_t live = static_cast<size_t>(held_ - begin_);
      if (live) {
        uint8_t tmp[12];
        memmove(blocks_.front().get(), Read(begin_, live, tmp), live);
      }
      blocks_.resize(1);
      spare_.reset();  // between frames, the store is the receive buffer alone
      base_ = begin_;
    }
    if (RecvSpace() > 0 || AddBlock()) return;
    // No memory for more of this frame: resynchronise as for a refused length.
    DropFrame();
    Parse(handler, nowMs);
  }
}

void StRecvState::Feed(size_t received, const Handler& handler, int64_t nowMs) {
  received = std::min(received, RecvSpace());
  // A frame whose deadline passed before these bytes came is dropped first
  // and its bytes parsed again (the new bytes lie beyond held_ in the last
  // block, which parsing never gives back). Anything else held was parsed as
  // far as it goes already.
  if (inFrame_ && deadline_ <= nowMs) Parse(handler, nowMs);
  if (received > 0) {
    if (arrivals_.empty() || arrivals_.back().ms != nowMs) arrivals_.push_back({held_, nowMs});
    held_ += received;
    taken_.store(held_, std::memory_order_release);
    Parse(handler, nowMs);
  }
  Settle(handler, nowMs);
}

void StRecvState::Expire(int64_t nowMs, const Handler& handler) {
  Parse(handler, nowMs);
  Settle(handler, nowMs);
}

void StRecvState::Finish(const Handler& handler) {
  // As if every deadline had passed: a frame not complete is bad.
  Parse(handler, INT64_MAX);
  begin_ = held_;
  Settle(handler, INT64_MAX);
}

}  // namespace qelm

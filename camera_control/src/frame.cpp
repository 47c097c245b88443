#include "frame.h"

#include <algorithm>
#include <cstring>
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

StRecvState::StRecvState(const FrameLimits& limits) : limits_(limits), store_(limits.bufferSize) {}

bool StRecvState::LongFrame() const { return inFrame_ && frameLen_ > limits_.bufferSize; }

void StRecvState::FitStore() {
  if (!spare_.empty()) {
    // The bytes a long frame's store still holds fit the receive buffer again.
    memcpy(spare_.data(), store_.data(), held_);
    store_.swap(spare_);
    FrameBuffer().swap(spare_);
  }
  store_.resize(limits_.bufferSize);  // its size already, but after a long frame was handed over
}

void StRecvState::Clear() {
  begin_ = held_ = 0;
  inFrame_ = false;
  frameLen_ = 0;
  FitStore();
  FrameBuffer().swap(frame_);
}

void StRecvState::DropFrame() {
  inFrame_ = false;
  ++begin_;  // the search goes on at the byte after the head's first byte
}

void StRecvState::HandOver(const Handler& handler) {
  const bool wholeStore = begin_ == 0 && held_ == frameLen_ && LongFrame() && !spare_.empty();
  inFrame_ = false;
  if (wholeStore) {
    // A long frame fills the store that took it: that store is handed over,
    // and the receive buffer kept aside is the store again.
    frame_.swap(store_);
    store_.swap(spare_);
    FrameBuffer().swap(spare_);
    held_ = 0;
  } else {
    const uint8_t* p = store_.data() + begin_;
    try {
      frame_.assign(p, p + frameLen_);
    } catch (const std::bad_alloc&) {
      ++begin_;  // no room to hand it over: resynchronise as for a refused length
      return;
    }
    begin_ += frameLen_;
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
  for (;;) {
    const size_t avail = held_ - begin_;
    const uint8_t* p = store_.data() + begin_;
    if (inFrame_) {
      if (avail < frameLen_) return;
      if (ReadLE32(p + frameLen_ - kTailSize) != kFrameTail)
        DropFrame();
      else
        HandOver(handler);
      continue;
    }
    // Look for a head: the first byte of 0x0FF055AA in memory is 0xAA.
    if (avail < 4) return;
    if (ReadLE32(p) != kFrameHead) {
      const void* next = memchr(p + 1, 0xAA, avail - 1);
      begin_ = next ? static_cast<size_t>(static_cast<const uint8_t*>(next) - store_.data()) : held_;
      continue;
    }
    if (avail < 8) return;
    const uint32_t version = ReadLE32(p + 4);
    if (version != kFrameVersion && !(limits_.acceptAltVersion && version == kFrameVersionAlt)) {
      ++begin_;
      continue;
    }
    if (avail < 12) return;
    const uint32_t length = ReadLE32(p + 8);
    if (length < kMinFrame || length > limits_.maxFrame) {
      ++begin_;
      continue;
    }
    inFrame_ = true;
    frameLen_ = length;
    deadline_ = nowMs + kFrameBodyLimitMs;
  }
}

void StRecvState::Settle(const Handler& handler, int64_t nowMs) {
  for (;;) {
    if (begin_ > 0) {
      memmove(store_.data(), store_.data() + begin_, held_ - begin_);
      held_ -= begin_;
      begin_ = 0;
    }
    if (!LongFrame()) {
      FitStore();
      return;
    }
    // A frame longer than the receive buffer grows in a store of its length,
    // reserved at once (so that an announced length costs no writes) and
    // opened one receive buffer at a time, never past the frame's end; the
    // receive buffer is kept aside for the bytes after it.
    try {
      if (store_.capacity() < frameLen_) {
        FrameBuffer grown;
        grown.reserve(frameLen_);
        grown.assign(store_.data(), store_.data() + held_);
        if (spare_.empty()) spare_.swap(store_);
        store_.swap(grown);
      }
      store_.resize(std::min(frameLen_, held_ + limits_.bufferSize));
      return;
    } catch (const std::bad_alloc&) {
    }
    // No memory for this frame's length: resynchronise as for a refused one.
    DropFrame();
    Parse(handler, nowMs);
  }
}

void StRecvState::Feed(size_t received, const Handler& handler, int64_t nowMs) {
  if (inFrame_ && nowMs >= deadline_) {
    // Its deadline passed before these bytes came: its own bytes are parsed
    // again first (the new bytes lie beyond held_ and stay where they are).
    DropFrame();
    Parse(handler, nowMs);
  }
  held_ += std::min(received, store_.size() - held_);
  Parse(handler, nowMs);
  Settle(handler, nowMs);
}

void StRecvState::Expire(int64_t nowMs, const Handler& handler) {
  if (!inFrame_ || nowMs < deadline_) return;
  DropFrame();
  Parse(handler, nowMs);
  Settle(handler, nowMs);
}

void StRecvState::Finish(const Handler& handler) {
  while (inFrame_) {
    DropFrame();
    Parse(handler, 0);
  }
  begin_ = held_;
  Settle(handler, 0);
}

}  // namespace qelm

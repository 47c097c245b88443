// A connected camera: its result channel (TCP 59002) with the parse state of
// the result stream, its control channel (TCP 59200) with the parse state of
// the reply stream, and the state of the request waiting for a reply.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "Nardix.h"
#include "context.h"
#include "platform/net.h"
#include "platform/reply_signal.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "stream_window.h"

namespace nardix {

constexpr uint16_t kResultPort = 59002;
constexpr uint16_t kControlPort = 59200;
// Longest length field of a result frame.
constexpr uint32_t kMaxResultLength = 204800;
// A reply's payload with its checksum byte stays below this.
constexpr uint32_t kReplyPayloadLimit = 1024;
// A frame is held in its channel's receive store until it is complete and its
// tail is checked, so each store holds the longest frame whole: head, length
// field and tail around the longest result body; head, sequence, type, code,
// length pair and tail around the longest reply payload with its checksum.
// Beside it, room for what one receive takes.
constexpr uint32_t kMaxResultFrame = 8 + kMaxResultLength + 4;
constexpr uint32_t kMaxReplyFrame = 12 + (kReplyPayloadLimit - 1) + 4;
constexpr uint32_t kResultRoom = 64 * 1024;
constexpr uint32_t kReplyRoom = 1024;
constexpr uint32_t kFrameTail = 0x550FF0AA;  // AA F0 0F 55 on the wire
// A frame whose body has not all come this long after its head is dropped, so
// that a head whose body never comes cannot take the frames behind it.
constexpr int64_t kFrameTimeLimitMs = 5000;
constexpr uint32_t kRawReplySize = 512;
constexpr uint32_t kVersionSize = 255;

// What the request waiting on a camera expects. Only a reply of that kind
// completes it; a reply that comes when nothing (or something else) waits
// completes nothing.
enum class ReplyKind : uint8_t {
  kNone,
  kRaw,         // any reply with the command's type and code; its payload kept
  kShutterGet,  // 0x20 0x0B, first byte 0: the value in the second byte
  kShutterSet,  // 0x20 0x0B, first byte 0: acknowledged, the value not taken
  kNetParams,   // 0x80 0x21, first byte 0xBB
  kVersion,     // 0x00 0x04 item 5 (items 0 to 3 only fill their texts)
  kWorkMode,    // 0x00 0x1E, first byte 0xBB
  kNtp,         // 0x00 0x1F, first byte 0xBB
};

struct StReplySlot {
  ReplyKind kind = ReplyKind::kNone;
  uint8_t type = 0;  // kRaw: the command's type and code
  uint8_t code = 0;
  bool done = false;
  // Its number on the control channel's store (StreamWindow::NoteSend): a
  // reply received before it went out never completes it (replies carry no
  // sequence to tell them apart).
  uint64_t sendNo = 0;
  uint8_t raw[kRawReplySize] = {};
  uint16_t rawLen = 0;  // payload length of the reply (may exceed what raw holds)
};

// The frame under way at a channel's read position: its bytes stay in the
// receive store from its head on until it is complete. It is bad once its
// body has not all come within kFrameTimeLimitMs of its head's first byte
// arriving, whenever the parser comes to that head (also in bytes parsed
// again after a bad frame), so however heads nest, a channel is clear 5 s
// after the last byte of a bad stream.
struct StFrameUnderWay {
  bool headFound = false;
  int64_t deadlineMs = 0;
  uint32_t size = 0;  // of the whole frame, once its length was read (else 0)

  void Start(int64_t headArrivedMs) {
    headFound = true;
    deadlineMs = headArrivedMs + kFrameTimeLimitMs;
    size = 0;
  }
  // Still waiting for its bytes: nothing to look at again before they come.
  bool Waiting(uint32_t held, int64_t nowMs) const { return headFound && held < size && nowMs < deadlineMs; }
  // The time it turns bad at; -1 when none is under way.
  int64_t DeadlineMs() const { return headFound ? deadlineMs : -1; }
  bool Expired(int64_t nowMs) const { return headFound && nowMs >= deadlineMs; }
  void Clear() { headFound = false; }
};

// Parse state of the result stream.
struct StResultParse : StFrameUnderWay {
  uint32_t head = 0;  // AA 55, type, kind of the frame under way
  uint16_t resultId = 0;  // id of the result under assembly
  // Whether a segment of it was taken, and the sends noted before the first
  // one's bytes were received.
  bool resultOpen = false;
  uint64_t resultSends = 0;

  uint8_t Type() const { return static_cast<uint8_t>(head >> 16); }
  uint8_t Kind() const { return static_cast<uint8_t>(head >> 24); }
};

// Parse state of the reply stream: a reply is taken whole from the buffer,
// so only the frame under way is kept.
using StReplyParse = StFrameUnderWay;

struct StLprControlChannel {
  StLprControlChannel();
  ~StLprControlChannel();  // closes a socket that no thread took over
  StLprControlChannel(const StLprControlChannel&) = delete;
  StLprControlChannel& operator=(const StLprControlChannel&) = delete;

  uint32_t m_nIp = 0;
  // Used by senders under m_csSocket; replaced and closed by the thread alone.
  pf::CriticalSection m_csSocket;
  std::atomic<pf::SOCKET> m_hSocket{pf::INVALID_SOCKET};
  uint16_t m_nPort = kControlPort;
  std::atomic<uint8_t> m_bConnected{0};
  std::atomic<uint8_t> m_bStop{0};
  StreamWindow m_recv{kMaxReplyFrame, kReplyRoom, true};
  TailOwners m_owners;
  StLprCameraHandle* m_pOwner = nullptr;
  StReplyParse m_parse;
  pf::AutoResetEvent m_evStop;
  pf::Thread m_thread;
};

}  // namespace nardix

struct StLprCameraHandle {
  explicit StLprCameraHandle(uint32_t ip);
  ~StLprCameraHandle();
  StLprCameraHandle(const StLprCameraHandle&) = delete;
  StLprCameraHandle& operator=(const StLprCameraHandle&) = delete;

  uint32_t m_nIp = 0;
  char m_szIp[16] = {};
  // The result channel. Used by senders under m_csSocket; replaced and closed
  // by the receive thread alone.
  pf::CriticalSection m_csSocket;
  std::atomic<pf::SOCKET> m_hSocket{pf::INVALID_SOCKET};
  uint16_t m_nPort = nardix::kResultPort;
  std::atomic<uint8_t> m_bConnected{0};
  std::atomic<uint8_t> m_bStop{0};
  std::atomic<uint8_t> m_bLinkLost{0};
  nardix::StreamWindow m_recv{nardix::kMaxResultFrame, nardix::kResultRoom, false};
  nardix::TailOwners m_owners;
  bool m_bFolderTried = false;  // whether the camera's error-data folder was made (or tried) while logging
  int64_t m_nDumpSec = -1;      // wall-clock second of the latest dump of an oversized frame

  // One request at a time per camera (m_csRequest). The waiting request's
  // slot, the version texts and the shutter value are shared with the control
  // receive thread under m_csReply.
  pf::CriticalSection m_csRequest;
  pf::CriticalSection m_csReply;
  nardix::StReplySlot* m_pSlot = nullptr;
  pf::ReplySignal m_evReply;
  std::unique_ptr<nardix::StLprControlChannel> m_pControl;
  char m_szVersion[5][nardix::kVersionSize] = {};
  int32_t m_nShutter = 0;
  std::atomic<uint8_t> m_bResultReady{0};
  // Sends noted on the result store before the first bytes of the latest
  // delivered result were received.
  std::atomic<uint64_t> m_nResultSends{0};
  std::atomic<uint32_t> m_nSeq{0};

  // Result assembly, written by the receive thread alone.
  nardix::StResultParse m_parse;
  uint8_t m_byInfo[1024] = {};
  StLprResult* m_pResult = nullptr;
  // Bytes that segments stored at the start of each of its buffers (image
  // 1, 2, 3, debug) since they were last cleared.
  uint32_t m_nStored[4] = {};
  uint8_t m_byBlock[308] = {};

  pf::AutoResetEvent m_evStop;  // wakes the reconnect pauses
  pf::Thread m_thread;
};

namespace nardix {

// A handle with its buffers and first result; null when memory runs out.
HandlePtr NewCameraHandle(uint32_t ip);

// Stops the handle's two threads (stop flags, sockets shut down, pauses and a
// waiting request woken) and joins them, except the calling thread's own,
// which ends by itself. The record is freed when the last owner lets go.
void StopHandle(const HandlePtr& h);

// Link events of the result channel and reset reports of the control channel.
StLprConnEvent* NewConnEvent(StLprCameraHandle* h, int code);

// Result stream: parses what the receive store holds at monotonic time
// `nowMs`. A frame is taken only whole and with its tail in place; a frame
// whose tail is wrong, whose body has not all come by its deadline, or whose
// tail is also the tail of a frame whose head lies inside it, is dropped, and
// parsing resumes at the byte after the first byte of its head.
void ParseResultFrames(StLprCameraHandle* h, int64_t nowMs);
// Reply stream: the same for a control record's receive store, where a
// wrong checksum also makes a reply bad; complete replies are dispatched into
// the owner.
void ParseReplyFrames(StLprControlChannel* ch, int64_t nowMs);
// The parsers as the receive threads call them: while the frame under way
// waits for its bytes, a receive that brings fewer than it lacks costs this
// test alone.
inline void ParseResultStream(StLprCameraHandle* h, int64_t nowMs) {
  if (!h->m_parse.Waiting(h->m_recv.Held(), nowMs)) ParseResultFrames(h, nowMs);
}
inline void ParseControlStream(StLprControlChannel* ch, int64_t nowMs) {
  if (!ch->m_parse.Waiting(ch->m_recv.Held(), nowMs)) ParseReplyFrames(ch, nowMs);
}
// A reply whose checksum matched: `payload` holds `total` bytes, its checksum
// last; `sendsBefore`: the sends noted before its first byte was received.
void DispatchReply(StLprCameraHandle* h, const uint8_t* payload, uint8_t type, uint8_t code,
                   uint32_t seq, uint32_t total, uint64_t sendsBefore);

// A new connection: nothing of the bytes of the one before is parsed.
template <class Rec>
void RestartStream(Rec* r) {
  r->m_recv.Clear();
  r->m_parse.Clear();
  r->m_owners.Reset();
}

// One receive into a channel's store, then the parser, called with the
// monotonic time. While a frame is under way the wait ends at its deadline,
// and the parser then runs without new bytes, so that a frame whose body
// stopped coming is dropped even when nothing else arrives. Returns what the
// receive gave (1 when the deadline ended the wait).
template <class Rec, class Parse>
int ReceiveAndParse(Rec* r, pf::SOCKET s, Parse parse) {
  if (!pf::WaitReadableUntil(s, r->m_parse.DeadlineMs())) {
    parse(pf::MonotonicMs());
    return 1;
  }
  uint32_t room = 0;
  uint8_t* at = r->m_recv.Space(&room);
  const int n = pf::Recv(s, at, room);
  if (n >= 1) {
    const int64_t now = pf::MonotonicMs();
    r->m_recv.Arrived(static_cast<uint32_t>(n), now);
    parse(now);
  }
  return n;
}

namespace test {
// Pause of the reconnect loops (200 ms unless a test shortens it); a lost
// channel is connected again after 12 pauses.
void SetReconnectTickMs(int ms);
int ReconnectTickMs();
// Where the dump of an oversized result frame goes (null: into the file).
using DumpWriter = void (*)(const std::string& path, const uint8_t* data, size_t len);
void SetDumpWriter(DumpWriter w);
// Makes the next `n` allocations of a control channel record fail.
void FailNextControlAllocs(int n);
// Makes the next `n` starts of a control channel's thread fail.
void FailNextControlStarts(int n);
}  // namespace test

}  // namespace nardix

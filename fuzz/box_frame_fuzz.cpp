// Fuzz target: the controller-box frame parser and the dispatcher behind it.
//
// Input: one byte that chooses how the stream is cut into receives and how
// much time passes between them (bit 7: the bytes come over a serial line at
// 9600 bit/s), then the stream. The stream goes through the parser once in
// receives as large as the buffer takes, all at one time, and once cut and
// timed as the first byte says; both must hand over exactly the frames that
// a plain reading of the rules written here finds, each with where its
// first byte was in the stream (and every byte of its receive counted as
// taken), and tell the same deadline for the frame under way and the same
// number of bytes held. Every frame is then dispatched into a
// device with every callback registered, a request waiting and an update
// under way; the callbacks check that what they are handed lies within the
// frame. Any difference aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "PyrnBox.h"
#include "context.h"
#include "device.h"
#include "frame.h"
#include "fuzz_check.h"
#include "reports.h"
#include "update.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLineRate = 9600;

// The frames of a stream that comes in timed pieces. A head is AA 55 FF then
// 00 (another fourth byte: the search goes on at that byte); a length below
// 16 is no frame (the search goes on after it). A frame is handed over when
// its bytes sum to 0, it ends in 55 AA and its last byte came before its
// deadline: 5 s after its first byte came (on the line plus 10 bits a byte
// of its length at the rate); the search goes on after it. A frame that
// fails any of these, or is still not whole at its deadline, is dropped, and
// the search goes on at the byte after its first. Every byte keeps the time
// it came, however often it is searched again.
struct Reference {
  bool line = false;
  Bytes s;                    // every byte that came
  std::vector<int64_t> when;  // and when it came
  size_t pos = 0;             // where the search stands
  bool underWay = false;
  size_t head = 0;  // of the frame under way
  size_t len = 0;
  int64_t deadline = 0;
  std::vector<Bytes> frames;
  std::vector<size_t> at;  // each frame's first byte in the stream

  void At(int64_t t, const uint8_t* p, size_t n) {
    s.insert(s.end(), p, p + n);
    when.insert(when.end(), n, t);
    for (;;) {
      if (underWay) {
        if (s.size() - head < len) {
          if (t < deadline) return;  // still arriving
          underWay = false;
          pos = head + 1;
          continue;
        }
        underWay = false;
        uint8_t sum = 0;
        for (size_t i = head; i < head + len; ++i) sum = static_cast<uint8_t>(sum + s[i]);
        if (sum == 0 && s[head + len - 2] == 0x55 && s[head + len - 1] == 0xAA &&
            when[head + len - 1] < deadline) {
          frames.emplace_back(s.begin() + head, s.begin() + head + len);
          at.push_back(head);
          pos = head + len;
        } else {
          pos = head + 1;
        }
        continue;
      }
      if (s.size() - pos < 4) return;
      if (!(s[pos] == 0xAA && s[pos + 1] == 0x55 && s[pos + 2] == 0xFF)) {
        ++pos;
        continue;
      }
      if (s[pos + 3] != 0x00) {
        pos += 3;
        continue;
      }
      if (s.size() - pos < 6) return;
      len = s[pos + 4] | (s[pos + 5] << 8);
      if (len < 16) {
        pos += 6;
        continue;
      }
      underWay = true;
      head = pos;
      deadline = when[head] + 5000;
      if (line) deadline += static_cast<int64_t>((len * 10 * 1000 + kLineRate - 1) / kLineRate);
    }
  }
  int64_t Deadline() const { return underWay ? deadline : pyrn::CBoxParser::kNoDeadline; }
  // The bytes that a frame or a head may still need.
  size_t Held() const { return s.size() - (underWay ? head : pos); }
};

std::vector<Bytes> Parse(const uint8_t* s, size_t n, uint8_t cut) {
  pyrn::CBoxParser p;
  Reference ref;
  if (cut & 0x80) {
    p.SetLineRate(kLineRate);
    ref.line = true;
  }
  std::vector<Bytes> out;
  std::vector<size_t> at;
  size_t taken = 0;  // by the receive being parsed
  auto take = [&](const pyrn::FrameView& f) {
    FUZZ_CHECK(f.len >= 16 && f.len == static_cast<size_t>(f.bytes[4] | (f.bytes[5] << 8)));
    FUZZ_CHECK(p.Taken() == taken);
    out.emplace_back(f.bytes, f.bytes + f.len);
    at.push_back(f.at);
  };
  size_t i = 0;
  int64_t t = 0;
  unsigned k = cut;
  while (i < n) {
    size_t piece = cut == 0 ? n - i : 1 + (k % 37);
    if (piece > n - i) piece = n - i;
    // As a receive thread that wakes by the deadline does, now and then.
    if (k & 0x100) p.Expire(t, take);
    taken = i + piece;
    p.Feed(s + i, piece, t, take);
    ref.At(t, s + i, piece);
    FUZZ_CHECK(p.Unconsumed() == ref.Held());
    FUZZ_CHECK(p.StoreSize() <= 2 * 65536);
    // At most one arrival time (16 bytes) for each byte held, and one more.
    FUZZ_CHECK(p.HeldMemory() <= 2 * p.StoreSize() + 1 + (ref.Held() + 1) * 16);
    FUZZ_CHECK(out == ref.frames);
    FUZZ_CHECK(at == ref.at);
    FUZZ_CHECK(p.Taken() == taken);
    FUZZ_CHECK(p.Deadline() == ref.Deadline());
    i += piece;
    if (cut != 0) t += (k >> 16) % 3000;
    k = k * 1103515245u + 12345u;
  }
  return out;
}

// The frame being dispatched, for the callbacks' checks.
const Bytes* g_frame = nullptr;

bool InFrame(const uint8_t* p, size_t n) {
  if (n == 0) return true;
  const uint8_t* b = g_frame->data();
  return p >= b && p + n <= b + g_frame->size();
}

void PYRN_CALL OnByte(void*, StBoxByteReport* r) { FUZZ_CHECK(r->handle); }
void PYRN_CALL OnValue(void*, StBoxValueReport* r) { FUZZ_CHECK(r->handle && r->value <= 0xFF); }
void PYRN_CALL OnSerial(void*, StBoxSerialData* d) {
  FUZZ_CHECK(InFrame(d->data, d->length) && d->length + 16u == g_frame->size());
}
void PYRN_CALL OnSerialEx(void* u, StBoxSerialData* d, uint32_t port) {
  OnSerial(u, d);
  FUZZ_CHECK(port <= 1);
}
void PYRN_CALL OnHeart(void*, StHeartStatus* st, CBoxDevice* h, const char* ip) {
  FUZZ_CHECK(st && h && ip && strlen(ip) < 16);
}
void PYRN_CALL OnLog(void*, StBoxLogInfo* l) {
  FUZZ_CHECK(l->length + 16u == g_frame->size());
  if (l->length) FUZZ_CHECK(memcmp(l->data, g_frame->data() + 13, l->length) == 0);
}
void PYRN_CALL OnMaxLink(void*, StMaxLinkInfo* info, const char* ip) {
  FUZZ_CHECK(g_frame->size() == 56 && memcmp(info, g_frame->data() + 13, 40) == 0);
}
void PYRN_CALL OnData1(void*, StDataReport1* r) {
  FUZZ_CHECK(r->length + 16u == g_frame->size());
  if (r->length > 32)
    for (uint8_t b : r->data) FUZZ_CHECK(b == 0);
}
void PYRN_CALL OnData2(void*, StDataReport2* r) { FUZZ_CHECK(r->handle); }
void PYRN_CALL OnData3(void*, StDataReport3* r) {
  FUZZ_CHECK(r->count <= 8);
  for (int i = r->count; i < 8; ++i) FUZZ_CHECK(r->items[i].bit0 == 0 && r->items[i].bits5to7 == 0);
}
void PYRN_CALL OnData4(void*, StReportRecord* r) { FUZZ_CHECK(r->count <= 4); }
void PYRN_CALL OnProgress(void*, StUpdateProgress* p) {
  FUZZ_CHECK(p->result == 0 || p->result == 17 || p->result == 156 || p->result == 158);
}

struct Setup {
  Setup() {
    pyrn::CBoxGlobal& g = pyrn::Global();
    g.m_pfnReport1.store(OnByte);
    g.m_pfnReport0.store(OnValue);
    g.g_bInit.store(1);  // for the registrations; no thread is started
    PyrnBox_RegSerialPortCallback(OnSerial);
    PyrnBox_RegSerialPortDataExCallback(OnSerialEx);
    PyrnBox_RegHeartStatusCallback(OnHeart);
    PyrnBox_RegDoorAndBarrierStatusCallback(OnValue, OnValue);
    PyrnBox_RegLogInfoCallback(OnLog);
    PyrnBox_RegMaxLinkInfoCallback(OnMaxLink);
    PyrnBox_RegDataReportCallback(OnData1, OnData2, OnData3, OnData4);
    std::vector<uint8_t> file(600, 0);
    image = pyrn::BuildUpdateImage(file, 0x08020000, 1);
  }
  std::shared_ptr<pyrn::UpdateImage> image;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup* setup = new Setup;
  if (size == 0) return 0;
  const uint8_t cut = data[0];
  const uint8_t* s = data + 1;
  const size_t n = size - 1;

  // All at once: the frames that the stream holds, whatever their time.
  const std::vector<Bytes> want = Parse(s, n, 0);
  Parse(s, n, cut);

  // A device that is not connected (its sends fail), with one request
  // waiting under sequence 1 and an update of three blocks under way.
  auto d = std::make_shared<CBoxDevice>();
  strcpy(d->m_szIP, "10.0.0.1");
  pyrn::ReplySlot slot;
  slot.seq = 1;
  d->AddSlot(&slot);
  {
    pf::Lock lk(d->m_csUpdate);
    d->m_pImage = setup->image;
    d->m_pfnUpdate = OnProgress;
    d->m_bUpdating = cut & 1;
  }
  for (const Bytes& f : want) {
    g_frame = &f;
    pyrn::DispatchFrame(*d, pyrn::FrameView{f.data(), f.size()});
    pf::Lock lk(d->m_csUpdate);
    FUZZ_CHECK(d->m_nBlocksSent <= setup->image->blocks.size());
  }
  g_frame = nullptr;
  {
    pf::Lock lk(d->m_csDevice);
    d->RemoveSlot(&slot);
    if (slot.filled) FUZZ_CHECK(slot.frame.size() >= 16 && (slot.frame[6] | (slot.frame[7] << 8)) == 1);
  }
  FUZZ_CHECK(d->m_nBoxKind.load() <= 0xFF);
  return 0;
}

// The result channel: connection, link events, the result stream parser, the
// assembly and delivery of results, and the dump of oversized frames.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "bytes.h"
#include "codes.h"
#include "context.h"
#include "dictate.h"
#include "folders.h"
#include "handle.h"
#include "log.h"
#include "message_wnd.h"
#include "platform/system.h"
#include "result.h"
#include "sockets.h"

namespace nardix {

namespace {

std::atomic<int> g_reconnectTickMs{200};
std::atomic<test::DumpWriter> g_dumpWriter{nullptr};
std::atomic<int> g_failControlAllocs{0};
std::atomic<int> g_failControlStarts{0};

constexpr int kReconnectTicks = 12;
constexpr uint32_t kNoLimit = 0xFFFFFFFFu;
constexpr uint32_t kInfoSegmentSize = 64;

// Largest body a segment kind may have; kinds not stored have no limit.
uint32_t SegmentLimit(uint8_t kind) {
  switch (kind) {
    case 0x00: return kInfoSegmentSize;
    case 0x10: return sizeof(StLprCameraHandle::m_byBlock);
    case 0x20: return kImage3Size;
    case 0x40: return kImage1Size;
    case 0x42: return kImage2Size;
    case 0x60: return kDebugSize;
    default: return kNoLimit;
  }
}

// Size of the frame a head announces when it is one that results are made of:
// type 0xFF, a kind that is stored or ends a result, a length that holds the
// id and a body its kind can take. 0 for any other head.
uint32_t ResultFrameAt(const uint8_t* p) {
  if (p[2] != 0xFF) return 0;
  const uint8_t kind = p[3];
  const uint32_t len = kit::ReadLE32(p + 4);
  if (len < 2 || len > kMaxResultLength) return 0;
  if (kind != 0x50 && (SegmentLimit(kind) == kNoLimit || len - 2 > SegmentLimit(kind))) return 0;
  return 8 + len + 4;
}
// Head, length, id and tail.
constexpr uint32_t kMinResultFrame = 8 + 2 + 4;

// A result carries only segments of its own: the info and block segments of
// the one before are not kept for it. Called once the record under assembly
// is a clear one: nothing is stored in its buffers yet.
void ClearSegments(StLprCameraHandle* h) {
  memset(h->m_byInfo, 0, sizeof h->m_byInfo);
  memset(h->m_byBlock, 0, sizeof h->m_byBlock);
  memset(h->m_nStored, 0, sizeof h->m_nStored);
  h->m_parse.resultOpen = false;
}
void StartResult(StLprCameraHandle* h) {
  ResetResult(h->m_pResult, h);
  ClearSegments(h);
}
// A new id before the result was handed over: the record has been the
// library's alone since it was cleared, so only what segments stored in it
// is cleared again (a stream of small frames, each with a new id, then
// costs no more than its bytes).
void StartNextId(StLprCameraHandle* h) {
  ResetResult(h->m_pResult, h, h->m_nStored);
  ClearSegments(h);
}

// Stores a segment's body, whose frame has passed its tail check, in the place
// of its kind; a body larger than its kind allows is not stored.
void StoreResultSegment(StLprCameraHandle* h, const uint8_t* data, uint32_t count) {
  const uint8_t kind = h->m_parse.Kind();
  if (count > SegmentLimit(kind)) return;
  StLprResult* r = h->m_pResult;
  uint8_t* dst = nullptr;
  int buffer = -1;  // of the record's four
  switch (kind) {
    case 0x00: dst = h->m_byInfo; break;
    case 0x10: dst = h->m_byBlock; break;
    case 0x20: dst = r->image3; r->image3Length = static_cast<int32_t>(count); buffer = 2; break;
    case 0x40: dst = r->image1; r->image1Length = static_cast<int32_t>(count); buffer = 0; break;
    case 0x42: dst = r->image2; r->image2Length = static_cast<int32_t>(count); buffer = 1; break;
    case 0x60: dst = r->debug; r->debugLength = static_cast<int32_t>(count); buffer = 3; break;
    default: return;  // read past
  }
  if (buffer >= 0 && count > h->m_nStored[buffer]) h->m_nStored[buffer] = count;
  if (count) memcpy(dst, data, count);
}

int32_t ReadI32(const uint8_t* p) { return static_cast<int32_t>(kit::ReadLE32(p)); }

// The end of a result: fill the record and hand it over.
void CompleteResult(StLprCameraHandle* h) {
  CForGlobal& g = Global();
  StLprResult* r = h->m_pResult;
  const uint8_t* info = h->m_byInfo;
  const uint8_t* block = h->m_byBlock;
  r->handle = h;
  r->resultId = h->m_parse.resultId;
  memcpy(r->ip, h->m_szIp, sizeof r->ip);
  int32_t values[4];
  for (int i = 0; i < 4; ++i) values[i] = ReadI32(block + 16 + 4 * i);
  memcpy(r->blockValues, values, sizeof values);
  kit::CopyTextField(r->blockText, sizeof r->blockText, block + 36, sizeof h->m_byBlock - 36);
  r->blockValue172 = ReadI32(block + 172);
  r->blockValue176 = ReadI32(block + 176);
  kit::CopyTextField(r->infoText, sizeof r->infoText, info, sizeof h->m_byInfo);
  r->infoValue62 = info[62];
  r->image3Width = static_cast<uint16_t>(kit::ReadLE16(info + 24) - kit::ReadLE16(info + 20));
  r->image3Height = static_cast<uint16_t>(kit::ReadLE16(info + 26) - kit::ReadLE16(info + 22));
  h->m_nResultSends.store(h->m_parse.resultSends);
  h->m_bResultReady.store(1);

  const uint32_t len1 = static_cast<uint32_t>(r->image1Length);
  if (len1 + kInfoSegmentSize <= kImage1Size) memcpy(r->image1 + len1, info, kInfoSegmentSize);
  if (!g.m_bWantImage[0].load()) r->image1Length = 0;
  if (!g.m_bWantImage[1].load()) r->image2Length = 0;
  if (!g.m_bWantImage[2].load()) r->image3Length = 0;

  uint8_t* debugBlock = nullptr;
  if (g.m_pfnAlgDebug.load() && ReadI32(r->debug + 8) > 0) {
    debugBlock = new (std::nothrow) uint8_t[LPR_ALG_DEBUG_SIZE];
    if (debugBlock) memcpy(debugBlock, r->debug + 12, LPR_ALG_DEBUG_SIZE);
  }

  if (g.m_bDirectCall.load()) {
    if (auto cb = g.m_pfnLprResult.load()) cb(g.m_pUserData.load(), r);
    Deliver(kNotifyAlgDebug, debugBlock);
    StartResult(h);
    return;
  }
  CMessageWnd* w = g.m_pMessageWnd.load();
  StLprResult* next = w ? NewResult(h) : nullptr;
  if (!next) {  // no window, or no memory for the next record: nothing goes out
    delete[] debugBlock;
    StartResult(h);
    return;
  }
  h->m_pResult = next;
  ClearSegments(h);
  if (!w->Post(kNotifyResult, r)) FreeResult(r);
  if (debugBlock && !w->Post(kNotifyAlgDebug, debugBlock)) delete[] debugBlock;
}

// The camera's error-data folder, made (or checked) now: false when it may
// not be used.
bool MakeCameraFolder(const StLprCameraHandle* h, std::string* folder) {
  *folder = ModulePath() + "ErrorData/" + h->m_szIp + "/";
  return kit::CreateFolderPath(*folder);
}

std::string LocalStamp(const char* fmt, int64_t sec) {
  const std::tm tm = pf::LocalTime(sec);
  char buf[32];
  strftime(buf, sizeof buf, fmt, &tm);
  return buf;
}

void WriteDumpFile(const std::string& path, const uint8_t* data, size_t len) {
  FILE* f = pf::OpenOwnFile(path, false);  // never through a link
  if (!f) return;
  if (len) fwrite(data, 1, len, f);
  fflush(f);
  fclose(f);
}

// A frame announcing more than the receive store holds: what is held is
// written to a file for inspection (unless its folder may not be used) and
// dropped.
void DumpOversized(StLprCameraHandle* h) {
  // The file is named by the second, and a second dump within it would only
  // replace it: the first of each second is kept, so that a stream of such
  // heads costs no file per receive. The name is made from the second that
  // was checked, or a dump late in it would be replaced by the next one.
  const int64_t sec = pf::Now().sec;
  if (sec != h->m_nDumpSec) {
    h->m_nDumpSec = sec;
    std::string folder;
    bool usable = true;  // another user's folder (or none) takes no dump
    if (LogOn()) usable = MakeCameraFolder(h, &folder);
    const std::string path = folder + "errorlen" + LocalStamp("%Y%m%d%H%M%S", sec) + ".data";
    const test::DumpWriter w = g_dumpWriter.load();
    // The held bytes, from the read position on: the oversized frame's head first.
    if (usable) (w ? w : &WriteDumpFile)(path, h->m_recv.Data(), h->m_recv.Held());
  }
  RestartStream(h);
}

void NotifyLink(StLprCameraHandle* h, int code) {
  const Delivery d = Deliver(kNotifyConnEvent, NewConnEvent(h, code));
  if (code == 3) {
    WriteLogF(d == Delivery::kDirect   ? "直接通知外部，设备（%s）自动断开"
              : d == Delivery::kPosted ? "发消息通知外部，设备（%s）自动断开"
                                       : "没有通知外部，设备（%s）自动断开",
              h->m_szIp);
  } else {
    WriteLogF(d == Delivery::kDirect   ? "直接通知外部，设备（%s）连接成功"
              : d == Delivery::kPosted ? "发消息通知外部，设备（%s）连接成功"
                                       : "没有通知外部，设备（%s）连接成功",
              h->m_szIp);
  }
}

void CameraRecvThread(HandlePtr hp) {
  StLprCameraHandle* h = hp.get();
  if (!h) return;
  bool up = true;
  int ticks = 0;
  while (!h->m_bStop.load()) {
    if (up) {
      const pf::SOCKET s = h->m_hSocket.load();
      const int n = s == pf::INVALID_SOCKET ? 0
                                            : ReceiveAndParse(h, s, [h](int64_t now) { ParseResultStream(h, now); });
      if (n >= 1) continue;
      WriteLogF("接收数据失败，反馈字节数 = %d", n);
      if (h->m_bStop.load()) break;
      up = false;
      ticks = 0;
      h->m_bLinkLost.store(1);
      NotifyLink(h, 3);
      continue;
    }
    WriteLog("准备重连...");
    h->m_evStop.Wait(g_reconnectTickMs.load());
    if (h->m_bStop.load()) break;
    if (++ticks < kReconnectTicks) continue;
    ticks = 0;
    h->m_bConnected.store(0);
    const int again = Reconnect(h->m_csSocket, h->m_hSocket, h->m_nIp, h->m_nPort, h->m_bStop);
    if (again < 0) break;
    if (again == 0) {
      WriteLogF("重连时设备（%s）时，创建SOCKET失败", h->m_szIp);
      continue;
    }
    // Bytes of the lost connection never continue a frame of the new one.
    RestartStream(h);
    h->m_bConnected.store(1);
    h->m_bLinkLost.store(0);
    up = true;
    NotifyLink(h, 0);
  }
  CloseLocked(h->m_csSocket, h->m_hSocket);
  h->m_bConnected.store(0);
}

}  // namespace

void test::SetReconnectTickMs(int ms) { g_reconnectTickMs.store(ms); }
int test::ReconnectTickMs() { return g_reconnectTickMs.load(); }
void test::SetDumpWriter(DumpWriter w) { g_dumpWriter.store(w); }
void test::FailNextControlAllocs(int n) { g_failControlAllocs.store(n); }
void test::FailNextControlStarts(int n) { g_failControlStarts.store(n); }

StLprControlChannel::StLprControlChannel() = default;

StLprControlChannel::~StLprControlChannel() {
  const pf::SOCKET s = m_hSocket.exchange(pf::INVALID_SOCKET);
  if (s != pf::INVALID_SOCKET) pf::CloseSocket(s);
}

HandlePtr NewCameraHandle(uint32_t ip) {
  auto* raw = new (std::nothrow) StLprCameraHandle(ip);
  if (!raw) return nullptr;
  HandlePtr h(raw);
  h->m_pResult = NewResult(raw);
  if (!h->m_recv.Ok() || !h->m_pResult) return nullptr;
  return h;
}

StLprConnEvent* NewConnEvent(StLprCameraHandle* h, int code) {
  auto* ev = new (std::nothrow) StLprConnEvent;
  if (!ev) return nullptr;
  memset(static_cast<void*>(ev), 0, sizeof *ev);
  ev->handle = h;
  memcpy(ev->ip, h->m_szIp, sizeof ev->ip);
  ev->code = code;
  return ev;
}

void StopHandle(const HandlePtr& h) {
  if (!h) return;
  h->m_bStop.store(1);
  ShutdownLocked(h->m_csSocket, h->m_hSocket);
  h->m_evStop.Set();
  StLprControlChannel* c = h->m_pControl.get();
  if (c) {
    c->m_bStop.store(1);
    ShutdownLocked(c->m_csSocket, c->m_hSocket);
    c->m_evStop.Set();
  }
  // A request still waiting gives up now rather than at its time-out.
  h->m_evReply.Set();
  h->m_thread.Join();
  if (c) c->m_thread.Join();
}

// A result frame that has passed its tail check: `body` is its length
// field's `len` bytes, the result id first; `sendsBefore`: the sends noted
// before its head was received.
void TakeResultFrame(StLprCameraHandle* h, const uint8_t* body, uint32_t len, uint64_t sendsBefore) {
  StResultParse& p = h->m_parse;
  const uint16_t id = kit::ReadLE16(body);
  if (id != p.resultId) {
    p.resultId = id;
    StartNextId(h);
  }
  if (!p.resultOpen) {
    p.resultOpen = true;
    p.resultSends = sendsBefore;
  }
  StoreResultSegment(h, body + 2, len - 2);
  if (p.Kind() == 0x50) CompleteResult(h);
}

void ParseResultFrames(StLprCameraHandle* h, int64_t nowMs) {
  StResultParse& p = h->m_parse;
  StreamWindow& w = h->m_recv;
  // A bad frame: nothing of it was used, and its bytes after the first are
  // searched again, so the frames among them are found.
  auto drop = [&] {
    w.Take(1);
    p.Clear();
  };
  w.Want(0);
  const bool folderDue = !h->m_bFolderTried && LogOn();
  for (;;) {
    if (!p.headFound) {
      if (!w.SeekHead(8)) return;
      // Once per camera, also when it cannot be made (a dump tries again):
      // a stream of heads costs no folder calls.
      if (folderDue && !h->m_bFolderTried) {
        h->m_bFolderTried = true;
        std::string folder;
        MakeCameraFolder(h, &folder);
      }
      if (static_cast<int32_t>(kit::ReadLE32(w.Data() + 4)) > static_cast<int32_t>(kMaxResultLength)) {
        DumpOversized(h);
        return;
      }
      p.head = kit::ReadLE32(w.Data());
      p.Start(w.ArrivedLatestMs());
    }
    const uint8_t* const f = w.Data();
    const uint32_t len = kit::ReadLE32(f + 4);
    // A result frame's length holds at least its 2-byte result id.
    if (len > kMaxResultLength || (p.Type() == 0xFF && len < 2)) {
      drop();
      continue;
    }
    const uint32_t size = 8 + len + 4;
    if (w.Held() < size) {
      if (p.Expired(nowMs)) {
        drop();
        continue;
      }
      p.size = size;
      w.Want(size);
      return;
    }
    if (kit::ReadLE32(f + 8 + len) != kFrameTail || h->m_owners.Shared(w, size, kMinResultFrame, ResultFrameAt)) {
      drop();
      continue;
    }
    // The body of a frame of another type is read past: it never lands in
    // the info segment or anything else of the result under assembly.
    if (p.Type() == 0xFF) TakeResultFrame(h, f + 8, len, w.SendsBefore());
    w.Take(size);
    p.Clear();
  }
}

bool OpenControlChannel(const HandlePtr& hp) {
  StLprCameraHandle* h = hp.get();
  if (!h->m_pControl) {
    if (test::TakePendingFailure(g_failControlAllocs)) return true;  // later sends answer 11
    h->m_pControl.reset(new (std::nothrow) StLprControlChannel);
    if (!h->m_pControl) return true;
  }
  StLprControlChannel* c = h->m_pControl.get();
  c->m_nIp = h->m_nIp;
  c->m_nPort = kControlPort;
  c->m_pOwner = h;
  c->m_hSocket.store(CreateSocket(false, h->m_nIp, kControlPort, &c->m_bStop));
  c->m_bConnected.store(1);
  if (test::TakePendingFailure(g_failControlStarts)) return false;
  return c->m_thread.Start([hp] { ControlChannelThread(hp); });
}

}  // namespace nardix

using namespace nardix;

StLprCameraHandle::StLprCameraHandle(uint32_t ip) : m_nIp(ip) {
  const std::string text = pf::InetNtoa(ip);
  strncpy(m_szIp, text.c_str(), sizeof m_szIp - 1);
}

StLprCameraHandle::~StLprCameraHandle() {
  m_pControl.reset();  // its thread is joined (or is the calling one)
  nardix::FreeResult(m_pResult);
  const pf::SOCKET s = m_hSocket.exchange(pf::INVALID_SOCKET);
  if (s != pf::INVALID_SOCKET) pf::CloseSocket(s);
}

extern "C" {

NARDIX_API int NARDIX_CALL LPR_ConnectCamera(const char* ip, StLprCameraHandle** out) {
  CForGlobal& g = Global();
  if (!g.m_bRunning.load()) return kNotRunning;
  if (!ip || !out) return kBadArgument;
  const uint32_t addr = pf::InetAddr(ip);
  auto listed = [&] {
    for (const auto& h : g.m_listCamera)
      if (h->m_nIp == addr) return true;
    return false;
  };
  {
    pf::Lock lk(g.m_csCamera);
    if (listed()) {
      WriteLog("该设备已经连接");
      return kAlreadyOpen;
    }
  }
  const pf::SOCKET s = CreateSocket(false, addr, kResultPort);
  if (s == pf::INVALID_SOCKET) {
    WriteLog("连接设备时，建立SOCKET失败");
    return kNoSocket;
  }
  HandlePtr h = NewCameraHandle(addr);
  if (!h) {
    pf::CloseSocket(s);
    return kOther;
  }
  h->m_hSocket.store(s);
  h->m_bConnected.store(1);
  if (!h->m_thread.Start([h] { CameraRecvThread(h); })) {
    WriteLog("连接设备时，启用线程失败");
    return kNoThread;  // the handle closes its socket as it goes
  }
  if (!OpenControlChannel(h)) {
    StopHandle(h);
    WriteLog("连接设备时，启用线程失败");
    return kNoThread;
  }
  int refused;
  {
    pf::Lock lk(g.m_csCamera);
    // Quit may have run meanwhile, or another call connected the same camera.
    refused = !g.m_bRunning.load() ? kNotRunning : listed() ? kAlreadyOpen : kOk;
    if (refused == kOk) {
      g.m_listCamera.push_back(h);
      *out = h.get();
    }
  }
  if (refused != kOk) {
    if (refused == kAlreadyOpen) WriteLog("该设备已经连接");
    StopHandle(h);
    return refused;
  }
  WriteLog("连接设备成功");
  return kOk;
}

NARDIX_API int NARDIX_CALL LPR_DisconnectCamera(StLprCameraHandle* handle) {
  CForGlobal& g = Global();
  if (!g.m_bRunning.load()) return kNotRunning;
  HandlePtr h;
  {
    pf::Lock lk(g.m_csCamera);
    for (auto it = g.m_listCamera.begin(); it != g.m_listCamera.end(); ++it) {
      if (it->get() == handle) {
        h = *it;
        g.m_listCamera.erase(it);
        break;
      }
    }
  }
  if (!h) return kNoDevice;
  // Outside the list's lock: a callback running on the camera's thread may
  // call the library while the thread is being stopped.
  StopHandle(h);
  return kOk;
}

NARDIX_API int NARDIX_CALL LPR_CheckStatus(StLprCameraHandle* handle, int* state) {
  CForGlobal& g = Global();
  if (!g.m_bRunning.load()) return kNotRunning;
  HandlePtr h = FindHandle(handle);
  if (!h) return kNotRunning;
  if (!state) return kBadArgument;
  if (h->m_bLinkLost.load())
    *state = 3;
  else if (h->m_hSocket.load() == pf::INVALID_SOCKET)
    *state = 1;
  else
    *state = h->m_bConnected.load() ? 0 : 3;
  return kOk;
}

}  // extern "C"

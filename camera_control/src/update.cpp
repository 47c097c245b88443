#include "update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "bytes.h"
#include "context.h"
#include "errors.h"
#include "log.h"
#include "message_wnd.h"
#include "platform/system.h"
#include "sockets.h"

namespace qelm {

using kit::ReadLE16;
using kit::ReadLE32;
using kit::WriteLE32;

namespace {

constexpr long kVersionWaitMs = 1000;
std::atomic<int> g_finishPauseMs{1000};

// What a camera is taken to run when it does not answer the version query.
const char kDefaultVersionText[] =
    "Velintor200\nAT1(1.00)STD\n20121220\n0000001000000001\n"
    "Velintor200AT1 标准版本,支持监控、抓拍以及车牌识别功能，应用于高速路收费站和停车场管理系统";
static_assert(sizeof kDefaultVersionText <= kVersionTextSize, "the default version text fits");

size_t Padded(size_t n) { return (n + 3) & ~static_cast<size_t>(3); }

// True when [offset, offset + size) lies within `limit` bytes.
bool Within(uint64_t offset, uint64_t size, uint64_t limit) {
  return offset <= limit && size <= limit - offset;
}

std::string ReplaceAll(std::string s, const std::string& what, const std::string& with) {
  for (size_t p = 0; (p = s.find(what, p)) != std::string::npos; p += with.size())
    s.replace(p, what.size(), with);
  return s;
}

// The range of one of a part's (offset, size) field pairs, within the part.
bool PartRange(const StUpdatePart& part, size_t offsetAt, size_t sizeAt, const uint8_t** data,
               uint32_t* size) {
  if (part.size < kPartFieldsEnd) return false;
  const uint32_t off = ReadLE32(part.data + offsetAt);
  const uint32_t n = ReadLE32(part.data + sizeAt);
  if (!Within(off, n, part.size)) return false;
  *data = part.data + off;
  *size = n;
  return true;
}

// Loading reads a part's kind and its description header, which must lie
// within the file. The fields of its kind are looked at only when the part is
// chosen for a transfer (StartUpdate), so that a package may carry parts of
// kinds with other layouts.
bool DescriptionInFile(size_t fileSize, uint32_t partOffset, const StUpdatePart& part) {
  if (part.size < kPartDescOffsetAt + 4) return false;
  const uint32_t desc = ReadLE32(part.data + kPartDescOffsetAt);
  return Within(uint64_t(partOffset) + desc, kDescHeaderSize, fileSize);
}

void CloseSessionSocket(StUpdateSession* s) {
  pf::Lock lk(s->m_csSocket);
  const pf::SOCKET sock = s->m_hSocket.exchange(pf::INVALID_SOCKET);
  if (sock != pf::INVALID_SOCKET) pf::CloseSocket(sock);
}

// Moves on to the next item, or ends the firmware transfer after the last.
void NextItem(StUpdateSession* s) {
  if (s->m_nCurrent >= s->m_items.size()) return;  // the list is done already
  ++s->m_nCurrent;
  if (s->m_nCurrent < s->m_items.size()) {
    if (!SendUpdateItemHead(s, kUpdItemHead, kFirmwareClass)) PostUpdateProgress(s, kProgressSendFailed, false);
    return;
  }
  s->m_nState = kStateFirmwareDone;
  if (SendUpdateFrame(s, BuildUpdateFrame(s, kUpdFinish, kFirmwareClass, nullptr, 0))) {
    s->m_evWake.Wait(g_finishPauseMs.load());
    PostUpdateProgress(s, kProgressOk, false);
  } else {
    PostUpdateProgress(s, kProgressSendFailed, false);
  }
}

// Progress for the camera's answer, then the next block (or the item's end).
void AnswerWithBlock(StUpdateSession* s, bool first, uint32_t code, uint32_t cls, bool database) {
  PostUpdateProgress(s, kProgressOk, database);
  if (!SendTransferBlock(s, first, code, cls)) PostUpdateProgress(s, kProgressSendFailed, database);
}

void SendCommit(StUpdateSession* s, uint32_t code) {
  s->m_nState = kStateCommitted;
  if (!SendUpdateFrame(s, BuildUpdateFrame(s, code, kFirmwareClass, nullptr, 0)))
    PostUpdateProgress(s, kProgressSendFailed, false);
}

}  // namespace

void test::SetFinishPauseMs(int ms) { g_finishPauseMs.store(ms); }

StUpdateSession::StUpdateSession(uint16_t port) : m_port(port), m_sendBuffer(kSendBufferSize, 0) {}

void StTransferItem::WriteHead(uint8_t* out) const {
  memcpy(out, name, kItemNameSize);
  WriteLE32(out + 64, totalSize);
  WriteLE32(out + 68, blockSize);
  WriteLE32(out + 72, blockCount);
  WriteLE32(out + 76, checksum);
}

uint32_t TransferChecksum(const uint8_t* data, size_t n) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) sum += ReadLE32(data + i);
  if (i < n) {
    uint8_t last[4] = {};
    memcpy(last, data + i, n - i);
    sum += ReadLE32(last);
  }
  return sum;
}

bool ValidBlockSize(uint32_t blockSize) { return blockSize > 0 && blockSize <= kMaxBlockSize; }

StTransferItem MakeTransferItem(const char* name, uint32_t kind, const uint8_t* data, uint32_t n,
                                uint32_t blockSize) {
  StTransferItem it;
  kit::CopyTextField(it.name, sizeof it.name, reinterpret_cast<const uint8_t*>(name), strlen(name));
  it.kind = kind;
  it.totalSize = it.remaining = n;
  it.blockSize = blockSize;
  it.blockCount = blockSize ? static_cast<uint32_t>((uint64_t(n) + blockSize - 1) / blockSize) : 0;
  it.checksum = TransferChecksum(data, n);
  it.data.assign(Padded(n), 0);
  if (n) memcpy(it.data.data(), data, n);
  return it;
}

bool ReadWholeFile(const char* path, std::vector<uint8_t>* out) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  out->clear();
  uint8_t buf[65536];
  size_t n;
  bool ok = true;
  try {
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  ok = ok && !ferror(f);
  fclose(f);
  return ok;
}

void EmptySession(StUpdateSession* s) {
  s->m_infos.clear();
  s->m_parts.clear();
  std::vector<uint8_t>().swap(s->m_package);
  s->m_description.clear();
  s->m_items.clear();
  s->m_nCurrent = 0;
  s->m_nState = kStateIdle;
}

int LoadUpdatePackage(StUpdateSession* s, const char* path) {
  EmptySession(s);
  std::vector<uint8_t> file;
  if (!ReadWholeFile(path, &file)) return ERR_UPDATE_OPEN;
  return ParseUpdatePackage(s, std::move(file));
}

namespace {

int ParseLoadedPackage(StUpdateSession* s) {
  const uint8_t* f = s->m_package.data();
  const size_t size = s->m_package.size();
  if (size < kPkgEntriesAt || ReadLE32(f) != kPackageMagic) return ERR_UPDATE_FILE;
  const uint32_t countWord = ReadLE32(f + kPkgPartCountAt);
  if (countWord == 1) return ERR_UPDATE_FILE;
  const uint32_t count = countWord - 1;  // a word of 0 asks for more parts than any file holds
  const uint32_t textAt = ReadLE32(f + kPkgTextOffsetAt);
  const uint32_t textSize = ReadLE32(f + kPkgTextSizeAt);
  if (!Within(kPkgEntriesAt, uint64_t(count) * kPkgEntrySize, size) || !Within(textAt, textSize, size))
    return ERR_UPDATE_FILE;

  std::vector<StUpdateFileInfo> infos(count);
  std::map<uint32_t, StUpdatePart> parts;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = f + kPkgEntriesAt + size_t(i) * kPkgEntrySize;
    const uint32_t at = ReadLE32(e);
    const uint32_t n = ReadLE32(e + 4);
    if (!Within(at, n, size)) return ERR_UPDATE_FILE;
    StUpdatePart part;
    part.id = i;
    part.size = n;
    part.data = f + at;
    if (!DescriptionInFile(size, at, part)) return ERR_UPDATE_FILE;  // also a part too short for its kind
    part.kind = ReadLE32(part.data);
    kit::CopyTextField(part.name, sizeof part.name, e + 8, kPkgEntryNameSize);

    StUpdateFileInfo& info = infos[i];
    memset(&info, 0, sizeof info);
    info.id = i;
    info.kind = part.kind;
    const uint8_t* d = f + at + ReadLE32(part.data + kPartDescOffsetAt);
    info.descValue = ReadLE16(d + kDescValueAt);
    // The header's texts are the package's, copied through whole: a text that
    // fills its field has no terminator, and the bytes after an inner zero
    // stay as the package gives them.
    static_assert(sizeof info.descText1 == kDescText2At - kDescText1At, "first text field");
    static_assert(sizeof info.descText2 == kDescText3At - kDescText2At, "second text field");
    static_assert(sizeof info.descText3 == kDescHeaderSize - kDescText3At, "third text field");
    memcpy(info.descText1, d + kDescText1At, sizeof info.descText1);
    memcpy(info.descText2, d + kDescText2At, sizeof info.descText2);
    memcpy(info.descText3, d + kDescText3At, sizeof info.descText3);
    parts.emplace(i, std::move(part));
  }
  s->m_description.assign(textSize, 0);
  if (textSize) kit::CopyTextField(s->m_description.data(), textSize, f + textAt, textSize);
  s->m_infos = std::move(infos);
  s->m_parts = std::move(parts);
  return 0;
}

}  // namespace

int ParseUpdatePackage(StUpdateSession* s, std::vector<uint8_t> file) {
  EmptySession(s);
  s->m_package = std::move(file);
  int rc;
  try {
    rc = ParseLoadedPackage(s);
  } catch (const std::bad_alloc&) {
    rc = ERR_UPDATE_OPEN;  // as a file too large to be read
  }
  if (rc != 0) EmptySession(s);
  return rc;
}

int StartUpdate(uint32_t partCount, const uint32_t* partIds, uint32_t blockSize, StUpdateSession* s) {
  for (uint32_t i = 0; i < partCount; ++i)
    if (s->m_parts.find(partIds[i]) == s->m_parts.end()) return ERR_PCK_MISSING;
  s->m_items.clear();
  s->m_nBlockSize = blockSize;
  s->m_nCurrent = 0;
  s->m_nState = kStateIdle;
  size_t count = 0;
  for (uint32_t i = 0; i < partCount; ++i) count += s->m_parts[partIds[i]].kind == kKindProgramPackage ? 2 : 1;
  if (count == 0) return ERR_PCK_MISSING;
  s->m_items.reserve(count);
  for (uint32_t i = 0; i < partCount; ++i) {
    StUpdatePart& part = s->m_parts[partIds[i]];
    const uint8_t* p;
    uint32_t n;
    if (part.kind == kKindProgramPackage) {
      const std::string name = part.name;
      if (!PartRange(part, kPartSecondOffsetAt, kPartSecondSizeAt, &p, &n)) return ERR_PCK_MISSING;
      s->m_items.push_back(MakeTransferItem(ReplaceAll(name, ".pck", ".out").c_str(), kKindProgramFile, p, n, blockSize));
      if (!PartRange(part, kPartFirstOffsetAt, kPartFirstSizeAt, &p, &n)) return ERR_PCK_MISSING;
      s->m_items.push_back(
          MakeTransferItem(ReplaceAll(name, ".pck", ".gxml").c_str(), kKindDescriptionFile, p, n, blockSize));
    } else if (part.kind == kKindWholePart) {
      s->m_items.push_back(MakeTransferItem(part.name, kKindWholePart, part.data, part.size, blockSize));
    } else {
      if (!PartRange(part, kPartFirstOffsetAt, kPartFirstSizeAt, &p, &n)) return ERR_PCK_MISSING;
      kit::CopyTextField(part.name, sizeof part.name, p, std::min<uint32_t>(n, sizeof part.name));
      if (!PartRange(part, kPartSecondOffsetAt, kPartSecondSizeAt, &p, &n)) return ERR_PCK_MISSING;
      s->m_items.push_back(MakeTransferItem(part.name, part.kind, p, n, blockSize));
    }
  }
  return 0;
}

size_t BuildUpdateFrame(StUpdateSession* s, uint32_t code, uint32_t cls, const void* data, uint32_t n) {
  if (kMinFrame + StCommandItem::kSize + size_t(n) > s->m_sendBuffer.size()) return 0;
  const ItemSpec item{code, 0, n, data};
  return BuildCommandPacket(s->m_sendBuffer.data(), 2, ++s->m_nSequence, 0, cls, &item, 1);
}

bool SendUpdateFrame(StUpdateSession* s, size_t len) {
  const pf::SOCKET sock = s->m_hSocket.load();
  return len > 0 && sock != pf::INVALID_SOCKET && pf::Send(sock, s->m_sendBuffer.data(), len) > 0;
}

bool SendUpdateItemHead(StUpdateSession* s, uint32_t code, uint32_t cls) {
  s->m_bProgressActive = true;
  if (s->m_nCurrent >= s->m_items.size()) return false;
  uint8_t head[kItemHeadSize];
  s->m_items[s->m_nCurrent].WriteHead(head);
  const size_t len = BuildUpdateFrame(s, code, cls, head, sizeof head);
  s->m_nState = kStateHeadSent;
  return SendUpdateFrame(s, len);
}

bool SendTransferBlock(StUpdateSession* s, bool first, uint32_t code, uint32_t cls) {
  if (s->m_items.empty() || s->m_nCurrent >= s->m_items.size()) return false;
  StTransferItem& it = s->m_items[s->m_nCurrent];
  size_t len;
  if (it.blocksSent < it.blockCount) {
    s->m_nState = kStateBlockSent;
    const uint32_t offset = first ? 0 : it.totalSize - it.remaining;
    const uint32_t n = std::min(it.blockSize, it.remaining);
    std::vector<uint8_t> block(kBlockDataHead + Padded(n), 0);
    WriteLE32(block.data(), it.blocksSent);
    WriteLE32(block.data() + 4, offset);
    WriteLE32(block.data() + 8, n);
    WriteLE32(block.data() + 12, TransferChecksum(it.data.data() + offset, n));
    if (n) memcpy(block.data() + kBlockDataHead, it.data.data() + offset, n);
    it.remaining -= n;
    len = BuildUpdateFrame(s, code, cls, block.data(), static_cast<uint32_t>(block.size()));
  } else {
    s->m_nState = kStateEndSent;
    len = BuildUpdateFrame(s, cls == kDatabaseClass ? kDbItemEnd : kUpdItemEnd, cls, nullptr, 0);
  }
  if (!SendUpdateFrame(s, len)) return false;
  ++it.blocksSent;
  return true;
}

void UpdateRecvThread(StUpdateSession* s, pf::SOCKET sock) {
  const StRecvState::Handler handler = [s](std::vector<uint8_t>& f) { HandleUpdateFrame(s, f); };
  for (;;) {
    if (!pf::WaitReadableUntil(sock, s->m_recv.DeadlineMs())) {
      pf::Lock lk(s->m_cs);
      if (s->m_bStop.load()) return;
      s->m_recv.Expire(pf::MonotonicMs(), handler);
      continue;
    }
    const int n = pf::Recv(sock, s->m_recv.RecvPtr(), s->m_recv.RecvSpace());
    if (s->m_bStop.load()) return;  // stopped on purpose: the stopper closes
    if (n <= 0) {
      WriteLog("在线升级网络异常");
      LogSocketError();
      pf::Lock lk(s->m_cs);
      PostUpdateProgress(s, kProgressLinkLost, s->IsDatabase());
      CloseSessionSocket(s);
      return;
    }
    pf::Lock lk(s->m_cs);
    if (s->m_bStop.load()) return;
    s->m_recv.Feed(static_cast<size_t>(n), handler, pf::MonotonicMs());
  }
}

void HandleUpdateFrame(StUpdateSession* s, const std::vector<uint8_t>& frame) {
  const bool db = s->IsDatabase();
  if (frame.size() < kMinFrame) {
    PostUpdateProgress(s, kProgressBadReply, db);
    return;
  }
  const StCommandHead h = StCommandHead::Read(frame.data());
  if (h.length != frame.size() || h.ns != 8 || h.sender != 2 || h.echo != s->m_nSequence || h.count < 1) {
    PostUpdateProgress(s, kProgressBadReply, db);
    return;
  }
  ItemWalker walk(frame.data(), frame.size());
  ItemView it;
  while (walk.Next(&it)) HandleUpdateItem(s, it);
}

void HandleUpdateItem(StUpdateSession* s, const ItemView& item) {
  if (item.head.magic != kItemMagic || item.head.status != 0) {
    PostUpdateProgress(s, kProgressBadReply, s->IsDatabase());
    return;
  }
  switch (item.head.code) {
    case kUpdItemHead:
    case kUpdBlock:
      AnswerWithBlock(s, item.head.code == kUpdItemHead, kUpdBlock, kFirmwareClass, false);
      break;
    case kUpdItemEnd: {
      PostUpdateProgress(s, kProgressOk, false);
      if (s->m_nCurrent >= s->m_items.size()) break;
      const uint32_t kind = s->m_items[s->m_nCurrent].kind;
      if (kind == kKindDescriptionFile)
        SendCommit(s, kUpdDescriptionCommit);
      else if (kind == kKindProgramFile)
        SendCommit(s, kUpdProgramCommit);
      else
        NextItem(s);
      break;
    }
    case kUpdDescriptionCommit:
    case kUpdProgramCommit:
      PostUpdateProgress(s, kProgressOk, false);
      NextItem(s);
      break;
    case kUpdVersion:
    case kDbQuery:
      if (!s->m_bVersionWait) break;
      memset(s->m_szVersion, 0, sizeof s->m_szVersion);
      memcpy(s->m_szVersion, item.data, std::min<size_t>(item.head.length, sizeof s->m_szVersion - 1));
      s->m_evUpdate.Set();
      break;
    case kDbItemHead:
    case kDbBlock:
      AnswerWithBlock(s, item.head.code == kDbItemHead, kDbBlock, kDatabaseClass, true);
      break;
    case kDbItemEnd:
      s->m_nState = kStateDatabaseDone;
      PostUpdateProgress(s, kProgressOk, true);
      break;
    default:
      break;
  }
}

void FillProgress(const StUpdateSession* s, uint32_t result, uint32_t* w) {
  memset(w, 0, 39 * sizeof(uint32_t));
  w[37] = s->m_nState;
  w[38] = result;
  const size_t count = s->m_items.size();
  if (s->m_nCurrent < count) {
    const StTransferItem& it = s->m_items[s->m_nCurrent];
    w[0] = static_cast<uint32_t>(count);
    w[1] = s->m_nCurrent + 1;
    w[2] = it.blockCount;
    w[3] = std::min(it.blocksSent, it.blockCount);
    w[4] = it.kind;
    // The item's record: its name, its seven words and its data address
    // (which means something only where addresses are 32 bits wide).
    memcpy(&w[5], it.name, kItemNameSize);
    const uint32_t words[] = {it.totalSize, it.blockSize, it.blockCount, it.checksum,
                              it.kind,      it.blocksSent, it.remaining};
    memcpy(&w[21], words, sizeof words);
    w[28] = sizeof(void*) == 4 ? static_cast<uint32_t>(reinterpret_cast<uintptr_t>(it.data.data())) : 0;
  } else if (count > 0) {
    const StTransferItem& last = s->m_items.back();
    w[2] = last.blockCount;
    w[3] = std::min(last.blocksSent, last.blockCount);
  }
}

void PostUpdateProgress(StUpdateSession* s, uint32_t result, bool database) {
  // A session being stopped reports nothing more: its caller has moved on.
  if (!s->m_bProgressActive || s->m_bStop.load()) return;
  CMessageWnd* window = MessageWnd();
  if (!window) return;
  auto* rec = new (std::nothrow) StTransferProgress;
  if (!rec) return;
  FillProgress(s, result, rec->words);
  CForGlobal& g = Global();
  if (database) {
    rec->user = g.m_pDBUserData.load();
    if (s->m_nState == kStateDatabaseDone) s->m_bProgressActive = false;
    PostRecord(window, WM_DB_PROGRESS, 0, rec);
  } else {
    rec->user = s->m_user;
    if (s->m_nState == kStateFirmwareDone) s->m_bProgressActive = false;
    PostRecord(window, WM_UPDATE_PROGRESS, 0, rec);
  }
}

void StopUpdateConnection(StUpdateSession* s) {
  s->m_bStop.store(true);
  {
    pf::Lock lk(s->m_csSocket);
    const pf::SOCKET sock = s->m_hSocket.load();
    if (sock != pf::INVALID_SOCKET) pf::ShutdownSocket(sock);
  }
  s->m_evWake.Set();
  s->m_thread.Join();
  CloseSessionSocket(s);
}

int ConnectUpdateSession(StUpdateSession* s, uint32_t ip, void* user, UpdateProgressCallback callback) {
  const pf::SOCKET sock = CreateSocket(s->m_port, ip, false);
  if (sock == pf::INVALID_SOCKET) return ERR_SOCKET_NULL;
  // The window delivers progress with the callback of the latest call, also
  // when its receive thread then cannot start.
  CForGlobal& g = Global();
  if (s->IsDatabase()) {
    g.m_pfnDBProgress.store(callback);
    g.m_pDBUserData.store(user);
  } else {
    g.m_pfnUpdateProgress.store(callback);
  }
  {
    pf::Lock lk(s->m_cs);
    s->m_ip = ip;
    s->m_user = user;
    s->m_pfnCallback = callback;
    s->m_bVersionWait = false;
    s->m_bProgressActive = false;  // a new transfer reports from its first item head
    s->m_recv.Clear();
  }
  s->m_hSocket.store(sock);
  s->m_bStop.store(false);
  s->m_evWake.Reset();
  if (s->m_thread.Start([s, sock] { UpdateRecvThread(s, sock); })) return 0;
  LogSystemError();
  CloseSessionSocket(s);
  return ERR_THREAD;
}

void WakeUpdateQueries() {
  CForGlobal& g = Global();
  g.m_updateFirmware.m_evUpdate.Set();
  g.m_updateDB.m_evUpdate.Set();
}

void StopUpdateSessions() {
  CForGlobal& g = Global();
  for (StUpdateSession* s : {&g.m_updateFirmware, &g.m_updateDB}) {
    pf::Lock call(s->m_csCall);
    StopUpdateConnection(s);
  }
}

}  // namespace qelm

using namespace qelm;

extern "C" {

QELM_API int QELM_CALL Qelm_LoadUpdateFile(const char* path, char* description, uint32_t* partCount,
                                           StUpdateFileInfo** parts) {
  StUpdateSession* s = &Global().m_updateFirmware;
  pf::Lock call(s->m_csCall);
  pf::Lock lk(s->m_cs);
  EmptySession(s);
  if (parts) *parts = nullptr;
  if (!path || !description || !partCount || !parts) return ERR_PARAM;
  const int rc = LoadUpdatePackage(s, path);
  if (rc != 0) return rc;
  const std::vector<char>& text = s->m_description;
  kit::CopyTextField(description, kVersionTextSize, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  *partCount = static_cast<uint32_t>(s->m_infos.size());
  *parts = s->m_infos.data();
  return 0;
}

QELM_API int QELM_CALL Qelm_Update(uint32_t ip, uint32_t partCount, const uint32_t* partIds,
                                   uint32_t blockSize, void* user, UpdateProgressCallback callback,
                                   int queryVersion, char* versionText, uint32_t /*reserved*/) {
  if (ip == 0 || partCount == 0 || !partIds || !ValidBlockSize(blockSize)) return ERR_PARAM;
  CForGlobal& g = Global();
  StUpdateSession* s = &g.m_updateFirmware;
  pf::Lock call(s->m_csCall);
  const QuitWatch quit;
  StopUpdateConnection(s);
  {
    pf::Lock lk(s->m_cs);
    const int rc = StartUpdate(partCount, partIds, blockSize, s);
    if (rc != 0) {
      EmptySession(s);
      return rc;
    }
  }
  if (const int rc = ConnectUpdateSession(s, ip, user, callback)) return rc;
  {
    pf::Lock lk(s->m_cs);
    const size_t len = BuildUpdateFrame(s, kUpdVersion, kFirmwareClass, nullptr, 0);
    s->m_bVersionWait = true;
    memset(s->m_szVersion, 0, sizeof s->m_szVersion);
    memcpy(s->m_szVersion, kDefaultVersionText, sizeof kDefaultVersionText);
    s->m_evUpdate.Reset();  // only the answer to this query ends the wait
    if (!SendUpdateFrame(s, len)) {
      s->m_bVersionWait = false;
      return ERR_SEND;
    }
  }
  WaitUnlessQuit(s->m_evUpdate, kVersionWaitMs, quit);  // no answer in time leaves the default text
  bool stopped = false;
  {
    pf::Lock lk(s->m_cs);
    s->m_bVersionWait = false;
    if (queryVersion & 0xFF) {
      if (!versionText) return ERR_PARAM;
      kit::CopyTextField(versionText, kVersionTextSize, reinterpret_cast<const uint8_t*>(s->m_szVersion),
                         sizeof s->m_szVersion);
      return 0;
    }
    if (quit.Stopped()) {
      // A shut-down stops this session now: its transfer is not begun, and
      // the loaded package stays, as it stays through the shut-down.
      stopped = true;
    } else if (SendUpdateItemHead(s, kUpdItemHead, kFirmwareClass)) {
      return 0;
    }
  }
  StopUpdateConnection(s);
  if (stopped) return ERR_SEND_FILE_INFO;
  pf::Lock lk(s->m_cs);
  EmptySession(s);
  return ERR_SEND_FILE_INFO;
}

}  // extern "C"

#include "xml_channel.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>

#include "bytes.h"
#include "context.h"
#include "control.h"
#include "errors.h"
#include "folders.h"
#include "log.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "sockets.h"
#include "xml_cache.h"

namespace qelm {

namespace {

constexpr int kReconnectPauses = 12;  // of 200 ms
std::atomic<int> g_reconnectStepMs{200};
std::mutex g_hookLock;
std::function<void()> g_requestHook;
std::function<void()> g_readHook;

// Channels whose thread was still reading a description when their call
// ended: kept until the thread has returned, then joined and freed.
std::mutex g_retiredLock;
std::vector<StXMLChannel*> g_retired;

StXMLChannel* NewChannel() {
  if (test::TakeChannelAllocFailure()) return nullptr;
  return new (std::nothrow) StXMLChannel;
}

void RunHook(const std::function<void()>& slot) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lk(g_hookLock);
    hook = slot;
  }
  if (hook) hook();
}

// Called by the exports just before they send their first request.
void BeforeRequest() { RunHook(g_requestHook); }

// The call's event: each channel wakes only the call that waits on it.
void SignalDone(StXMLChannel* ch) {
  CForGlobal& g = Global();
  (ch->m_bAlgMode ? g.m_evAlgFile : g.m_evXMLFile).Set();
}

// Reads a description on the receive thread, which holds the channel's
// outcome lock (HandleXMLFrame takes it), with that lock let go: a stop then
// finds the channel busy and does not wait. False also when the channel was
// stopped meanwhile: the caller then keeps nothing of the result.
bool ReadAside(StXMLChannel* ch, const std::function<bool()>& read) {
  ch->m_bBusy = true;
  ch->m_outcomeLock.unlock();
  RunHook(g_readHook);
  bool ok = false;
  try {
    ok = read();
  } catch (const std::bad_alloc&) {
    // No memory for the document: the file is not read.
  }
  ch->m_outcomeLock.lock();
  ch->m_bBusy = false;
  return ok && !ch->m_bClosing.load();
}

// Appends a block to the file under way: room grows with what has arrived
// (doubling), never past the announced size.
bool AppendBlock(StXMLChannel* ch, const uint8_t* data, uint32_t n) {
  std::vector<uint8_t>& buf = ch->m_fileBuffer;
  const size_t need = buf.size() + n;
  try {
    if (need > buf.capacity()) buf.reserve(std::min<size_t>(ch->m_fileSize, std::max(need, 2 * buf.capacity())));
    buf.insert(buf.end(), data, data + n);
  } catch (const std::bad_alloc&) {
    return false;
  }
  ch->m_received += n;
  return true;
}

void ReleaseFileBuffer(StXMLChannel* ch) { std::vector<uint8_t>().swap(ch->m_fileBuffer); }

bool SendRequest(StXMLChannel* ch, uint32_t code, const void* data, uint32_t n) {
  std::vector<uint8_t> buf(kMinFrame + StCommandItem::kSize + n);
  const size_t len = BuildXMLRequest(n, data, buf.data(), code);
  return SendXMLFrame(ch, buf.data(), len);
}

// Asks for a file's information; one answer is then taken.
bool RequestFileInfo(StXMLChannel* ch, uint32_t first, uint32_t second) {
  ch->m_awaited = kXmlFileInfo;
  uint8_t ids[8];
  kit::WriteLE32(ids, first);
  kit::WriteLE32(ids + 4, second);
  return SendRequest(ch, kXmlFileInfo, ids, 8);
}

bool SendBlockRequest(StXMLChannel* ch, uint32_t index) {
  uint8_t d[4];
  kit::WriteLE32(d, index);
  return SendRequest(ch, kXmlBlock, d, 4);
}

// How many files a version text names: the main file and one for every
// piece before a '.'.
size_t ListedFiles(const std::string& version) {
  return 1 + static_cast<size_t>(std::count(version.begin(), version.end(), '.'));
}

// The file name a camera announces, read within its 64 bytes; path separators
// are replaced so that the file stays in the XML folder.
std::string AnnouncedName(const StXMLChannel* ch) {
  char name[64];
  kit::CopyTextField(name, sizeof name, ch->m_fileInfo, 64);
  std::string s = name;
  for (char& c : s)
    if (c == '/' || c == '\\') c = '_';
  return s;
}

std::string RemoveAll(std::string s, const std::string& what) {
  for (size_t p; (p = s.find(what)) != std::string::npos;) s.erase(p, what.size());
  return s;
}

// Writes a file whole: one of the library's own (`own`: never through a
// link, only a plain file of its folder) or one the caller named.
bool WriteWholeFile(const std::string& path, const void* data, size_t n, bool own) {
  FILE* f = own ? pf::OpenOwnFile(path, false) : fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = fwrite(data, 1, n, f) == n;
  return fclose(f) == 0 && ok;
}

void CloseChannelSocket(StXMLChannel* ch) {
  pf::Lock send(ch->m_csSend);
  pf::Lock lk(ch->m_csSocket);
  const pf::SOCKET s = ch->m_hSocket.exchange(pf::INVALID_SOCKET);
  if (s != pf::INVALID_SOCKET) pf::CloseSocket(s);
  ch->m_bConnected.store(0);
}

// Ends the channel's thread and closes its connection. The link is shut
// down first, which wakes a receive or a send under way; then nothing of the
// thread's work is kept any more. A thread that is reading a description is
// not waited for (false): it ends on its own, and the channel must be
// retired instead of used again.
bool StopChannel(StXMLChannel* ch) {
  ch->m_bClosing.store(1);
  ch->m_evWake.Set();
  {
    pf::Lock lk(ch->m_csSocket);
    const pf::SOCKET s = ch->m_hSocket.load();
    if (s != pf::INVALID_SOCKET) pf::ShutdownSocket(s);
  }
  bool busy;
  {
    std::lock_guard<std::mutex> lk(ch->m_outcomeLock);
    busy = ch->m_bBusy;
  }
  if (busy) return false;
  ch->m_thread.Join();
  CloseChannelSocket(ch);
  return true;
}

// Frees the channels retired earlier whose thread has returned, or (`all`)
// every one, waiting for their threads.
void ReapRetired(bool all) {
  std::vector<StXMLChannel*> done;
  {
    std::lock_guard<std::mutex> lk(g_retiredLock);
    auto keep = std::partition(g_retired.begin(), g_retired.end(),
                               [all](StXMLChannel* ch) { return !all && !ch->m_bEnded.load(); });
    done.assign(keep, g_retired.end());
    g_retired.erase(keep, g_retired.end());
  }
  for (StXMLChannel* ch : done) {
    ch->m_thread.Join();
    CloseChannelSocket(ch);
    delete ch;
  }
}

// Hands the channel of a slot, whose thread is still busy, to the reaping
// (the next call of either export may free it) and empties the slot (the
// next call makes a new channel).
void Retire(StXMLChannel*& slot) {
  std::lock_guard<std::mutex> lk(g_retiredLock);
  g_retired.push_back(slot);
  slot = nullptr;
}

// Stops the channel of a slot, or retires it when its thread is still busy.
void StopOrRetire(StXMLChannel*& slot) {
  if (slot && !StopChannel(slot)) Retire(slot);
}

// Starts a call on the channel: connection, fresh transfer state, thread.
bool StartChannel(StXMLChannel* ch, pf::SOCKET s, uint32_t ip, uint16_t port, uint8_t algMode) {
  StopChannel(ch);
  ch->m_ip = ip;
  ch->m_port = port;
  ch->m_bAlgMode = algMode;
  ch->m_hSocket.store(s);
  ch->m_bConnected.store(1);
  ch->m_bClosing.store(0);
  ch->m_evWake.Reset();  // left set by the stop of the call before
  ch->m_recv.Clear();
  ch->m_sentAt.store(UINT64_MAX);  // nothing is an answer before the call's request went out
  ReleaseFileBuffer(ch);
  ch->m_hasFile = false;
  ch->m_fileSize = ch->m_received = ch->m_nextBlock = 0;
  // The algorithm file's request asks for its information at once.
  ch->m_awaited = algMode ? kXmlFileInfo : kXmlVersion;
  ch->m_bEnded.store(false);
  return ch->m_thread.Start([ch] {
    XMLRecvThread(ch);
    ch->m_bEnded.store(true);
  });
}

void FreeChannel(StXMLChannel*& ch) {
  StopOrRetire(ch);
  delete ch;
  ch = nullptr;
}

// Milliseconds left until a deadline (none left: 0).
long Remaining(int64_t deadline) {
  const int64_t left = deadline - pf::MonotonicMs();
  return left > 0 ? static_cast<long>(left) : 0;
}
// How long a call's connect may take: what is left of its time-out, but at
// least a small margin, so that a call of a short time-out still connects on
// a busy machine (its wait then has no time left, and it ends).
constexpr long kConnectMarginMs = 500;
int ConnectLimit(int64_t deadline) {
  const long left = std::max(Remaining(deadline), kConnectMarginMs);
  return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

}  // namespace

size_t BuildXMLRequest(uint32_t n, const void* data, uint8_t* buf, uint32_t code) {
  const ItemSpec item{code, 0, data ? n : 0, data};
  return BuildCommandPacket(buf, 2, 0, 0, 16, &item, 1);
}

bool SendXMLFrame(StXMLChannel* ch, const uint8_t* buf, size_t len) {
  pf::Lock lk(ch->m_csSend);
  const pf::SOCKET s = ch->m_hSocket.load();
  ch->m_sentAt.store(ch->m_recv.Taken());
  return s != pf::INVALID_SOCKET && pf::Send(s, buf, len) > 0;
}

void XMLRecvThread(StXMLChannel* ch) {
  if (ch->m_hSocket.load() == pf::INVALID_SOCKET) return;
  const StRecvState::Handler handler = [ch](std::vector<uint8_t>& f) { HandleXMLFrame(ch, f); };
  int pauses = 0;
  while (!ch->m_bClosing.load()) {
    if (ch->m_bConnected.load()) {
      const pf::SOCKET s = ch->m_hSocket.load();
      if (!pf::WaitReadableUntil(s, ch->m_recv.DeadlineMs())) {
        ch->m_recv.Expire(pf::MonotonicMs(), handler);
        continue;
      }
      const int n = pf::Recv(s, ch->m_recv.RecvPtr(), ch->m_recv.RecvSpace());
      if (ch->m_bClosing.load()) break;
      if (n > 0) {
        ch->m_recv.Feed(static_cast<size_t>(n), handler, pf::MonotonicMs());
        continue;
      }
      WriteLog("XML连接网络异常");
      LogSocketError();
      ch->m_bConnected.store(0);
      pauses = 0;
      continue;
    }
    ch->m_evWake.Wait(g_reconnectStepMs.load());
    if (ch->m_bClosing.load() || ++pauses < kReconnectPauses) continue;
    WriteLog("XML端口重连");
    pauses = 0;
    CloseChannelSocket(ch);
    // A stop does not wait for the connect to give up.
    const pf::SOCKET s = CreateSocket(ch->m_port, ch->m_ip, false, &ch->m_bClosing);
    if (s == pf::INVALID_SOCKET) continue;
    pf::Lock lk(ch->m_csSocket);
    ch->m_hSocket.store(s);
    ch->m_recv.Clear();
    ch->m_bConnected.store(1);
  }
  CloseChannelSocket(ch);
}

void HandleXMLFrame(StXMLChannel* ch, std::vector<uint8_t>& frame) {
  std::lock_guard<std::mutex> outcome(ch->m_outcomeLock);
  // A frame that began before the latest request answers none of it; that
  // holds item by item, since an item may send the next request: the items
  // after it came with it, before that request went out.
  const uint64_t start = ch->m_recv.FrameStart();
  ItemWalker walk(frame.data(), frame.size());
  ItemView it;
  while (!ch->m_bClosing.load() && start >= ch->m_sentAt.load() && walk.Next(&it)) {
    if (it.head.status != 0) continue;
    const uint32_t len = it.head.length;
    switch (it.head.code) {
      case kXmlVersion: {
        // Only the answer to this call's version request (the algorithm
        // channel sends none).
        if (ch->m_awaited != kXmlVersion) break;
        ch->m_awaited = 0;
        const std::string v = pf::TrimBlank(std::string(reinterpret_cast<const char*>(it.data),
                                               strnlen(reinterpret_cast<const char*>(it.data), len))) +
                              ".ext";
        ch->m_workingVersion = ch->m_requestedVersion = v;
        WriteLogF("获取设备XML版本%s", v.c_str());
        if (ListedFiles(v) > kMaxListedFiles) {
          // More files than a call can list: nothing is fetched, and the
          // call refuses the version.
          ch->m_workingVersion.clear();
          SignalDone(ch);
        } else if (CheckXMLCache(v) == 0) {
          WriteLogF("此版本%s文件存在", v.c_str());
          LoadCachedXML(ch);
        } else {
          ch->m_fileIds[0] = ch->m_fileIds[1] = 0;
          RequestFileInfo(ch, 0, 0);
        }
        break;
      }
      case kXmlFileInfo:
      case kXmlAlgFile: {
        // One answer per request: the first of a frame of many is the one.
        if (len < kFileInfoSize || ch->m_awaited != kXmlFileInfo) break;
        ch->m_awaited = 0;
        ReleaseFileBuffer(ch);
        ch->m_received = ch->m_nextBlock = 0;
        memcpy(ch->m_fileInfo, it.data, kFileInfoSize);
        ch->m_fileSize = kit::ReadLE32(ch->m_fileInfo + 64);
        // A size the channel cannot hold stalls the transfer until the
        // time-out. The buffer grows only as blocks come.
        ch->m_hasFile = ch->m_fileSize > 0 && ch->m_fileSize <= kMaxFileSize;
        SendBlockRequest(ch, 0);
        break;
      }
      case kXmlBlock: {
        if (!ch->m_hasFile || len < 16) break;
        const uint32_t index = kit::ReadLE32(it.data);
        const uint32_t n = kit::ReadLE32(it.data + 8);
        if (index != ch->m_nextBlock) break;  // a stray block is dropped
        // Blocks must lie within their item and within the announced size.
        if (n > len - 16 || n > ch->m_fileSize - ch->m_received) break;
        if (!AppendBlock(ch, it.data + 16, n)) {
          // No memory for it: the transfer stalls until the time-out.
          ch->m_hasFile = false;
          ReleaseFileBuffer(ch);
          break;
        }
        ++ch->m_nextBlock;
        if (ch->m_nextBlock == kit::ReadLE32(ch->m_fileInfo + 72)) {
          ch->m_hasFile = false;  // complete: later blocks belong to no file
          SendRequest(ch, kXmlDone, nullptr, 0);
          StoreXMLFile(ch);
        } else {
          SendBlockRequest(ch, ch->m_nextBlock);
        }
        break;
      }
      default:
        break;
    }
  }
}

int CheckXMLCache(const std::string& ns) {
  const std::string key = XMLNamespaceKey(ns);
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csXML);
  auto it = g.m_mapXML.find(key);
  if (it == g.m_mapXML.end()) return 1;
  if (it->second && pf::PathExists(it->second->path)) return 0;
  g.m_mapXML.erase(it);
  return 1;
}

namespace {

// Adds "path;namespace" to the index unless an entry already says so.
void AddIndexEntry(const std::string& path, const std::string& ns) {
  const std::string index = XMLIndexPath();
  const std::string entry = path + ";" + ns;
  for (const int i : XMLIndexEntries(index))
    if (pf::GetProfileString("info" + std::to_string(i), "info", "", index, kIndexEntrySize) == entry) return;
  const long long count = pf::GetProfileInt("INFO", "count", 0, index);
  pf::WriteProfileString("info" + std::to_string(count + 1), "info", entry, index);
  pf::WriteProfileString("INFO", "count", std::to_string(count + 1), index);
}

}  // namespace

// Runs on the receive thread, under the channel's outcome lock (from
// HandleXMLFrame).
void StoreXMLFile(StXMLChannel* ch) {
  CForGlobal& g = Global();
  if (ch->m_bAlgMode) {
    if (WriteWholeFile(ch->m_targetPath, ch->m_fileBuffer.data(), ch->m_fileBuffer.size(), false)) SignalDone(ch);
    ReleaseFileBuffer(ch);
    return;
  }
  const bool mainFile = ch->m_fileIds[0] == 0 && ch->m_fileIds[1] == 0;
  std::string ns, path;
  if (mainFile) {
    const uint32_t seq = g.m_nMainXMLSeq.fetch_add(1);
    path = g.m_strModulePath + "XML/" + RemoveAll(AnnouncedName(ch), ".xml") + std::to_string(seq) + ".xml";
    ns = ch->m_requestedVersion;
  } else {
    char ids[17];
    snprintf(ids, sizeof ids, "%08X%08X", ch->m_fileIds[0], ch->m_fileIds[1]);
    ns = ids;
    path = XMLFilePath(ns);
  }
  CheckXMLCache(ns);
  // A file already there is kept, and its present contents are what is read.
  const bool present = pf::PathExists(path);
  std::string bytes;
  if (present)
    ReadRegularFile(path, &bytes);
  else
    bytes.assign(ch->m_fileBuffer.begin(), ch->m_fileBuffer.end());
  ReleaseFileBuffer(ch);
  auto rec = std::make_shared<StXMLNamespace>(ns, path);
  XMLParse how = XMLParse::kMalformed;
  const bool read = ReadAside(ch, [&] { return ReadNamespaceXML(*rec, bytes, &how); });
  if (ch->m_bClosing.load()) return;  // the call has ended: nothing of it is kept
  // A description refused for its shape is neither stored nor indexed; one
  // that merely does not parse is stored, as it came, but not cached.
  if (how != XMLParse::kRefused) {
    if (!present) WriteWholeFile(path, bytes.data(), bytes.size(), true);
    if (mainFile) AddIndexEntry(path, ns);
    if (read) {
      WriteLogF("存储xml文件%s，并加入列表,命名空间%s", path.c_str(), ns.c_str());
      InsertXMLNamespace(ns, std::move(rec));
    }
  }
  if (ch->m_workingVersion.size() < 9)
    SignalDone(ch);
  else
    LoadCachedXML(ch);
}

// Runs on the receive thread, under the channel's outcome lock.
bool LoadCachedXML(StXMLChannel* ch) {
  // The walk takes pieces until one is missing on disk (it is fetched) or is
  // no file id (the walk ends); the pieces found on disk are then loaded, the
  // last found first, and then a walk that has ended wakes the call. A loop,
  // not a call per piece: the version text comes from the camera and may
  // hold any number of pieces.
  std::vector<std::pair<std::string, std::string>> found;  // piece, file
  bool walked = false, ended = false;
  for (;;) {
    std::string piece;
    const size_t dot = ch->m_workingVersion.find('.');
    if (dot == std::string::npos) {
      piece = ch->m_workingVersion;
      ch->m_workingVersion.clear();
    } else {
      piece = ch->m_workingVersion.substr(0, dot);
      ch->m_workingVersion.erase(0, dot + 1);
    }
    // Only a piece of 16 hexadecimal digits names an extension file (two
    // 8-digit ids); any other piece ends the walk.
    std::string id;
    if (!ExtensionFileId(piece, &id)) {
      ended = true;
      break;
    }
    walked = true;
    std::string file = XMLFilePath(id);
    if (!pf::PathExists(file)) {
      ch->m_fileIds[0] = static_cast<uint32_t>(strtoul(id.substr(0, 8).c_str(), nullptr, 16));
      ch->m_fileIds[1] = static_cast<uint32_t>(strtoul(id.substr(8, 8).c_str(), nullptr, 16));
      RequestFileInfo(ch, ch->m_fileIds[0], ch->m_fileIds[1]);
      break;
    }
    found.emplace_back(std::move(id), std::move(file));
  }
  for (auto it = found.rbegin(); it != found.rend(); ++it) {
    const std::string& id = it->first;
    const std::string& file = it->second;
    WriteLogF("xml文件%s存在", file.c_str());
    if (FindXMLNamespace(id)) continue;
    WriteLogF("命名空间%s没有加入队列中，重新加入", id.c_str());
    auto rec = std::make_shared<StXMLNamespace>(id, file);
    const bool read = ReadAside(ch, [&] { return LoadNamespaceXML(*rec); });
    if (ch->m_bClosing.load()) return walked;
    if (read) {
      WriteLogF("存储xml文件%s，并加入列表,命名空间%s", file.c_str(), id.c_str());
      InsertXMLNamespace(id, std::move(rec));
    }
  }
  if (ended) SignalDone(ch);
  return walked;
}

void test::SetXMLReconnectStepMs(int ms) { g_reconnectStepMs.store(ms); }

void test::SetXMLRequestHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lk(g_hookLock);
  g_requestHook = std::move(hook);
}

void test::SetXMLReadHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lk(g_hookLock);
  g_readHook = std::move(hook);
}

size_t test::RetiredXMLChannels() {
  std::lock_guard<std::mutex> lk(g_retiredLock);
  return g_retired.size();
}

void WakeFileDownloads() {
  CForGlobal& g = Global();
  g.m_evXMLFile.Set();
  g.m_evAlgFile.Set();
}

void FreeXMLChannel() {
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csXMLCall);
  FreeChannel(g.m_pParseXML);
  ReapRetired(true);
}

}  // namespace qelm

using namespace qelm;

extern "C" {

QELM_API int QELM_CALL Qelm_GetXMLFileInfo(StCameraHandle* handle, int* count, char** paths,
                                           uint32_t timeoutMs) {
  CForGlobal& g = Global();
  pf::Lock call(g.m_csXMLCall);
  // The connection, the wait and the stop all end by the caller's time-out.
  const int64_t deadline = pf::MonotonicMs() + timeoutMs;
  const QuitWatch quit;
  ReapRetired(false);
  StopOrRetire(g.m_pParseXML);  // an earlier call's channel, if its thread is still busy
  kit::DeleteFolderTree(g.m_strModulePath + "XML");
  kit::CreateFolderPath(g.m_strModulePath + "XML/");
  if (count) *count = 0;
  if (!handle || !paths || !count) {
    WriteLog("Qelm_GetXMLFileInfo 参数错误");
    return 1;
  }
  uint32_t ip = 0;
  {
    pf::Lock lk(g.m_csCamera);
    if (std::find(g.m_listCamera.begin(), g.m_listCamera.end(), handle) == g.m_listCamera.end()) {
      WriteLog("Qelm_GetXMLFileInfo 没有找到设备");
      return 7;
    }
    ip = handle->m_ip;
  }
  const pf::SOCKET s = CreateSocket(kXmlPort, ip, false, nullptr, ConnectLimit(deadline));
  if (s == pf::INVALID_SOCKET) {
    WriteLog("Qelm_GetXMLFileInfo socket句柄为NULL");
    return 2;
  }
  if (!g.m_pParseXML) g.m_pParseXML = NewChannel();
  StXMLChannel* ch = g.m_pParseXML;
  if (!ch) {
    pf::CloseSocket(s);
    WriteLog("Qelm_GetXMLFileInfo m_pParseXML为NULL");
    return 10;
  }
  ch->m_requestedVersion.clear();
  g.m_evXMLFile.Reset();  // a signal left by an earlier call must not end this one
  if (!StartChannel(ch, s, ip, kXmlPort, 0)) {
    WriteLog("获取XML信息时，生成XML线程失败");
    LogSystemError();
    FreeChannel(g.m_pParseXML);
    return 11;
  }
  uint8_t ids[8] = {};
  uint8_t buf[kMinFrame + StCommandItem::kSize + sizeof ids];
  BeforeRequest();
  if (!SendXMLFrame(ch, buf, BuildXMLRequest(sizeof ids, ids, buf, kXmlVersion))) {
    StopOrRetire(g.m_pParseXML);
    WriteLog("获取XML信息时，读取XML版本失败");
    return 12;
  }
  const bool done = WaitUnlessQuit(g.m_evXMLFile, Remaining(deadline), quit);
  // A thread still reading a description is not waited for: its channel is
  // retired, and may be freed by the algorithm export's next call as soon as
  // that thread has ended, so what the call needs of it is taken first.
  const bool stopped = StopChannel(ch);
  const std::string version = ch->m_requestedVersion;
  if (!stopped) Retire(g.m_pParseXML);
  if (!done) {
    WriteLog("获取XML信息时，超时");
    return 209;
  }
  XMLNamespacePtr rec = FindXMLNamespace(version);
  if (!rec) return 209;
  // The caller's room: at most QELM_XML_FILES_MAX paths of QELM_XML_PATH_SIZE
  // bytes. A version that names more files, or a path that does not fit, is
  // refused before any path is written.
  if (ListedFiles(rec->name) > kMaxListedFiles) return 209;
  std::vector<std::string> list{rec->path};
  for (const std::string& piece : NamespacePieces(rec->name)) {
    std::string id;
    if (!ExtensionFileId(piece, &id)) return 209;  // names no file: as a missing one
    const std::string file = XMLFilePath(id);
    if (!FindXMLNamespace(id)) WriteLogF("命名空间%s没有加入队列中", id.c_str());
    WriteLogF("获取XML文件%s，命名空间%s", file.c_str(), id.c_str());
    if (!pf::PathExists(file)) return 209;
    list.push_back(file);
  }
  for (const std::string& p : list)
    if (p.size() >= QELM_XML_PATH_SIZE) return 209;
  for (size_t i = 0; i < list.size(); ++i) memcpy(paths[i], list[i].c_str(), list[i].size() + 1);
  *count = static_cast<int>(list.size());
  return 0;
}

QELM_API int QELM_CALL Qelm_GetAlgFile(uint32_t ip, const char* name, const char* path, uint32_t timeoutMs) {
  if (ip == 0 || !name || !path) return 1;
  CForGlobal& g = Global();
  pf::Lock call(g.m_csAlgCall);
  const int64_t deadline = pf::MonotonicMs() + timeoutMs;
  const QuitWatch quit;
  ReapRetired(false);
  StopOrRetire(g.m_pParseAlg);
  if (!g.m_pParseAlg) g.m_pParseAlg = NewChannel();
  StXMLChannel* ch = g.m_pParseAlg;
  if (!ch) {
    WriteLog("CForGlobal::m_pParseAlg分配内存失败");
    return 158;
  }
  const pf::SOCKET s = CreateSocket(kAlgPort, ip, false, nullptr, ConnectLimit(deadline));
  if (s == pf::INVALID_SOCKET) {
    WriteLog("Qelm_GetAlgFile socket句柄为NULL");
    return 2;
  }
  g.m_evAlgFile.Reset();
  ch->m_targetPath = path;
  if (!StartChannel(ch, s, ip, kAlgPort, 1)) {
    WriteLog("获取算法文件信息时，生成线程失败");
    LogSystemError();
    FreeChannel(g.m_pParseAlg);
    return 11;
  }
  const size_t n = strlen(name);
  std::vector<uint8_t> buf(kMinFrame + StCommandItem::kSize + n);
  BeforeRequest();
  if (!SendXMLFrame(ch, buf.data(), BuildXMLRequest(static_cast<uint32_t>(n), name, buf.data(), kXmlAlgFile))) {
    WriteLog("读取算法文件失败");
    FreeChannel(g.m_pParseAlg);
    return 159;
  }
  const bool done = WaitUnlessQuit(g.m_evAlgFile, Remaining(deadline), quit);
  StopOrRetire(g.m_pParseAlg);
  if (done) return 0;
  WriteLog("获取算法文件，超时");
  FreeChannel(g.m_pParseAlg);
  return 209;
}

}  // extern "C"

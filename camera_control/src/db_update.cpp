// Database file update: the file is sent whole, as one transfer item, over the
// camera's control port, when the camera holds the same database or none.
#include <cstring>

#include "bytes.h"
#include "context.h"
#include "errors.h"
#include "log.h"
#include "sockets.h"
#include "update.h"

namespace qelm {

namespace {

constexpr size_t kDbHeaderSize = 96;
constexpr size_t kDbNameAt = 20;
constexpr size_t kDbQuerySize = 64;
constexpr long kDbAnswerWaitMs = 2000;
static_assert(sizeof(StUpdateSession::m_dbHeader) == kDbHeaderSize, "database header copy");
static_assert(kDbNameAt + kDbQuerySize <= kDbHeaderSize, "the query lies within the header");

bool SameTextNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
    if (x == 0) return true;
  }
}

}  // namespace

// The camera's answer has the header's layout: identity words 0 and 1, word 2,
// the name text from byte 20. Three zero words mean it holds no database.
bool DatabaseAnswerAccepted(const StUpdateSession* s) {
  const auto* answer = reinterpret_cast<const uint8_t*>(s->m_szVersion);
  const uint32_t w0 = kit::ReadLE32(answer), w1 = kit::ReadLE32(answer + 4), w2 = kit::ReadLE32(answer + 8);
  if (w0 == 0 && w1 == 0 && w2 == 0) return true;
  char name[kVersionTextSize - kDbNameAt];
  kit::CopyTextField(name, sizeof name, answer + kDbNameAt, sizeof name);
  return w0 == kit::ReadLE32(s->m_dbHeader) && w1 == kit::ReadLE32(s->m_dbHeader + 4) &&
         SameTextNoCase(name, reinterpret_cast<const char*>(s->m_dbHeader + kDbNameAt));
}

bool LoadDBFileBytes(StUpdateSession* s, const uint8_t* file, size_t size, uint32_t blockSize) {
  s->m_items.clear();
  memset(s->m_dbHeader, 0, sizeof s->m_dbHeader);
  s->m_nBlockSize = blockSize;
  s->m_nCurrent = 0;
  s->m_nState = kStateIdle;
  // The header must be whole and its name text must end within it.
  if (!file || size < kDbHeaderSize || size > UINT32_MAX || !memchr(file + kDbNameAt, 0, kDbHeaderSize - kDbNameAt))
    return false;
  memcpy(s->m_dbHeader, file, kDbHeaderSize);
  s->m_items.push_back(MakeTransferItem(reinterpret_cast<const char*>(s->m_dbHeader + kDbNameAt), 0, file,
                                        static_cast<uint32_t>(size), blockSize));
  return true;
}

bool LoadDBFileData(const char* path, uint32_t blockSize) {
  std::vector<uint8_t> file;
  const bool read = ReadWholeFile(path, &file);
  // A file that cannot be read lets the earlier one go all the same.
  return LoadDBFileBytes(&Global().m_updateDB, file.data(), read ? file.size() : 0, blockSize) && read;
}

}  // namespace qelm

using namespace qelm;

extern "C" {

QELM_API int QELM_CALL Qelm_LoadDBFile(const char* path, uint32_t blockSize) {
  if (!path || !ValidBlockSize(blockSize)) return ERR_PARAM;
  StUpdateSession* s = &Global().m_updateDB;
  pf::Lock call(s->m_csCall);
  pf::Lock lk(s->m_cs);
  return LoadDBFileData(path, blockSize) ? 0 : ERR_DB_LOAD;
}

QELM_API int QELM_CALL Qelm_UpdateDBData(uint32_t ip, uint32_t /*reserved*/, void* user,
                                         UpdateProgressCallback callback) {
  if (ip == 0) return ERR_PARAM;
  CForGlobal& g = Global();
  StUpdateSession* s = &g.m_updateDB;
  pf::Lock call(s->m_csCall);
  const QuitWatch quit;
  {
    pf::Lock lk(s->m_cs);
    if (s->m_items.empty() || s->m_items[0].name[0] == 0) return ERR_DB_NONE;
  }
  StopUpdateConnection(s);
  if (const int rc = ConnectUpdateSession(s, ip, user, callback)) return rc;
  bool sent;
  {
    pf::Lock lk(s->m_cs);
    // Every camera gets the whole file, from its first block.
    StTransferItem& item = s->m_items[0];
    item.blocksSent = 0;
    item.remaining = item.totalSize;
    s->m_nCurrent = 0;
    s->m_nState = kStateIdle;
    const size_t len = BuildUpdateFrame(s, kDbQuery, kDatabaseClass, s->m_dbHeader + kDbNameAt, kDbQuerySize);
    s->m_bVersionWait = true;
    s->m_evUpdate.Reset();  // only the answer to this query ends the wait
    sent = SendUpdateFrame(s, len);
    if (!sent) s->m_bVersionWait = false;
  }
  if (!sent) {
    StopUpdateConnection(s);
    return ERR_SEND;
  }
  const bool answered = WaitUnlessQuit(s->m_evUpdate, kDbAnswerWaitMs, quit);
  int rc;
  {
    pf::Lock lk(s->m_cs);
    s->m_bVersionWait = false;
    if (!answered)
      rc = ERR_TIMEOUT;
    else if (!DatabaseAnswerAccepted(s))
      rc = ERR_DB_MISMATCH;
    else
      rc = SendUpdateItemHead(s, kDbItemHead, kDatabaseClass) ? 0 : ERR_SEND_FILE_INFO;
  }
  if (rc == 0) return 0;
  StopUpdateConnection(s);
  return rc;
}

}  // extern "C"

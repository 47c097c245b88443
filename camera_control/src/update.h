// Firmware and database transfers: the update package reader, the transfer
// items and their checksummed blocks, and the session that sends them to one
// device, driven by the device's replies on the session's receive thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Qelm_Control.h"
#include "frame.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace qelm {

constexpr uint32_t kPackageMagic = 0x4450557F;
constexpr uint32_t kKindProgramPackage = 0x41504B7F;  // a program file and its description file
constexpr uint32_t kKindWholePart = 0x44504B7F;       // the whole part is one item
constexpr uint32_t kKindProgramFile = 0x4652437F;
constexpr uint32_t kKindDescriptionFile = 0x4C4E4B7F;

constexpr uint16_t kFirmwarePort = 58022;
constexpr uint16_t kDatabasePort = 58000;
constexpr uint32_t kFirmwareClass = 16;
constexpr uint32_t kDatabaseClass = 2;

enum : uint32_t {
  kUpdItemHead = 0x10201,
  kUpdBlock = 0x10202,
  kUpdItemEnd = 0x10203,
  kUpdDescriptionCommit = 0x10204,
  kUpdProgramCommit = 0x10205,
  kUpdFinish = 0x10207,
  kUpdVersion = 0x10209,
  kDbItemHead = 0x10401,
  kDbBlock = 0x10402,
  kDbItemEnd = 0x10403,
  kDbQuery = 0x1040A,
};

enum TransferState : uint32_t {
  kStateIdle = 0,
  kStateHeadSent = 1,
  kStateBlockSent = 2,
  kStateEndSent = 3,
  kStateCommitted = 4,
  kStateFirmwareDone = 5,
  kStateDatabaseDone = 6,
};

enum ProgressResult : uint32_t {
  kProgressOk = 0,
  kProgressLinkLost = 1,
  kProgressBadReply = 2,
  kProgressSendFailed = 3,
};

constexpr size_t kVersionTextSize = QELM_UPDATE_TEXT_SIZE;
constexpr size_t kSendBufferSize = 1024000;
constexpr size_t kBlockDataHead = 16;  // index, offset, length, checksum
// Largest block whose frame fits the send buffer (a multiple of 4).
constexpr uint32_t kMaxBlockSize =
    static_cast<uint32_t>(kSendBufferSize - kMinFrame - StCommandItem::kSize - kBlockDataHead);
static_assert(kMaxBlockSize % 4 == 0, "a largest block needs no padding");

// Package head and part entry layout.
constexpr size_t kPkgPartCountAt = 12, kPkgTextOffsetAt = 24, kPkgTextSizeAt = 28, kPkgEntriesAt = 32;
constexpr size_t kPkgEntrySize = 72, kPkgEntryNameSize = 64;
// Fields of a part, from the part's start.
constexpr size_t kPartDescOffsetAt = 24;
constexpr size_t kPartFirstOffsetAt = 32, kPartFirstSizeAt = 36;    // description file / name text
constexpr size_t kPartSecondOffsetAt = 48, kPartSecondSizeAt = 52;  // program file / item data
constexpr size_t kPartFieldsEnd = 56;
// The part's description header.
constexpr size_t kDescValueAt = 2, kDescText1At = 4, kDescText2At = 36, kDescText3At = 68;
constexpr size_t kDescHeaderSize = kDescText3At + 256;

// A part of the loaded package. Its bytes are those of the package file,
// which the session keeps once (parts may overlap in a file, and a copy for
// each would let a small file ask for any amount of memory).
struct StUpdatePart {
  uint32_t id = 0;
  uint32_t kind = 0;
  uint32_t size = 0;  // bytes at data
  char name[128] = {};
  const uint8_t* data = nullptr;
};

constexpr size_t kItemNameSize = 64;
constexpr size_t kItemHeadSize = kItemNameSize + 16;  // what the item head frame carries
static_assert(kItemHeadSize == 80, "the item head is 80 bytes");

struct StTransferItem {
  char name[kItemNameSize] = {};
  uint32_t totalSize = 0;
  uint32_t blockSize = 0;
  uint32_t blockCount = 0;
  uint32_t checksum = 0;
  uint32_t kind = 0;
  uint32_t blocksSent = 0;
  uint32_t remaining = 0;
  std::vector<uint8_t> data;  // totalSize bytes, zero-padded to a multiple of 4

  // The 80-byte head as sent: name, total size, block size, block count, checksum.
  void WriteHead(uint8_t* out) const;
};

// The firmware session (TCP 58022) and the database session (TCP 58000).
//
// Locks: m_csCall serialises the exports that use a session (and shut-down);
// m_cs guards the transfer state, taken by the exports for each step and by the
// receive thread for each frame; m_csSocket guards only the socket field, so
// that a stop can wake a thread blocked in a send or receive.
struct StUpdateSession {
  explicit StUpdateSession(uint16_t port);

  pf::CriticalSection m_csCall;
  pf::CriticalSection m_cs;

  std::vector<StUpdateFileInfo> m_infos;
  std::vector<uint8_t> m_package;  // the loaded package file, which the parts point into
  std::map<uint32_t, StUpdatePart> m_parts;
  std::vector<char> m_description;
  std::vector<StTransferItem> m_items;
  uint32_t m_nCurrent = 0;
  uint32_t m_nState = kStateIdle;
  uint32_t m_nBlockSize = 0;
  uint8_t m_dbHeader[96] = {};  // header copy of the loaded database file

  uint32_t m_ip = 0;
  pf::CriticalSection m_csSocket;
  std::atomic<pf::SOCKET> m_hSocket{pf::INVALID_SOCKET};
  const uint16_t m_port;  // 58022 firmware, 58000 database
  uint32_t m_nSequence = 0;
  bool m_bVersionWait = false;
  bool m_bProgressActive = false;
  char m_szVersion[kVersionTextSize] = {};
  StRecvState m_recv{kUpdateLimits};
  std::vector<uint8_t> m_sendBuffer;
  void* m_user = nullptr;
  UpdateProgressCallback m_pfnCallback = nullptr;

  // The reply a waiting export asked for (version text or database answer).
  pf::AutoResetEvent m_evUpdate;
  // Cuts the receive thread's pause short when the session is stopped.
  pf::AutoResetEvent m_evWake;
  std::atomic<bool> m_bStop{false};
  pf::Thread m_thread;

  bool IsDatabase() const { return m_port == kDatabasePort; }
};

// 32-bit sum of the data read as little-endian words, zero-padded to a multiple of 4.
uint32_t TransferChecksum(const uint8_t* data, size_t n);
// Item of `n` bytes cut into blocks of `blockSize`.
StTransferItem MakeTransferItem(const char* name, uint32_t kind, const uint8_t* data, uint32_t n,
                                uint32_t blockSize);
bool ValidBlockSize(uint32_t blockSize);
// Reads a file whole (binary); false when it cannot be opened or read.
bool ReadWholeFile(const char* path, std::vector<uint8_t>* out);

// Package reader on the firmware session: 0, 150 or 151.
int LoadUpdatePackage(StUpdateSession* s, const char* path);
// The same from the file's bytes, which the session keeps: 0, 151 (a wrong
// magic, no parts, or a part, its description header or the description text
// outside the file) or 150 (no memory for what the file describes).
int ParseUpdatePackage(StUpdateSession* s, std::vector<uint8_t> file);
// Frees the loaded package and the transfer list.
void EmptySession(StUpdateSession* s);
// Builds the transfer list from the requested parts: 0, or 152 (a part that
// is not loaded, or whose data or name text lies outside it).
int StartUpdate(uint32_t partCount, const uint32_t* partIds, uint32_t blockSize, StUpdateSession* s);

// One-item frame in the session's send buffer (its sequence is the counter
// incremented); returns its length.
size_t BuildUpdateFrame(StUpdateSession* s, uint32_t code, uint32_t cls, const void* data, uint32_t n);
bool SendUpdateItemHead(StUpdateSession* s, uint32_t code, uint32_t cls);
bool SendTransferBlock(StUpdateSession* s, bool first, uint32_t code, uint32_t cls);
void UpdateRecvThread(StUpdateSession* s, pf::SOCKET sock);
void HandleUpdateFrame(StUpdateSession* s, const std::vector<uint8_t>& frame);
void HandleUpdateItem(StUpdateSession* s, const ItemView& item);
void PostUpdateProgress(StUpdateSession* s, uint32_t result, bool database);

// The record a progress message carries, as PostUpdateProgress fills it.
void FillProgress(const StUpdateSession* s, uint32_t result, uint32_t* words);

// Connection steps shared by the two transfers (with m_csCall held).
// Stops the receive thread (stop, wake, join) and closes the connection.
void StopUpdateConnection(StUpdateSession* s);
// Connects to ip on the session's port, stores the caller's user value and
// callback, and starts the receive thread: 0, 2 (no connection) or 3 (no
// thread; the connection is closed).
int ConnectUpdateSession(StUpdateSession* s, uint32_t ip, void* user, UpdateProgressCallback callback);
// Sends one frame on the session's connection (m_cs held).
bool SendUpdateFrame(StUpdateSession* s, size_t len);

// Database file reader on the database session.
bool LoadDBFileData(const char* path, uint32_t blockSize);
// The same from the file's bytes, on any session: false when the header is
// not whole or its name text does not end within it (nothing is then loaded).
bool LoadDBFileBytes(StUpdateSession* s, const uint8_t* file, size_t size, uint32_t blockSize);
// Whether the camera's answer to the database query (in the session's
// version text buffer) lets the loaded file go to it.
bool DatabaseAnswerAccepted(const StUpdateSession* s);

// Library shut-down: a version or database query that waits for the
// camera's answer ends as if none had come.
void WakeUpdateQueries();
// Stops both sessions' receive threads (library shut-down); the sessions and
// their loaded files stay.
void StopUpdateSessions();

namespace test {
// Pause between the last frame of a firmware transfer and its last progress
// (1000 ms unless a test shortens it).
void SetFinishPauseMs(int ms);
}  // namespace test

}  // namespace qelm

// The file channel: a camera's XML description files on TCP 58020 and named
// algorithm files on TCP 58022, fetched with class-16 frames in blocks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Qelm_Control.h"
#include "frame.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "xml_cache.h"

namespace qelm {

enum : uint32_t {
  kXmlVersion = 0x10101,
  kXmlFileInfo = 0x10103,
  kXmlBlock = 0x10104,
  kXmlDone = 0x10105,
  kXmlAlgFile = 0x10106,
};
constexpr uint16_t kXmlPort = 58020;
constexpr uint16_t kAlgPort = 58022;
constexpr size_t kFileInfoSize = 80;

struct StXMLChannel {
  uint32_t m_ip = 0;
  // The socket: replaced only by the receive thread (reconnection), which
  // also closes it. Senders hold m_csSend for the whole send, and the socket
  // is closed only under it; m_csSocket guards the value only, so that a
  // stop can shut the link down even while a send is blocked in it.
  pf::CriticalSection m_csSend;
  pf::CriticalSection m_csSocket;
  std::atomic<pf::SOCKET> m_hSocket{pf::INVALID_SOCKET};
  uint16_t m_port = kXmlPort;
  std::atomic<uint8_t> m_bConnected{0};
  std::atomic<uint8_t> m_bClosing{0};
  // What the receive thread makes of the replies (files and index entries
  // stored, descriptions cached, the call's event set) happens under this
  // lock, and only while the call has not stopped the channel; a stop sets
  // m_bClosing and then takes the lock once, so nothing happens after it.
  // Reading a description is the one long piece of work: it is done with
  // the lock let go and m_bBusy set, so that a stop need not wait for it (its
  // result is dropped when the channel was stopped meanwhile).
  std::mutex m_outcomeLock;
  bool m_bBusy = false;                 // under m_outcomeLock
  std::atomic<bool> m_bEnded{false};    // the receive thread has returned
  StRecvState m_recv{kXmlLimits};
  // Stream position when the latest request went out: requests go one at a
  // time, so a frame that began before it answers none of them, and once an
  // item of a frame has sent a request, the frame's later items answer
  // nothing either. A call starts the channel with none (UINT64_MAX) until
  // its first request.
  std::atomic<uint64_t> m_sentAt{0};
  std::string m_requestedVersion;
  uint8_t m_bAlgMode = 0;
  std::string m_targetPath;
  // The reply the channel waits for: the version (kXmlVersion), a file's
  // information (kXmlFileInfo, either information code) or none (0). Each is
  // taken once per request; any other reply of that kind is passed over.
  uint32_t m_awaited = 0;
  uint8_t m_fileInfo[kFileInfoSize] = {};
  // The file under way: it grows as its blocks arrive (never past the size
  // its information announced, nor to more than twice what has arrived).
  std::vector<uint8_t> m_fileBuffer;
  bool m_hasFile = false;
  uint32_t m_fileSize = 0;  // announced
  uint32_t m_received = 0;
  uint32_t m_nextBlock = 0;
  std::string m_workingVersion;
  uint32_t m_fileIds[2] = {0, 0};
  pf::AutoResetEvent m_evWake;  // cuts the reconnection pauses short
  pf::Thread m_thread;
};

// Largest file the channel accepts from a camera.
constexpr uint32_t kMaxFileSize = 64u << 20;

// Most files one call lists. A version is kept in the index entry of its main
// file, read back at start-up with kIndexEntrySize bytes: path, ';', then 17
// characters for each extension id (16 digits and a '.') and the final
// "ext". Even with a path of one character no more than 29 ids fit, so a
// version naming more files could not come back whole after a restart.
constexpr size_t kMaxListedFiles = QELM_XML_FILES_MAX;
static_assert(kMaxListedFiles == 1 + (kIndexEntrySize - 1 - 1 - 1 - 3) / 17,
              "the main file and the extension ids that fit one index entry");
// A listed path, with its terminator, fits the caller's buffer; a main file's
// path longer than an index entry could not be read back either.
static_assert(QELM_XML_PATH_SIZE == kIndexEntrySize, "a path fits an index entry");

size_t BuildXMLRequest(uint32_t n, const void* data, uint8_t* buf, uint32_t code);
bool SendXMLFrame(StXMLChannel* ch, const uint8_t* buf, size_t len);
void XMLRecvThread(StXMLChannel* ch);
// The reassembly's handler: it reads the frame's stream position there.
void HandleXMLFrame(StXMLChannel* ch, std::vector<uint8_t>& frame);
// 0 when the namespace is cached with its file present, 1 otherwise (a
// cached record whose file is gone is dropped).
int CheckXMLCache(const std::string& ns);
void StoreXMLFile(StXMLChannel* ch);
bool LoadCachedXML(StXMLChannel* ch);

namespace test {
// Pause between two looks of a lost file channel link (200 ms; twelve of them
// before each reconnection attempt).
void SetXMLReconnectStepMs(int ms);
// Called by Qelm_GetXMLFileInfo and Qelm_GetAlgFile just before they send
// their request (the connection and the receive thread are up by then).
void SetXMLRequestHook(std::function<void()> hook);
// Called on a receive thread whenever it starts reading a description, with
// the channel's outcome lock let go (a test holds the thread busy there).
void SetXMLReadHook(std::function<void()> hook);
// Channels whose call has ended while their thread was still reading a
// description, not yet freed.
size_t RetiredXMLChannels();
}  // namespace test

}  // namespace qelm

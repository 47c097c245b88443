// Device handles on the control connection (TCP 58000), their receive threads
// and the library-wide heartbeat.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "Qelm_Control.h"
#include "frame.h"
#include "platform/net.h"
#include "platform/reply_signal.h"
#include "platform/sync.h"
#include "platform/thread.h"

// One device connection; the caller holds it as an opaque handle.
//
// Life: the handle is listed in m_listCamera while it is open. Whoever uses it
// outside the list lock holds a use (qelm::HandleUse); a close takes it out of
// the list, wakes everything that waits on it, joins its receive thread and
// waits for the last use before it frees it. A close made on a control
// receive thread (from a direct callback, or a server-made handle whose link
// is lost) does not join: the handle's own thread frees it when it leaves its
// loop.
//
// Socket: the receive thread owns the descriptor and is the only one to close
// it (when it reconnects or frees the handle). Senders hold m_sendLock for a
// whole frame, so frames never interleave and the descriptor stays open while
// they send; others that only shut the link down hold m_socketLock.
struct StCameraHandle {
  uint32_t m_ip = 0;
  std::atomic<pf::SOCKET> m_hSocket{pf::INVALID_SOCKET};
  uint16_t m_port = 58000;
  std::atomic<uint8_t> m_bConnected{0};
  std::atomic<uint8_t> m_bClosing{0};
  uint8_t m_bServerMade = 0;
  qelm::StRecvState m_recv{qelm::kControlLimits};

  // The reply slot of the request under way, under m_csHandle: the request
  // empties it and sets its sequence and the stream position it was sent at
  // before it sends; the receive thread fills it only with a frame that began
  // at or after that position and whose sequence echo equals that sequence. The
  // buffers of the reply, of the reassembly and of the last request's answer
  // take turns, so that a request allocates nothing once they have grown.
  std::mutex m_csHandle;
  uint32_t m_sequence = 0;
  bool m_bWaiting = false;
  uint64_t m_sentAt = 0;
  bool m_bHasReply = false;
  std::vector<uint8_t> m_reply;
  pf::ReplySignal m_evReply;
  pf::TimedMutex m_requestLock;  // one request at a time on this handle

  // 0 until a status report tells; 1 or 2 from a long status, 3 from a 560-byte one.
  std::atomic<uint32_t> m_deviceType{0};
  // Status callbacks of this handle (used only while no library-wide one is set).
  std::atomic<StatusCallback> m_pfnStatusLong{nullptr};
  std::atomic<StatusCallback> m_pfnStatusShort{nullptr};
  std::atomic<void*> m_pStatusUser{nullptr};
  void* m_pConnUser = nullptr;  // user value of connection events
  std::atomic<uint32_t> m_mode{1};

  pf::TimedMutex m_sendLock;
  std::mutex m_socketLock;

  // Uses outside the list lock; the closer waits under m_useLock until none is left.
  std::atomic<int> m_uses{0};
  std::mutex m_useLock;
  std::condition_variable m_useDone;
  std::atomic<bool> m_bFreeOnExit{false};

  pf::AutoResetEvent m_evStart;  // the thread starts its work once the handle is settled
  pf::AutoResetEvent m_evWake;   // ends the pauses between reconnection attempts
  pf::Thread m_thread;
};

namespace qelm {

constexpr uint16_t kControlPort = 58000;
constexpr uint32_t kCodeDeviceInfo = 0x20001;
constexpr uint32_t kCodeStatus = 0x10001;
constexpr uint32_t kCodeAlgResult = 0x707;

// True when `handle` is in the device list (looked up under m_csCamera).
bool IsListedHandle(const StCameraHandle* handle);

// Keeps a listed handle alive while it is used outside the list lock.
class HandleUse {
 public:
  explicit HandleUse(StCameraHandle* handle);  // empty when the handle is not listed
  ~HandleUse();
  HandleUse(const HandleUse&) = delete;
  HandleUse& operator=(const HandleUse&) = delete;
  explicit operator bool() const { return h_ != nullptr; }
  StCameraHandle* get() const { return h_; }

 private:
  StCameraHandle* h_;
};

// A handle for a connected socket (null when there is no memory).
StCameraHandle* NewHandle(pf::SOCKET s, uint32_t ip, bool serverMade, void* user);
// Starts the handle's receive thread, which waits until ReleaseHandle. False
// when it cannot start: the handle and its socket are then still the caller's.
bool StartHandleThread(StCameraHandle* h);
// Lists a launched handle and lets its thread run. With `refuseDuplicate`, a
// handle whose address is already listed is stopped and freed instead, and
// false returned.
bool ReleaseHandle(StCameraHandle* h, bool refuseDuplicate);
// Lists a launched server-made handle, announces it with event 4 (through the
// window, or directly on the calling thread), and only then lets its thread
// run, so that its loss (event 3, told by that thread) always comes after.
void ReleaseServerHandle(StCameraHandle* h);

// The one-item get of 0x20001 that opens a link and keeps it alive.
const std::vector<uint8_t>& DeviceInfoRequest();

// Sends `frame` on the handle's link and waits at most `timeoutMs` for the
// reply that answers it. The frame's sequence (head offset 16) is replaced by
// the handle's next sequence. Results: 0 with the whole reply frame in
// *reply; 1 bad argument; 7 the handle is not open, or was closed while
// waiting; 14 the link is down; 19 no socket; 17 the link broke while sending
// (a frame cut short breaks the link, which then reconnects); 209 no reply in
// time (also when the frame could not go out in time, and when the library's
// shut-down ended the request).
int SendRequestAndWait(StCameraHandle* handle, uint8_t* frame, size_t length, uint32_t timeoutMs,
                       std::vector<uint8_t>* reply);

// Receive side, on the handle's thread.
void ControlRecvThread(StCameraHandle* h);
// `start`: the stream position of the frame's first byte (StRecvState::FrameStart).
void HandleControlFrame(StCameraHandle* h, std::vector<uint8_t>& frame, uint64_t start);
void DispatchControlItem(StCameraHandle* h, const ItemView& item);

// Start-up and shut-down steps of the control connections.
void StartHeartbeat();
void StopHeartbeat();
void HeartbeatThread();
// Library shut-down: every request that waits for its reply ends at once
// with 209.
void WakeWaitingRequests();
void CloseAllCameraHandles();

namespace test {
// Pause between two looks of a lost link (200 ms; twelve of them before each
// reconnection attempt).
void SetReconnectStepMs(int ms);
// First heartbeat after start-up (3600 ms) and the period after it (3400 ms).
void SetHeartbeatTiming(int firstMs, int periodMs);
// Called by Qelm_OpenCamera between its connect and the listing of the handle.
void SetOpenHook(std::function<void()> hook);
}  // namespace test

}  // namespace qelm

// The device handle: one connection to a box, over TCP or a serial port, with
// its receive state, its waiting requests and its update state.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "PyrnBox.h"
#include "frame.h"
#include "platform/net.h"
#include "platform/reply_signal.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace pyrn {

// One waiting request: the sequence it waits for and the reply, once one
// came. Every request has its own, so a reply completes only its request.
// The device links the slots of its waiting requests (no allocation).
struct ReplySlot {
  uint16_t seq = 0;
  // The bytes the link had taken when the request went out: a frame among
  // them cannot be its reply (bytes held by a bad head are parsed again
  // seconds later).
  uint64_t sentAt = 0;
  bool filled = false;  // under the device lock
  std::vector<uint8_t> frame;
  pf::ReplySignal ev;
  ReplySlot* next = nullptr;  // under the device lock
};

struct UpdateImage;

}  // namespace pyrn

struct CBoxDevice : std::enable_shared_from_this<CBoxDevice> {
  CBoxDevice();
  ~CBoxDevice();
  CBoxDevice(const CBoxDevice&) = delete;
  CBoxDevice& operator=(const CBoxDevice&) = delete;

  uint32_t m_dwIP = 0;
  char m_szIP[16] = {};
  uint16_t m_wPort = 0;

  // The TCP socket that sends use; -1 while there is none. The receive thread
  // owns the descriptor and closes it; others only shut it down, under
  // m_csSocket, so no send ever reaches a closed descriptor.
  std::atomic<pf::SOCKET> m_hSocket{pf::INVALID_SOCKET};
  std::atomic<pf::SOCKET> m_hPending{pf::INVALID_SOCKET};  // socket of a reconnection
  pf::CriticalSection m_csSocket;
  std::atomic<uint8_t> m_bConnected{0};
  std::atomic<uint8_t> m_bStop{0};

  // Held by the heartbeat while it handles this device (its send and the
  // status callback), so that a device being stopped waits it out.
  pf::CriticalSection m_csHeart;

  std::atomic<int64_t> m_tLastRecv{0};
  std::atomic<int64_t> m_tLastBeat{0};
  std::atomic<uint32_t> m_nUnanswered{0};
  std::atomic<uint8_t> m_bLost{0};
  std::atomic<uint16_t> m_wSeq{0};
  std::atomic<uint32_t> m_nDropCount{0};
  std::atomic<uint32_t> m_nReconnectCount{0};
  std::atomic<uint32_t> m_nBoxKind{0};

  // Reassembly of received bytes; used only by the thread that receives
  // (any thread may ask how many it has taken).
  pyrn::CBoxParser m_parser;

  // Firmware update, under m_csUpdate.
  pf::CriticalSection m_csUpdate;
  PyrnUpdateProgressCallback m_pfnUpdate = nullptr;
  uint32_t m_nBlocksSent = 0;
  uint8_t m_bUpdating = 0;
  int m_nUpdateState = -1;
  // The bytes the link had taken when the last update frame went out: an
  // acknowledgement among them answers an earlier one.
  uint64_t m_nUpdateSentAt = 0;
  std::shared_ptr<const pyrn::UpdateImage> m_pImage;  // the image being sent

  std::atomic<uint8_t> m_bTcp{1};
  pf::CSerialPort m_serial;

  // Waiting requests and the link handshake, under the device lock.
  pf::CriticalSection m_csDevice;
  pyrn::ReplySlot* m_slots = nullptr;
  bool m_bLinkWaiting = false;
  bool m_bLinkGot = false;
  uint8_t m_linkInfo[40] = {};
  pf::AutoResetEvent m_evLink;

  // Wakes the receive thread from its pauses.
  pf::AutoResetEvent m_evWake;
  pf::AutoResetEvent m_evPause;  // never set but by disconnection
  pf::Thread m_recvThread;
  std::atomic<std::thread::id> m_recvThreadId{};

  bool Connected() const;
  // Offers a frame to the waiting requests: it fills the one slot that waits
  // for its sequence, once, if its bytes arrived after that request went
  // out; anything else is dropped.
  void DeliverReply(const pyrn::FrameView& f);
  // Hands received bytes to the parser and every complete frame to the
  // dispatcher, until the device is stopped (a callback may disconnect it).
  void ReceiveBytes(const uint8_t* data, size_t n);
  void ParseReceived(size_t n);
  // Drops a frame whose time is up (the good frames among its bytes are
  // dispatched). The milliseconds until the deadline of the frame still under
  // way, or -1 when none is.
  int ExpireFrame();
  // The next request sequence; 0 is never used (heartbeats carry it).
  uint16_t NextSeq();
  // Wakes every waiting request (they end as time-outs).
  void WakeWaiters();
  // The waiting requests' slots (under the device lock).
  void AddSlot(pyrn::ReplySlot* slot);
  void RemoveSlot(pyrn::ReplySlot* slot);
  size_t WaitingCount();

 private:
  void Dispatch(const pyrn::FrameView& f);
};

namespace pyrn {

// Sends bytes as they are: 1 on success, -1 on failure.
int SendFrame(CBoxDevice& d, const uint8_t* bytes, size_t len);
// The time frame: class 0, sub-command 0, sequence 0, the local time.
std::vector<uint8_t> MakeTimeFrame();

// Looks the handle up in the device list: 7 unknown, 14 not connected, else 0
// with the device (held) and the reply time-out.
int CheckConnection(CBoxDevice* handle, std::shared_ptr<CBoxDevice>* dev, int* timeoutMs);

struct BoxRequest {
  uint8_t dir;
  uint8_t cls;
  uint8_t sub;
  const void* payload;
  uint16_t payloadLen;
};

// Sends one request under a new sequence and waits for the reply frame with
// that sequence: 0 (with the reply), 17 send failed, 209 no reply in time.
int Exchange(CBoxDevice& d, const BoxRequest& rq, int timeoutMs, std::vector<uint8_t>* reply);
// 0 when the reply carries the class and sub-command of the request and the
// success status, else 24.
int CheckReply(const std::vector<uint8_t>& reply, const BoxRequest& rq);

}  // namespace pyrn

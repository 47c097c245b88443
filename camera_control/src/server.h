// Server mode: listeners at which cameras connect to the library. A camera
// that connects and answers the opening get of 0x20001 with a status item
// becomes an ordinary (server-made) device handle.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/net.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace qelm {

// One started listener, identified by (address, port).
//
// Life: listed in m_listServer while it runs. A stop takes it out of the list,
// sets the stop flag, shuts down the listening socket and the connection in
// its handshake (which wakes the accept thread wherever it waits), joins the
// thread, and only then closes the listening socket and frees the record. A
// stop made on the accept thread itself (from a direct callback) leaves the
// freeing to that thread when it leaves its loop.
struct StServerListener {
  uint32_t m_ip = 0;    // as inet_addr gives it from the caller's text
  uint32_t m_port = 0;  // as the caller gave it
  pf::SOCKET m_hSocket = pf::INVALID_SOCKET;  // the listening socket
  std::atomic<uint8_t> m_bStop{0};

  // The accepted connection whose handshake is under way; the accept thread
  // owns and closes it, a stop only shuts it down (under m_pendingLock).
  std::mutex m_pendingLock;
  pf::SOCKET m_hPending = pf::INVALID_SOCKET;

  std::atomic<bool> m_bFreeOnExit{false};
  pf::AutoResetEvent m_evWake;  // ends the pause after a failed accept
  pf::Thread m_thread;
};

constexpr int kServerBacklog = 100;
constexpr int kHandshakeTimeoutMs = 1000;
constexpr size_t kHandshakeBuffer = 8192;

// A listening TCP socket bound to `ip` (any address when null) and `port`;
// INVALID_SOCKET on failure (logged).
pf::SOCKET CreateServerListener(const char* ip, uint16_t port);
// The accept loop of one listener.
void ServerAcceptThread(StServerListener* listener);
// True when the `received` bytes of a camera's first answer are the reply to
// the opening get and carry a status of the right size.
bool CheckHandshakeReply(const uint8_t* reply, size_t received);

// Stops and frees every listener and empties the list.
void StopAllServerListeners();

namespace test {
// Receive time-out of an accepted camera's link (60000 ms): that long without
// data from the camera counts as a lost link.
void SetServerLinkTimeoutMs(int ms);
}  // namespace test

}  // namespace qelm

// Discovery of plate-recognition cameras by UDP broadcast of 160-byte packets
// to port 58588, and the broadcast network setting.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Nardix.h"
#include "context.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace nardix {

constexpr uint16_t kDiscoveryLocalPort = 58587;
constexpr uint16_t kDiscoveryPort = 58588;
constexpr size_t kScanPacketSize = 160;
constexpr size_t kUdpRecvSize = 1024;

struct StLprUdpChannel {
  explicit StLprUdpChannel(pf::SOCKET s) : m_hSocket(s) {}
  ~StLprUdpChannel();  // closes the socket: nobody can send on it any more
  StLprUdpChannel(const StLprUdpChannel&) = delete;
  StLprUdpChannel& operator=(const StLprUdpChannel&) = delete;

  const pf::SOCKET m_hSocket;
  uint8_t m_byRecv[kUdpRecvSize] = {};
  uint32_t m_nRecvPos = 0;
  uint32_t m_nRecvLen = 0;
  std::atomic<bool> m_bStop{false};
  pf::AutoResetEvent m_evStop;
  pf::Thread m_thread;
};

// A channel for the socket (which it then owns); null when it cannot be made.
UdpChannelPtr NewUdpChannel(pf::SOCKET s);
bool StartUdpChannel(const UdpChannelPtr& ch);
// Stops and joins the channel's thread (unless it is the calling one).
void StopUdpChannel(const UdpChannelPtr& ch);

// Scan (sub 0) and set (sub 1) packets without the per-address fields.
void BuildScanPacket(uint8_t* p);
void BuildSetPacket(uint8_t* p, const StLprNetParams& current, const StLprNetParams& next);
// Puts this PC's address into the packet (at 24, and for a set at 139 too).
void PutLocalAddress(uint8_t* p, const std::string& address, bool set);

// Checks one datagram from a camera and delivers a found record for each of
// `locals` that it is addressed to. Returns the number delivered.
int CheckScanReply(const uint8_t* d, size_t n, const std::vector<std::string>& locals);
// The found record of an answer that passed the checks; false for another
// sub-command or device type.
bool ParseScanReply(const uint8_t* d, StLprDeviceInfo* info);

}  // namespace nardix

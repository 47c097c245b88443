// Information requests on a camera's TCP port 58006: read the camera's
// addressing and texts, or write network values, user texts or factory
// information, without a control connection.
#pragma once

#include <cstdint>
#include <vector>

#include "Qelm_Control.h"

namespace qelm {

struct StInfoChannel;

constexpr uint16_t kInfoPort = 58006;
constexpr uint32_t kInfoItemMagic = 0x12345678;

enum InfoMode : int { kInfoNetValues = 0, kInfoUserTexts = 1, kInfoFactory = 2 };

// Item codes: group << 24 | index << 16 | ParaType << 8.
enum : uint32_t {
  kInfoIp = 0x01000700,
  kInfoMask = 0x01010700,
  kInfoGateway = 0x01020700,
  kInfoSerial = 0x01030D00,
  kInfoMac = 0x01040E00,
  kInfoApplyNet = 0x01050100,
  kInfoApplyFactory = 0x01060100,
  kInfoSerial2 = 0x01070D00,
  kInfoMac2 = 0x01080E00,
  kInfoApplyFactory2 = 0x01090100,
  kInfoUserText0 = 0x02000D00,
  kInfoApplyUserTexts = 0x02040100,
  kInfoVersion = 0x00010D00,
};

// The frame of a read (write false, record ignored) or of one write mode; the
// second-set flag picks the second factory frame. Empty when a write has no
// record.
std::vector<uint8_t> BuildInfoFrame(const void* record, bool write, int mode, bool secondSet);

// Builds one frame and sends it on the channel's socket; true when bytes went.
bool SendNetParamCommand(const void* record, StInfoChannel* ch, bool write, int mode, bool secondSet);

// The write path shared by the three write modes.
int SendInfoRequest(uint32_t ip, int mode, int timeoutMs, const void* record);

// Library shut-down: the information requests that wait for their answer end.
void WakeInfoRequests();
// Stops every information connection still open (library shut-down).
void StopAllInfoRequests();

namespace test {
// Life of a connection whose answer nobody waits for (5000 ms by default).
void SetUnawaitedLifeMs(int ms);
}  // namespace test

}  // namespace qelm

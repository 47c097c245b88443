// Command frames to a camera and its control channel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "handle.h"

namespace nardix {

constexpr size_t kDictateBufferSize = 1024;
constexpr size_t kDictateItemOverhead = 16;
// Wait of the typed requests for their reply.
constexpr int kReplyTimeoutMs = 500;

struct StDictateItem {
  uint8_t type;       // A
  uint8_t code;       // B
  uint8_t direction;  // C: 1 set, 0 get
  const uint8_t* payload;
  uint16_t length;
};

// Writes the items back to back into `out` (kDictateBufferSize bytes) and sets
// the handle's sequence to 0. False when they do not fit or an item names
// payload bytes it does not have.
bool CreateDictate(StLprCameraHandle* h, const StDictateItem* items, int count, uint8_t* out,
                   uint32_t* outLen);

// Builds the frame and sends it: on the control channel (0, 11 no control
// channel or socket, 7 send failed, 6 no frame could be built), or with
// `broadcast` on the result channel, the control channel and the result
// channel again (always 0).
int SendDictate(StLprCameraHandle* h, const StDictateItem* items, int count, bool broadcast);

// The clock item's six bytes for a time (0: now): year - 2000, month, day,
// hour, minute, second of local time; 0, 0, 0, 0xFF, 0xFF, 0xFF when the time
// has no local-time form.
void ClockPayload(int64_t time, uint8_t out[6]);
int SendClock(StLprCameraHandle* h, int64_t time);

// Sends the items and waits up to `timeoutMs` for the reply that `slot`
// expects: 0 when it came, 209 when not, else SendDictate's result. The caller
// holds the camera's request lock, so only one request waits on a camera.
int Exchange(StLprCameraHandle* h, StReplySlot& slot, const StDictateItem* items, int count, int timeoutMs);

// Makes the handle's control record and connects it (a failed connect is
// retried by its thread). False when its thread cannot be started.
bool OpenControlChannel(const HandlePtr& h);
// Thread procedure of a control channel: receives replies and reconnects.
void ControlChannelThread(const HandlePtr& h);

}  // namespace nardix

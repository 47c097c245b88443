// Requests on the control connection whose items are built here: one-item
// device commands, requests of several items, and parameters named by the
// cached XML descriptions. All of them go through the handle's reply slot
// (SendRequestAndWait), so a request completes only with its own reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Qelm_Control.h"
#include "frame.h"
#include "xml_cache.h"

namespace qelm {

// A device command frame is built in 1024 bytes.
constexpr size_t kCommandFrameSize = 1024;
constexpr uint32_t kCommandDataMax = kCommandFrameSize - kMinFrame - StCommandItem::kSize;
static_assert(kCommandDataMax == QELM_COMMAND_DATA_MAX, "one item's data fills the frame");
// Class of a request frame.
constexpr uint32_t kClassGet = 2;
constexpr uint32_t kClassSet = 3;

// Value types of an item (the numbering of the XML descriptions).
enum ParaTypeCode : uint8_t {
  PTInsprit = 0,
  PTExecute = 1,
  PTBool = 2,
  PTUi32 = 7,
  PTI32 = 8,
  PTStr = 13,
  PTEnum = 15,
};

// Boolean arguments count by their low byte.
inline bool LowByteSet(int v) { return (v & 0xFF) != 0; }
// Reply items answer a request item when the low 16 bits of their codes agree.
inline bool SameLow16(uint32_t a, uint32_t b) { return (a & 0xFFFF) == (b & 0xFFFF); }

// Builds the items into one request frame (set: class 3, else class 2) and
// sends it on the handle's link: SendRequestAndWait's results, and 1 when the
// items do not fit into the frame.
int SendItemsAndWait(StCameraHandle* handle, uint16_t ns, bool set, const ItemSpec* items,
                     uint32_t count, uint32_t timeoutMs, std::vector<uint8_t>* reply);

// The one-item request engine. `data` holds the `length` bytes sent; a get
// stores the answer back into them (the whole value of the answering item,
// at most `length` bytes, the rest zeroed; an answer without data leaves
// them). Results: 0, 1, 7, 14, 19, 18 (no item with status 0 and the code's
// low 16 bits), 209 (no reply in time, also when the frame could not be
// sent).
int SendCommandAndWait(StCameraHandle* handle, uint16_t ns, bool set, uint32_t code,
                       uint8_t paraType, uint32_t length, uint32_t timeoutMs, void* data);

// This PC's local time now as nine little-endian i32: second, minute, hour,
// day of month, month 0-11, years since 1900, weekday (Sunday 0), day of
// year, daylight-saving flag.
constexpr size_t kLocalTimeSize = 36;
void LocalTimeNow(uint8_t out[kLocalTimeSize]);

// Named parameters. The request is built from the parameter node's stored
// item head, addressed to the namespace's LayerId: 0 with the request, or 16
// when the description has no node of that code text.
constexpr size_t kXMLRequestBuffer = 8192;
int BuildNamespaceParamRequest(const StXMLNamespace& rec, const StXMLParam& param,
                               uint32_t sequence, bool set, std::vector<uint8_t>* request);
int RequestXMLParam(StXMLParam* param, bool set, uint32_t timeoutMs);

}  // namespace qelm

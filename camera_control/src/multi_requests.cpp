// Device requests of several items, or with structured answers.
#include <cstring>

#include "bytes.h"
#include "commands.h"
#include "control.h"
#include "errors.h"
#include "log.h"
#include "platform/net.h"

namespace qelm {

namespace {

constexpr uint32_t kCodeStorageFlag1 = 0x10301;
constexpr uint32_t kCodeStorageValue1 = 0x10303;
constexpr uint32_t kCodeStorageFlag2 = 0x10306;
constexpr uint32_t kCodeStorageValue2 = 0x10308;
constexpr uint32_t kCodeClock = 0x10007;
constexpr uint32_t kCodeDeviceTime = 0x40021;
constexpr uint32_t kCodeVersionText = 0x20201;
constexpr uint32_t kCodeForceLED = 0x40C0A;
constexpr uint32_t kCodeClipFirst = 0x40C01;
constexpr uint32_t kLastClipSelector = 8;
constexpr size_t kDeviceTimeText = 14;  // YYYYMMDDhhmmss
constexpr uint32_t kVersionTextMax = 512;
constexpr uint32_t kFactoryTextMax = 32;
constexpr uint32_t kFactoryField = 12;

// Sends the items and waits for the reply. No socket gives 2; a send that
// failed is logged and gives 17.
int Exchange(StCameraHandle* h, uint16_t ns, bool set, const ItemSpec* items, uint32_t count,
             uint32_t timeoutMs, std::vector<uint8_t>* reply) {
  const int r = SendItemsAndWait(h, ns, set, items, count, timeoutMs, reply);
  if (r == ERR_BUILD_CMD) return ERR_SOCKET_NULL;
  if (r == ERR_SEND) LogSocketError();
  return r;
}

// A write that the device refused: an item answering one of the written
// items with a status other than 0.
bool WriteRefused(const std::vector<uint8_t>& reply, const ItemSpec* items, uint32_t count) {
  ItemWalker walker(reply.data(), reply.size());
  ItemView it;
  while (walker.Next(&it)) {
    if (it.head.status == 0) continue;
    for (uint32_t i = 0; i < count; ++i)
      if (SameLow16(it.head.code, items[i].code)) return true;
  }
  return false;
}

// A write whose answer carries nothing to read: any reply that does not
// refuse it is success.
int Write(StCameraHandle* h, uint16_t ns, const ItemSpec* items, uint32_t count, uint32_t timeoutMs) {
  std::vector<uint8_t> reply;
  const int r = Exchange(h, ns, true, items, count, timeoutMs, &reply);
  if (r != ERR_SUCCESS) return r;
  return WriteRefused(reply, items, count) ? ERR_REPLY_ITEM : ERR_SUCCESS;
}

// Sends the request, then offers each reply item with status 0 in turn to
// `take` until it takes one: 0 then, 104 when none is taken.
template <typename Take>
int AskFirst(StCameraHandle* h, uint16_t ns, bool set, const ItemSpec* items, uint32_t count,
             uint32_t timeoutMs, Take take) {
  std::vector<uint8_t> reply;
  const int r = Exchange(h, ns, set, items, count, timeoutMs, &reply);
  if (r != ERR_SUCCESS) return r;
  ItemWalker walker(reply.data(), reply.size());
  ItemView it;
  while (walker.Next(&it))
    if (it.head.status == 0 && take(it)) return ERR_SUCCESS;
  return ERR_REPLY_ITEM;
}

// The leading decimal digits of a piece of text (none: 0).
int32_t Digits(const uint8_t* p, size_t n) {
  int32_t v = 0;
  for (size_t i = 0; i < n && p[i] >= '0' && p[i] <= '9'; ++i) v = v * 10 + (p[i] - '0');
  return v;
}

int ReadDeviceTime(StCameraHandle* h, int32_t* time, uint32_t timeoutMs) {
  const ItemSpec item{kCodeDeviceTime, PTStr, 0, nullptr};
  return AskFirst(h, 4, false, &item, 1, timeoutMs, [time](const ItemView& it) {
    if (it.head.code == kCodeClock) return true;  // answered, with nothing to fill
    if (!SameLow16(it.head.code, kCodeDeviceTime) || it.head.length < kDeviceTimeText) return false;
    static const size_t kAt[6] = {0, 4, 6, 8, 10, 12};
    static const size_t kWidth[6] = {4, 2, 2, 2, 2, 2};
    for (int i = 0; i < 6; ++i) time[i] = Digits(it.data + kAt[i], kWidth[i]);
    return true;
  });
}

int ReadFactoryInfo(StCameraHandle* h, StFactoryInfoEx* info, bool shortForm, uint32_t timeoutMs) {
  const ItemSpec items[] = {{0x20509, PTStr, 0, nullptr}, {0x20502, PTStr, 0, nullptr},
                            {0x20503, PTStr, 0, nullptr}, {0x20505, PTStr, 0, nullptr},
                            {0x20506, PTStr, 0, nullptr}};
  std::vector<uint8_t> reply;
  const int r = Exchange(h, 2, false, items, shortForm ? 3 : 5, timeoutMs, &reply);
  if (r != ERR_SUCCESS) return r;
  ItemWalker walker(reply.data(), reply.size());
  ItemView it;
  while (walker.Next(&it)) {
    if (it.head.status != 0) return ERR_REPLY_ITEM;
    const uint32_t len = it.head.length;
    uint8_t* field = nullptr;
    int wrongLength = ERR_REPLY_LEN_A;
    switch (it.head.code & 0xFFFF) {
      case 0x509:
        if (len > kFactoryTextMax) return ERR_REPLY_TOO_LONG;
        memcpy(info->text, it.data, len);  // as sent, not terminated
        continue;
      case 0x502: field = info->field2; break;
      case 0x503: field = info->field3; wrongLength = ERR_REPLY_LEN_B; break;
      case 0x505: field = info->field5; break;
      case 0x506: field = info->field6; wrongLength = ERR_REPLY_LEN_B; break;
      default: continue;
    }
    if (len != kFactoryField) return wrongLength;
    memcpy(field, it.data, kFactoryField);
  }
  return ERR_SUCCESS;
}

}  // namespace

}  // namespace qelm

using namespace qelm;

extern "C" {

QELM_API int QELM_CALL Qelm_GetStorageInfo(StCameraHandle* handle, StStorageInfo* info,
                                           uint32_t timeoutMs) {
  if (!handle || !info || timeoutMs == 0) return ERR_PARAM;
  memset(info, 0, sizeof *info);
  const ItemSpec items[] = {{kCodeStorageFlag1, PTUi32, 0, nullptr},
                            {kCodeStorageValue1, PTUi32, 0, nullptr},
                            {kCodeStorageFlag2, PTUi32, 0, nullptr},
                            {kCodeStorageValue2, PTUi32, 0, nullptr}};
  std::vector<uint8_t> reply;
  const int r = Exchange(handle, 2, false, items, 4, timeoutMs, &reply);
  if (r != ERR_SUCCESS) return r;
  ItemWalker walker(reply.data(), reply.size());
  ItemView it;
  while (walker.Next(&it)) {
    if (it.head.status != 0 || it.head.length < 4) continue;
    const uint32_t word = kit::ReadLE32(it.data);
    switch (it.head.code) {
      case kCodeStorageFlag1: info->firstFlag = word == 1; break;
      case kCodeStorageValue1: info->firstValue = word; break;
      case kCodeStorageFlag2: info->secondFlag = word == 1; break;
      case kCodeStorageValue2: info->secondValue = word; break;
      default: break;
    }
  }
  return ERR_SUCCESS;
}

QELM_API int QELM_CALL Qelm_ControlDeviceTime(StCameraHandle* handle, int32_t* time, int read,
                                              uint32_t timeoutMs) {
  if (!handle || !time || timeoutMs == 0) return ERR_PARAM;
  if (LowByteSet(read)) return ReadDeviceTime(handle, time, timeoutMs);
  uint8_t now[kLocalTimeSize];
  LocalTimeNow(now);
  const ItemSpec item{kCodeClock, PTExecute, sizeof now, now};
  return Write(handle, 2, &item, 1, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlFactoryInfoEx(StCameraHandle* handle, StFactoryInfoEx* info,
                                                 int shortForm, int read, uint32_t timeoutMs) {
  if (!handle || !info || timeoutMs == 0) return ERR_PARAM;
  if (LowByteSet(read)) return ReadFactoryInfo(handle, info, LowByteSet(shortForm), timeoutMs);
  const ItemSpec items[] = {{0x20508, PTStr, sizeof info->text, info->text},
                            {0x20501, PTStr, sizeof info->field1, info->field1},
                            {0x20504, PTStr, sizeof info->field4, info->field4}};
  return Write(handle, 2, items, LowByteSet(shortForm) ? 2 : 3, timeoutMs);
}

QELM_API int QELM_CALL Qelm_GetDeviceVersionInfo(StCameraHandle* handle, char* text,
                                                 uint32_t timeoutMs) {
  if (!handle || !text || timeoutMs == 0) return ERR_PARAM;
  const ItemSpec item{kCodeVersionText, PTStr, 0, nullptr};
  return AskFirst(handle, 2, false, &item, 1, timeoutMs, [text](const ItemView& it) {
    if (!SameLow16(it.head.code, kCodeVersionText) || it.head.length > kVersionTextMax) return false;
    memcpy(text, it.data, it.head.length);  // as sent, not terminated
    return true;
  });
}

QELM_API int QELM_CALL Qelm_ForceLED(StCameraHandle* handle, int on, uint32_t timeoutMs) {
  if (!handle || timeoutMs == 0) return ERR_PARAM;
  uint8_t data[4];
  kit::WriteLE32(data, LowByteSet(on) ? 1 : 0);
  const ItemSpec item{kCodeForceLED, PTBool, sizeof data, data};
  return AskFirst(handle, 4, true, &item, 1, timeoutMs,
                  [](const ItemView& it) { return SameLow16(it.head.code, kCodeForceLED); });
}

QELM_API int QELM_CALL Qelm_GetClipsStatus(StCameraHandle* handle, const StClipSelection* selection,
                                           uint32_t timeoutMs) {
  if (!handle || timeoutMs == 0 || !selection || selection->count == 0) return ERR_PARAM;
  // More selectors than one frame carries.
  if (selection->count > QELM_CLIP_SELECTORS_MAX) return ERR_PARAM;
  static const uint8_t kZero[4] = {};
  ItemSpec items[QELM_CLIP_SELECTORS_MAX];
  for (uint32_t i = 0; i < selection->count; ++i) {
    const uint32_t sel = selection->selectors[i];
    items[i] = ItemSpec{sel <= kLastClipSelector ? kCodeClipFirst + sel : 0, PTBool, sizeof kZero, kZero};
  }
  // Any item the device accepts answers the request.
  return AskFirst(handle, 4, false, items, selection->count, timeoutMs, [](const ItemView&) { return true; });
}

QELM_API int QELM_CALL Qelm_ControlFactoryInfo(intptr_t, intptr_t, intptr_t, intptr_t, intptr_t) {
  return ERR_BUILD_CMD;
}

}  // extern "C"

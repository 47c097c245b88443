// Single-value device commands: one item per request, described by one table.
#include "commands.h"

#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "control.h"
#include "errors.h"
#include "platform/system.h"

namespace qelm {

namespace {

// Set, get, or chosen by the caller's flag.
enum class Op : uint8_t { Set, Get, ByFlag };

// What an export sends.
enum class Payload : uint8_t {
  None,       // no data (length 0)
  Value,      // the caller's value as a u32, unchanged
  Bool,       // 0 or 1 from the low byte of the caller's value
  Zero32,     // a u32 0
  LocalTime,  // 36 bytes of this PC's local time
  VideoFile,  // 656-byte video-file record
  MacText,    // 32 bytes: 12 upper-case hex digits, zero-filled
  InOut,      // the caller's *value (4 bytes); a get stores the answer there
};

struct CommandRow {
  const char* exportName;
  uint16_t ns;
  uint32_t code;
  uint8_t paraType;
  Op op;
  Payload payload;
};

enum Cmd : int {
  kAdjustTime,
  kLightMode,
  kAutoIrisEn,
  kDCDebug,
  kDCMode,
  kIrisParam,
  kShutter,
  kGain,
  kGainMode2,
  kCurBright,
  kCurBrightMode2,
  kCutter,
  kCutterStatus,
  kLightEnable,
  kLightStatus,
  kLampMode,
  kSpeedMeasure,
  kTriggerMode,
  kRunMode,
  kCaptureShutter1,
  kSaveParams,
  kFtpSendVideoFile,
  kTestCapture,
  kSetMac,
  kDevReset,
  kFactoryReset,
  kSerialPortMode,
  kAutoDimming,
  kDCIrisBase,
  kMinShutter,
  kMaxShutter,
  kCmdCount
};

// Indexed by Cmd. The mode-2 rows serve handles whose status reports mode 2.
constexpr CommandRow kCommands[] = {
    {"Qelm_ControlAdjustTime", 2, 0x10007, PTExecute, Op::Set, Payload::LocalTime},
    {"Qelm_ControlLightMode", 1, 0x101, PTEnum, Op::Set, Payload::Value},
    {"Qelm_ControlAutoIrisEn", 1, 0x115, PTBool, Op::Set, Payload::Bool},
    {"Qelm_ControlDCDebug", 4, 0x40307, PTBool, Op::Set, Payload::Bool},
    {"Qelm_ControlDCMode", 4, 0x40308, PTEnum, Op::Set, Payload::Value},
    {"Qelm_IrisParamSet", 4, 0x40305, PTUi32, Op::Set, Payload::Value},
    {"Qelm_ControlShutter", 1, 0x105, PTI32, Op::Set, Payload::Value},
    {"Qelm_ControlGain", 1, 0x106, PTI32, Op::Set, Payload::Value},
    {"Qelm_ControlGain (mode 2)", 4, 0x40209, PTUi32, Op::Set, Payload::Value},
    {"Qelm_GetCurBright", 1, 0x102, PTI32, Op::Get, Payload::InOut},
    {"Qelm_GetCurBright (mode 2)", 4, 0x40202, PTUi32, Op::Get, Payload::InOut},
    {"Qelm_ControlCutter", 1, 0x201, PTBool, Op::Set, Payload::Bool},
    {"Qelm_ControlCutterStatus", 1, 0x202, PTEnum, Op::Set, Payload::Value},
    {"Qelm_ControlLightEnable", 1, 0x205, PTBool, Op::Set, Payload::Bool},
    {"Qelm_ControlLightStatus", 1, 0x20E, PTEnum, Op::Set, Payload::Value},
    {"Qelm_ControlLampMode", 1, 0x20F, PTEnum, Op::Set, Payload::Value},
    {"Qelm_SpeedMeasureEnable", 1, 0x17, PTBool, Op::Set, Payload::Bool},
    {"Qelm_ControlTriggerMode", 1, 0x12, PTEnum, Op::Set, Payload::Value},
    {"Qelm_ControlRunMode", 1, 0x2, PTEnum, Op::Set, Payload::Value},
    {"Qelm_ControlCaptureShutter1", 4, 0x40A07, PTUi32, Op::Set, Payload::Value},
    {"Qelm_SaveParams", 2, 0x80008, PTExecute, Op::Set, Payload::None},
    {"Qelm_FtpSendVideoFile", 4, 0x706, PTInsprit, Op::Set, Payload::VideoFile},
    {"Qelm_TestCapture", 4, 0x40A01, PTExecute, Op::Set, Payload::Zero32},
    {"Qelm_SetMacAdrr", 2, 0x20501, PTStr, Op::Set, Payload::MacText},
    {"Qelm_DevReset", 2, 0x20006, PTExecute, Op::Set, Payload::None},
    {"Qelm_FactoryReset", 2, 0x20009, PTExecute, Op::Set, Payload::None},
    {"Qelm_SetSerialPortMode", 4, 0x4031B, PTEnum, Op::Set, Payload::Value},
    // Sent as given: this device setting takes more than on and off.
    {"Qelm_AutoDimmingEnable", 4, 0x40201, PTBool, Op::Set, Payload::Value},
    // The same item as Qelm_ControlDCDebug, as a number.
    {"Qelm_SetDCIrisBaseValue", 4, 0x40307, PTUi32, Op::Set, Payload::Value},
    {"Qelm_ControlMinShutter", 4, 0x40207, PTUi32, Op::ByFlag, Payload::InOut},
    {"Qelm_ControlMaxShutter", 4, 0x40208, PTUi32, Op::ByFlag, Payload::InOut},
};
static_assert(sizeof kCommands / sizeof kCommands[0] == kCmdCount, "one row per command");

constexpr size_t kVideoFileSize = 656;
constexpr size_t kVideoPathSize = 128;
constexpr size_t kMacTextSize = 32;

// `flag` chooses set or get for the rows that leave it to the caller.
bool IsSet(const CommandRow& row, bool flag) { return row.op == Op::ByFlag ? flag : row.op == Op::Set; }

int Send(Cmd c, StCameraHandle* h, uint8_t* data, uint32_t length, uint32_t timeoutMs,
         bool flag = false) {
  const CommandRow& row = kCommands[c];
  const bool set = IsSet(row, flag);
  return SendCommandAndWait(h, row.ns, set, row.code, row.paraType, length, timeoutMs, data);
}

// The rows whose data is the caller's plain argument.
int Run(Cmd c, StCameraHandle* h, int arg, uint32_t timeoutMs) {
  uint8_t data[4];
  uint32_t length = 4;
  switch (kCommands[c].payload) {
    case Payload::None: length = 0; break;
    case Payload::Value: kit::WriteLE32(data, static_cast<uint32_t>(arg)); break;
    case Payload::Bool: kit::WriteLE32(data, LowByteSet(arg) ? 1 : 0); break;
    case Payload::Zero32: kit::WriteLE32(data, 0); break;
    default: return ERR_PARAM;  // built by its own export
  }
  return Send(c, h, data, length, timeoutMs);
}

// Sends *value; a get stores the answer into it.
int RunInOut(Cmd c, StCameraHandle* h, int* value, uint32_t timeoutMs, bool flag = false) {
  if (!value) return ERR_PARAM;
  const bool set = IsSet(kCommands[c], flag);
  uint8_t data[4];
  kit::WriteLE32(data, static_cast<uint32_t>(*value));
  const int r = Send(c, h, data, sizeof data, timeoutMs, flag);
  if (r == ERR_SUCCESS && !set) *value = static_cast<int>(kit::ReadLE32(data));
  return r;
}

// The handle's mode as its status reports set it; 0 when it is not open.
uint32_t ModeOf(StCameraHandle* h) {
  HandleUse use(h);
  return use ? h->m_mode.load() : 0;
}

void StoreAnswer(uint8_t* data, uint32_t length, const ItemView& item) {
  if (item.head.length == 0 || length == 0) return;  // nothing to store
  const uint32_t n = item.head.length < length ? item.head.length : length;
  memcpy(data, item.data, n);
  memset(data + n, 0, length - n);
}

}  // namespace

int SendItemsAndWait(StCameraHandle* handle, uint16_t ns, bool set, const ItemSpec* items,
                     uint32_t count, uint32_t timeoutMs, std::vector<uint8_t>* reply) {
  uint8_t frame[kCommandFrameSize] = {};
  if (CommandPacketSize(items, count) > sizeof frame) return ERR_PARAM;
  const size_t n = BuildCommandPacket(frame, ns, 0, set ? 1 : 0, set ? kClassSet : kClassGet, items, count);
  return SendRequestAndWait(handle, frame, n, timeoutMs, reply);
}

int SendCommandAndWait(StCameraHandle* handle, uint16_t ns, bool set, uint32_t code,
                       uint8_t paraType, uint32_t length, uint32_t timeoutMs, void* data) {
  if (!handle || length > kCommandDataMax || (length && !data)) return ERR_PARAM;
  const ItemSpec item{code, paraType, length, data};
  // Kept by the thread: its buffer goes to the handle for a later reply and
  // comes back with this one, so a request allocates nothing.
  thread_local std::vector<uint8_t> reply;
  const int r = SendItemsAndWait(handle, ns, set, &item, 1, timeoutMs, &reply);
  // A frame that did not go out is found as a request without reply.
  if (r == ERR_SEND) return ERR_TIMEOUT;
  if (r != ERR_SUCCESS) return r;
  int result = ERR_PARAM_CODE;
  ItemWalker walker(reply.data(), reply.size());
  ItemView it;
  while (walker.Next(&it)) {
    if (it.head.status != 0 || !SameLow16(it.head.code, code)) continue;
    if (!set) StoreAnswer(static_cast<uint8_t*>(data), length, it);
    result = ERR_SUCCESS;
    break;
  }
  // A large reply's buffer is not kept by the thread, as the reassembly keeps none.
  if (reply.capacity() > kKeptFrameCapacity) std::vector<uint8_t>().swap(reply);
  return result;
}

void LocalTimeNow(uint8_t out[kLocalTimeSize]) {
  const std::tm t = pf::LocalTime(pf::Now().sec);
  const int fields[9] = {t.tm_sec, t.tm_min,  t.tm_hour, t.tm_mday, t.tm_mon,
                         t.tm_year, t.tm_wday, t.tm_yday, t.tm_isdst};
  for (int i = 0; i < 9; ++i) kit::WriteLE32(out + 4 * i, static_cast<uint32_t>(fields[i]));
}

}  // namespace qelm

using namespace qelm;

extern "C" {

QELM_API int QELM_CALL Qelm_ControlAdjustTime(StCameraHandle* handle, uint32_t timeoutMs) {
  uint8_t now[kLocalTimeSize];
  LocalTimeNow(now);
  return Send(kAdjustTime, handle, now, sizeof now, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlLightMode(StCameraHandle* handle, int value, uint32_t timeoutMs) {
  return Run(kLightMode, handle, value, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlAutoIrisEn(StCameraHandle* handle, int on, uint32_t timeoutMs) {
  return Run(kAutoIrisEn, handle, on, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlDCDebug(StCameraHandle* handle, int on, uint32_t timeoutMs) {
  return Run(kDCDebug, handle, on, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlDCMode(StCameraHandle* handle, int value, uint32_t timeoutMs) {
  return Run(kDCMode, handle, value, timeoutMs);
}

QELM_API int QELM_CALL Qelm_IrisParamSet(StCameraHandle* handle, int value, uint32_t timeoutMs) {
  return Run(kIrisParam, handle, value, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlShutter(StCameraHandle* handle, int value, uint32_t timeoutMs) {
  return Run(kShutter, handle, value, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlGain(StCameraHandle* handle, int value, uint32_t timeoutMs) {
  const uint32_t mode = ModeOf(handle);
  if (mode == 0) return ERR_NO_DEVICE;  // also for a null handle
  return Run(mode == 2 ? kGainMode2 : kGain, handle, value, timeoutMs);
}

QELM_API int QELM_CALL Qelm_GetCurBright(StCameraHandle* handle, int* value, uint32_t timeoutMs) {
  if (!handle || !value) return ERR_PARAM;
  *value = 0;
  const uint32_t mode = ModeOf(handle);
  if (mode == 0) return ERR_NO_DEVICE;
  return RunInOut(mode == 2 ? kCurBrightMode2 : kCurBright, handle, value, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlCutter(StCameraHandle* handle, int on, uint32_t timeoutMs) {
  return Run(kCutter, handle, on, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlCutterStatus(StCameraHandle* handle, int value, uint32_t timeoutMs) {
  return Run(kCutterStatus, handle, value, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlLightEnable(StCameraHandle* handle, int on, uint32_t timeoutMs) {
  return Run(kLightEnable, handle, on, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlLightStatus(StCameraHandle* handle, int value, uint32_t timeoutMs) {
  return Run(kLightStatus, handle, value, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlLampMode(StCameraHandle* handle, int value, uint32_t timeoutMs) {
  return Run(kLampMode, handle, value, timeoutMs);
}

QELM_API int QELM_CALL Qelm_SpeedMeasureEnable(StCameraHandle* handle, int on, uint32_t timeoutMs) {
  return Run(kSpeedMeasure, handle, on, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlTriggerMode(StCameraHandle* handle, int value, uint32_t timeoutMs) {
  return Run(kTriggerMode, handle, value, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlRunMode(StCameraHandle* handle, int value, uint32_t timeoutMs) {
  return Run(kRunMode, handle, value, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlCaptureShutter1(StCameraHandle* handle, int value,
                                                   uint32_t timeoutMs) {
  return Run(kCaptureShutter1, handle, value, timeoutMs);
}

QELM_API int QELM_CALL Qelm_SaveParams(StCameraHandle* handle, uint32_t timeoutMs) {
  return Run(kSaveParams, handle, 0, timeoutMs);
}

QELM_API int QELM_CALL Qelm_FtpSendVideoFile(StCameraHandle* handle, uint16_t first, uint16_t second,
                                             const char* path, uint32_t timeoutMs) {
  if (!path) return ERR_PARAM;
  const size_t n = strnlen(path, kVideoPathSize);
  if (n >= kVideoPathSize) return ERR_PARAM;  // the record holds 127 characters and a NUL
  uint8_t rec[kVideoFileSize] = {};
  kit::WriteLE32(rec + 8, first);
  kit::WriteLE32(rec + 12, second);
  memcpy(rec + 16, path, n);
  return Send(kFtpSendVideoFile, handle, rec, sizeof rec, timeoutMs);
}

QELM_API int QELM_CALL Qelm_TestCapture(StCameraHandle* handle, uint32_t timeoutMs) {
  return Run(kTestCapture, handle, 0, timeoutMs);
}

QELM_API int QELM_CALL Qelm_SetMacAdrr(StCameraHandle* handle, const uint8_t* mac, uint32_t timeoutMs) {
  if (!mac) return ERR_PARAM;
  char text[kMacTextSize] = {};
  snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return Send(kSetMac, handle, reinterpret_cast<uint8_t*>(text), sizeof text, timeoutMs);
}

QELM_API int QELM_CALL Qelm_DevReset(StCameraHandle* handle, uint32_t timeoutMs) {
  return Run(kDevReset, handle, 0, timeoutMs);
}

QELM_API int QELM_CALL Qelm_FactoryReset(StCameraHandle* handle, uint32_t timeoutMs) {
  return Run(kFactoryReset, handle, 0, timeoutMs);
}

QELM_API int QELM_CALL Qelm_SetSerialPortMode(StCameraHandle* handle, int value, uint32_t timeoutMs) {
  return Run(kSerialPortMode, handle, value, timeoutMs);
}

QELM_API int QELM_CALL Qelm_AutoDimmingEnable(StCameraHandle* handle, int value, uint32_t timeoutMs) {
  return Run(kAutoDimming, handle, value, timeoutMs);
}

QELM_API int QELM_CALL Qelm_SetDCIrisBaseValue(StCameraHandle* handle, int value, uint32_t timeoutMs) {
  return Run(kDCIrisBase, handle, value, timeoutMs);
}

QELM_API int QELM_CALL Qelm_ControlMinShutter(StCameraHandle* handle, int set, int* value,
                                              uint32_t timeoutMs) {
  return RunInOut(kMinShutter, handle, value, timeoutMs, LowByteSet(set));
}

QELM_API int QELM_CALL Qelm_ControlMaxShutter(StCameraHandle* handle, int set, int* value,
                                              uint32_t timeoutMs) {
  return RunInOut(kMaxShutter, handle, value, timeoutMs, LowByteSet(set));
}

QELM_API int QELM_CALL Qelm_TestTempDictate(StCameraHandle* handle, StRawCommand* cmd,
                                            uint32_t timeoutMs) {
  if (!cmd || cmd->length > kCommandDataMax) return ERR_PARAM;
  const uint32_t code = static_cast<uint32_t>(cmd->ns) << 16 | static_cast<uint32_t>(cmd->group) << 8 | cmd->index;
  return SendCommandAndWait(handle, cmd->ns, cmd->setFlag != 0, code, cmd->paraType, cmd->length,
                            timeoutMs, cmd->data);
}

}  // extern "C"

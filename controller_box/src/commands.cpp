// The device commands: each one request and its reply, by the request pattern
// of device.h.
#include <cstring>
#include <vector>

#include "bytes.h"
#include "context.h"
#include "device.h"

using namespace pyrn;

namespace {

constexpr uint8_t kFactoryConfirm[3] = {PYRNBOX_FACTORY_CONFIRM_0, PYRNBOX_FACTORY_CONFIRM_1,
                                        PYRNBOX_FACTORY_CONFIRM_2};

bool IsSet(int set) { return (set & 0xFF) != 0; }

// Sends a request on a connected device and checks its reply (class,
// sub-command, success status). fixedTimeoutMs < 0: the link's time-out.
int RunOn(CBoxDevice& d, int timeoutMs, const BoxRequest& rq, std::vector<uint8_t>* reply) {
  // Kept by the thread, so that a command allocates nothing for its reply.
  thread_local std::vector<uint8_t> rep;
  int r = Exchange(d, rq, timeoutMs, &rep);
  if (r != 0) return r;
  r = CheckReply(rep, rq);
  if (r != 0) return r;
  if (reply) *reply = rep;
  return 0;
}

int Run(CBoxDevice* h, const BoxRequest& rq, std::vector<uint8_t>* reply,
        int fixedTimeoutMs = -1) {
  std::shared_ptr<CBoxDevice> d;
  int timeout = 0;
  const int r = CheckConnection(h, &d, &timeout);
  if (r != 0) return r;
  return RunOn(*d, fixedTimeoutMs >= 0 ? fixedTimeoutMs : timeout, rq, reply);
}

size_t PayloadLen(const std::vector<uint8_t>& reply) { return reply.size() - kFrameOverhead; }
const uint8_t* Payload(const std::vector<uint8_t>& reply) { return reply.data() + kOffPayload; }

// A command without data, that acts.
int Act(CBoxDevice* h, uint8_t cls, uint8_t sub) {
  if (!h) return 1;
  return Run(h, BoxRequest{1, cls, sub, nullptr, 0}, nullptr);
}

// An int setting that travels as one byte; a read wants exactly one byte
// back (else wrongLength) and fills the whole int.
int IntByteSetting(CBoxDevice* h, int* value, int set, uint8_t cls, uint8_t sub,
                   int wrongLength) {
  if (!h || !value) return 1;
  if (IsSet(set)) {
    const uint8_t b = static_cast<uint8_t>(*value);
    return Run(h, BoxRequest{1, cls, sub, &b, 1}, nullptr);
  }
  std::vector<uint8_t> reply;
  const int r = Run(h, BoxRequest{0, cls, sub, nullptr, 0}, &reply);
  if (r != 0) return r;
  if (reply.size() != 17) return wrongLength;
  *value = Payload(reply)[0];
  return 0;
}

// A byte setting of at most 15.
int SmallByteSetting(CBoxDevice* h, uint8_t* value, int set, uint8_t sub) {
  if (!h || !value) return 1;
  if (IsSet(set)) {
    if (*value > 15) return 1;
    return Run(h, BoxRequest{1, 3, sub, value, 1}, nullptr);
  }
  std::vector<uint8_t> reply;
  const int r = Run(h, BoxRequest{0, 3, sub, nullptr, 0}, &reply);
  if (r != 0) return r;
  if (reply.size() != 17) return 23;
  *value = Payload(reply)[0];
  return 0;
}

// Four values written as their low bytes; a read wants at least four bytes.
int FourByteParams(CBoxDevice& d, int timeout, int* params, int set, uint8_t sub,
                   bool keepHighOfLast) {
  if (IsSet(set)) {
    uint8_t b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(params[i]);
    return RunOn(d, timeout, BoxRequest{1, 3, sub, b, 4}, nullptr);
  }
  std::vector<uint8_t> reply;
  const int r = RunOn(d, timeout, BoxRequest{0, 3, sub, nullptr, 0}, &reply);
  if (r != 0) return r;
  if (PayloadLen(reply) < 4) return 23;
  const uint8_t* p = Payload(reply);
  for (int i = 0; i < 3; ++i) params[i] = p[i];
  if (keepHighOfLast)
    params[3] = static_cast<int>((static_cast<uint32_t>(params[3]) & ~0xFFu) | p[3]);
  else
    params[3] = p[3];
  return 0;
}

int SendText(CBoxDevice* h, const char* text, uint8_t cls, size_t limit) {
  if (!h || !text) return 1;
  size_t n = strlen(text);
  if (n > limit) n = limit;
  return Run(h, BoxRequest{1, cls, 1, text, static_cast<uint16_t>(n)}, nullptr);
}

}  // namespace

extern "C" {

PYRN_API int PYRN_CALL PyrnBox_ControlRoadgate(CBoxDevice* handle, int command) {
  if (!handle) return 1;
  const uint8_t b = static_cast<uint8_t>(command);
  return Run(handle, BoxRequest{1, 1, 1, &b, 1}, nullptr);
}

PYRN_API int PYRN_CALL PyrnBox_VoiceBroadcast(CBoxDevice* handle, const char* text) {
  return SendText(handle, text, 2, 127);
}

PYRN_API int PYRN_CALL PyrnBox_ControlLED(CBoxDevice* handle, const char* text) {
  return SendText(handle, text, 3, 199);
}

PYRN_API int PYRN_CALL PyrnBox_ControlSerialPort(CBoxDevice* handle, const void* data,
                                                 int length) {
  const uint16_t n = static_cast<uint16_t>(length);
  if (!handle || !data || n < 1 || n > 1024) return 1;
  return Run(handle, BoxRequest{1, 3, 2, data, n}, nullptr);
}

PYRN_API int PYRN_CALL PyrnBox_ControlLEDComParams(CBoxDevice* handle, int set, int* params) {
  if (!handle || !params) return 1;
  std::shared_ptr<CBoxDevice> d;
  int timeout = 0;
  const int r = CheckConnection(handle, &d, &timeout);
  if (r != 0) return r;
  return FourByteParams(*d, timeout, params, set, 3, true);
}

PYRN_API int PYRN_CALL PyrnBox_ControlSerialPortEx(CBoxDevice* handle, int set, void* data,
                                                   uint16_t* length, int port) {
  if (!handle || !data || !length) return 1;
  if (IsSet(set) && *length > 1024) return 1;
  std::shared_ptr<CBoxDevice> d;
  int timeout = 0;
  int r = CheckConnection(handle, &d, &timeout);
  if (r != 0) return r;
  if (port != 0 && port != 1) return 1;
  const uint8_t sub = static_cast<uint8_t>(9 + port);
  if (IsSet(set)) return RunOn(*d, timeout, BoxRequest{1, 3, sub, data, *length}, nullptr);
  std::vector<uint8_t> reply;
  r = RunOn(*d, timeout, BoxRequest{0, 3, sub, nullptr, 0}, &reply);
  if (r != 0) return r;
  // The caller learns the reply's length either way, so that a reply that
  // did not fit can be asked for again with enough room.
  const size_t n = PayloadLen(reply);
  const bool fits = n <= *length;
  if (fits) memcpy(data, Payload(reply), n);
  *length = static_cast<uint16_t>(n);
  return fits ? 0 : 23;
}

PYRN_API int PYRN_CALL PyrnBox_ControlSerialPortParams(CBoxDevice* handle, int set, int* params,
                                                       int port) {
  if (!handle || !params) return 1;
  std::shared_ptr<CBoxDevice> d;
  int timeout = 0;
  const int r = CheckConnection(handle, &d, &timeout);
  if (r != 0) return r;
  if (port != 0 && port != 1) return 1;
  return FourByteParams(*d, timeout, params, set, static_cast<uint8_t>(11 + port), false);
}

PYRN_API int PYRN_CALL PyrnBox_ReadRamStatus(CBoxDevice* handle, uint8_t* status) {
  if (!handle || !status) return 1;
  std::vector<uint8_t> reply;
  const int r = Run(handle, BoxRequest{0, 0, 33, nullptr, 0}, &reply);
  if (r != 0) return r;
  if (PayloadLen(reply) < 1) return 23;
  *status = Payload(reply)[0];
  return 0;
}

PYRN_API int PYRN_CALL PyrnBox_ControlSerialNo(CBoxDevice* handle, void* serial, int set) {
  if (!handle || !serial) return 1;
  if (IsSet(set)) return Run(handle, BoxRequest{1, 0, 16, serial, 12}, nullptr);
  std::vector<uint8_t> reply;
  const int r = Run(handle, BoxRequest{0, 0, 16, nullptr, 0}, &reply);
  if (r != 0) return r;
  if (reply.size() > 28) return 23;
  memcpy(serial, Payload(reply), PayloadLen(reply));
  return 0;
}

PYRN_API int PYRN_CALL PyrnBox_ControlMAC(CBoxDevice* handle, uint8_t* mac, int set) {
  if (!handle || !mac) return 1;
  if (IsSet(set)) return Run(handle, BoxRequest{1, 0, 15, mac, 6}, nullptr);
  std::vector<uint8_t> reply;
  const int r = Run(handle, BoxRequest{0, 0, 15, nullptr, 0}, &reply);
  if (r != 0) return r;
  if (reply.size() != 22) return 23;
  memcpy(mac, Payload(reply), 6);
  return 0;
}

PYRN_API int PYRN_CALL PyrnBox_ReadLogNum(CBoxDevice* handle, uint32_t* count) {
  if (!handle || !count) return 1;
  *count = 0;
  std::vector<uint8_t> reply;
  const int r = Run(handle, BoxRequest{0, 7, 0, nullptr, 0}, &reply);
  if (r != 0) return r;
  if (PayloadLen(reply) < 4) return 23;
  *count = kit::ReadLE32(Payload(reply));
  return 0;
}

PYRN_API int PYRN_CALL PyrnBox_ReadLog(CBoxDevice* handle) {
  if (!handle) return 1;
  std::shared_ptr<CBoxDevice> d;
  int timeout = 0;
  const int r = CheckConnection(handle, &d, &timeout);
  if (r != 0) return r;
  // Sequence 0: the records come as pushed log frames, not as a reply.
  const std::vector<uint8_t> f = MakeFrame(0, 0, 7, 1, nullptr, 0);
  return SendFrame(*d, f.data(), f.size()) > 0 ? 0 : 17;
}

PYRN_API int PYRN_CALL PyrnBox_ControlResetEnable(CBoxDevice* handle, uint8_t* enable, int set) {
  if (!handle || !enable) return 1;
  if (IsSet(set)) {
    const uint8_t b = *enable ? 1 : 0;
    return Run(handle, BoxRequest{1, 0, 2, &b, 1}, nullptr);
  }
  std::vector<uint8_t> reply;
  const int r = Run(handle, BoxRequest{0, 0, 2, nullptr, 0}, &reply);
  if (r != 0) return r;
  if (reply.size() != 17) return 24;
  *enable = Payload(reply)[0] == 1 ? 1 : 0;
  return 0;
}

PYRN_API int PYRN_CALL PyrnBox_SaveParams(CBoxDevice* handle) { return Act(handle, 0, 19); }

PYRN_API int PYRN_CALL PyrnBox_RecoveryDefault(CBoxDevice* handle) { return Act(handle, 0, 20); }

PYRN_API int PYRN_CALL PyrnBox_RecoveryFactory(CBoxDevice* handle, const uint8_t* code) {
  if (!handle || !code) return 1;
  if (memcmp(code, kFactoryConfirm, sizeof kFactoryConfirm) != 0) return 1;
  return Run(handle, BoxRequest{1, 0, 34, code, 6}, nullptr);
}

PYRN_API int PYRN_CALL PyrnBox_ControlLogLevel(CBoxDevice* handle, int* level, int set) {
  return IntByteSetting(handle, level, set, 0, 36, 24);
}

PYRN_API int PYRN_CALL PyrnBox_GetDeviceVersion(CBoxDevice* handle, char* version) {
  if (!handle || !version) return 1;
  std::shared_ptr<CBoxDevice> d;
  int timeout = 0;
  int r = CheckConnection(handle, &d, &timeout);
  if (r != 0) return r;
  std::vector<uint8_t> reply;
  r = RunOn(*d, timeout, BoxRequest{0, 0, 1, nullptr, 0}, &reply);
  if (r != 0) return r;
  memset(version, 0, 36);
  if (reply.size() > 48) return 23;
  const char* tag = nullptr;
  switch (d->m_nBoxKind.load()) {
    case 0: case 1: tag = "VELD"; break;
    case 2: tag = "VELK"; break;
    case 16: tag = "OSKA"; break;
    default: break;
  }
  if (tag) memcpy(version, tag, 4);
  memcpy(version + 4, Payload(reply), PayloadLen(reply));
  return 0;
}

PYRN_API int PYRN_CALL PyrnBox_GetDeviceNetInfo(CBoxDevice* handle, uint32_t* params) {
  if (!handle || !params) return 1;
  std::vector<uint8_t> reply;
  const int r = Run(handle, BoxRequest{0, 0, 14, nullptr, 0}, &reply);
  if (r != 0) return r;
  if (reply.size() != 32) return 23;
  for (int i = 0; i < 4; ++i) params[i] = SwapBytes32(kit::ReadLE32(Payload(reply) + 4 * i));
  return 0;
}

PYRN_API int PYRN_CALL PyrnBox_ControlLEDLength(CBoxDevice* handle, int* value, int set) {
  return IntByteSetting(handle, value, set, 3, 4, 23);
}

PYRN_API int PYRN_CALL PyrnBox_ControlLEDRowNum(CBoxDevice* handle, int* value, int set) {
  return IntByteSetting(handle, value, set, 3, 5, 23);
}

PYRN_API int PYRN_CALL PyrnBox_ControlLEDInterfaceType(CBoxDevice* handle, int* value, int set) {
  return IntByteSetting(handle, value, set, 3, 6, 23);
}

PYRN_API int PYRN_CALL PyrnBox_ControlLEDDisplaySpeed(CBoxDevice* handle, uint8_t* value,
                                                      int set) {
  return SmallByteSetting(handle, value, set, 7);
}

PYRN_API int PYRN_CALL PyrnBox_ControlLEDDisplayTimeout(CBoxDevice* handle, uint8_t* value,
                                                        int set) {
  return SmallByteSetting(handle, value, set, 8);
}

PYRN_API int PYRN_CALL PyrnBox_ControlLEDDisplayLight(CBoxDevice* handle, uint8_t* value,
                                                      int set) {
  return SmallByteSetting(handle, value, set, 13);
}

PYRN_API int PYRN_CALL PyrnBox_ControlLEDPolar(CBoxDevice* handle, int* value, int set) {
  return IntByteSetting(handle, value, set, 3, 14, 23);
}

PYRN_API int PYRN_CALL PyrnBox_ControlLEDDefaultTitle(CBoxDevice* handle, int* value, int set) {
  return IntByteSetting(handle, value, set, 3, 15, 23);
}

PYRN_API int PYRN_CALL PyrnBox_ControlLEDShowTime(CBoxDevice* handle, int* value, int set) {
  return IntByteSetting(handle, value, set, 3, 16, 23);
}

PYRN_API int PYRN_CALL PyrnBox_SetLEDDetectMode(CBoxDevice* handle, const uint8_t* mode) {
  if (!handle || !mode) return 1;
  return Run(handle, BoxRequest{1, 3, 17, mode, 1}, nullptr);
}

PYRN_API int PYRN_CALL PyrnBox_ControlBLEParams(CBoxDevice* handle, int* params, int set) {
  if (!handle || !params) return 1;
  const int wait = Timing().bleReplyMs.load();
  if (IsSet(set)) {
    uint8_t b[8];
    kit::WriteLE32(b, static_cast<uint32_t>(params[0]));
    kit::WriteLE32(b + 4, static_cast<uint32_t>(params[1]));
    return Run(handle, BoxRequest{1, 0, 37, b, 8}, nullptr, wait);
  }
  std::vector<uint8_t> reply;
  const int r = Run(handle, BoxRequest{0, 0, 37, nullptr, 0}, &reply, wait);
  if (r != 0) return r;
  if (reply.size() != 24) return 23;
  params[0] = static_cast<int>(kit::ReadLE32(Payload(reply)));
  params[1] = static_cast<int>(kit::ReadLE32(Payload(reply) + 4));
  return 0;
}

PYRN_API int PYRN_CALL PyrnBox_ControlBLEMode(CBoxDevice* handle, int* mode, int set) {
  return IntByteSetting(handle, mode, set, 0, 38, 23);
}

PYRN_API int PYRN_CALL PyrnBox_ClearLog(CBoxDevice* handle) { return Act(handle, 0, 39); }

PYRN_API int PYRN_CALL PyrnBox_SendAnyData(CBoxDevice* handle, const void* data,
                                           uint32_t length) {
  if (!handle || !data || length == 0 || length > 256) return 1;
  std::shared_ptr<CBoxDevice> d = FindDevice(handle);
  if (!d) return 7;
  if (!d->Connected()) return 14;
  return SendFrame(*d, static_cast<const uint8_t*>(data), length) > 0 ? 0 : 17;
}

}  // extern "C"

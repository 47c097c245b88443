/*
 * PyrnBox: drive a controller box (barrier gate, voice, LED sign, serial
 * pass-through, reports) over TCP port 10028 or a serial port.
 *
 * Every export returns an int result code:
 *   0 success; 1 bad argument or refused value; 2 TCP connection failed;
 *   3 thread not started; 7 handle not in the device list; 14 device not
 *   connected; 17 send failed; 19 no request could be built (no host
 *   address); 23 reply of the wrong length; 24 no matching or no successful
 *   reply; 26 serial port not opened or configured; 50 new address is one of
 *   this PC's addresses; 150 to 158 firmware update; 200 library not
 *   started; 202 box refuses another link; 209 no reply in time.
 *
 * Texts handed in and out are GBK. IPv4 addresses are 32-bit values with the
 * first octet in the lowest byte (as inet_addr gives them). Records handed to
 * a callback live only for the call.
 */
#ifndef PYRNBOX_H
#define PYRNBOX_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define PYRN_CALL __stdcall
#else
#define PYRN_CALL
#endif

#if defined(PYRN_BUILD)
#if defined(_WIN32)
#define PYRN_API __declspec(dllexport)
#else
#define PYRN_API __attribute__((visibility("default")))
#endif
#elif defined(_WIN32)
#define PYRN_API __declspec(dllimport)
#else
#define PYRN_API
#endif

#if defined(__cplusplus)
#define PYRN_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define PYRN_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define PYRN_CAT_(a, b) a##b
#define PYRN_CAT(a, b) PYRN_CAT_(a, b)
#define PYRN_STATIC_ASSERT(cond, msg) typedef char PYRN_CAT(pyrn_static_assert_, __LINE__)[(cond) ? 1 : -1]
#endif

/* The first three bytes of the code that PyrnBox_RecoveryFactory takes. */
#define PYRNBOX_FACTORY_CONFIRM_0 0x46
#define PYRNBOX_FACTORY_CONFIRM_1 0x41
#define PYRNBOX_FACTORY_CONFIRM_2 0x43

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque device handle. */
typedef struct CBoxDevice CBoxDevice;

/* Serial-number text and MAC of a device (38 bytes). */
#ifndef KIT_ST_DEVICE_FACTORY_INFO
#define KIT_ST_DEVICE_FACTORY_INFO
typedef struct StDeviceFactoryInfo {
  char serial[32];
  uint8_t mac[6];
} StDeviceFactoryInfo;
#endif

/* Network settings: address, mask, gateway and the fourth network word. */
#ifndef KIT_ST_NET_PARAMS
#define KIT_ST_NET_PARAMS
typedef struct StNetParams {
  uint32_t ip;
  uint32_t mask;
  uint32_t gateway;
  uint32_t fourth;
} StNetParams;
#endif

/* A box found by a search (516 bytes). */
typedef struct StSearchResult {
  uint32_t ip;
  uint32_t mask;
  uint32_t gateway;
  uint32_t reserved0;
  char userText[4][64];
  StDeviceFactoryInfo factory;
  uint8_t reserved1[2];
  uint32_t deviceWord;
  char version[200]; /* device type text, then the 64-byte device text */
} StSearchResult;

#if defined(_MSC_VER)
#pragma pack(push, 1)
#define PYRN_PACKED
#else
#define PYRN_PACKED __attribute__((packed))
#endif

/* The payload of a heartbeat reply (144 bytes, packed). */
typedef struct PYRN_PACKED StHeartStatus {
  uint32_t word0;
  uint32_t word4;
  uint32_t word8;
  uint16_t half12;
  uint8_t boxKind;
  uint8_t byte15;
  uint32_t words16[10];
  uint8_t bytes56[64];
  uint32_t word120;
  uint32_t word124;
  uint32_t word128;
  uint8_t byte132;
  uint32_t word133;
  uint32_t word137;
  uint8_t byte141;
  uint8_t reserved[2];
} StHeartStatus;

#if defined(_MSC_VER)
#pragma pack(pop)
#endif
#undef PYRN_PACKED

/* The box's link information (40 bytes); linkCount == maxLinkCount means the
 * box takes no further link. */
typedef struct StMaxLinkInfo {
  uint8_t head[2];
  uint8_t linkCount;
  uint8_t maxLinkCount;
  uint8_t data[36];
} StMaxLinkInfo;

/* Report records: the handle of the connection the report came in on. */
typedef struct StBoxByteReport {
  CBoxDevice* handle;
  uint8_t value;
} StBoxByteReport;

typedef struct StBoxValueReport {
  CBoxDevice* handle;
  uint32_t value;
} StBoxValueReport;

/* status: 3 the link was dropped, 4 the link was re-established. */
typedef struct StBoxStatus {
  CBoxDevice* handle;
  uint32_t code;
} StBoxStatus;

typedef struct StBoxSerialData {
  CBoxDevice* handle;
  const uint8_t* data;
  uint16_t length;
} StBoxSerialData;

typedef struct StBoxLogInfo {
  CBoxDevice* handle;
  uint32_t length;
  const uint8_t* data;
} StBoxLogInfo;

typedef struct StDataReport1 {
  CBoxDevice* handle;
  uint32_t length;
  uint8_t data[32]; /* zero when the payload is longer than 32 bytes */
} StDataReport1;

typedef struct StDataReport2 {
  CBoxDevice* handle;
  uint8_t byte0;
  uint8_t byte1;
  uint16_t value2;
  uint16_t value4;
  uint16_t value6;
  uint32_t value8;
} StDataReport2;

typedef struct StDataReport3Item {
  uint8_t bit0;
  uint8_t bits1to2;
  uint8_t bit3;
  uint8_t bit4;
  uint8_t bits5to7;
} StDataReport3Item;

typedef struct StDataReport3 {
  CBoxDevice* handle;
  uint8_t byte0;
  uint8_t count;
  StDataReport3Item items[8];
} StDataReport3;

typedef struct StReportItem {
  uint8_t bits0to1;
  uint8_t bits2to4;
  uint8_t bit5;
  uint8_t byte1;
  uint8_t bit6;
  uint8_t reserved0[3];
  uint32_t value;
  uint8_t bit7;
  uint8_t reserved1[3];
} StReportItem;

typedef struct StReportRecord {
  CBoxDevice* handle;
  uint8_t byte0;
  uint8_t count;
  uint16_t value2;
  StReportItem items[4];
} StReportRecord;

/* Progress of a firmware update. result: 0, 17 a block could not be sent,
 * 158 acknowledgement while no update is under way. */
typedef struct StUpdateProgress {
  CBoxDevice* handle;
  uint32_t ip;
  uint32_t blocksSent;
  uint32_t subCommand;
  uint32_t status;
  uint32_t result;
} StUpdateProgress;

PYRN_STATIC_ASSERT(sizeof(StNetParams) == 16, "StNetParams is 16 bytes");
PYRN_STATIC_ASSERT(sizeof(StDeviceFactoryInfo) == 38, "StDeviceFactoryInfo is 38 bytes");
PYRN_STATIC_ASSERT(sizeof(StSearchResult) == 516, "StSearchResult is 516 bytes");
PYRN_STATIC_ASSERT(offsetof(StSearchResult, userText) == 16, "user texts at 16");
PYRN_STATIC_ASSERT(offsetof(StSearchResult, factory) == 272, "factory record at 272");
PYRN_STATIC_ASSERT(offsetof(StSearchResult, deviceWord) == 312, "device word at 312");
PYRN_STATIC_ASSERT(offsetof(StSearchResult, version) == 316, "version text at 316");
PYRN_STATIC_ASSERT(sizeof(StHeartStatus) == 144, "StHeartStatus is 144 bytes");
PYRN_STATIC_ASSERT(offsetof(StHeartStatus, boxKind) == 14, "box kind at 14");
PYRN_STATIC_ASSERT(offsetof(StHeartStatus, bytes56) == 56, "bytes at 56");
PYRN_STATIC_ASSERT(offsetof(StHeartStatus, word133) == 133, "word at 133");
PYRN_STATIC_ASSERT(offsetof(StHeartStatus, byte141) == 141, "byte at 141");
PYRN_STATIC_ASSERT(sizeof(StMaxLinkInfo) == 40, "StMaxLinkInfo is 40 bytes");
PYRN_STATIC_ASSERT(sizeof(StDataReport3Item) == 5, "data report 3 items are 5 bytes");
PYRN_STATIC_ASSERT(sizeof(StReportItem) == 16, "report items are 16 bytes");
#if UINTPTR_MAX == 0xFFFFFFFFu
PYRN_STATIC_ASSERT(sizeof(StUpdateProgress) == 24, "StUpdateProgress is 24 bytes");
PYRN_STATIC_ASSERT(sizeof(StDataReport1) == 40, "StDataReport1 is 40 bytes");
PYRN_STATIC_ASSERT(sizeof(StReportRecord) == 72, "StReportRecord is 72 bytes");
#endif

/* Callbacks: the user pointer of PyrnBox_Init first (not the search one). */
typedef void(PYRN_CALL* PyrnByteReportCallback)(void* user, StBoxByteReport* report);
typedef void(PYRN_CALL* PyrnValueReportCallback)(void* user, StBoxValueReport* report);
typedef void(PYRN_CALL* PyrnStatusCallback)(void* user, StBoxStatus* status);
typedef void(PYRN_CALL* PyrnSerialDataCallback)(void* user, StBoxSerialData* data);
typedef void(PYRN_CALL* PyrnSerialDataExCallback)(void* user, StBoxSerialData* data,
                                                  uint32_t port);
typedef void(PYRN_CALL* PyrnHeartStatusCallback)(void* user, StHeartStatus* status,
                                                 CBoxDevice* handle, const char* ip);
typedef void(PYRN_CALL* PyrnLogInfoCallback)(void* user, StBoxLogInfo* log);
typedef void(PYRN_CALL* PyrnMaxLinkInfoCallback)(void* user, StMaxLinkInfo* info,
                                                 const char* ip);
typedef void(PYRN_CALL* PyrnDataReport1Callback)(void* user, StDataReport1* report);
typedef void(PYRN_CALL* PyrnDataReport2Callback)(void* user, StDataReport2* report);
typedef void(PYRN_CALL* PyrnDataReport3Callback)(void* user, StDataReport3* report);
typedef void(PYRN_CALL* PyrnDataReport4Callback)(void* user, StReportRecord* report);
typedef void(PYRN_CALL* BoxFoundCallback)(StSearchResult* result);
typedef void(PYRN_CALL* PyrnUpdateProgressCallback)(void* user, StUpdateProgress* progress);

/* Life cycle. report1: class 4 sub-command 1 reports, report0: sub-command 0. */
PYRN_API int PYRN_CALL PyrnBox_Init(PyrnByteReportCallback report1,
                                    PyrnValueReportCallback report0, PyrnStatusCallback status,
                                    void* user);
PYRN_API int PYRN_CALL PyrnBox_Quit(void);

/* Connections. */
PYRN_API int PYRN_CALL PyrnBox_ConnectDevice(const char* ip, CBoxDevice** handle);
/* parity 0 none, 1 odd, 2 even, 3 mark, 4 space; stopBits 0 one, 1 one and a
 * half, 2 two. portName: a device path, or a name below /dev/. */
PYRN_API int PYRN_CALL PyrnBox_ConnectDeviceEx(const char* ip, CBoxDevice** handle,
                                               const char* portName, uint32_t baudRate,
                                               int parity, int byteSize, int stopBits);
PYRN_API int PYRN_CALL PyrnBox_DisconnectDevice(CBoxDevice* handle);

/* Search and network settings. */
PYRN_API int PYRN_CALL PyrnBox_SearchPyrnCore(BoxFoundCallback cb);
PYRN_API int PYRN_CALL PyrnBox_SetNetParams(CBoxDevice* handle, uint32_t currentIp,
                                            const StNetParams* params, int broadcast);

/* Callbacks (null unregisters). */
PYRN_API int PYRN_CALL PyrnBox_RegSerialPortCallback(PyrnSerialDataCallback cb);
PYRN_API int PYRN_CALL PyrnBox_RegHeartStatusCallback(PyrnHeartStatusCallback cb);
PYRN_API int PYRN_CALL PyrnBox_RegSerialPortDataExCallback(PyrnSerialDataExCallback cb);
PYRN_API int PYRN_CALL PyrnBox_RegDoorAndBarrierStatusCallback(PyrnValueReportCallback door,
                                                               PyrnValueReportCallback barrier);
PYRN_API int PYRN_CALL PyrnBox_RegLogInfoCallback(PyrnLogInfoCallback cb);
PYRN_API int PYRN_CALL PyrnBox_RegMaxLinkInfoCallback(PyrnMaxLinkInfoCallback cb);
PYRN_API int PYRN_CALL PyrnBox_RegDataReportCallback(PyrnDataReport1Callback cb1,
                                                     PyrnDataReport2Callback cb2,
                                                     PyrnDataReport3Callback cb3,
                                                     PyrnDataReport4Callback cb4);

/* Device commands. set: non-zero (low byte) writes the value, zero reads it
 * back into the same variable. */
PYRN_API int PYRN_CALL PyrnBox_ControlRoadgate(CBoxDevice* handle, int command);
PYRN_API int PYRN_CALL PyrnBox_VoiceBroadcast(CBoxDevice* handle, const char* text);
PYRN_API int PYRN_CALL PyrnBox_ControlLED(CBoxDevice* handle, const char* text);
PYRN_API int PYRN_CALL PyrnBox_ControlSerialPort(CBoxDevice* handle, const void* data,
                                                 int length);
PYRN_API int PYRN_CALL PyrnBox_ControlLEDComParams(CBoxDevice* handle, int set, int* params);
PYRN_API int PYRN_CALL PyrnBox_ControlSerialPortEx(CBoxDevice* handle, int set, void* data,
                                                   uint16_t* length, int port);
PYRN_API int PYRN_CALL PyrnBox_ControlSerialPortParams(CBoxDevice* handle, int set, int* params,
                                                       int port);
PYRN_API int PYRN_CALL PyrnBox_ReadRamStatus(CBoxDevice* handle, uint8_t* status);
PYRN_API int PYRN_CALL PyrnBox_ControlSerialNo(CBoxDevice* handle, void* serial, int set);
PYRN_API int PYRN_CALL PyrnBox_ControlMAC(CBoxDevice* handle, uint8_t* mac, int set);
PYRN_API int PYRN_CALL PyrnBox_ReadLogNum(CBoxDevice* handle, uint32_t* count);
PYRN_API int PYRN_CALL PyrnBox_ReadLog(CBoxDevice* handle);
PYRN_API int PYRN_CALL PyrnBox_ControlResetEnable(CBoxDevice* handle, uint8_t* enable, int set);
PYRN_API int PYRN_CALL PyrnBox_SaveParams(CBoxDevice* handle);
PYRN_API int PYRN_CALL PyrnBox_RecoveryDefault(CBoxDevice* handle);
PYRN_API int PYRN_CALL PyrnBox_RecoveryFactory(CBoxDevice* handle, const uint8_t* code);
PYRN_API int PYRN_CALL PyrnBox_ControlLogLevel(CBoxDevice* handle, int* level, int set);
/* version: 36 bytes, the type tag then the version text (no terminator when
 * it fills the buffer). */
PYRN_API int PYRN_CALL PyrnBox_GetDeviceVersion(CBoxDevice* handle, char* version);
PYRN_API int PYRN_CALL PyrnBox_GetDeviceNetInfo(CBoxDevice* handle, uint32_t* params);
PYRN_API int PYRN_CALL PyrnBox_ControlLEDLength(CBoxDevice* handle, int* value, int set);
PYRN_API int PYRN_CALL PyrnBox_ControlLEDRowNum(CBoxDevice* handle, int* value, int set);
PYRN_API int PYRN_CALL PyrnBox_ControlLEDInterfaceType(CBoxDevice* handle, int* value, int set);
PYRN_API int PYRN_CALL PyrnBox_ControlLEDDisplaySpeed(CBoxDevice* handle, uint8_t* value,
                                                      int set);
PYRN_API int PYRN_CALL PyrnBox_ControlLEDDisplayTimeout(CBoxDevice* handle, uint8_t* value,
                                                        int set);
PYRN_API int PYRN_CALL PyrnBox_ControlLEDDisplayLight(CBoxDevice* handle, uint8_t* value,
                                                      int set);
PYRN_API int PYRN_CALL PyrnBox_ControlLEDPolar(CBoxDevice* handle, int* value, int set);
PYRN_API int PYRN_CALL PyrnBox_ControlLEDDefaultTitle(CBoxDevice* handle, int* value, int set);
PYRN_API int PYRN_CALL PyrnBox_ControlLEDShowTime(CBoxDevice* handle, int* value, int set);
PYRN_API int PYRN_CALL PyrnBox_SetLEDDetectMode(CBoxDevice* handle, const uint8_t* mode);
PYRN_API int PYRN_CALL PyrnBox_ControlBLEParams(CBoxDevice* handle, int* params, int set);
PYRN_API int PYRN_CALL PyrnBox_ControlBLEMode(CBoxDevice* handle, int* mode, int set);
PYRN_API int PYRN_CALL PyrnBox_ClearLog(CBoxDevice* handle);
PYRN_API int PYRN_CALL PyrnBox_SendAnyData(CBoxDevice* handle, const void* data,
                                           uint32_t length);

/* Firmware update. imageType 0, 1 or 2. */
PYRN_API int PYRN_CALL PyrnBox_LoadUpdateFile(const char* path, int imageType, int* blockCount);
PYRN_API int PYRN_CALL PyrnBox_UpdateDevice(CBoxDevice* handle, const char* accessCode,
                                            PyrnUpdateProgressCallback cb);
PYRN_API int PYRN_CALL PyrnBox_StopUpdate(CBoxDevice* handle);

#ifdef __cplusplus
}
#endif

#endif /* PYRNBOX_H */

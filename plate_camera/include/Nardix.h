/*
 * Nardix: find plate-recognition cameras on the local network, set their
 * network parameters, connect their result and control channels, trigger
 * captures and receive recognition results with their images.
 *
 * Every export returns an int result code: 0 is success; LPR_GetErrorMsg
 * gives the text of a code. Texts handed in and out are GBK. Callbacks get the
 * user value given to LPR_Init first, then the record, which belongs to the
 * library and lives only for the call.
 */
#ifndef NARDIX_H
#define NARDIX_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define NARDIX_CALL __stdcall
#else
#define NARDIX_CALL
#endif

#if defined(NARDIX_BUILD)
#if defined(_WIN32)
#define NARDIX_API __declspec(dllexport)
#else
#define NARDIX_API __attribute__((visibility("default")))
#endif
#elif defined(_WIN32)
#define NARDIX_API __declspec(dllimport)
#else
#define NARDIX_API
#endif

#ifdef __cplusplus
#define NARDIX_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define NARDIX_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu
#define NARDIX_32BIT 1
#else
#define NARDIX_32BIT 0
#endif

/* The requested IP address is one of this PC's addresses. */
#ifndef ERR_IP_CONFLICT
#define ERR_IP_CONFLICT 50
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque camera handle. */
typedef struct StLprCameraHandle StLprCameraHandle;

/* A camera that answered a scan (316 bytes). */
typedef struct StLprDeviceInfo {
  char ip[16];
  char mask[16];
  char gateway[16];
  uint8_t reserved[6];
  uint8_t mac[6];
  char type[255]; /* device type text followed by the model text */
  uint8_t extra;  /* one byte of the answer, passed on */
} StLprDeviceInfo;
NARDIX_STATIC_ASSERT(sizeof(StLprDeviceInfo) == 316, "StLprDeviceInfo is 316 bytes");
NARDIX_STATIC_ASSERT(offsetof(StLprDeviceInfo, mac) == 54, "MAC at 54");
NARDIX_STATIC_ASSERT(offsetof(StLprDeviceInfo, type) == 60, "type text at 60");
NARDIX_STATIC_ASSERT(offsetof(StLprDeviceInfo, extra) == 315, "extra byte at 315");

/* Network parameters of a camera (54 bytes). */
typedef struct StLprNetParams {
  char ip[16];
  char mask[16];
  char gateway[16];
  uint8_t mac[6];
} StLprNetParams;
NARDIX_STATIC_ASSERT(sizeof(StLprNetParams) == 54, "StLprNetParams is 54 bytes");

/* Raw command and reply block of LPR_ControlParams (520 bytes). */
typedef struct StLprControlParams {
  uint8_t type;      /* command type */
  uint8_t code;      /* command code */
  uint8_t hasPrefix; /* 1: the prefix byte goes before the data */
  uint8_t prefix;
  uint8_t direction; /* 1 set (write), 0 get (read) */
  uint8_t unused;
  uint16_t length; /* data length (at most 512); after a get, the reply's */
  uint8_t data[512];
} StLprControlParams;
NARDIX_STATIC_ASSERT(sizeof(StLprControlParams) == 520, "StLprControlParams is 520 bytes");
NARDIX_STATIC_ASSERT(offsetof(StLprControlParams, length) == 6, "length at 6");
NARDIX_STATIC_ASSERT(offsetof(StLprControlParams, data) == 8, "data at 8");

/* The camera's five version texts (1275 bytes). */
typedef struct StLprVersionInfo {
  char version[5][255];
} StLprVersionInfo;
NARDIX_STATIC_ASSERT(sizeof(StLprVersionInfo) == 5 * 255, "StLprVersionInfo is 1275 bytes");

/* Algorithm parameters (20 bytes). */
typedef struct StLprAlgParams {
  int32_t value0;
  uint16_t value1;
  uint16_t value2;
  uint16_t value3;
  uint16_t value4;
  int32_t value5;
  uint8_t flag;
  uint8_t reserved[3];
} StLprAlgParams;
NARDIX_STATIC_ASSERT(sizeof(StLprAlgParams) == 20, "StLprAlgParams is 20 bytes");
NARDIX_STATIC_ASSERT(offsetof(StLprAlgParams, value5) == 12, "value5 at 12");
NARDIX_STATIC_ASSERT(offsetof(StLprAlgParams, flag) == 16, "flag at 16");

/* Link event of a camera (24 bytes on 32-bit targets).
 * code: 0 result channel connected again, 3 result channel lost,
 * 4 the camera reported a reset. */
typedef struct StLprConnEvent {
  StLprCameraHandle* handle;
  char ip[16];
  int32_t code;
} StLprConnEvent;
#if NARDIX_32BIT
NARDIX_STATIC_ASSERT(sizeof(StLprConnEvent) == 24, "StLprConnEvent is 24 bytes");
#endif

/* One recognition result with up to three images (368 bytes on 32-bit
 * targets; the offsets there are those of the camera interface). */
#pragma pack(push, 1)
typedef struct StLprResult {
  StLprCameraHandle* handle;
  uint16_t resultId;
  char ip[16];
  uint8_t reserved0[2];
  int32_t blockValues[4]; /* recognition block bytes 16, 20, 24, 28 */
  char blockText[255];    /* recognition block text at byte 36 */
  int32_t blockValue172;  /* recognition block byte 172 */
  int32_t blockValue176;  /* recognition block byte 176 */
  char infoText[16];      /* info segment text at byte 0 */
  uint8_t reserved1;
  int32_t infoValue62; /* info segment byte 62 */
  uint8_t* image1;     /* 204800 bytes; the info segment follows the data */
  int32_t image1Length;
  uint16_t image1Width; /* 720 */
  uint16_t image1Height; /* 576 */
  uint8_t* image2; /* 51200 bytes */
  int32_t image2Length;
  uint16_t image2Width; /* 320 */
  uint16_t image2Height; /* 288 */
  uint8_t* image3; /* 10240 bytes */
  int32_t image3Length;
  uint16_t image3Width;
  uint16_t image3Height;
  uint8_t* debug; /* 1344 bytes */
  int32_t debugLength;
} StLprResult;
#pragma pack(pop)
NARDIX_STATIC_ASSERT(offsetof(StLprResult, blockValues) == sizeof(void*) + 20, "block values");
NARDIX_STATIC_ASSERT(offsetof(StLprResult, blockValue172) == sizeof(void*) + 291, "value 172");
NARDIX_STATIC_ASSERT(offsetof(StLprResult, infoValue62) == sizeof(void*) + 316, "info value 62");
#if NARDIX_32BIT
NARDIX_STATIC_ASSERT(sizeof(StLprResult) == 368, "StLprResult is 368 bytes");
NARDIX_STATIC_ASSERT(offsetof(StLprResult, image1) == 324, "image 1 at 324");
NARDIX_STATIC_ASSERT(offsetof(StLprResult, image2) == 336, "image 2 at 336");
NARDIX_STATIC_ASSERT(offsetof(StLprResult, image3) == 348, "image 3 at 348");
NARDIX_STATIC_ASSERT(offsetof(StLprResult, debug) == 360, "debug at 360");
#endif

/* Size of the algorithm debug block handed to LprAlgDebugCallback. */
#define LPR_ALG_DEBUG_SIZE 1332

typedef void(NARDIX_CALL* LprFoundCallback)(void* user, StLprDeviceInfo* info);
typedef void(NARDIX_CALL* LprConnEventCallback)(void* user, StLprConnEvent* event);
typedef void(NARDIX_CALL* LprResultCallback)(void* user, StLprResult* result);
/* record: five 32-bit words, then a buffer pointer. */
typedef void(NARDIX_CALL* LprSpareCallback)(void* user, void* record);
typedef void(NARDIX_CALL* LprAlgDebugCallback)(void* user, uint8_t* block);

/* Life cycle. mode 0: callbacks run on the library's threads; any other mode:
 * they run one at a time on the library's message thread. */
NARDIX_API int NARDIX_CALL LPR_Init(int mode, void* user, LprFoundCallback found,
                                    LprConnEventCallback conn, LprResultCallback result,
                                    LprSpareCallback spare);
NARDIX_API int NARDIX_CALL LPR_Quit(void);

/* Settings. want: three bytes, delivery switches of images 1, 2 and 3. */
NARDIX_API int NARDIX_CALL LPR_IsWriteLog(int on);
NARDIX_API int NARDIX_CALL LPR_ControlContent(const uint8_t* want);
NARDIX_API int NARDIX_CALL LPR_SetAlgDebugInfoCallback(LprAlgDebugCallback cb);
/* Text of a result code into text (21 bytes hold every text). */
NARDIX_API int NARDIX_CALL LPR_GetErrorMsg(int code, char* text);

/* Discovery and network settings. With a handle the settings go over the
 * camera's control channel (only next is needed), without one by broadcast. */
NARDIX_API int NARDIX_CALL LPR_ScanDevice(void);
NARDIX_API int NARDIX_CALL LPR_SetNetParams(StLprCameraHandle* handle, const StLprNetParams* current,
                                            const StLprNetParams* next);

/* Connection. state: 0 connected, 1 no result channel, 3 link lost. */
NARDIX_API int NARDIX_CALL LPR_ConnectCamera(const char* ip, StLprCameraHandle** handle);
NARDIX_API int NARDIX_CALL LPR_DisconnectCamera(StLprCameraHandle* handle);
NARDIX_API int NARDIX_CALL LPR_CheckStatus(StLprCameraHandle* handle, int* state);

/* Camera requests. time: seconds since 1970, 0 for now. */
NARDIX_API int NARDIX_CALL LPR_Capture(StLprCameraHandle* handle);
NARDIX_API int NARDIX_CALL LPR_CaptureEx(StLprCameraHandle* handle, int unused);
NARDIX_API int NARDIX_CALL LPR_AdjustTime(StLprCameraHandle* handle, int64_t time);
NARDIX_API int NARDIX_CALL LPR_NTPEnable(StLprCameraHandle* handle, int on, const char* serverIp);
NARDIX_API int NARDIX_CALL LPR_GetAllVersion(StLprCameraHandle* handle, StLprVersionInfo* info);
NARDIX_API int NARDIX_CALL LPR_GetShutterValue(StLprCameraHandle* handle, int* value);
NARDIX_API int NARDIX_CALL LPR_SetShutterValue(StLprCameraHandle* handle, int value);
NARDIX_API int NARDIX_CALL LPR_SetWorkMode(StLprCameraHandle* handle, int mode);
NARDIX_API int NARDIX_CALL LPR_ControlParams(StLprCameraHandle* handle, StLprControlParams* params,
                                             int timeoutMs);
NARDIX_API int NARDIX_CALL LPR_GetAlgParams(StLprCameraHandle* handle, StLprAlgParams* params,
                                            int timeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* NARDIX_H */

/*
 * Qelm_Control: find and drive smart traffic cameras on the local network.
 *
 * Every export returns an int result code: 0 is success; Qelm_GetErrorMsg
 * gives the text of a code. Texts handed in and out are GBK. IPv4 addresses
 * are 32-bit values with the first octet in the lowest byte (as inet_addr
 * gives them).
 */
#ifndef QELM_CONTROL_H
#define QELM_CONTROL_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define QELM_CALL __stdcall
#else
#define QELM_CALL
#endif

#if defined(QELM_BUILD)
#if defined(_WIN32)
#define QELM_API __declspec(dllexport)
#else
#define QELM_API __attribute__((visibility("default")))
#endif
#elif defined(_WIN32)
#define QELM_API __declspec(dllimport)
#else
#define QELM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque device handle. */
typedef struct StCameraHandle StCameraHandle;

/* Serial-number text and MAC of a device (38 bytes). */
#ifndef KIT_ST_DEVICE_FACTORY_INFO
#define KIT_ST_DEVICE_FACTORY_INFO
typedef struct StDeviceFactoryInfo {
  char serial[32];
  uint8_t mac[6];
} StDeviceFactoryInfo;
#endif

/* A camera as discovery or an information request describes it (536 bytes). */
typedef struct StCameraInfo {
  uint32_t ip;
  uint32_t mask;
  uint32_t gateway;
  char userText[4][64];
  StDeviceFactoryInfo factory;
  char version[200];
  uint8_t reserved0[2];
  uint16_t deviceValue1;
  uint16_t deviceValue2;
  uint32_t deviceValue3to7[5];
  uint16_t deviceValue8;
  uint8_t reserved1[2];
} StCameraInfo;

/* Algorithm result pushed by a camera: its address and the item's data. */
typedef struct StAlgResult {
  uint32_t ip;
  const void* data;
} StAlgResult;

typedef void(QELM_CALL* CameraFoundCallback)(StCameraInfo* info);
/* event: 3 link lost, 4 link restored. */
typedef void(QELM_CALL* ConnEventCallback)(void* user, StCameraHandle* handle, int event);
/* event: 3 link lost, 4 camera connected in server mode. */
typedef void(QELM_CALL* CameraHandleCallback)(StCameraHandle* handle, void* user, const char* ip,
                                              int event);
typedef void(QELM_CALL* AlgResultCallback)(void* user, StAlgResult* result);
typedef void(QELM_CALL* StatusCallback)(StCameraHandle* handle, void* user, const void* status);
/* progress: words 1 to 39 of a transfer progress record. */
typedef void(QELM_CALL* UpdateProgressCallback)(void* user, const uint32_t* progress);

/* Life cycle. */
QELM_API int QELM_CALL Qelm_InitControl(CameraFoundCallback cb);
QELM_API int QELM_CALL Qelm_Quit(void);

/* Control connection to a camera (TCP 58000). OpenCamera: *handle receives
 * the device handle (null on failure); user is handed back with the
 * connection events of this handle; cb becomes the connection-event callback
 * of every handle. CheckStatus: *state 4 connected, 3 disconnected (result
 * 14), 1 unknown handle (result 7). */
QELM_API int QELM_CALL Qelm_OpenCamera(uint32_t ip, StCameraHandle** handle, void* user,
                                       ConnEventCallback cb);
QELM_API int QELM_CALL Qelm_CloseCamera(StCameraHandle* handle);
QELM_API int QELM_CALL Qelm_CheckStatus(StCameraHandle* handle, int* state);

/* Callbacks. */
QELM_API int QELM_CALL Qelm_RegCameraHandleCallBack(CameraHandleCallback cb, void* user);
QELM_API int QELM_CALL Qelm_RegAlgResultCallback(void* user, AlgResultCallback cb);
QELM_API int QELM_CALL Qelm_RegControlStatusCallback(StCameraHandle* handle, void* user,
                                                     StatusCallback longStatus,
                                                     StatusCallback shortStatus);

/* Text of a result code into text (64 bytes hold every text): 1 found, 0 not. */
QELM_API int QELM_CALL Qelm_GetErrorMsg(int code, char* text);

/* Control log: daily files in the folder "DLLLog" beside the library. */
QELM_API int QELM_CALL Qelm_RecordControlLog(int on);
QELM_API int QELM_CALL Qelm_EnableCameraLog(intptr_t a, intptr_t b, intptr_t c);
QELM_API int QELM_CALL Qelm_SetRevLogMode(intptr_t a, intptr_t b, intptr_t c, intptr_t d,
                                          intptr_t e);
QELM_API int QELM_CALL Qelm_GetLogData(intptr_t a, intptr_t b);

#ifdef __cplusplus
}
#endif

#endif /* QELM_CONTROL_H */

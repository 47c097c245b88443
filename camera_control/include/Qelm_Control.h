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

/* New network settings of a device (16 bytes): address, mask and gateway
 * words; the camera library reads these three, the controller-box library
 * the fourth word as well. A StCameraInfo may be passed in its place. */
#ifndef KIT_ST_NET_PARAMS
#define KIT_ST_NET_PARAMS
typedef struct StNetParams {
  uint32_t ip;
  uint32_t mask;
  uint32_t gateway;
  uint32_t fourth;
} StNetParams;
#endif

/* A camera as discovery or an information request describes it (536 bytes;
 * the version text is the device type followed by its description). */
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

/* Information port of a camera (no control connection needed). texts: four
 * 64-byte user texts in a row. */
QELM_API int QELM_CALL Qelm_GetCameraInfo(uint32_t ip, StCameraInfo* info, int timeoutMs);
QELM_API int QELM_CALL Qelm_SetCameraUserInfo(uint32_t ip, const char* texts, int timeoutMs);
QELM_API int QELM_CALL Qelm_SetFactoryInfo(uint32_t ip, const StDeviceFactoryInfo* info,
                                           int timeoutMs);

/* XML description files of an open camera: paths receives full paths (the
 * main file first), count their number. Algorithm files: stored at path. */
QELM_API int QELM_CALL Qelm_GetXMLFileInfo(StCameraHandle* handle, int* count, char** paths,
                                           uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_GetAlgFile(uint32_t ip, const char* name, const char* path,
                                       uint32_t timeoutMs);

/* Discovery and network settings by broadcast from every local address.
 * Search: answers arrive later through the callback of Qelm_InitControl.
 * Set: ip is the device's current address; broadcast counts by its low byte
 * (non-zero: by broadcast; zero: over a connection to the device). */
QELM_API int QELM_CALL Qelm_SearchCamera(void);
QELM_API int QELM_CALL Qelm_SetCameraNetParams(uint32_t ip, const StNetParams* params,
                                               int broadcast);
/* Restart of the device with address ip. */
QELM_API int QELM_CALL Qelm_UDPReset(uint32_t ip);

/* Copies an open camera's parameter files and its system log over FTP into
 * folder (which must exist; files there are replaced). 0 once logged in, what
 * each file gave is told in the control log; 160 when the camera's FTP
 * service could not be reached or refused the login. unused is not read. */
QELM_API int QELM_CALL Qelm_FTPReadParams(StCameraHandle* handle, const char* folder, intptr_t unused);

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

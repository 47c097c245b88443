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

#include <stddef.h>
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
 * the version text is the device type followed by its description; the two
 * reserved pairs are alignment gaps, never written). */
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

/* Size of the version text and package description buffers that callers
 * hand to Qelm_Update and Qelm_LoadUpdateFile: texts are copied with at most
 * QELM_UPDATE_TEXT_SIZE - 1 characters and a terminating NUL. */
#define QELM_UPDATE_TEXT_SIZE 5120

/* One part of a loaded update package (5196 bytes): its 0-based index in the
 * package, its kind, and the fields of its description header, copied
 * through whole as the package gives them (a text that fills its field has
 * no terminating NUL). */
typedef struct StUpdateFileInfo {
  uint32_t id;
  uint32_t kind;
  uint16_t descValue;
  char descText1[32];
  char descText2[32];
  char descText3[256];
  uint8_t reserved[4866];
} StUpdateFileInfo;

#if defined(__cplusplus)
static_assert(sizeof(StUpdateFileInfo) == 5196, "StUpdateFileInfo is 5196 bytes");
static_assert(offsetof(StUpdateFileInfo, descValue) == 8, "StUpdateFileInfo layout");
static_assert(offsetof(StUpdateFileInfo, descText1) == 10, "StUpdateFileInfo layout");
static_assert(offsetof(StUpdateFileInfo, descText2) == 42, "StUpdateFileInfo layout");
static_assert(offsetof(StUpdateFileInfo, descText3) == 74, "StUpdateFileInfo layout");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(StUpdateFileInfo) == 5196, "StUpdateFileInfo is 5196 bytes");
_Static_assert(offsetof(StUpdateFileInfo, descText3) == 74, "StUpdateFileInfo layout");
#endif

/* Algorithm result pushed by a camera: its address and the item's data. */
typedef struct StAlgResult {
  uint32_t ip;
  const void* data;
} StAlgResult;

/* Longest data of one command item: a request frame holds at most 1024
 * bytes (36-byte head, 20-byte item head, 4-byte tail). */
#define QELM_COMMAND_DATA_MAX 964

/* One raw command item (976 bytes): the item code sent is
 * ns << 16 | group << 8 | index, in a frame addressed to ns; setFlag non-zero
 * makes it a set. length (at most QELM_COMMAND_DATA_MAX) bytes of data are
 * sent; a get stores the answer back into data (up to length bytes, the rest
 * of them zeroed). */
typedef struct StRawCommand {
  uint16_t ns;
  uint8_t group;
  uint8_t index;
  uint8_t paraType;
  uint8_t setFlag;
  uint8_t reserved[2];
  uint32_t length;
  uint8_t data[QELM_COMMAND_DATA_MAX];
} StRawCommand;

/* Storage state of a device (16 bytes); flags are 0 or 1. */
typedef struct StStorageInfo {
  int32_t firstFlag;
  uint32_t firstValue;
  int32_t secondFlag;
  uint32_t secondValue;
} StStorageInfo;

/* Factory information of a device (104 bytes): a text (up to 32 bytes, not
 * terminated when it fills the field) and six 12-byte fields. A write sends
 * text, field1 and field4; a read fills text, field2, field3, field5 and
 * field6. */
typedef struct StFactoryInfoEx {
  char text[32];
  uint8_t field1[12];
  uint8_t field2[12];
  uint8_t field3[12];
  uint8_t field4[12];
  uint8_t field5[12];
  uint8_t field6[12];
} StFactoryInfoEx;

/* Clips asked for by Qelm_GetClipsStatus: count selectors (1 to
 * QELM_CLIP_SELECTORS_MAX, as many as one request frame carries). */
#define QELM_CLIP_SELECTORS_MAX 41
typedef struct StClipSelection {
  uint16_t count;
  uint8_t reserved[2];
  uint32_t selectors[QELM_CLIP_SELECTORS_MAX];
} StClipSelection;

/* One parameter named by an XML description of the device: ns is the
 * description's namespace text, code the parameter's code text as the
 * description writes it ("0x" included). A set sends *length bytes of value
 * (at most QELM_XML_VALUE_SIZE); a get fills value. Both hand back the status
 * and the data length of the device's answer in *status and *length (value
 * is left alone when the answer is longer than the field). */
#define QELM_XML_VALUE_SIZE 4096
typedef struct StXMLParam {
  StCameraHandle* handle;
  char ns[32];
  char code[24];
  int* status;
  uint8_t value[QELM_XML_VALUE_SIZE];
  int* length;
} StXMLParam;

#if defined(__cplusplus)
#define QELM_STATIC_ASSERT static_assert
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define QELM_STATIC_ASSERT _Static_assert
#endif
#ifdef QELM_STATIC_ASSERT
QELM_STATIC_ASSERT(sizeof(StDeviceFactoryInfo) == 38, "StDeviceFactoryInfo is 38 bytes");
QELM_STATIC_ASSERT(sizeof(StNetParams) == 16, "StNetParams is four words");
QELM_STATIC_ASSERT(sizeof(StCameraInfo) == 536, "StCameraInfo is 536 bytes");
QELM_STATIC_ASSERT(offsetof(StCameraInfo, mask) == 4, "StCameraInfo layout");
QELM_STATIC_ASSERT(offsetof(StCameraInfo, gateway) == 8, "StCameraInfo layout");
QELM_STATIC_ASSERT(offsetof(StCameraInfo, userText) == 12, "StCameraInfo layout");
QELM_STATIC_ASSERT(offsetof(StCameraInfo, factory) == 268, "StCameraInfo layout");
QELM_STATIC_ASSERT(offsetof(StCameraInfo, factory.mac) == 300, "StCameraInfo layout");
QELM_STATIC_ASSERT(offsetof(StCameraInfo, version) == 306, "StCameraInfo layout");
QELM_STATIC_ASSERT(offsetof(StCameraInfo, reserved0) == 506, "StCameraInfo layout");
QELM_STATIC_ASSERT(offsetof(StCameraInfo, deviceValue1) == 508, "StCameraInfo layout");
QELM_STATIC_ASSERT(offsetof(StCameraInfo, deviceValue2) == 510, "StCameraInfo layout");
QELM_STATIC_ASSERT(offsetof(StCameraInfo, deviceValue3to7) == 512, "StCameraInfo layout");
QELM_STATIC_ASSERT(offsetof(StCameraInfo, deviceValue8) == 532, "StCameraInfo layout");
QELM_STATIC_ASSERT(offsetof(StCameraInfo, reserved1) == 534, "StCameraInfo layout");
QELM_STATIC_ASSERT(sizeof(StRawCommand) == 976, "StRawCommand is 976 bytes");
QELM_STATIC_ASSERT(offsetof(StRawCommand, paraType) == 4, "StRawCommand layout");
QELM_STATIC_ASSERT(offsetof(StRawCommand, length) == 8, "StRawCommand layout");
QELM_STATIC_ASSERT(offsetof(StRawCommand, data) == 12, "StRawCommand layout");
QELM_STATIC_ASSERT(sizeof(StStorageInfo) == 16, "StStorageInfo is 16 bytes");
QELM_STATIC_ASSERT(offsetof(StStorageInfo, secondFlag) == 8, "StStorageInfo layout");
QELM_STATIC_ASSERT(sizeof(StFactoryInfoEx) == 104, "StFactoryInfoEx is 104 bytes");
QELM_STATIC_ASSERT(offsetof(StFactoryInfoEx, field1) == 32, "StFactoryInfoEx layout");
QELM_STATIC_ASSERT(offsetof(StFactoryInfoEx, field6) == 92, "StFactoryInfoEx layout");
QELM_STATIC_ASSERT(sizeof(StClipSelection) == 168, "StClipSelection is 168 bytes");
QELM_STATIC_ASSERT(offsetof(StClipSelection, selectors) == 4, "StClipSelection layout");
QELM_STATIC_ASSERT(offsetof(StXMLParam, code) == offsetof(StXMLParam, ns) + 32, "StXMLParam layout");
QELM_STATIC_ASSERT(offsetof(StXMLParam, status) > offsetof(StXMLParam, code), "StXMLParam layout");
QELM_STATIC_ASSERT(offsetof(StXMLParam, length) == offsetof(StXMLParam, value) + 4096, "StXMLParam layout");
#if UINTPTR_MAX == 0xFFFFFFFFu
QELM_STATIC_ASSERT(sizeof(StXMLParam) == 4164, "StXMLParam is 4164 bytes on 32-bit targets");
QELM_STATIC_ASSERT(offsetof(StXMLParam, value) == 64, "StXMLParam layout");
#endif
#undef QELM_STATIC_ASSERT
#endif

typedef void(QELM_CALL* CameraFoundCallback)(StCameraInfo* info);
/* event: 3 link lost, 4 link restored. */
typedef void(QELM_CALL* ConnEventCallback)(void* user, StCameraHandle* handle, int event);
/* event: 3 link lost, 4 camera connected in server mode. */
typedef void(QELM_CALL* CameraHandleCallback)(StCameraHandle* handle, void* user, const char* ip,
                                              int event);
typedef void(QELM_CALL* AlgResultCallback)(void* user, StAlgResult* result);
typedef void(QELM_CALL* StatusCallback)(StCameraHandle* handle, void* user, const void* status);
/* progress: 39 words of a transfer's progress: [0] item count, [1] current
 * item (1-based), [2] its block count, [3] blocks sent, [4] its kind, [5..36]
 * the item's record, [37] transfer state, [38] result (0 success, 1
 * connection lost, 2 bad reply, 3 send failed). */
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
 * main file first), count their number. One call lists at most
 * QELM_XML_FILES_MAX paths (the main file and up to 29 extension files), each
 * at most QELM_XML_PATH_SIZE bytes with its terminating NUL, and never writes
 * more: paths must point to QELM_XML_FILES_MAX buffers of QELM_XML_PATH_SIZE
 * bytes. A camera whose version names more files, or a path that would not
 * fit, gives 209 and no path. Algorithm files: stored at path. */
#define QELM_XML_FILES_MAX 30
#define QELM_XML_PATH_SIZE 512
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

/* Firmware update from a package file. Loading fills description (at least
 * QELM_UPDATE_TEXT_SIZE bytes), partCount and parts (the library's array,
 * valid until the next load). Qelm_Update sends the parts named by partIds
 * to the camera at ip in blocks of blockSize bytes (1 to 1023924); progress
 * reaches callback through the hidden window. With queryVersion (low byte)
 * set it only reads the camera's version text into versionText, which must
 * hold QELM_UPDATE_TEXT_SIZE bytes. */
QELM_API int QELM_CALL Qelm_LoadUpdateFile(const char* path, char* description, uint32_t* partCount,
                                           StUpdateFileInfo** parts);
QELM_API int QELM_CALL Qelm_Update(uint32_t ip, uint32_t partCount, const uint32_t* partIds,
                                   uint32_t blockSize, void* user, UpdateProgressCallback callback,
                                   int queryVersion, char* versionText, uint32_t reserved);

/* Database file sent whole to the camera at ip over its control port, when
 * the camera holds the same database or none (blockSize 1 to 1023924). */
QELM_API int QELM_CALL Qelm_LoadDBFile(const char* path, uint32_t blockSize);
QELM_API int QELM_CALL Qelm_UpdateDBData(uint32_t ip, uint32_t reserved, void* user,
                                         UpdateProgressCallback callback);

/* Control connection to a camera (TCP 58000). OpenCamera: *handle receives
 * the device handle (null on failure); user is handed back with the
 * connection events of this handle; cb becomes the connection-event callback
 * of every handle. CheckStatus: *state 4 connected, 3 disconnected (result
 * 14), 1 unknown handle (result 7). */
QELM_API int QELM_CALL Qelm_OpenCamera(uint32_t ip, StCameraHandle** handle, void* user,
                                       ConnEventCallback cb);
QELM_API int QELM_CALL Qelm_CloseCamera(StCameraHandle* handle);
QELM_API int QELM_CALL Qelm_CheckStatus(StCameraHandle* handle, int* state);

/* The MAC of an open camera (info->mac), deciphered from its factory block;
 * the serial text is left as it is. Waits a fixed 500 ms for the answer. */
QELM_API int QELM_CALL Qelm_GetDeviceFactoryInfo(StCameraHandle* handle, StDeviceFactoryInfo* info);

/* Server mode: a listener on the local address ip (dotted text) and port
 * at which cameras connect; start (low byte) non-zero starts it, zero stops
 * it. Every camera that connects and answers the opening request becomes a
 * device handle, announced with event 4 through the callback of
 * Qelm_RegCameraHandleCallBack; its lost link gives event 3 and closes it.
 * 0 done (also a start of a running listener), 1 bad argument or nothing to
 * stop, 2 the listener could not be made, 101 its thread could not start. */
QELM_API int QELM_CALL Qelm_ControlServer(const char* ip, int port, int start);

/* Single-value device commands on an open handle; the time-out is in
 * milliseconds. Boolean arguments count by their low byte; other values are
 * sent as given. Results: 0 success, 1 bad argument, 7 unknown handle, 14
 * link down, 19 no socket, 18 the device answered without accepting the item
 * (no item with its code and status 0), 209 no answer in time. */
QELM_API int QELM_CALL Qelm_ControlAdjustTime(StCameraHandle* handle, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlLightMode(StCameraHandle* handle, int value, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlAutoIrisEn(StCameraHandle* handle, int on, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlDCDebug(StCameraHandle* handle, int on, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlDCMode(StCameraHandle* handle, int value, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_IrisParamSet(StCameraHandle* handle, int value, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlShutter(StCameraHandle* handle, int value, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlGain(StCameraHandle* handle, int value, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_GetCurBright(StCameraHandle* handle, int* value, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlCutter(StCameraHandle* handle, int on, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlCutterStatus(StCameraHandle* handle, int value, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlLightEnable(StCameraHandle* handle, int on, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlLightStatus(StCameraHandle* handle, int value, uint32_t timeoutMs);
/* _Qelm_ControlLampMode@12 on 32-bit Windows. */
QELM_API int QELM_CALL Qelm_ControlLampMode(StCameraHandle* handle, int value, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_SpeedMeasureEnable(StCameraHandle* handle, int on, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlTriggerMode(StCameraHandle* handle, int value, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlRunMode(StCameraHandle* handle, int value, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlCaptureShutter1(StCameraHandle* handle, int value,
                                                   uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_SaveParams(StCameraHandle* handle, uint32_t timeoutMs);
/* path: shorter than 128 characters; first and second are the device's. */
QELM_API int QELM_CALL Qelm_FtpSendVideoFile(StCameraHandle* handle, uint16_t first, uint16_t second,
                                             const char* path, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_TestCapture(StCameraHandle* handle, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_SetMacAdrr(StCameraHandle* handle, const uint8_t* mac, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_DevReset(StCameraHandle* handle, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_FactoryReset(StCameraHandle* handle, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_SetSerialPortMode(StCameraHandle* handle, int value, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_AutoDimmingEnable(StCameraHandle* handle, int value, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_SetDCIrisBaseValue(StCameraHandle* handle, int value, uint32_t timeoutMs);
/* set (low byte) non-zero: sends *value; zero: reads the value into *value. */
QELM_API int QELM_CALL Qelm_ControlMinShutter(StCameraHandle* handle, int set, int* value,
                                              uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlMaxShutter(StCameraHandle* handle, int set, int* value,
                                              uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_TestTempDictate(StCameraHandle* handle, StRawCommand* cmd,
                                            uint32_t timeoutMs);

/* Requests of several items or with structured answers. timeoutMs must not
 * be 0. Results as above, except: 2 no socket, 17 the send failed, 104 the
 * device's answer lacks the expected item or refuses it (status not 0), 105
 * the factory text is longer than 32 bytes, 106 and 107 a factory field is
 * not 12 bytes long. time: year, month, day, hour, minute, second; a write
 * (read 0) sends this PC's local time and does not read the array. text of
 * Qelm_GetDeviceVersionInfo: at least 512 bytes, filled with the version text
 * as the device sends it (not terminated). Qelm_ControlFactoryInfo does
 * nothing and returns 19. */
QELM_API int QELM_CALL Qelm_GetStorageInfo(StCameraHandle* handle, StStorageInfo* info,
                                           uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlDeviceTime(StCameraHandle* handle, int32_t* time, int read,
                                              uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlFactoryInfoEx(StCameraHandle* handle, StFactoryInfoEx* info,
                                                 int shortForm, int read, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_GetDeviceVersionInfo(StCameraHandle* handle, char* text,
                                                 uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ForceLED(StCameraHandle* handle, int on, uint32_t timeoutMs);
/* _Qelm_GetClipsStatus@12 on 32-bit Windows. */
QELM_API int QELM_CALL Qelm_GetClipsStatus(StCameraHandle* handle, const StClipSelection* selection,
                                           uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_ControlFactoryInfo(intptr_t a, intptr_t b, intptr_t c, intptr_t d,
                                               intptr_t e);

/* A parameter named by a cached XML description. Results: 0 (with the
 * answer's status in *status), 1 bad argument (also a set of more than
 * QELM_XML_VALUE_SIZE bytes), 7 unknown handle, 14 link down, 15 namespace
 * not cached, 16 no such parameter, 17 send failed, 18 no answering item,
 * 209 no answer in time. */
QELM_API int QELM_CALL Qelm_GetParams(StXMLParam* param, uint32_t timeoutMs);
QELM_API int QELM_CALL Qelm_SetParams(StXMLParam* param, uint32_t timeoutMs);

/* Callbacks. */
QELM_API int QELM_CALL Qelm_RegCameraHandleCallBack(CameraHandleCallback cb, void* user);
QELM_API int QELM_CALL Qelm_RegAlgResultCallback(void* user, AlgResultCallback cb);
QELM_API int QELM_CALL Qelm_RegControlStatusCallback(StCameraHandle* handle, void* user,
                                                     StatusCallback longStatus,
                                                     StatusCallback shortStatus);

/* Text of a result code into text (64 bytes hold every text): 1 found, 0 not. */
QELM_API int QELM_CALL Qelm_GetErrorMsg(int code, char* text);

/* Control log: daily files "control-YYYYMMDD.log" in the folder "DLLLog" of
 * the folder where the libraries keep their files: beside the library file,
 * where that lies outside /usr and the process may write there; otherwise
 * the user's own ${XDG_STATE_HOME:-$HOME/.local/state}/device-kit/ (see the
 * README, "Where the libraries keep their files"). */
QELM_API int QELM_CALL Qelm_RecordControlLog(int on);
QELM_API int QELM_CALL Qelm_EnableCameraLog(intptr_t a, intptr_t b, intptr_t c);
QELM_API int QELM_CALL Qelm_SetRevLogMode(intptr_t a, intptr_t b, intptr_t c, intptr_t d,
                                          intptr_t e);
QELM_API int QELM_CALL Qelm_GetLogData(intptr_t a, intptr_t b);

#ifdef __cplusplus
}
#endif

#endif /* QELM_CONTROL_H */

// The 524-byte discovery record that cameras and controller boxes both speak
// on UDP 58588 and 58589: requests (search, set network, reset) and answers
// are all exactly this record. Built and parsed at explicit byte offsets,
// little-endian; address words hold the first octet in the low byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace kit {

constexpr uint32_t kScanHead = 0x0FF055AA;
constexpr uint32_t kScanTail = 0x550FF0AA;
constexpr uint32_t kScanVersion = 0x00010000;
constexpr uint32_t kScanReplyCode = 0x80000000;  // in every answer
constexpr uint32_t kNetInfoMagic = 0x12345678;   // in set-network requests
constexpr uint16_t kScanPort = 58588;
constexpr uint16_t kScanPortAlt = 58589;

enum ScanCommand : uint32_t { kScanSearch = 0, kScanSetNetwork = 1, kScanReset = 2 };

// The device's network settings inside the discovery record (132 bytes at
// offset 128). The eight device values are carried as received; nothing
// interprets them.
struct StDeviceNetInfo {
  static constexpr size_t kMagic = 0, kVersion = 4, kIp = 8, kMask = 12, kFourth = 16,
                          kGateway = 20, kMac = 24, kSerial = 32, kValue1 = 64, kValue2 = 66,
                          kValue3 = 68, kValue8 = 88;
  static constexpr size_t kSize = 132;

  uint32_t magic = 0;
  uint32_t version = 0;
  uint32_t ip = 0;
  uint32_t mask = 0;
  uint32_t fourth = 0;  // written only by the controller-box library
  uint32_t gateway = 0;
  uint8_t mac[6] = {};
  char serial[32] = {};  // raw field bytes, not necessarily terminated
  uint16_t value1 = 0;
  uint16_t value2 = 0;
  uint32_t value3to7[5] = {};
  uint16_t value8 = 0;

  static StDeviceNetInfo Read(const uint8_t* p);  // p: 132 bytes
  void Write(uint8_t* p) const;                   // reserved bytes written as 0
};
static_assert(StDeviceNetInfo::kValue8 + 2 + 42 == StDeviceNetInfo::kSize,
              "network record is 132 bytes");

struct StDeviceScanInfo {
  static constexpr size_t kHead = 0, kVersion = 4, kLength = 8, kAddressA = 12, kAddressB = 16,
                          kCommand = 20, kReplyCode = 24, kSenderTag = 28, kDeviceType = 44,
                          kDeviceText = 60, kDeviceWord = 124, kNetInfo = 128, kUserText = 260,
                          kReserved = 516, kTail = 520;
  static constexpr size_t kSize = 524;
  static constexpr size_t kTypeSize = 16, kTextSize = 64, kUserTextSize = 64;

  uint32_t head = kScanHead;
  uint32_t version = kScanVersion;
  uint32_t length = kSize;
  uint32_t addressA = 0;  // requests: 0xFFFFFFFF or the sender; answers: the host that asked
  uint32_t addressB = 0;  // requests: the sender or the target device; answers: not read
  uint32_t command = kScanSearch;
  uint32_t replyCode = 0;
  char senderTag[kTypeSize] = {};
  char deviceType[kTypeSize] = {};  // raw field bytes, not necessarily terminated
  char deviceText[kTextSize] = {};
  uint32_t deviceWord = 0;  // offset 124, reserved in requests
  StDeviceNetInfo net;
  char userText[4][kUserTextSize] = {};
  uint32_t reserved = 0;
  uint32_t tail = kScanTail;

  static StDeviceScanInfo Read(const uint8_t* p);  // p: 524 bytes
  void Write(uint8_t* p) const;
};
static_assert(StDeviceScanInfo::kNetInfo + StDeviceNetInfo::kSize == StDeviceScanInfo::kUserText,
              "network record sits at 128");
static_assert(StDeviceScanInfo::kUserText + 4 * 64 == StDeviceScanInfo::kReserved,
              "four user texts of 64 bytes");
static_assert(StDeviceScanInfo::kTail + 4 == StDeviceScanInfo::kSize, "discovery record is 524 bytes");

// Writes a text into a fixed field (zero-padded, cut at the field size).
void SetTextField(char* field, size_t fieldSize, const char* text);

// The device type text, read within its 16 bytes.
std::string DeviceTypeText(const StDeviceScanInfo& r);

// True for the controller boxes' type codes ("VELD", "VELDP", "VELK", "OSKA",
// in any letter case): those answers belong to the box library, cameras' to
// the camera library.
bool IsBoxDeviceType(const StDeviceScanInfo& r);

// The version text of a found device: the type text up to its NUL (within its
// 16 bytes) immediately followed by the device text (within its 64 bytes);
// always terminated, never more than outSize - 1 characters.
void ComposeVersionText(const StDeviceScanInfo& r, char* out, size_t outSize);

// What every found-device record (the camera library's and the box library's)
// takes from an answer as it stands: the address words, the user texts and
// the serial text whole (fields of the same sizes as the answer's, so that a
// text filling its field keeps its last character), and the MAC.
template <class Record>
void CopyFoundDevice(const StDeviceScanInfo& a, Record* out) {
  out->ip = a.net.ip;
  out->mask = a.net.mask;
  out->gateway = a.net.gateway;
  static_assert(sizeof out->userText == sizeof a.userText, "user texts match");
  static_assert(sizeof out->factory.serial == sizeof a.net.serial, "serial texts match");
  memcpy(out->userText, a.userText, sizeof out->userText);
  memcpy(out->factory.serial, a.net.serial, sizeof out->factory.serial);
  memcpy(out->factory.mac, a.net.mac, sizeof out->factory.mac);
}

}  // namespace kit

#include "scan_info.h"

#include <algorithm>
#include <cstring>

#include "bytes.h"

namespace kit {

namespace {

size_t BoundedLength(const char* field, size_t fieldSize) {
  const void* nul = memchr(field, 0, fieldSize);
  return nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : fieldSize;
}

}  // namespace

StDeviceNetInfo StDeviceNetInfo::Read(const uint8_t* p) {
  StDeviceNetInfo n;
  n.magic = ReadLE32(p + kMagic);
  n.version = ReadLE32(p + kVersion);
  n.ip = ReadLE32(p + kIp);
  n.mask = ReadLE32(p + kMask);
  n.fourth = ReadLE32(p + kFourth);
  n.gateway = ReadLE32(p + kGateway);
  memcpy(n.mac, p + kMac, sizeof n.mac);
  memcpy(n.serial, p + kSerial, sizeof n.serial);
  n.value1 = ReadLE16(p + kValue1);
  n.value2 = ReadLE16(p + kValue2);
  for (int i = 0; i < 5; ++i) n.value3to7[i] = ReadLE32(p + kValue3 + 4 * i);
  n.value8 = ReadLE16(p + kValue8);
  return n;
}

void StDeviceNetInfo::Write(uint8_t* p) const {
  memset(p, 0, kSize);
  WriteLE32(p + kMagic, magic);
  WriteLE32(p + kVersion, version);
  WriteLE32(p + kIp, ip);
  WriteLE32(p + kMask, mask);
  WriteLE32(p + kFourth, fourth);
  WriteLE32(p + kGateway, gateway);
  memcpy(p + kMac, mac, sizeof mac);
  memcpy(p + kSerial, serial, sizeof serial);
  WriteLE16(p + kValue1, value1);
  WriteLE16(p + kValue2, value2);
  for (int i = 0; i < 5; ++i) WriteLE32(p + kValue3 + 4 * i, value3to7[i]);
  WriteLE16(p + kValue8, value8);
}

StDeviceScanInfo StDeviceScanInfo::Read(const uint8_t* p) {
  StDeviceScanInfo r;
  r.head = ReadLE32(p + kHead);
  r.version = ReadLE32(p + kVersion);
  r.length = ReadLE32(p + kLength);
  r.addressA = ReadLE32(p + kAddressA);
  r.addressB = ReadLE32(p + kAddressB);
  r.command = ReadLE32(p + kCommand);
  r.replyCode = ReadLE32(p + kReplyCode);
  memcpy(r.senderTag, p + kSenderTag, kTypeSize);
  memcpy(r.deviceType, p + kDeviceType, kTypeSize);
  memcpy(r.deviceText, p + kDeviceText, kTextSize);
  r.deviceWord = ReadLE32(p + kDeviceWord);
  r.net = StDeviceNetInfo::Read(p + kNetInfo);
  memcpy(r.userText, p + kUserText, sizeof r.userText);
  r.reserved = ReadLE32(p + kReserved);
  r.tail = ReadLE32(p + kTail);
  return r;
}

void StDeviceScanInfo::Write(uint8_t* p) const {
  WriteLE32(p + kHead, head);
  WriteLE32(p + kVersion, version);
  WriteLE32(p + kLength, length);
  WriteLE32(p + kAddressA, addressA);
  WriteLE32(p + kAddressB, addressB);
  WriteLE32(p + kCommand, command);
  WriteLE32(p + kReplyCode, replyCode);
  memcpy(p + kSenderTag, senderTag, kTypeSize);
  memcpy(p + kDeviceType, deviceType, kTypeSize);
  memcpy(p + kDeviceText, deviceText, kTextSize);
  WriteLE32(p + kDeviceWord, deviceWord);
  net.Write(p + kNetInfo);
  memcpy(p + kUserText, userText, sizeof userText);
  WriteLE32(p + kReserved, reserved);
  WriteLE32(p + kTail, tail);
}

void SetTextField(char* field, size_t fieldSize, const char* text) {
  memset(field, 0, fieldSize);
  if (text) memcpy(field, text, strnlen(text, fieldSize));
}

std::string DeviceTypeText(const StDeviceScanInfo& r) {
  return std::string(r.deviceType, BoundedLength(r.deviceType, sizeof r.deviceType));
}

bool IsBoxDeviceType(const StDeviceScanInfo& r) {
  std::string type = DeviceTypeText(r);
  for (char& c : type)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return type == "VELD" || type == "OSKA" || type == "VELK" || type == "VELDP";
}

void ComposeVersionText(const StDeviceScanInfo& r, char* out, size_t outSize) {
  if (outSize == 0) return;
  size_t room = outSize - 1;
  const size_t typeLen = std::min(room, BoundedLength(r.deviceType, sizeof r.deviceType));
  memcpy(out, r.deviceType, typeLen);
  room -= typeLen;
  const size_t textLen = std::min(room, BoundedLength(r.deviceText, sizeof r.deviceText));
  memcpy(out + typeLen, r.deviceText, textLen);
  out[typeLen + textLen] = 0;
}

}  // namespace kit

// The found-device record behind every row of the device table, and the
// conversions between it, the libraries' own records and the row texts.
// Texts from the libraries are GBK; they are decoded with Qt's GBK codec and
// read only within their fields.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

#include "Nardix.h"
#include "PyrnBox.h"
#include "Qelm_Control.h"

constexpr size_t kVersionFieldSize = sizeof(StSearchResult::version);  // 200
constexpr size_t kSerialFieldSize = sizeof(StDeviceFactoryInfo::serial);  // 32
constexpr size_t kMacSize = sizeof(StDeviceFactoryInfo::mac);  // 6

static_assert(sizeof(StCameraInfo) == 536, "StCameraInfo is 536 bytes");
static_assert(offsetof(StCameraInfo, userText) == 12, "camera user texts at 12");
static_assert(offsetof(StCameraInfo, factory) == 268, "camera factory part at 268");
static_assert(offsetof(StCameraInfo, version) == 306, "camera version text at 306");
static_assert(sizeof(StSearchResult) == 516, "StSearchResult is 516 bytes");
static_assert(offsetof(StSearchResult, factory) + offsetof(StDeviceFactoryInfo, mac) == 304,
              "MAC at 304");

// GBK <-> QString. A text field is read up to its first NUL, never beyond
// `fieldSize` bytes.
QString FromGbk(const char* field, size_t fieldSize);
QByteArray ToGbk(const QString& text);

// Fresh records: every byte zero.
void InitCameraInfo(StCameraInfo* info);
void InitSearchResult(StSearchResult* result);

// Dotted IPv4 text -> address word (first octet in the low byte): empty parts
// are dropped, anything but four parts gives 0, a part that is no number
// reads as 0 and only its low 8 bits count.
uint32_t IpTextToUint(const QString& text);
// 12 hexadecimal digits -> 6 bytes (byte k from digits 2k and 2k+1). A digit
// is worth 0-15; any other character (also one past `length`) 0xFF, so a bad
// second digit gives the byte 0xFF and a bad first one a high nibble F.
void HexToMac(const char* text, size_t length, uint8_t mac[6]);

// "a.b.c.d" of the word's bytes 0..3.
QString IpWordText(uint32_t word);
// "%02X-%02X-%02X-%02X-%02X-%02X" of the bytes in stored order.
QString MacText(const uint8_t mac[6]);

// Copies a text up to its terminator (at most `textSize` bytes are read) into
// the 200-byte version field, keeping room for the terminator.
void CopyVersionText(char (&field)[kVersionFieldSize], const char* text, size_t textSize);

// What each library's found-device callback turns its record into.
void SearchResultFromCamera(const StCameraInfo& camera, StSearchResult* out);
void SearchResultFromLpr(const StLprDeviceInfo& lpr, StSearchResult* out);

// The texts of one table row (columns 0 to 5).
struct DeviceRowTexts {
  QString ip;
  QString mac;
  QString version;
  QString serial;
  QString gateway;
  QString mask;
};
DeviceRowTexts RowTextsOf(const StSearchResult& result);

// The library that serves a row, by the row's version text.
enum class DeviceKind { kBox, kLpr, kCamera };
DeviceKind DeviceKindOf(const QString& versionText);

#include "records.h"

#include <QStringList>
#include <QTextCodec>

#include <cstring>

namespace {

QTextCodec* Gbk() {
  static QTextCodec* const codec = QTextCodec::codecForName("GBK");
  return codec;
}

size_t BoundedLength(const char* text, size_t size) {
  const void* nul = memchr(text, 0, size);
  return nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : size;
}

uint8_t HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return 0xFF;
}

}  // namespace

QString FromGbk(const char* field, size_t fieldSize) {
  const int n = static_cast<int>(BoundedLength(field, fieldSize));
  return Gbk() ? Gbk()->toUnicode(field, n) : QString::fromLatin1(field, n);
}

QByteArray ToGbk(const QString& text) {
  return Gbk() ? Gbk()->fromUnicode(text) : text.toLatin1();
}

void InitCameraInfo(StCameraInfo* info) { memset(info, 0, sizeof *info); }

void InitSearchResult(StSearchResult* result) { memset(result, 0, sizeof *result); }

uint32_t IpTextToUint(const QString& text) {
  const QStringList parts = text.split(QLatin1Char('.'), Qt::SkipEmptyParts);
  if (parts.size() != 4) return 0;
  uint32_t word = 0;
  for (int i = 0; i < 4; ++i) {
    const uint32_t octet = static_cast<uint32_t>(parts[i].toInt()) & 0xFF;
    word |= octet << (8 * i);
  }
  return word;
}

void HexToMac(const char* text, size_t length, uint8_t mac[6]) {
  for (size_t k = 0; k < 6; ++k) {
    const uint8_t hi = 2 * k < length ? HexValue(text[2 * k]) : 0xFF;
    const uint8_t lo = 2 * k + 1 < length ? HexValue(text[2 * k + 1]) : 0xFF;
    mac[k] = static_cast<uint8_t>((hi << 4) | lo);
  }
}

QString IpWordText(uint32_t word) {
  return QStringLiteral("%1.%2.%3.%4")
      .arg(word & 0xFF)
      .arg((word >> 8) & 0xFF)
      .arg((word >> 16) & 0xFF)
      .arg((word >> 24) & 0xFF);
}

QString MacText(const uint8_t mac[6]) {
  return QString::asprintf("%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3],
                           mac[4], mac[5]);
}

void CopyVersionText(char (&field)[kVersionFieldSize], const char* text, size_t textSize) {
  const size_t n = BoundedLength(text, textSize < kVersionFieldSize ? textSize : kVersionFieldSize - 1);
  memcpy(field, text, n);
  field[n] = 0;
}

void SearchResultFromCamera(const StCameraInfo& camera, StSearchResult* out) {
  out->ip = camera.ip;
  out->mask = camera.mask;
  out->gateway = camera.gateway;
  memcpy(out->userText, camera.userText, sizeof out->userText);
  memcpy(&out->factory, &camera.factory, sizeof out->factory);
  CopyVersionText(out->version, camera.version, sizeof camera.version);
}

void SearchResultFromLpr(const StLprDeviceInfo& lpr, StSearchResult* out) {
  out->ip = IpTextToUint(FromGbk(lpr.ip, sizeof lpr.ip));
  out->mask = IpTextToUint(FromGbk(lpr.mask, sizeof lpr.mask));
  out->gateway = IpTextToUint(FromGbk(lpr.gateway, sizeof lpr.gateway));
  memcpy(out->factory.mac, lpr.mac, sizeof out->factory.mac);
  CopyVersionText(out->version, lpr.type, sizeof lpr.type);
}

DeviceRowTexts RowTextsOf(const StSearchResult& r) {
  DeviceRowTexts t;
  t.ip = IpWordText(r.ip);
  t.mac = MacText(r.factory.mac);
  t.version = FromGbk(r.version, sizeof r.version);
  // A serial number that fills its field has no terminator: the MAC behind it
  // is not part of the text.
  t.serial = FromGbk(r.factory.serial, sizeof r.factory.serial);
  t.gateway = IpWordText(r.gateway);
  t.mask = IpWordText(r.mask);
  return t;
}

DeviceKind DeviceKindOf(const QString& versionText) {
  for (const char* code : {"VELD", "OSKA", "VELK", "VELDP"})
    if (versionText.contains(QLatin1String(code), Qt::CaseSensitive)) return DeviceKind::kBox;
  if (versionText.contains(QLatin1String("MOLQ"), Qt::CaseSensitive)) return DeviceKind::kLpr;
  return DeviceKind::kCamera;
}

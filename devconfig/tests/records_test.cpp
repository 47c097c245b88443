// Conversions between the libraries' records, the row record and the row
// texts: address and MAC texts, GBK texts read within their fields, and the
// library a row belongs to.
#include <gtest/gtest.h>

#include <QString>
#include <QStringList>

#include <cstring>
#include <string>

#include "process.h"
#include "records.h"

namespace {

using kittest::Gbk;

uint32_t Word(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return static_cast<uint32_t>(a) | static_cast<uint32_t>(b) << 8 | static_cast<uint32_t>(c) << 16 |
         static_cast<uint32_t>(d) << 24;
}

QStringList Texts(const DeviceRowTexts& t) { return {t.ip, t.mac, t.version, t.serial, t.gateway, t.mask}; }

template <size_t N>
void Put(char (&field)[N], const std::string& bytes) {
  ASSERT_LE(bytes.size(), N);
  memcpy(field, bytes.data(), bytes.size());
}

TEST(IpTextToUint, DottedTextToAddressWord) {
  struct Case {
    const char* text;
    uint32_t word;
  } cases[] = {
      {"192.168.1.10", Word(192, 168, 1, 10)},
      {"255.255.255.0", Word(255, 255, 255, 0)},
      {"1..2.3.4", Word(1, 2, 3, 4)},     // empty parts are dropped
      {".1.2.3.4.", Word(1, 2, 3, 4)},
      {"1.2.3", 0},
      {"1.2.3.4.5", 0},
      {"", 0},
      {"...", 0},
      {"a.b.c.d", 0},                      // four parts that are no numbers
      {"300.1.1.1", Word(44, 1, 1, 1)},    // only the low 8 bits count
      {"10.x.0.1", Word(10, 0, 0, 1)},
  };
  for (const auto& c : cases) EXPECT_EQ(IpTextToUint(QString::fromLatin1(c.text)), c.word) << c.text;
}

TEST(HexToMac, TwelveDigitsToSixBytes) {
  struct Case {
    const char* text;
    uint8_t mac[6];
  } cases[] = {
      {"001B2C3D4E5F", {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}},
      {"a1b2c3d4e5f6", {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}},
      {"0G0000000000", {0xFF, 0, 0, 0, 0, 0}},  // bad second digit: the byte is FF
      {"G10000000000", {0xF1, 0, 0, 0, 0, 0}},  // bad first digit: high nibble F
      {"00-1B-2C-3D-", {0x00, 0xF1, 0xFF, 0x2C, 0xF3, 0xFF}},  // separators are bad digits
      {"001B2C", {0x00, 0x1B, 0x2C, 0xFF, 0xFF, 0xFF}},  // nothing read past the text
  };
  for (const auto& c : cases) {
    uint8_t mac[6];
    memset(mac, 0x55, sizeof mac);
    HexToMac(c.text, strlen(c.text), mac);
    EXPECT_EQ(memcmp(mac, c.mac, 6), 0) << c.text << " -> " << MacText(mac).toStdString();
  }
}

TEST(RowTexts, FromTheCameraLibrarysRecord) {
  StCameraInfo cam;
  InitCameraInfo(&cam);
  cam.ip = Word(198, 51, 100, 21);
  cam.mask = Word(255, 255, 255, 0);
  cam.gateway = Word(198, 51, 100, 254);
  Put(cam.userText[3], "user 3");
  Put(cam.factory.serial, "SN-0042");
  const uint8_t mac[6] = {0x3C, 0x97, 0x0E, 0x8A, 0x51, 0xF2};
  memcpy(cam.factory.mac, mac, 6);
  Put(cam.version, "IPNC" + Gbk("-卡口相机 V1.0"));
  cam.deviceValue1 = 7;  // not part of the row record

  StSearchResult r;
  InitSearchResult(&r);
  SearchResultFromCamera(cam, &r);
  EXPECT_STREQ(r.userText[3], "user 3");
  EXPECT_EQ(r.deviceWord, 0u);
  EXPECT_EQ(Texts(RowTextsOf(r)), (QStringList{"198.51.100.21", "3C-97-0E-8A-51-F2", "IPNC-卡口相机 V1.0",
                                                "SN-0042", "198.51.100.254", "255.255.255.0"}));
}

TEST(RowTexts, FromThePlateCameraLibrarysRecord) {
  StLprDeviceInfo lpr;
  memset(&lpr, 0, sizeof lpr);
  Put(lpr.ip, "198.51.100.30");
  Put(lpr.mask, "255.255.0.0");
  Put(lpr.gateway, "198.51.1.1");
  const uint8_t mac[6] = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
  memcpy(lpr.mac, mac, 6);
  Put(lpr.type, "MOLQ-SD" + Gbk("车牌"));
  lpr.extra = 0x5A;

  StSearchResult r;
  InitSearchResult(&r);
  SearchResultFromLpr(lpr, &r);
  EXPECT_EQ(r.ip, Word(198, 51, 100, 30));
  EXPECT_EQ(r.mask, Word(255, 255, 0, 0));
  // A plate camera's record has no serial number.
  EXPECT_EQ(Texts(RowTextsOf(r)), (QStringList{"198.51.100.30", "00-1B-2C-3D-4E-5F", "MOLQ-SD车牌", "",
                                                "198.51.1.1", "255.255.0.0"}));
}

TEST(RowTexts, FromTheBoxLibrarysRecordReadWithinItsFields) {
  StSearchResult r;
  InitSearchResult(&r);
  r.ip = Word(127, 0, 0, 41);
  r.mask = Word(255, 0, 0, 0);
  r.gateway = Word(127, 0, 0, 1);
  // A serial number that fills its 32 bytes is followed by the MAC, not by
  // a terminator; the version text fills its 200 bytes.
  memset(r.factory.serial, 'S', sizeof r.factory.serial);
  const uint8_t mac[6] = {0x41, 0x42, 0x43, 0x44, 0x45, 0x46};
  memcpy(r.factory.mac, mac, 6);
  const std::string box = Gbk("道闸控制器");  // 10 bytes
  std::string version = "VELD";
  while (version.size() + box.size() <= sizeof r.version) version += box;
  version.resize(sizeof r.version, 'x');
  memcpy(r.version, version.data(), sizeof r.version);

  const DeviceRowTexts t = RowTextsOf(r);
  EXPECT_EQ(t.serial, QString(32, QLatin1Char('S')));
  EXPECT_EQ(t.mac, QStringLiteral("41-42-43-44-45-46"));
  EXPECT_TRUE(t.version.startsWith(QStringLiteral("VELD道闸控制器道闸控制器")));
  EXPECT_TRUE(t.version.endsWith(QLatin1Char('x')));
  EXPECT_EQ(t.version.count(QStringLiteral("道闸控制器")), 19);
}

TEST(RowTexts, VersionCopiesStopAtTheirTerminatorAndTheField) {
  StCameraInfo cam;
  InitCameraInfo(&cam);
  memset(cam.version, 'v', sizeof cam.version);  // no terminator in 200 bytes
  StSearchResult r;
  memset(&r, 0x33, sizeof r);
  InitSearchResult(&r);
  SearchResultFromCamera(cam, &r);
  EXPECT_EQ(strnlen(r.version, sizeof r.version), sizeof r.version - 1);

  StLprDeviceInfo lpr;
  memset(&lpr, 0, sizeof lpr);
  memset(lpr.type, 'p', sizeof lpr.type);  // 255 characters
  InitSearchResult(&r);
  SearchResultFromLpr(lpr, &r);
  EXPECT_EQ(strnlen(r.version, sizeof r.version), sizeof r.version - 1);
  EXPECT_EQ(r.ip, 0u) << "an empty IP text gives 0";
}

TEST(DeviceKind, ByTheRowsVersionText) {
  struct Case {
    const char* text;
    DeviceKind kind;
  } cases[] = {
      {"VELD-box", DeviceKind::kBox},      {"xVELDP", DeviceKind::kBox},
      {"VELK 1.2", DeviceKind::kBox},      {"OSKA", DeviceKind::kBox},
      {"MOLQ-SD01", DeviceKind::kLpr},     {"VELD MOLQ", DeviceKind::kBox},
      {"veld", DeviceKind::kCamera},       {"molq", DeviceKind::kCamera},
      {"IPNC-cam", DeviceKind::kCamera},   {"", DeviceKind::kCamera},
      {"ParkingA1", DeviceKind::kCamera},
  };
  for (const auto& c : cases) EXPECT_EQ(DeviceKindOf(QString::fromLatin1(c.text)), c.kind) << c.text;
}

}  // namespace

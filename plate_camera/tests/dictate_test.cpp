// Command frames: items byte for byte, the 8-bit sum, the frame limit.
#include <gtest/gtest.h>

#include "dictate.h"
#include "fake_camera.h"

namespace {

using lprtest::Bytes;

Bytes Build(const std::vector<nardix::StDictateItem>& items, bool* ok = nullptr) {
  nardix::HandlePtr h = nardix::NewCameraHandle(0x0100007F);
  h->m_nSeq.store(77);
  uint8_t buf[nardix::kDictateBufferSize];
  uint32_t len = 0;
  const bool built = nardix::CreateDictate(h.get(), items.data(), static_cast<int>(items.size()), buf, &len);
  if (ok) *ok = built;
  EXPECT_EQ(h->m_nSeq.load(), 0u);
  return built ? Bytes(buf, buf + len) : Bytes();
}

TEST(CreateDictate, ItemsByteForByte) {
  const uint8_t clock[6] = {0x18, 0x01, 0x1F, 0x17, 0x3B, 0x3B};
  const uint8_t shutter[2] = {0x00, 0x2C};
  const uint8_t one = 1;
  const struct {
    const char* name;
    std::vector<nardix::StDictateItem> items;
    Bytes frame;
  } cases[] = {
      {"heartbeat", {{0x00, 0x00, 0, nullptr, 0}},
       {0xAA, 0x55, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAA, 0xF0, 0x0F, 0x55}},
      {"clock", {{0x20, 0x02, 1, clock, 6}},
       {0xAA, 0x55, 0, 0, 0, 0, 0x20, 0x02, 0x06, 0x00, 0x01, 0x18, 0x01, 0x1F, 0x17, 0x3B, 0x3B, 0xC5, 0xAA,
        0xF0, 0x0F, 0x55}},
      {"shutter set, two items back to back", {{0x20, 0x0B, 1, shutter, 2}, {0x60, 0x0A, 1, &one, 1}},
       {0xAA, 0x55, 0, 0, 0, 0, 0x20, 0x0B, 0x02, 0x00, 0x01, 0x00, 0x2C, 0x2C, 0xAA, 0xF0, 0x0F, 0x55,
        0xAA, 0x55, 0, 0, 0, 0, 0x60, 0x0A, 0x01, 0x00, 0x01, 0x01, 0x01, 0xAA, 0xF0, 0x0F, 0x55}},
  };
  for (const auto& c : cases) EXPECT_EQ(Build(c.items), c.frame) << c.name;
}

TEST(CreateDictate, SumWrapsAtEightBits) {
  const Bytes payload(3, 0xF0);  // 0x2D0
  const Bytes f = Build({{0x00, 0x1E, 1, payload.data(), 3}});
  ASSERT_EQ(f.size(), 19u);
  EXPECT_EQ(f[14], 0xD0);
}

TEST(CreateDictate, FrameMustFitItsBuffer) {
  const Bytes big(1009, 1);
  bool ok = false;
  EXPECT_EQ(Build({{0x00, 0x01, 1, big.data(), 1008}}, &ok).size(), 1024u);
  EXPECT_TRUE(ok);
  Build({{0x00, 0x01, 1, big.data(), 1009}}, &ok);
  EXPECT_FALSE(ok);
  Build({{0x00, 0x01, 1, big.data(), 504}, {0x00, 0x01, 1, big.data(), 505}}, &ok);
  EXPECT_FALSE(ok);
  Build({{0x00, 0x01, 1, nullptr, 4}}, &ok);  // a length without bytes
  EXPECT_FALSE(ok);
}

TEST(ClockPayload, LocalTimeFieldsAndTheNoTimeForm) {
  setenv("TZ", "UTC", 1);
  tzset();
  uint8_t p[6];
  nardix::ClockPayload(1706745599, p);  // 2024-01-31 23:59:59
  EXPECT_EQ(Bytes(p, p + 6), (Bytes{24, 1, 31, 23, 59, 59}));
  nardix::ClockPayload(INT64_MAX, p);  // no local-time form
  EXPECT_EQ(Bytes(p, p + 6), (Bytes{0, 0, 0, 0xFF, 0xFF, 0xFF}));
}

}  // namespace

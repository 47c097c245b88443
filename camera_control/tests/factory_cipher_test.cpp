// The factory-block decipher: AES-192 against the standard's known answers and
// against a block made by a reference cipher, and the hex conversion.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "factory_cipher.h"

namespace {

// Test-side hex parser (plain digits only), independent of HexToBytes16.
std::vector<uint8_t> Hex(const std::string& s) {
  auto v = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    ADD_FAILURE() << "bad test hex " << c;
    return 0;
  };
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(static_cast<uint8_t>(v(s[i]) * 16 + v(s[i + 1])));
  return out;
}

std::vector<uint8_t> Bytes(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }

// Exactly 32 characters on the heap with no terminator, so that a read past
// the digits shows under AddressSanitizer.
std::unique_ptr<char[]> Digits32(const std::string& s) {
  EXPECT_EQ(s.size(), 32u);
  std::unique_ptr<char[]> p(new char[32]);
  memcpy(p.get(), s.data(), 32);
  return p;
}

kit::StAesKeySchedule Schedule(const std::vector<uint8_t>& key) {
  EXPECT_EQ(key.size(), kit::kAesKeyLength);
  kit::StAesKeySchedule ks;
  memset(&ks, 0xA5, sizeof ks);  // so that untouched bytes show
  kit::AesSetKey(key.data(), &ks);
  return ks;
}

const std::vector<uint8_t> kFactoryKeyBytes(kit::FactoryKeyBytes(), kit::FactoryKeyBytes() + kit::kAesKeyLength);

// Made once with a reference cipher:
//   printf '0123456789abcd3c970e8a51f2fedcba' | xxd -r -p |
//     openssl enc -aes-192-ecb -nopad -K 4d6172726f774c616e7465726e20496e642e2c436f72702e | xxd -p
// (the -K value is the hex of "MarrowLantern Ind.,Corp."). Plain bytes 7..12
// hold the MAC 3C-97-0E-8A-51-F2.
const char kRefCipherHex[] = "183feefe0fd05b27949ea91bbce0463e";
const char kRefPlainHex[] = "0123456789abcd3c970e8a51f2fedcba";
const std::vector<uint8_t> kRefMac = {0x3c, 0x97, 0x0e, 0x8a, 0x51, 0xf2};

TEST(FactoryCipher, KeyIsTheKitsTwentyFourCharacters) {
  EXPECT_EQ(std::string(kit::kFactoryKey), "MarrowLantern Ind.,Corp.");
  EXPECT_EQ(Bytes(kit::FactoryKeyBytes(), kit::kAesKeyLength),
            Hex("4d6172726f774c616e7465726e20496e642e2c436f72702e"));
}

TEST(FactoryCipher, KeyExpansionMatchesKnownRoundKeyWords) {
  struct Case {
    const char* key;
    int word;
    const char* value;
  } cases[] = {
      // FIPS-197 Appendix A.2
      {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", 0, "8e73b0f7"},
      {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", 6, "fe0c91f7"},
      {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", 48, "e98ba06f"},
      {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", 49, "448c773c"},
      {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", 50, "8ecc7204"},
      {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", 51, "01002202"},
      // FIPS-197 Appendix C.2, round 12 key
      {"000102030405060708090a0b0c0d0e0f1011121314151617", 48, "a4970a33"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", 51, "e3a41d5d"},
  };
  for (const auto& c : cases) {
    const auto ks = Schedule(Hex(c.key));
    EXPECT_EQ(Bytes(ks.m_byRoundKey + 4 * c.word, 4), Hex(c.value)) << c.key << " word " << c.word;
  }
  const auto ks = Schedule(Hex(cases[0].key));
  EXPECT_EQ(ks.m_nNb, 4);
  EXPECT_EQ(ks.m_nNk, 6);
  EXPECT_EQ(ks.m_nNr, 12);
  EXPECT_EQ(Bytes(ks.m_byKey, 24), Hex(cases[0].key));
  // 208 bytes of round keys; the rest of the 240-byte area is clear.
  EXPECT_EQ(Bytes(ks.m_byRoundKey + kit::kAesRoundKeyBytes, 240 - kit::kAesRoundKeyBytes),
            std::vector<uint8_t>(240 - kit::kAesRoundKeyBytes, 0));
}

TEST(FactoryCipher, DecryptBlockGivesKnownPlaintext) {
  struct Case {
    std::vector<uint8_t> key;
    const char* cipher;
    const char* plain;
  } cases[] = {
      // FIPS-197 Appendix C.2
      {Hex("000102030405060708090a0b0c0d0e0f1011121314151617"), "dda97ca4864cdfe06eaf70a0ec0d7191",
       "00112233445566778899aabbccddeeff"},
      {kFactoryKeyBytes, kRefCipherHex, kRefPlainHex},
  };
  for (const auto& c : cases) {
    const auto ks = Schedule(c.key);
    const auto in = Hex(c.cipher);
    uint8_t out[16];
    kit::AesDecryptBlock(in.data(), out, ks);
    EXPECT_EQ(Bytes(out, 16), Hex(c.plain)) << c.cipher;
    // In place, as the MAC routine uses it.
    uint8_t buf[16];
    memcpy(buf, in.data(), 16);
    kit::AesDecryptBlock(buf, buf, ks);
    EXPECT_EQ(Bytes(buf, 16), Hex(c.plain)) << c.cipher << " in place";
  }
}

TEST(FactoryCipher, MacFromReferenceBlockInAnyLetterCase) {
  const auto ks = Schedule(kFactoryKeyBytes);
  const std::string lower = kRefCipherHex;
  std::string upper = lower, mixed = lower;
  for (size_t i = 0; i < upper.size(); ++i) {
    upper[i] = static_cast<char>(toupper(static_cast<unsigned char>(upper[i])));
    if (i % 2) mixed[i] = upper[i];
  }
  ASSERT_NE(upper, lower);
  for (const auto& text : {lower, upper, mixed}) {
    const auto digits = Digits32(text);
    uint8_t mac[kit::kMacLength];
    memset(mac, 0, sizeof mac);
    kit::FactoryMacFromHex(digits.get(), mac, ks);
    EXPECT_EQ(Bytes(mac, sizeof mac), kRefMac) << text;
  }
}

TEST(FactoryCipher, HexDigitValuesAndBadCharacters) {
  // Each pair gives one byte: (16 * first + second) mod 256, a non-digit
  // counting 255.
  struct Case {
    char first, second;
    uint8_t byte;
  } cases[] = {
      {'0', '0', 0x00}, {'9', '9', 0x99}, {'a', 'f', 0xaf}, {'A', 'F', 0xaf}, {'f', 'F', 0xff},
      {'7', 'c', 0x7c}, {'C', '7', 0xc7},
      {'g', '0', 0xf0},   // 16 * 255 + 0 = 4080 -> 240
      {'0', 'g', 0xff},   // 255
      {'1', 'G', 0x0f},   // 16 + 255 = 271 -> 15
      {'G', 'G', 0xef},   // 16 * 255 + 255 = 4335 -> 239
      {'/', '0', 0xf0},   // just below '0'
      {':', '1', 0xf1},   // just above '9'
      {'@', '2', 0xf2},   // just below 'A'
      {'`', '3', 0xf3},   // just below 'a'
      {'2', ' ', 0x1f},   // blank
      {'3', '\0', 0x2f},  // zero byte counts as a digit position too
      {'4', '\xc8', 0x3f},  // a byte above 127 (negative as plain char)
      {'x', '5', 0xf5},
  };
  constexpr size_t n = sizeof cases / sizeof cases[0];
  static_assert(n <= 16 * 2, "cases fit into two blocks");
  std::string text;
  std::vector<uint8_t> want;
  for (const auto& c : cases) {
    text += c.first;
    text += c.second;
    want.push_back(c.byte);
  }
  while (want.size() < 32) {  // fill up to two whole blocks
    text += "5a";
    want.push_back(0x5a);
  }
  for (int block = 0; block < 2; ++block) {
    const auto digits = Digits32(text.substr(32 * block, 32));
    uint8_t out[16];
    memset(out, 0xcc, sizeof out);
    kit::HexToBytes16(digits.get(), out);
    for (int i = 0; i < 16; ++i) {
      const size_t k = 16 * block + i;
      EXPECT_EQ(out[i], want[k]) << "pair " << static_cast<int>(static_cast<unsigned char>(text[2 * k])) << ","
                                 << static_cast<int>(static_cast<unsigned char>(text[2 * k + 1]));
    }
  }
}

TEST(FactoryCipher, BadDigitStillDecipheredNotRejected) {
  // One bad digit changes the block (and so the MAC) but is not refused: the
  // result is exactly the decipher of the block with that digit worth 255.
  const auto ks = Schedule(kFactoryKeyBytes);
  std::string text = kRefCipherHex;
  text[0] = 'z';  // "18" -> "z8": (16 * 255 + 8) mod 256 = 0xf8
  auto block = Hex(kRefCipherHex);
  block[0] = 0xf8;
  uint8_t plain[16];
  kit::AesDecryptBlock(block.data(), plain, ks);

  const auto digits = Digits32(text);
  uint8_t mac[kit::kMacLength];
  kit::FactoryMacFromHex(digits.get(), mac, ks);
  EXPECT_EQ(Bytes(mac, sizeof mac), Bytes(plain + kit::kFactoryMacOffset, kit::kMacLength));
  EXPECT_NE(Bytes(mac, sizeof mac), kRefMac);
}

}  // namespace

// The camera's factory block: 16 bytes enciphered with AES-192 under the kit's
// fixed key, handed out as 32 hexadecimal digits. Deciphered, bytes 7 to 12
// are the device MAC. The camera control library and the configuration tool
// both decode it with these routines.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kit {

struct StFactoryBlock {
  uint8_t m_byData[16];
};
static_assert(sizeof(StFactoryBlock) == 16, "factory block is 16 bytes");

constexpr size_t kFactoryHexDigits = 2 * sizeof(StFactoryBlock);  // 32
constexpr size_t kFactoryMacOffset = 7;                           // bytes 7..12 of the plain block
constexpr size_t kMacLength = 6;

// The 24-byte AES-192 key of the factory block (the terminating zero is not
// part of the key). Everyone deciphering a factory block uses this constant.
inline constexpr char kFactoryKey[] = "MarrowLantern Ind.,Corp.";
constexpr size_t kAesKeyLength = 24;
static_assert(sizeof(kFactoryKey) == kAesKeyLength + 1, "factory key is 24 characters");

inline const uint8_t* FactoryKeyBytes() { return reinterpret_cast<const uint8_t*>(kFactoryKey); }

// AES-192 key schedule: the key and its expansion, (Nr + 1) * 16 = 208 bytes
// of round keys at the start of a 240-byte area. Round key r is bytes
// 16r..16r+15; word i of the expansion is bytes 4i..4i+3.
struct StAesKeySchedule {
  int m_nNb;  // 4 columns
  int m_nNk;  // 6 key words
  int m_nNr;  // 12 rounds
  uint8_t m_byKey[kAesKeyLength];
  uint8_t m_byRoundKey[240];
};
constexpr size_t kAesRoundKeyBytes = (12 + 1) * 16;  // 208
static_assert(kAesRoundKeyBytes <= sizeof(StAesKeySchedule::m_byRoundKey), "round keys fit");

// Two characters per byte, high digit first. A digit is worth 0-9 for '0'-'9',
// 10-15 for 'a'-'f' and 'A'-'F', and 255 for any other character; the byte is
// (16 * first + second) mod 256. Nothing is rejected: a bad digit just gives a
// different byte. Reads exactly 32 characters (no terminator needed).
void HexToBytes16(const char* hex, uint8_t out[16]);

// Stores the 24-byte key in `schedule` and expands it.
void AesSetKey(const uint8_t key[kAesKeyLength], StAesKeySchedule* schedule);

// Key expansion for Nk 6, Nr 12 from schedule->m_byKey into m_byRoundKey
// (the 32 bytes after the 208 are zeroed).
void AesExpandKey(StAesKeySchedule* schedule);

// Deciphers one 16-byte block (no chaining). `in` and `out` may be the same.
void AesDecryptBlock(const uint8_t in[16], uint8_t out[16], const StAesKeySchedule& schedule);

// 32 hex digits of a factory block -> the 6-byte MAC, with a schedule already
// set up under kFactoryKey.
void FactoryMacFromHex(const char* hex, uint8_t mac[kMacLength], const StAesKeySchedule& schedule);

}  // namespace kit

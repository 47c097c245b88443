// Firmware update: the image cut into numbered 256-byte blocks, sent to a box
// one block per acknowledgement.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "device.h"

namespace pyrn {

constexpr size_t kUpdateHeaderSize = 20;
constexpr size_t kUpdateBlockSize = 268;
constexpr size_t kBlockData = 256;

struct UpdateImage {
  uint8_t header[kUpdateHeaderSize] = {};
  std::vector<std::array<uint8_t, kUpdateBlockSize>> blocks;
};

// Builds the image of a file's bytes (its checks done by the caller).
std::shared_ptr<UpdateImage> BuildUpdateImage(const std::vector<uint8_t>& file,
                                              uint32_t flashAddress, uint8_t kind);
// Drops the loaded image; transfers under way keep theirs.
void FreeUpdateImage();
// Sends the next block: 0, 17 send failed, 156 every block is sent.
// Called with the device's update lock held.
int SendUpdateBlock(CBoxDevice& d);

}  // namespace pyrn

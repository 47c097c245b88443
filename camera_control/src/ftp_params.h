// Copying a camera's parameter files over FTP: the settings tests change.
#pragma once

#include <cstdint>

namespace qelm {

namespace test {
// The limits of one file's transfer: 60 s from its first command to its last
// byte and 16 MiB (parameter files are kilobytes), unless a test shortens them.
void SetFtpFileLimits(int transferMs, uint64_t maxBytes);
}  // namespace test

}  // namespace qelm

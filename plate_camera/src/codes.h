// Result codes of the exports.
#pragma once

namespace nardix {

enum : int {
  kOk = 0,
  kAlreadyRunning = 1,
  kNotRunning = 2,
  kBadArgument = 3,
  kNoSocket = 4,
  kNoThread = 5,
  kBuildFailed = 6,
  kSendFailed = 7,
  kNoDevice = 8,
  kAlreadyOpen = 9,
  kNoControlChannel = 11,
  kNoResult = 12,
  kOther = 100,
  kTimeout = 209,
};

}  // namespace nardix

// libFuzzer target: a datagram on the plate-recognition library's discovery
// socket (the answer to a scan).
#include "nardix_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return nardixfuzz::FuzzScanAnswer(data, size);
}

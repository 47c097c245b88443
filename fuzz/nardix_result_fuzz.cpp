// libFuzzer target: the result stream of a plate-recognition camera.
#include "nardix_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return nardixfuzz::FuzzResultStream(data, size);
}

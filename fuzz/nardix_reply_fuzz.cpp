// libFuzzer target: the reply stream of a plate-recognition camera's control
// channel, with a request of any kind waiting.
#include "nardix_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return nardixfuzz::FuzzReplyStream(data, size);
}

// The result record handed to the result callback, with its four buffers.
#pragma once

#include <cstdint>

#include "Nardix.h"

namespace nardix {

constexpr uint32_t kImage1Size = 204800;
constexpr uint32_t kImage2Size = 51200;
constexpr uint32_t kImage3Size = 10240;
constexpr uint32_t kDebugSize = 1344;

// A new record with its buffers, reset for `handle`; null when memory
// runs out.
StLprResult* NewResult(StLprCameraHandle* handle);
// Re-initialises a record for reuse: every value and all four buffers zeroed,
// the fixed image sizes set. `written`, when given: how many bytes at the
// start of each buffer (image 1, 2, 3, debug) may be other than zero; only
// those are cleared.
void ResetResult(StLprResult* r, StLprCameraHandle* handle, const uint32_t* written = nullptr);
void FreeResult(StLprResult* r);

}  // namespace nardix

#include "result.h"

#include <cstring>
#include <new>

namespace nardix {

StLprResult* NewResult(StLprCameraHandle* handle) {
  auto* r = new (std::nothrow) StLprResult;
  if (!r) return nullptr;
  r->image1 = new (std::nothrow) uint8_t[kImage1Size];
  r->image2 = new (std::nothrow) uint8_t[kImage2Size];
  r->image3 = new (std::nothrow) uint8_t[kImage3Size];
  r->debug = new (std::nothrow) uint8_t[kDebugSize];
  if (!r->image1 || !r->image2 || !r->image3 || !r->debug) {
    FreeResult(r);
    return nullptr;
  }
  ResetResult(r, handle);
  return r;
}

void ResetResult(StLprResult* r, StLprCameraHandle* handle, const uint32_t* written) {
  uint8_t* const buffers[4] = {r->image1, r->image2, r->image3, r->debug};
  memset(static_cast<void*>(r), 0, sizeof *r);
  r->image1 = buffers[0];
  r->image2 = buffers[1];
  r->image3 = buffers[2];
  r->debug = buffers[3];
  r->handle = handle;
  r->image1Width = 720;
  r->image1Height = 576;
  r->image2Width = 320;
  r->image2Height = 288;
  memset(r->image1, 0, written ? written[0] : kImage1Size);
  memset(r->image2, 0, written ? written[1] : kImage2Size);
  memset(r->image3, 0, written ? written[2] : kImage3Size);
  memset(r->debug, 0, written ? written[3] : kDebugSize);
}

void FreeResult(StLprResult* r) {
  if (!r) return;
  delete[] r->image1;
  delete[] r->image2;
  delete[] r->image3;
  delete[] r->debug;
  delete r;
}

}  // namespace nardix

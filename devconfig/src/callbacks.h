// The libraries' found-device callbacks. They run on the libraries' threads:
// each copies the library's record into a new StSearchResult and posts it to
// the window, never touching a widget.
#pragma once

#include "records.h"

void PYRN_CALL BoxSearchCallback(StSearchResult* result);
void QELM_CALL CameraSearchCallback(StCameraInfo* info);
void NARDIX_CALL LprScanCallback(void* user, StLprDeviceInfo* info);

// Routing of every complete frame by class and sub-command: to the waiting
// request, to the caller's callbacks, or nowhere.
#pragma once

#include "device.h"
#include "frame.h"

namespace pyrn {

void DispatchFrame(CBoxDevice& d, const FrameView& f);

// Class 5 and 6 frames (firmware update); on the device's receive thread.
void HandleFirmwareFrame(CBoxDevice& d, const FrameView& f);

}  // namespace pyrn

#include "control.h"

#include <algorithm>

#include "context.h"

namespace qelm {

bool IsListedHandle(const StCameraHandle* handle) {
  if (!handle) return false;
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csCamera);
  return std::find(g.m_listCamera.begin(), g.m_listCamera.end(), handle) != g.m_listCamera.end();
}

// Not built yet: the heartbeat and the control connections come with the
// device handles. Until then there is nothing to start or to close.
void StartHeartbeat() {}
void StopHeartbeat() {}
void CloseAllCameraHandles() {}

}  // namespace qelm

// Registration of the callbacks that are not given to an export of their own.
#include <algorithm>

#include "context.h"
#include "control.h"
#include "message_wnd.h"

using namespace qelm;

extern "C" {

QELM_API int QELM_CALL Qelm_RegCameraHandleCallBack(CameraHandleCallback cb, void* user) {
  CForGlobal& g = Global();
  g.m_pCameraHandleUser.store(user);
  g.m_pfnCameraHandle.store(cb);
  return 0;
}

QELM_API int QELM_CALL Qelm_RegAlgResultCallback(void* user, AlgResultCallback cb) {
  CForGlobal& g = Global();
  g.m_pAlgResultUser.store(user);
  g.m_pfnAlgResult.store(cb);
  return 0;
}

QELM_API int QELM_CALL Qelm_RegControlStatusCallback(StCameraHandle* handle, void* user,
                                                     StatusCallback longStatus,
                                                     StatusCallback shortStatus) {
  CForGlobal& g = Global();
  if (!handle || MessageWnd()) {
    g.m_pStatusUser.store(user);
    g.m_pfnStatusLong.store(longStatus);
    g.m_pfnStatusShort.store(shortStatus);
    return 0;
  }
  // A handle and no window: the callbacks belong to that handle alone.
  g.m_pfnStatusLong.store(nullptr);
  g.m_pfnStatusShort.store(nullptr);
  pf::Lock lk(g.m_csCamera);
  if (std::find(g.m_listCamera.begin(), g.m_listCamera.end(), handle) == g.m_listCamera.end())
    return 7;
  handle->m_pStatusUser.store(user);
  handle->m_pfnStatusLong.store(longStatus);
  handle->m_pfnStatusShort.store(shortStatus);
  return 0;
}

}  // extern "C"

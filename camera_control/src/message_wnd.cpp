#include "message_wnd.h"

#include "context.h"
#include "platform/net.h"

namespace qelm {

bool CMessageWnd::Create() {
  return window_.Create([this](uint32_t msg, uintptr_t w, uintptr_t l) { OnMessage(msg, w, l); });
}

bool CMessageWnd::Post(uint32_t msg, uintptr_t wParam, void* record) {
  return window_.Post(msg, wParam, reinterpret_cast<uintptr_t>(record));
}

void CMessageWnd::OnMessage(uint32_t msg, uintptr_t wParam, uintptr_t lParam) {
  if (!lParam) return;
  CForGlobal& g = Global();
  switch (msg) {
    case WM_DEVICE_FOUND: {
      auto* info = reinterpret_cast<StCameraInfo*>(lParam);
      if (auto cb = g.m_pfnCameraFound.load()) cb(info);
      delete info;
      break;
    }
    case WM_CONN_EVENT: {
      auto* ev = reinterpret_cast<StConnEvent*>(lParam);
      if (auto cb = g.m_pfnConnEvent.load()) cb(ev->user, ev->handle, static_cast<int>(ev->event));
      delete ev;
      break;
    }
    case WM_UPDATE_PROGRESS:
    case WM_DB_PROGRESS: {
      auto* p = reinterpret_cast<StTransferProgress*>(lParam);
      auto cb = msg == WM_UPDATE_PROGRESS ? g.m_pfnUpdateProgress.load() : g.m_pfnDBProgress.load();
      if (cb) cb(p->user, p->words);
      delete p;
      break;
    }
    case WM_CONTROL_STATUS: {
      auto* r = reinterpret_cast<StStatusReport*>(lParam);
      // The device kind picks long or short delivery; the block handed over is
      // the one the received status filled, so no callback sees unfilled memory.
      if (wParam <= 2) {
        const bool isLong = r->length == kLongStatusSize;
        StatusCallback cb = isLong ? g.m_pfnStatusLong.load() : g.m_pfnStatusShort.load();
        if (cb) cb(r->handle, g.m_pStatusUser.load(), isLong ? r->longStatus : r->shortStatus);
      }
      delete r;
      break;
    }
    case WM_CAMERA_HANDLE: {
      auto* ev = reinterpret_cast<StCameraHandleEvent*>(lParam);
      if (auto cb = g.m_pfnCameraHandle.load()) {
        const std::string ip = pf::InetNtoa(ev->ip);
        cb(ev->handle, g.m_pCameraHandleUser.load(), ip.c_str(), static_cast<int>(wParam));
      }
      delete ev;
      break;
    }
    default:
      break;
  }
}

void EnsureMessageWindow() {
  CForGlobal& g = Global();
  if (g.m_pMessageWnd.load()) return;
  auto* w = new CMessageWnd;  // lives until the library is unloaded
  w->Create();                // a window that could not be made takes no messages
  g.m_pMessageWnd.store(w);
}

CMessageWnd* MessageWnd() { return Global().m_pMessageWnd.load(); }

}  // namespace qelm

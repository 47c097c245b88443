#include "message_wnd.h"

#include "context.h"
#include "log.h"
#include "result.h"

namespace nardix {

bool CMessageWnd::Create() {
  return window_.Create([](uint32_t msg, uintptr_t w, uintptr_t l) {
    if (msg == WM_LPR_NOTIFY) OnLprNotify(w, l);
  });
}

bool CMessageWnd::Post(uintptr_t kind, void* record) {
  return window_.Post(WM_LPR_NOTIFY, kind, reinterpret_cast<uintptr_t>(record));
}

void FreeRecord(uintptr_t kind, void* record) {
  if (!record) return;
  switch (kind) {
    case kNotifyFound:
      delete static_cast<StLprDeviceInfo*>(record);
      break;
    case kNotifyResult:
      FreeResult(static_cast<StLprResult*>(record));
      break;
    case kNotifySpare: {
      auto* r = static_cast<StLprSpareRecord*>(record);
      delete[] r->buffer;
      delete r;
      break;
    }
    case kNotifyConnEvent:
      delete static_cast<StLprConnEvent*>(record);
      break;
    case kNotifyAlgDebug:
      delete[] static_cast<uint8_t*>(record);
      break;
    default:
      break;
  }
}

namespace {

void Call(uintptr_t kind, void* record) {
  CForGlobal& g = Global();
  void* user = g.m_pUserData.load();
  switch (kind) {
    case kNotifyFound:
      if (auto cb = g.m_pfnLprFound.load()) cb(user, static_cast<StLprDeviceInfo*>(record));
      break;
    case kNotifyResult:
      if (auto cb = g.m_pfnLprResult.load()) cb(user, static_cast<StLprResult*>(record));
      break;
    case kNotifySpare:
      if (auto cb = g.m_pfnLprSpare.load()) cb(user, record);
      break;
    case kNotifyConnEvent:
      if (auto cb = g.m_pfnLprConnEvent.load()) cb(user, static_cast<StLprConnEvent*>(record));
      break;
    case kNotifyAlgDebug:
      if (auto cb = g.m_pfnAlgDebug.load()) cb(user, static_cast<uint8_t*>(record));
      break;
    default:
      break;
  }
}

bool HasCallback(uintptr_t kind) {
  CForGlobal& g = Global();
  switch (kind) {
    case kNotifyFound: return g.m_pfnLprFound.load() != nullptr;
    case kNotifyResult: return g.m_pfnLprResult.load() != nullptr;
    case kNotifySpare: return g.m_pfnLprSpare.load() != nullptr;
    case kNotifyConnEvent: return g.m_pfnLprConnEvent.load() != nullptr;
    case kNotifyAlgDebug: return g.m_pfnAlgDebug.load() != nullptr;
    default: return false;
  }
}

}  // namespace

int CMessageWnd::OnLprNotify(uintptr_t kind, uintptr_t lParam) {
  void* record = reinterpret_cast<void*>(lParam);
  if (!record) return kind == kNotifyAlgDebug ? -1 : 0;
  if (kind > kNotifyAlgDebug) return 0;
  Call(kind, record);
  if (kind == kNotifyConnEvent) {
    const auto* ev = static_cast<StLprConnEvent*>(record);
    if (ev->code == 4) WriteLogF("设备%s复位", ev->ip);
  }
  FreeRecord(kind, record);
  return 0;
}

void EnsureMessageWindow() {
  CForGlobal& g = Global();
  if (g.m_pMessageWnd.load()) return;
  auto* w = new CMessageWnd;  // lives until the library is unloaded
  w->Create();                // a window that could not be made takes no messages
  g.m_pMessageWnd.store(w);
}

CMessageWnd* MessageWnd() { return Global().m_pMessageWnd.load(); }

Delivery Deliver(uintptr_t kind, void* record) {
  if (!record) return Delivery::kNone;
  CForGlobal& g = Global();
  if (g.m_bDirectCall.load()) {
    const bool has = HasCallback(kind);
    if (has) Call(kind, record);
    FreeRecord(kind, record);
    return has ? Delivery::kDirect : Delivery::kNone;
  }
  CMessageWnd* w = g.m_pMessageWnd.load();
  if (w && w->Post(kind, record)) return Delivery::kPosted;
  FreeRecord(kind, record);
  return Delivery::kNone;
}

}  // namespace nardix

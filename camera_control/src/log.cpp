#include "log.h"

#include <cstdarg>

#include "context.h"
#include "platform/net.h"

namespace qelm {

void WriteLog(const char* text) { kit::QueueLogLine(Global().m_log, text); }

void WriteLogF(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  kit::QueueLogLineV(Global().m_log, true, fmt, ap);
  va_end(ap);
}

void LogSocketError() { WriteLog(kit::SocketErrorText(pf::WSAGetLastError())); }

void LogSystemError() { WriteLog(pf::SystemErrorText(pf::GetLastError())); }

}  // namespace qelm

using namespace qelm;

extern "C" {

QELM_API int QELM_CALL Qelm_RecordControlLog(int on) {
  CForGlobal& g = Global();
  const bool want = (on & 0xFF) != 0;
  pf::Lock lk(g.m_csLogSwitch);
  // One writer only; but a log left on by a writer that could not be started
  // gets one now, rather than queueing lines that nobody writes.
  if (g.m_log.m_bLogOn.load() && want && g.m_logWriter.Running()) return 0;
  g.m_log.m_bLogOn.store(want ? 1 : 0);
  if (!want) {
    // The writer writes what is queued, then ends.
    g.m_logWriter.Stop();
    return 0;
  }
  if (!g.m_logWriter.Start()) {
    WriteLog("记录日志，启用线程失败");
    LogSystemError();
    return 3;
  }
  return 0;
}

// Kept for callers of earlier versions; they do nothing.
QELM_API int QELM_CALL Qelm_EnableCameraLog(intptr_t, intptr_t, intptr_t) { return 0; }
QELM_API int QELM_CALL Qelm_SetRevLogMode(intptr_t, intptr_t, intptr_t, intptr_t, intptr_t) {
  return 0;
}
QELM_API int QELM_CALL Qelm_GetLogData(intptr_t, intptr_t) { return 0; }

}  // extern "C"

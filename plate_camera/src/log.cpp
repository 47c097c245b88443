#include "log.h"

#include <cstdarg>

#include "context.h"
#include "platform/thread.h"

namespace nardix {

void WriteLog(const char* text) { kit::QueueLogLine(Global().m_log, text); }

void WriteLogF(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  kit::QueueLogLineV(Global().m_log, true, fmt, ap);
  va_end(ap);
}

void LogSystemError(int err) { WriteLog(pf::SystemErrorText(err)); }

bool LogOn() { return Global().m_log.m_bLogOn.load() != 0; }

bool StartLogWriter() {
  CForGlobal& g = Global();
  if (!g.m_bRunning.load() || !LogOn()) return true;
  return g.m_logWriter.Start();
}

void StopLogWriter() { Global().m_logWriter.Stop(); }

}  // namespace nardix

using namespace nardix;

extern "C" {

NARDIX_API int NARDIX_CALL LPR_IsWriteLog(int on) {
  CForGlobal& g = Global();
  pf::Lock life(g.m_csLife);
  const bool want = (on & 0xFF) != 0;
  g.m_log.m_bLogOn.store(want ? 1 : 0);
  // Off: the writer writes what is queued and ends. On while running: a writer
  // takes the lines at once, so they never pile up unwritten.
  if (!want)
    StopLogWriter();
  else
    StartLogWriter();
  return 0;
}

}  // extern "C"

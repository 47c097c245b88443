#include "log.h"

#include <cstdarg>

#include "context.h"
#include "platform/net.h"
#include "platform/system.h"

namespace pyrn {

void WriteLog(const char* text) { kit::QueueLogLine(Global().m_log, text, false); }

void WriteLogF(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  kit::QueueLogLineV(Global().m_log, false, fmt, ap);
  va_end(ap);
}

void LogSocketError(const char* ip) {
  const char* reason = kit::SocketErrorText(pf::WSAGetLastError());
  const pf::WallTime now = pf::Now();
  const std::tm tm = pf::UtcTime(now.sec + 8 * 3600);
  WriteLogF("%02d:%02d:%02d.%03d 设备 IP %s ,重连失败，失败原因 %s", tm.tm_hour, tm.tm_min, tm.tm_sec,
            now.ms, ip ? ip : "", reason);
}

std::string GetLogDir() { return ModulePath() + "DLLLog/"; }

}  // namespace pyrn

// The box log: every line is queued; one writer writes them, time-stamped,
// into "DLLLog/YYYYMMDD.log" beside the library.
#pragma once

#include <string>

namespace pyrn {

void WriteLog(const char* text);
inline void WriteLog(const std::string& text) { WriteLog(text.c_str()); }
void WriteLogF(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Queues the reconnection-failure line with the calling thread's last
// sockets error, stamped with the time of day in UTC+8.
void LogSocketError(const char* ip);
std::string GetLogDir();

}  // namespace pyrn

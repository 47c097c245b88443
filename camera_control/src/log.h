// The control log: lines queued while the log is on, written by one writer
// thread into "DLLLog/control-YYYYMMDD.log" beside the library.
#pragma once

#include <string>

namespace qelm {

void WriteLog(const char* text);
inline void WriteLog(const std::string& text) { WriteLog(text.c_str()); }
// printf-style line.
void WriteLogF(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Queues the English text of the calling thread's last sockets error.
void LogSocketError();
// Queues the system's text for the calling thread's last system error.
void LogSystemError();

}  // namespace qelm

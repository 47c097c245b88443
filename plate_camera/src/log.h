// The library's daily log: lines queued while logging is on, written by one
// writer thread into "LPRLog/YYYYMMDD.log" beside the library.
#pragma once

#include <string>

namespace nardix {

void WriteLog(const char* text);
inline void WriteLog(const std::string& text) { WriteLog(text.c_str()); }
// printf-style line.
void WriteLogF(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Queues the system's text for a system error number.
void LogSystemError(int err);
bool LogOn();

// Starts the writer while the library runs and logging is on.
bool StartLogWriter();
// Writes what is queued, then ends the writer.
void StopLogWriter();

}  // namespace nardix

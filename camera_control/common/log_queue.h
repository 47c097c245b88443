// Log-line queueing and the daily log writer shared by the libraries. Any
// thread queues a private copy of a line; one writer thread appends the lines,
// time-stamped when written, to the day's file. Devices' bytes make lines, so
// the queue is bounded: while no writer takes them (before start-up, say), at
// most kMaxQueuedLogLines wait, the lines past that are dropped and counted,
// and the writer's next drain writes, after the lines that waited, one line
// that says how many were dropped.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "platform/msgwindow.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace kit {

// As many as the message window's queue holds.
constexpr size_t kMaxQueuedLogLines = pf::MessageWindow::kQueueLimit;

struct LogQueue {
  pf::CriticalSection m_csLog;
  std::deque<std::string> m_listLog;  // oldest first
  uint64_t m_dropped = 0;             // lines dropped since the last drain (under m_csLog)
  std::atomic<uint8_t> m_bLogOn{0};
};

// Empties the queue; the lines dropped are forgotten with it.
void ClearLogQueue(LogQueue& q);
// The line that tells how many lines a full queue dropped.
std::string DroppedLogLinesText(uint64_t dropped);

// Queues a copy of `text`; when `onlyWhileOn` the line is dropped while the
// queue's switch is off.
void QueueLogLine(LogQueue& q, const char* text, bool onlyWhileOn = true);
// Formats a line (up to 1023 bytes) and queues it as QueueLogLine does;
// nothing is formatted while the switch is off and `onlyWhileOn`.
void QueueLogLineV(LogQueue& q, bool onlyWhileOn, const char* fmt, va_list ap);

// English text of a Windows Sockets error number, as the libraries log it.
const char* SocketErrorText(int code);

struct LogFileLayout {
  std::function<std::string()> folder;  // with trailing '/'
  std::string namePrefix;               // before the "%Y%m%d" date
  bool dashBeforeMillis = true;         // "...:SS-mmm" or "...:SSmmm"
};

// Formats one log line as written: local date and time, the milliseconds, four
// blanks, the text, CR LF.
std::string FormatLogLine(int64_t sec, int ms, const std::string& text, bool dashBeforeMillis);

class LogWriter {
 public:
  LogWriter(LogQueue& q, LogFileLayout layout) : q_(q), layout_(std::move(layout)) {}
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // Starts the writer unless one runs; a writer that is ending is joined first,
  // so there is never more than one. False when the thread cannot be made.
  bool Start();
  // Writes what is queued, then ends the writer and joins it.
  void Stop();
  bool Running() const { return running_.load(); }
  // Writes every queued line now, on the calling thread (used by the writer
  // and by Stop).
  void Drain();

  // Pause between two writing cycles.
  void SetPeriodMs(int ms) { periodMs_.store(ms); }

 private:
  void Run();

  LogQueue& q_;
  LogFileLayout layout_;
  pf::CriticalSection cs_;  // Start/Stop
  pf::CriticalSection fileCs_;  // one drain at a time, so lines stay in order
  pf::Thread thread_;
  pf::AutoResetEvent wake_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> running_{false};
  std::atomic<int> periodMs_{200};
};

}  // namespace kit

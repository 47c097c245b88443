#include "log_queue.h"

#include <cstdio>
#include <ctime>

#include "folders.h"
#include "platform/system.h"

namespace kit {

void QueueLogLine(LogQueue& q, const char* text, bool onlyWhileOn) {
  if (!text) return;
  if (onlyWhileOn && !q.m_bLogOn.load()) return;
  pf::Lock lk(q.m_csLog);
  // Full: counted, and not even copied (a flood costs no memory).
  if (q.m_listLog.size() >= kMaxQueuedLogLines) {
    ++q.m_dropped;
    return;
  }
  q.m_listLog.emplace_back(text);
}

void ClearLogQueue(LogQueue& q) {
  pf::Lock lk(q.m_csLog);
  q.m_listLog.clear();
  q.m_dropped = 0;
}

std::string DroppedLogLinesText(uint64_t dropped) {
  char buf[96];
  snprintf(buf, sizeof buf, "日志队列已满，丢弃%llu条日志", static_cast<unsigned long long>(dropped));
  return buf;
}

void QueueLogLineV(LogQueue& q, bool onlyWhileOn, const char* fmt, va_list ap) {
  if (onlyWhileOn && !q.m_bLogOn.load()) return;
  char buf[1024];
  vsnprintf(buf, sizeof buf, fmt, ap);
  QueueLogLine(q, buf, onlyWhileOn);
}

const char* SocketErrorText(int code) {
  switch (code) {
    case 10004: return "A blocking Windows Sockets 1.1 call was canceled through WSACancelBlockingCall. ";
    case 10013: return "The requested address is a broadcast address, but the appropriate flag was not set. Call setsockopt with the SO_BROADCAST parameter to allow the use of the broadcast address. ";
    case 10014: return "The buf or to parameters are not part of the user address space, or the tolen parameter is too small. ";
    case 10022: return "An unknown flag was specified, or MSG_OOB was specified for a socket with SO_OOBINLINE enabled. ";
    case 10035: return "The socket is marked as nonblocking and the requested operation would block. ";
    case 10036: return "A blocking Windows Sockets 1.1 call is in progress, or the service provider is still processing a callback function. ";
    case 10038: return "The descriptor is not a socket. ";
    case 10039: return "A destination address is required. ";
    case 10040: return "The socket is message oriented, and the message is larger than the maximum supported by the underlying transport. ";
    case 10045: return "MSG_OOB was specified, but the socket is not stream-style such as type SOCK_STREAM, OOB data is not supported in the communication domain associated with this socket, or the socket is unidirectional and supports only receive operations. ";
    case 10047: return "Addresses in the specified family cannot be used with this socket. ";
    case 10049: return "The remote address is not a valid address, for example, ADDR_ANY. ";
    case 10050: return "The network subsystem has failed. ";
    case 10051: return "The network cannot be reached from this host at this time. ";
    case 10052: return "The connection has been broken due to keep-alive activity detecting a failure while the operation was in progress. ";
    case 10053: return "The virtual circuit was terminated due to a time-out or other failure. The application should close the socket as it is no longer usable. ";
    case 10054: return "The virtual circuit was reset by the remote side executing a hard or abortive close. For UPD sockets, the remote host was unable to deliver a previously sent UDP datagram and responded with a \"Port Unreachable\" ICMP packet. The application should close the socket as it is no longer usable. ";
    case 10055: return "No buffer space is available. ";
    case 10057: return "The socket is not connected (connection-oriented sockets only). ";
    case 10058: return "The socket has been shut down; it is not possible to sendto on a socket after shutdown has been invoked with how set to SD_SEND or SD_BOTH. ";
    case 10060: return "The connection has been dropped, because of a network failure or because the system on the other end went down without notice. ";
    case 10065: return "The remote host cannot be reached from this host at this time. ";
    case 10093: return "A successful WSAStartup call must occur before using this function. ";
    default: return "Unknown socket error. ";
  }
}

std::string FormatLogLine(int64_t sec, int ms, const std::string& text, bool dashBeforeMillis) {
  std::tm tm = pf::LocalTime(sec);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  char head[48];
  snprintf(head, sizeof head, dashBeforeMillis ? "%s-%03d    " : "%s%03d    ", stamp, ms);
  std::string line = head;
  line += text;
  line += "\r\n";
  return line;
}

bool LogWriter::Start() {
  pf::Lock lk(cs_);
  if (running_.load() && !stop_.load()) return true;
  thread_.Join();  // a writer that was told to end finishes its last drain
  stop_.store(false);
  wake_.Reset();
  running_.store(true);
  if (!thread_.Start([this] { Run(); })) {
    running_.store(false);
    return false;
  }
  return true;
}

void LogWriter::Stop() {
  pf::Lock lk(cs_);
  if (!thread_.Joinable()) return;
  stop_.store(true);
  wake_.Set();
  thread_.Join();
}

void LogWriter::Run() {
  for (;;) {
    wake_.Wait(periodMs_.load());
    // The flag is read before the drain: a stop asked for while a drain is
    // under way gets one more, so the lines queued meanwhile are written too.
    const bool stopping = stop_.load();
    Drain();
    if (stopping) break;
  }
  running_.store(false);
}

void LogWriter::Drain() {
  pf::Lock fileLock(fileCs_);
  std::deque<std::string> lines;
  {
    pf::Lock lk(q_.m_csLog);
    lines.swap(q_.m_listLog);
    // The lines were dropped after those that waited: the count follows them.
    if (q_.m_dropped > 0) lines.push_back(DroppedLogLinesText(q_.m_dropped));
    q_.m_dropped = 0;
  }
  if (lines.empty()) return;
  const std::string folder = layout_.folder ? layout_.folder() : std::string();
  // A library that keeps no files (no folder it may write) loses its lines.
  if (!pf::IsAbsolute(folder)) return;
  // So does one whose log folder it may not use (another user's).
  if (!CreateFolderPath(folder)) return;
  FILE* f = nullptr;
  std::string openName;
  for (const auto& text : lines) {
    const pf::WallTime now = pf::Now();
    std::tm tm = pf::LocalTime(now.sec);
    char date[16];
    strftime(date, sizeof date, "%Y%m%d", &tm);
    const std::string name = folder + layout_.namePrefix + date + ".log";
    if (name != openName) {
      if (f) fclose(f);
      f = pf::OpenOwnFile(name, true);  // created when missing, contents kept; never through a link
      openName = name;
    }
    if (!f) continue;  // a file that cannot be opened loses the line
    const std::string line = FormatLogLine(now.sec, now.ms, text, layout_.dashBeforeMillis);
    fwrite(line.data(), 1, line.size(), f);
  }
  if (f) fclose(f);
}

}  // namespace kit

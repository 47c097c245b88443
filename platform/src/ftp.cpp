#include "platform/ftp.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/system.h"

namespace pf {

namespace {

// "ddd", "ddd text" or "ddd-text": the code (first digit 1 to 5) and the
// separator (' ' for a line of only the code).
bool ReplyLineCode(const char* line, size_t n, int* code, char* sep) {
  if (n < 3) return false;
  for (int i = 0; i < 3; ++i)
    if (line[i] < '0' || line[i] > '9') return false;
  if (line[0] < '1' || line[0] > '5') return false;
  if (n > 3 && line[3] != ' ' && line[3] != '-') return false;
  *code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  *sep = n > 3 ? line[3] : ' ';
  return true;
}

void AppendText(std::string* text, const char* p, size_t n) {
  const size_t room = kMaxFtpReplyText - text->size();
  text->append(p, n < room ? n : room);
}

// Texts that go into a command line must not end it early.
bool FitsCommand(const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) == std::string::npos; }

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t k = ::write(fd, p, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// A new file beside `local` that takes the transfer until it is complete.
int OpenPartFile(const std::string& local, std::string* part) {
  static std::atomic<unsigned> counter{0};
  for (int i = 0; i < 100; ++i) {
    *part = local + ".part" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    const int fd = ::open(part->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

int Remaining(int64_t deadline) {
  const int64_t left = deadline - MonotonicMs();
  return left <= 0 ? 0 : left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

// The earlier of a wait of `ms` from now and `deadline`.
int64_t Earlier(int ms, int64_t deadline) {
  const int64_t own = MonotonicMs() + ms;
  return own < deadline ? own : deadline;
}

}  // namespace

FtpParse ParseFtpReply(const char* data, size_t len, FtpReply* reply, size_t* used) {
  std::string text;
  int code = 0;
  size_t pos = 0;
  for (bool first = true;; first = false) {
    const size_t avail = len - pos < kMaxFtpLine ? len - pos : kMaxFtpLine;
    if (avail == 0) return FtpParse::kIncomplete;
    const char* nl = static_cast<const char*>(memchr(data + pos, '\n', avail));
    if (!nl) return avail == kMaxFtpLine ? FtpParse::kMalformed : FtpParse::kIncomplete;
    const size_t next = static_cast<size_t>(nl - data) + 1;
    if (next > kMaxFtpReply) return FtpParse::kMalformed;
    const char* line = data + pos;
    size_t n = static_cast<size_t>(nl - line);
    if (n > 0 && line[n - 1] == '\r') --n;
    int lineCode = 0;
    char sep = 0;
    const bool coded = ReplyLineCode(line, n, &lineCode, &sep);
    bool last;
    if (first) {
      if (!coded) return FtpParse::kMalformed;
      code = lineCode;
      last = sep == ' ';
      if (n > 4) AppendText(&text, line + 4, n - 4);
    } else {
      last = coded && lineCode == code && sep == ' ';
      AppendText(&text, "\n", 1);
      if (!last) AppendText(&text, line, n);
      else if (n > 4) AppendText(&text, line + 4, n - 4);
    }
    pos = next;
    if (last) break;
  }
  reply->code = code;
  reply->text = std::move(text);
  *used = pos;
  return FtpParse::kComplete;
}

FtpClient::~FtpClient() { Close(); }

bool FtpClient::Connect(uint32_t addr, uint16_t port, const std::string& user, const std::string& password) {
  Close();
  last_ = FtpReply{};
  if (!FitsCommand(user) || !FitsCommand(password)) return false;
  const SOCKET s = TcpSocket();
  if (s == INVALID_SOCKET) return false;
  SetNonBlocking(s, true);
  bool connected = pf::Connect(s, addr, port) == 0;
  if (!connected && WSAGetLastError() == WSAEWOULDBLOCK)
    connected = AwaitConnect(s, t_.connectMs) == 0;
  SetNonBlocking(s, false);
  if (!connected) {
    CloseSocket(s);
    return false;
  }
  SetSendTimeout(s, t_.replyMs);
  ctrl_ = s;
  serverAddr_ = addr;
  in_.clear();

  // 120: "ready in a while"; the 220 follows.
  bool greeted = ReadReply() && (last_.code != 120 || ReadReply()) && last_.code == 220;
  if (!greeted) {
    Drop();
    return false;
  }
  if (!Command("USER " + user)) {
    Drop();
    return false;
  }
  if (last_.code / 100 == 3 && !Command("PASS " + password)) {
    Drop();
    return false;
  }
  if (last_.code / 100 != 2) {  // refused (or an account asked for)
    Close();
    return false;
  }
  return true;
}

bool FtpClient::Get(const std::string& remote, const std::string& local) {
  if (!Connected() || remote.empty() || !FitsCommand(remote)) return false;
  const int64_t deadline = MonotonicMs() + t_.transferMs;
  std::string part;
  const int fd = OpenPartFile(local, &part);
  if (fd < 0) return false;
  SOCKET listener = INVALID_SOCKET;
  auto finish = [&](bool result) {
    if (listener != INVALID_SOCKET) CloseSocket(listener);
    const bool closed = ::close(fd) == 0;
    if (result && closed && ::rename(part.c_str(), local.c_str()) == 0) return true;
    ::unlink(part.c_str());
    return false;
  };

  if (!Command("TYPE I", deadline)) {
    Drop();
    return finish(false);
  }
  if (last_.code / 100 != 2) return finish(false);

  const uint32_t own = LocalAddress(ctrl_);
  listener = TcpSocket();
  if (listener == INVALID_SOCKET || Bind(listener, own, 0) != 0 || Listen(listener, 1) != 0)
    return finish(false);
  const uint16_t port = LocalPort(listener);
  const unsigned char* a = reinterpret_cast<const unsigned char*>(&own);
  char portCmd[64];
  snprintf(portCmd, sizeof portCmd, "PORT %u,%u,%u,%u,%u,%u", a[0], a[1], a[2], a[3], port >> 8, port & 0xFF);
  if (!Command(portCmd, deadline)) {
    Drop();
    return finish(false);
  }
  if (last_.code / 100 != 2) return finish(false);

  if (!Command("RETR " + remote, deadline)) {
    Drop();
    return finish(false);
  }
  if (last_.code / 100 != 1) return finish(false);  // no such file, no access, ...

  bool finalReply = false;
  const SOCKET data = AcceptData(listener, &finalReply, deadline);
  CloseSocket(listener);
  listener = INVALID_SOCKET;
  if (data == INVALID_SOCKET) {
    // A server that answered keeps the control connection in step; one that
    // neither connected nor answered leaves it in an unknown state.
    if (!finalReply) Drop();
    return finish(false);
  }
  const bool received = Receive(data, fd, deadline);
  CloseSocket(data);
  // Also after a transfer given up: the server answers the closed data
  // connection, and the control connection stays in step for the next file.
  if (!finalReply && !ReadReply()) {
    Drop();
    return finish(false);
  }
  return finish(received && last_.code / 100 == 2);
}

SOCKET FtpClient::AcceptData(SOCKET listener, bool* replied, int64_t transferDeadline) {
  const int64_t deadline = Earlier(t_.dataMs, transferDeadline);
  for (;;) {
    // A reply may already wait in what was read with the last one.
    FtpReply unused;
    size_t used = 0;
    const bool buffered = !*replied && ParseFtpReply(in_.data(), in_.size(), &unused, &used) != FtpParse::kIncomplete;
    pollfd p[2] = {{listener, POLLIN, 0}, {ctrl_, POLLIN, 0}};
    // Once the server has answered, only its connection is awaited.
    const int r = poll(p, *replied ? 1 : 2, buffered ? 0 : Remaining(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || (r == 0 && !buffered)) return INVALID_SOCKET;
    if (p[0].revents & POLLIN) {
      uint32_t peer = 0;
      const SOCKET d = Accept(listener, &peer, nullptr);
      if (d == INVALID_SOCKET) return INVALID_SOCKET;
      if (peer == serverAddr_) return d;
      CloseSocket(d);  // not the server: its bytes are not the file
      continue;
    }
    if (p[0].revents) return INVALID_SOCKET;
    if (!*replied && (buffered || p[1].revents)) {
      if (!ReadReply(transferDeadline)) {
        Drop();
        return INVALID_SOCKET;
      }
      const int kind = last_.code / 100;
      if (kind != 1 && kind != 2) {  // 425, 451, ...
        *replied = true;
        return INVALID_SOCKET;
      }
      *replied = kind == 2;  // a further preliminary reply still leaves the final one to come
    }
  }
}

bool FtpClient::Receive(SOCKET data, int fd, int64_t deadline) {
  char buf[65536];
  uint64_t total = 0;
  for (;;) {
    // A pause in the data, or a server that keeps sending, ends the transfer
    // at its deadline.
    if (!WaitReadableUntil(data, Earlier(t_.dataMs, deadline))) return false;
    const int n = Recv(data, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) return false;
    total += static_cast<uint64_t>(n);
    if (total > t_.maxFileBytes || !WriteAll(fd, buf, static_cast<size_t>(n))) return false;
  }
}

bool FtpClient::SendCommand(const std::string& line) {
  if (!Connected()) return false;
  const std::string wire = line + "\r\n";
  return Send(ctrl_, wire.data(), wire.size()) == static_cast<int>(wire.size());
}

bool FtpClient::ReadReply(int64_t by) {
  const int64_t deadline = Earlier(t_.replyMs, by);
  for (;;) {
    FtpReply r;
    size_t used = 0;
    switch (ParseFtpReply(in_.data(), in_.size(), &r, &used)) {
      case FtpParse::kComplete:
        in_.erase(0, used);
        last_ = std::move(r);
        return true;
      case FtpParse::kMalformed:
        return false;
      case FtpParse::kIncomplete:
        break;
    }
    if (WaitReadable(ctrl_, Remaining(deadline)) != 1) return false;
    char buf[4096];
    const int n = Recv(ctrl_, buf, sizeof buf);
    if (n <= 0) return false;
    in_.append(buf, static_cast<size_t>(n));
  }
}

void FtpClient::Close() {
  if (!Connected()) return;
  if (SendCommand("QUIT")) ReadReply();
  Drop();
}

void FtpClient::Drop() {
  if (ctrl_ != INVALID_SOCKET) CloseSocket(ctrl_);
  ctrl_ = INVALID_SOCKET;
  in_.clear();
}

}  // namespace pf

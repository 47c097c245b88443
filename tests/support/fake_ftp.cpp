#include "fake_ftp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace kittest {

namespace {

bool SendText(FakeConn& c, const std::string& s) { return c.Send(s.data(), s.size()); }

}  // namespace

FakeFtpServer::FakeFtpServer(const std::string& ip, uint16_t port, Options options)
    : ip_(ip), options_(std::move(options)), server_(ip, port) {
  server_.SetOnAccept([this](FakeConn& c) {
    if (!options_.greet) return;
    if (options_.multiLineGreeting)
      SendText(c, "220-Welcome\r\n 220 indented, not the end\r\n221 another code\r\n220-still going\r\n220 Ready\r\n");
    else
      SendText(c, "220 Ready\r\n");
  });
  server_.SetOnData([this](FakeConn& c, Bytes& pending) {
    for (;;) {
      size_t nl = 0;
      while (nl < pending.size() && pending[nl] != '\n') ++nl;
      if (nl == pending.size()) return;
      std::string line(pending.begin(), pending.begin() + nl);
      pending.erase(pending.begin(), pending.begin() + nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      OnLine(c, line);
    }
  });
}

FakeFtpServer::~FakeFtpServer() {
  {
    std::lock_guard<std::mutex> lk(stopM_);
    stopping_ = true;
  }
  stopCv_.notify_all();
}

void FakeFtpServer::AddEndlessFile(const std::string& user, const std::string& path, Stream stream) {
  std::lock_guard<std::mutex> lk(m_);
  accounts_[user].streams[path] = stream;
}

void FakeFtpServer::AddAccount(const std::string& user, const std::string& password) {
  std::lock_guard<std::mutex> lk(m_);
  accounts_[user].password = password;
}

void FakeFtpServer::AddFile(const std::string& user, const std::string& path, const std::string& content) {
  std::lock_guard<std::mutex> lk(m_);
  accounts_[user].files[path] = content;
}

std::vector<std::string> FakeFtpServer::Commands() const {
  std::lock_guard<std::mutex> lk(m_);
  return commands_;
}

std::vector<std::string> FakeFtpServer::Retrieved() const {
  std::vector<std::string> out;
  for (const auto& c : Commands())
    if (c.compare(0, 5, "RETR ") == 0) out.push_back(c.substr(5));
  return out;
}

void FakeFtpServer::OnLine(FakeConn& c, const std::string& line) {
  const size_t sp = line.find(' ');
  const std::string verb = line.substr(0, sp);
  const std::string arg = sp == std::string::npos ? "" : line.substr(sp + 1);
  Session s;
  std::string reply, content;
  bool retrieve = false;
  Stream stream{};
  bool endless = false;
  {
    std::lock_guard<std::mutex> lk(m_);
    commands_.push_back(line);
    Session& cur = sessions_[c.id()];
    if (verb == "USER") {
      cur.user = arg;
      cur.loggedIn = false;
      reply = "331 Password required\r\n";
    } else if (verb == "PASS") {
      auto it = accounts_.find(cur.user);
      cur.loggedIn = it != accounts_.end() && it->second.password == arg;
      reply = cur.loggedIn ? "230-Logged in\r\n230 Proceed\r\n" : "530 Login incorrect\r\n";
    } else if (verb == "QUIT") {
      reply = "221 Goodbye\r\n";
    } else if (!cur.loggedIn) {
      reply = "530 Not logged in\r\n";
    } else if (verb == "TYPE") {
      reply = "200 Type set to " + arg + "\r\n";
    } else if (verb == "PORT") {
      unsigned h[4], p[2];
      char extra;
      if (sscanf(arg.c_str(), "%u,%u,%u,%u,%u,%u%c", &h[0], &h[1], &h[2], &h[3], &p[0], &p[1], &extra) != 6 ||
          h[0] != 127 || h[1] > 255 || h[2] > 255 || h[3] > 255 || p[0] > 255 || p[1] > 255) {
        reply = "501 Only loopback addresses here\r\n";  // the tests never send elsewhere
      } else {
        cur.portAddr = h[0] | (h[1] << 8) | (h[2] << 16) | (h[3] << 24);
        cur.portPort = static_cast<uint16_t>(p[0] << 8 | p[1]);
        reply = "200 PORT command successful\r\n";
      }
    } else if (verb == "RETR") {
      const auto& files = accounts_[cur.user].files;
      const auto& streams = accounts_[cur.user].streams;
      auto it = files.find(arg);
      auto st = streams.find(arg);
      if (st != streams.end() && cur.portPort != 0) {
        retrieve = endless = true;
        stream = st->second;
      } else if (it == files.end()) {
        reply = "550 " + arg + ": No such file or directory\r\n";
      } else if (cur.portPort == 0) {
        reply = "425 Use PORT first\r\n";
      } else {
        retrieve = true;
        content = it->second;
      }
    } else {
      reply = "502 Command not implemented\r\n";
    }
    s = cur;
    if (verb == "RETR") sessions_[c.id()].portPort = 0;  // one PORT, one transfer
  }
  if (retrieve) {
    Retrieve(c, s, content, endless ? &stream : nullptr);
  } else {
    SendText(c, reply);
    if (verb == "QUIT") c.Close();
  }
}

int FakeFtpServer::OpenData(const Session& s) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = Addr(options_.dataFrom.empty() ? ip_ : options_.dataFrom);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = s.portAddr;
  to.sin_port = htons(s.portPort);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool FakeFtpServer::SendStream(int fd, const Stream& stream) {
  const std::string chunk(stream.chunk, 'z');
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  std::unique_lock<std::mutex> lk(stopM_);
  while (!stopping_ && std::chrono::steady_clock::now() < end) {
    lk.unlock();
    const bool sent = SendAll(fd, chunk.data(), chunk.size());
    lk.lock();
    if (!sent) break;  // the client has closed the data connection
    if (stream.gapMs > 0) stopCv_.wait_for(lk, std::chrono::milliseconds(stream.gapMs), [this] { return stopping_; });
  }
  return false;  // an endless file is never sent whole
}

void FakeFtpServer::Retrieve(FakeConn& c, const Session& s, const std::string& content, const Stream* stream) {
  const char* opening = "150 Opening BINARY mode data connection\r\n";
  switch (options_.data) {
    case Data::kRefuse:
      SendText(c, opening);
      SendText(c, "425 Can't open data connection\r\n");
      return;
    case Data::kSilent:
      SendText(c, opening);
      return;
    default:
      break;
  }
  int fd = -1;
  if (options_.data == Data::kConnectFirst) {
    fd = OpenData(s);
    SendText(c, opening);
  } else {
    SendText(c, opening);
    fd = OpenData(s);
  }
  if (fd < 0) {
    SendText(c, "425 Can't open data connection\r\n");
    return;
  }
  const size_t n = options_.data == Data::kAbort ? content.size() / 2 : content.size();
  const bool sent = stream ? SendStream(fd, *stream) : SendAll(fd, content.data(), n);
  ::close(fd);
  if (options_.data == Data::kAbort || !sent)
    SendText(c, "426 Connection closed; transfer aborted\r\n");
  else
    SendText(c, "226-Transfer complete\r\n226 Closing data connection\r\n");
}

}  // namespace kittest

// A device's FTP service as the tests need it: accounts with their files,
// active-mode transfers, every command recorded. Its own line parser and
// replies (RFC 959), on a FakeTcpServer. Data connections go only to loopback
// PORT addresses.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fake_peer.h"

namespace kittest {

class FakeFtpServer {
 public:
  enum class Data {
    kNormal,        // 150, connect, the file, close, 226
    kConnectFirst,  // connect, 150, the file, close, 226
    kRefuse,        // 150, then 425 without connecting
    kSilent,        // 150, then nothing
    kAbort,         // 150, connect, half the file, close, 426
  };
  struct Options {
    bool greet = true;              // false: accepts and says nothing
    bool multiLineGreeting = false;
    Data data = Data::kNormal;
    std::string dataFrom;           // source address of data connections (default: the server's)
  };

  FakeFtpServer(const std::string& ip, uint16_t port, Options options);
  explicit FakeFtpServer(const std::string& ip, uint16_t port = 21) : FakeFtpServer(ip, port, Options{}) {}
  ~FakeFtpServer();  // ends a stream under way

  bool Listening() const { return server_.Listening(); }
  size_t ConnectionCount() const { return server_.ConnectionCount(); }

  void AddAccount(const std::string& user, const std::string& password);
  void AddFile(const std::string& user, const std::string& path, const std::string& content);
  // A file without end: `chunk` bytes at a time, `gapMs` apart, until the
  // client stops taking them (then 426), for at most two minutes.
  struct Stream {
    size_t chunk;
    int gapMs;
  };
  void AddEndlessFile(const std::string& user, const std::string& path, Stream stream);

  // Command lines as received (without the line end), all connections in order.
  std::vector<std::string> Commands() const;
  // The RETR arguments only.
  std::vector<std::string> Retrieved() const;

 private:
  struct Account {
    std::string password;
    std::map<std::string, std::string> files;
    std::map<std::string, Stream> streams;
  };
  struct Session {
    std::string user;
    bool loggedIn = false;
    uint32_t portAddr = 0;
    uint16_t portPort = 0;
  };
  void OnLine(FakeConn& c, const std::string& line);
  void Retrieve(FakeConn& c, const Session& s, const std::string& content, const Stream* stream);
  bool SendStream(int fd, const Stream& stream);
  int OpenData(const Session& s);

  const std::string ip_;
  const Options options_;
  mutable std::mutex m_;
  std::map<std::string, Account> accounts_;
  std::map<int, Session> sessions_;
  std::vector<std::string> commands_;
  std::mutex stopM_;
  std::condition_variable stopCv_;
  bool stopping_ = false;
  FakeTcpServer server_;
};

}  // namespace kittest

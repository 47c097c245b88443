// A small FTP client (RFC 959) with what the libraries need of one: log in,
// fetch single files in binary mode over active-mode data connections, quit.
// Every wait is bounded: each reply by the reply time-out, the connect by its
// own, and a file's whole transfer by its transfer limit (see Get).
//
// Addresses are 32-bit values with the first octet in the lowest byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/net.h"

namespace pf {

// One server reply: its three-digit code and its text (the lines after the
// code, joined by '\n', cut to kMaxFtpReplyText bytes).
struct FtpReply {
  int code = 0;
  std::string text;
};

constexpr size_t kMaxFtpLine = 4096;       // one reply line, line end included
constexpr size_t kMaxFtpReply = 65536;     // one reply, all its lines
constexpr size_t kMaxFtpReplyText = 1024;  // text kept of one reply

enum class FtpParse { kIncomplete, kComplete, kMalformed };

// Parses the reply at the start of data[0, len). A reply is one line
// "ddd text", or a first line "ddd-text", any lines, and a last line "ddd text"
// with the same code. Lines end in CR LF (a bare LF is taken too); a line of
// only the code counts as "ddd ". kComplete: *reply is filled and *used holds
// the bytes the reply took. kMalformed: the first line is no reply line, or a
// line or the reply is longer than the bounds above.
FtpParse ParseFtpReply(const char* data, size_t len, FtpReply* reply, size_t* used);

class FtpClient {
 public:
  struct Timeouts {
    int connectMs = 2000;  // control connection
    int replyMs = 10000;   // each reply, and each control send
    int dataMs = 10000;    // the server's data connection, and each pause in the data
    int transferMs = 60000;                // one file, from its first command to its last byte
    uint64_t maxFileBytes = 16ull << 20;   // one file
  };

  FtpClient() = default;
  explicit FtpClient(const Timeouts& t) : t_(t) {}
  ~FtpClient();  // Close()
  FtpClient(const FtpClient&) = delete;
  FtpClient& operator=(const FtpClient&) = delete;

  // Connects to addr:port and logs in. False when the connection fails, the
  // server does not greet with 220, or it refuses the user or the password;
  // the client is then closed.
  bool Connect(uint32_t addr, uint16_t port, const std::string& user, const std::string& password);
  bool Connected() const { return ctrl_ != INVALID_SOCKET; }

  // Fetches `remote` into the file `local` in binary mode (TYPE I) over an
  // active-mode data connection (PORT: the client listens on a port of its own
  // address on the control connection and the server connects to it). The
  // file is replaced only when the whole transfer succeeded; a failed one
  // leaves any earlier file as it was, removes what it had received, and
  // returns false. A file longer than maxFileBytes, or one whose commands and
  // data take longer than transferMs, fails so: its data connection is
  // closed, and the server's reply to that is awaited within the reply
  // time-out, so that the next file can follow on the same connection. A Get
  // thus ends within transferMs and one reply time-out.
  bool Get(const std::string& remote, const std::string& local);

  // QUIT (its reply awaited within the reply time-out) and close.
  void Close();

  // The last reply the server gave.
  const FtpReply& LastReply() const { return last_; }

 private:
  static constexpr int64_t kNoDeadline = INT64_MAX;
  bool SendCommand(const std::string& line);
  // Reads one reply within the reply time-out and by `deadline`.
  bool ReadReply(int64_t deadline = kNoDeadline);
  bool Command(const std::string& line, int64_t deadline = kNoDeadline) {
    return SendCommand(line) && ReadReply(deadline);
  }
  SOCKET AcceptData(SOCKET listener, bool* replied, int64_t deadline);
  bool Receive(SOCKET data, int fd, int64_t deadline);
  void Drop();

  Timeouts t_;
  SOCKET ctrl_ = INVALID_SOCKET;
  uint32_t serverAddr_ = 0;
  std::string in_;  // control bytes not yet taken as a reply
  FtpReply last_;
};

}  // namespace pf

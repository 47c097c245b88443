// Fuzz target: the FTP client's reply parser.
//
// Input: the bytes a server sent on the control connection. Replies are taken
// one after the other, as the client does, until one is incomplete or
// malformed. Each result must be that of a plain reading of the rules written
// here: a reply is one line "ddd text", or a line "ddd-text", any lines, and a
// line "ddd text" with the same code; the first digit 1 to 5; lines end in LF
// (a CR before it is dropped); a line of more than 4096 bytes with its end, or
// a reply of more than 65536 bytes, is malformed; the text is the lines after
// the code joined by LF, at most 1024 bytes of it.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/ftp.h"

#include "fuzz_check.h"

namespace {

struct Reference {
  pf::FtpParse kind = pf::FtpParse::kIncomplete;
  int code = 0;
  std::string text;
  size_t used = 0;
};

// "ddd", "ddd ..." or "ddd-...": its code and whether it may end a reply.
bool CodeOf(std::string_view line, int* code, bool* ends) {
  if (line.size() < 3 || line[0] < '1' || line[0] > '5') return false;
  for (int i = 1; i < 3; ++i)
    if (line[i] < '0' || line[i] > '9') return false;
  if (line.size() > 3 && line[3] != ' ' && line[3] != '-') return false;
  *code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  *ends = line.size() == 3 || line[3] == ' ';
  return true;
}

Reference Read(std::string_view in) {
  Reference r;
  std::string text;
  size_t pos = 0;
  for (bool first = true;; first = false) {
    const size_t nl = in.find('\n', pos);
    const bool tooLong = nl == std::string_view::npos ? in.size() - pos >= 4096 : nl - pos >= 4096;
    if (tooLong) {
      r.kind = pf::FtpParse::kMalformed;
      return r;
    }
    if (nl == std::string_view::npos) return r;  // incomplete
    if (nl + 1 > 65536) {
      r.kind = pf::FtpParse::kMalformed;
      return r;
    }
    std::string_view line = in.substr(pos, nl - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = nl + 1;
    int code = 0;
    bool ends = false;
    const bool coded = CodeOf(line, &code, &ends);
    if (first && !coded) {
      r.kind = pf::FtpParse::kMalformed;
      return r;
    }
    if (first) r.code = code;
    const bool last = coded && code == r.code && ends;
    if (!first) text += '\n';
    text += (first || last) ? (line.size() > 4 ? line.substr(4) : std::string_view()) : line;
    if (last) break;
  }
  r.kind = pf::FtpParse::kComplete;
  r.text = text.substr(0, pf::kMaxFtpReplyText);
  r.used = pos;
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  size_t at = 0;
  for (;;) {
    const std::string_view rest = all.substr(at);
    pf::FtpReply reply;
    size_t used = 0;
    const pf::FtpParse kind = pf::ParseFtpReply(rest.data(), rest.size(), &reply, &used);
    const Reference want = Read(rest);
    FUZZ_CHECK(kind == want.kind);
    if (kind != pf::FtpParse::kComplete) return 0;
    FUZZ_CHECK(reply.code == want.code);
    FUZZ_CHECK(reply.code >= 100 && reply.code <= 599);
    FUZZ_CHECK(reply.text == want.text);
    FUZZ_CHECK(used == want.used && used > 0 && used <= rest.size());
    at += used;
  }
}

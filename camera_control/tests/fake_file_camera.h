// A camera's XML and algorithm file port, by its own codec: it answers the
// version request, the file information requests and the block requests
// from the files it was given. Shared by the file channel tests and by the
// test of the shared library loaded from a folder it cannot write.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "fake_peer.h"
#include "wait.h"

namespace filecam {

using kittest::Bytes;

inline void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline uint32_t Get32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }

struct Request {
  uint32_t code;
  uint32_t cls;
  Bytes data;
  Bytes frame;  // the whole frame as received
  int64_t atMs = 0;
};

// One-item reply frame in the camera's own encoding.
inline Bytes Reply(uint32_t code, const Bytes& data, uint32_t status = 0) {
  Bytes f;
  Put32(f, 0x0FF055AA);
  Put32(f, 0x00010000);
  Put32(f, static_cast<uint32_t>(60 + data.size()));
  f.insert(f.end(), {8, 0, 2, 0});
  Put32(f, 0);
  Put32(f, 0);
  Put32(f, 0x8002);
  Put32(f, 0);
  Put32(f, 1);
  Put32(f, 0xAA55A55A);
  Put32(f, code);
  f.insert(f.end(), {0, 0, 0, 0});
  Put32(f, status);
  Put32(f, static_cast<uint32_t>(data.size()));
  f.insert(f.end(), data.begin(), data.end());
  Put32(f, 0x550FF0AA);
  return f;
}

// A block reply: index, a word not read, n, a word not read, n bytes.
inline Bytes Block(uint32_t index, const Bytes& bytes, uint32_t n) {
  Bytes d;
  Put32(d, index);
  Put32(d, 0);
  Put32(d, n);
  Put32(d, 0);
  d.insert(d.end(), bytes.begin(), bytes.end());
  return Reply(0x10104, d);
}


struct CameraFile {
  std::string name;
  Bytes content;
  uint32_t announcedSize;  // what the file information says
  uint32_t blockSize;
};

// A camera's file port: version, file information and blocks, by its own codec.
class FakeFileCamera {
 public:
  FakeFileCamera(const std::string& ip, uint16_t port) : server_(ip, port) {
    server_.SetOnData([this](kittest::FakeConn& c, Bytes& pending) {
      while (pending.size() >= 12 && pending.size() >= Get32(pending.data() + 8)) {
        const uint32_t len = Get32(pending.data() + 8);
        Bytes f(pending.begin(), pending.begin() + len);
        pending.erase(pending.begin(), pending.begin() + len);
        const uint8_t* item = f.data() + 36;
        Request r{Get32(item + 4), Get32(f.data() + 24), Bytes(item + 20, item + 20 + Get32(item + 16)), f,
                  kittest::NowMs()};
        if (r.code == 0x10101) Flood(c);
        bool close = false;
        Bytes answer = Answer(r, &close);
        if (close) c.Close();
        if (!answer.empty()) c.Send(answer);
      }
    });
  }
  void SetVersion(const std::string& v) {
    std::lock_guard<std::mutex> lk(m_);
    version_ = v;
  }
  // Before each wanted block, a block of another index.
  void SendStrayBlocks(bool on) {
    std::lock_guard<std::mutex> lk(m_);
    stray_ = on;
  }
  // Closes the connection when the version request comes instead of answering.
  void CloseOnVersionRequest(bool on) {
    std::lock_guard<std::mutex> lk(m_);
    closeOnVersion_ = on;
  }
  // Sends these bytes before its answer to the version request.
  void SendBeforeVersion(Bytes b) {
    std::lock_guard<std::mutex> lk(m_);
    beforeVersion_ = std::move(b);
  }
  // Sends these bytes before the version answer, in `pieces` pieces
  // `gapMs` apart (a flood); FloodEndMs() is when its last piece went.
  void FloodBeforeVersion(Bytes b, size_t pieces, int gapMs) {
    std::lock_guard<std::mutex> lk(m_);
    flood_ = std::move(b);
    floodPieces_ = pieces;
    floodGapMs_ = gapMs;
  }
  int64_t FloodEndMs() {
    std::lock_guard<std::mutex> lk(m_);
    return floodEndMs_;
  }
  // Answers every request of `code` with these bytes instead (a file's
  // information or the algorithm file's request still chooses the file whose
  // blocks are asked for next).
  void AnswerWith(uint32_t code, Bytes answer) {
    std::lock_guard<std::mutex> lk(m_);
    replaced_[code] = std::move(answer);
  }
  // Takes the requests and answers none.
  void AnswerNothing(bool on) {
    std::lock_guard<std::mutex> lk(m_);
    silent_ = on;
  }
  kittest::FakeTcpServer& Server() { return server_; }
  // ids "0000000000000000" names the main file.
  void AddFile(const std::string& ids, CameraFile f) {
    std::lock_guard<std::mutex> lk(m_);
    files_[ids] = std::move(f);
  }
  std::vector<Request> Requests() {
    std::lock_guard<std::mutex> lk(m_);
    return requests_;
  }
  size_t Count(uint32_t code) {
    size_t n = 0;
    for (const auto& r : Requests()) n += r.code == code;
    return n;
  }

 private:
  Bytes Info(const CameraFile& f) {
    Bytes d(64, 0);
    memcpy(d.data(), f.name.data(), std::min<size_t>(f.name.size(), 63));
    Put32(d, f.announcedSize);
    Put32(d, 0);
    Put32(d, f.blockSize ? static_cast<uint32_t>((f.content.size() + f.blockSize - 1) / f.blockSize) : 0);
    Put32(d, 0);
    return d;
  }
  void Flood(kittest::FakeConn& c) {
    Bytes flood;
    size_t pieces;
    int gap;
    {
      std::lock_guard<std::mutex> lk(m_);
      flood.swap(flood_);
      pieces = floodPieces_;
      gap = floodGapMs_;
    }
    if (flood.empty()) return;
    kittest::SendPaced(flood, pieces, gap, [&](const Bytes& b) { return c.Send(b); });
    std::lock_guard<std::mutex> lk(m_);
    floodEndMs_ = kittest::NowMs();
  }
  // The file a file-information request (by ids) or an algorithm file's
  // request (by name) asks for.
  const CameraFile* Asked(const Request& r) const {
    std::string key;
    if (r.code == 0x10103 && r.data.size() == 8) {
      char ids[17];
      snprintf(ids, sizeof ids, "%08X%08X", Get32(r.data.data()), Get32(r.data.data() + 4));
      key = ids;
    } else if (r.code == 0x10106) {
      key.assign(r.data.begin(), r.data.end());
    } else {
      return nullptr;
    }
    auto it = files_.find(key);
    return it == files_.end() ? nullptr : &it->second;
  }
  Bytes Answer(const Request& r, bool* close) {
    std::lock_guard<std::mutex> lk(m_);
    requests_.push_back(r);
    if (silent_) return {};
    auto replaced = replaced_.find(r.code);
    if (replaced != replaced_.end()) {
      if (const CameraFile* f = Asked(r)) current_ = f;
      return replaced->second;
    }
    if (r.code == 0x10101 && closeOnVersion_) {
      *close = true;
      return {};
    }
    if (r.code == 0x10101) {
      Bytes answer = beforeVersion_;
      const Bytes reply = Reply(0x10101, Bytes(version_.begin(), version_.end()));
      answer.insert(answer.end(), reply.begin(), reply.end());
      return answer;
    }
    if (r.code == 0x10103 || r.code == 0x10106) {
      const CameraFile* f = Asked(r);
      if (!f) return {};
      current_ = f;
      return Reply(r.code, Info(*f));
    }
    if (r.code == 0x10104 && current_) {
      const uint32_t index = Get32(r.data.data());
      const size_t at = size_t(index) * current_->blockSize;
      if (at >= current_->content.size()) return {};  // no such block
      const size_t n = std::min<size_t>(current_->blockSize, current_->content.size() - at);
      const Bytes part(current_->content.begin() + at, current_->content.begin() + at + n);
      Bytes answer = stray_ ? Block(index + 1, Bytes(n, '#'), static_cast<uint32_t>(n)) : Bytes();
      const Bytes wanted = Block(index, part, static_cast<uint32_t>(n));
      answer.insert(answer.end(), wanted.begin(), wanted.end());
      return answer;
    }
    return {};
  }

  std::mutex m_;
  std::string version_;
  std::map<std::string, CameraFile> files_;
  const CameraFile* current_ = nullptr;
  std::vector<Request> requests_;
  std::map<uint32_t, Bytes> replaced_;
  bool stray_ = false;
  bool closeOnVersion_ = false;
  bool silent_ = false;
  Bytes beforeVersion_;
  Bytes flood_;
  size_t floodPieces_ = 0;
  int floodGapMs_ = 0;
  int64_t floodEndMs_ = 0;
  kittest::FakeTcpServer server_;  // last: stops before what its script uses
};

// A description whose one parameter node, 0x10, is a u32 in namespace `layer`.
inline Bytes Xml(int layer) {
  const std::string s = "<Desc LayerId=\"" + std::to_string(layer) +
                        "\"><I Name=\"Root\"><T>P</T></I><S Comment=\"P\"><SubCommand NodeCode=\"0x10\">"
                        "<ParaType>PTUi32</ParaType></SubCommand></S></Desc>";
  return Bytes(s.begin(), s.end());
}

}  // namespace filecam

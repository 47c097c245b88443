// Firmware and database transfers: package files, transfer items, and whole
// transfers against fake cameras that play the camera's side of the exchange.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "context.h"
#include "fake_peer.h"
#include "log_queue.h"
#include "message_wnd.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "process.h"
#include "quit_support.h"
#include "update.h"
#include "wait.h"

namespace {

using kittest::Bytes;

// ---- the test's own little-endian codec ----

void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Set32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Set16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
uint32_t Get32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
  return b;
}

uint32_t Sum(const Bytes& b, size_t at, size_t n) {
  uint32_t s = 0;
  for (size_t i = 0; i < n; i += 4) {
    uint8_t w[4] = {};
    for (size_t k = 0; k < 4 && i + k < n; ++k) w[k] = b[at + i + k];
    s += Get32(w);
  }
  return s;
}

bool WriteFile(const std::string& path, const Bytes& b) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = fwrite(b.data(), 1, b.size(), f) == b.size();
  return fclose(f) == 0 && ok;
}

// ---- update package writer ----

constexpr uint32_t kPck = 0x41504B7F, kWhole = 0x44504B7F, kOut = 0x4652437F, kGxml = 0x4C4E4B7F;
constexpr uint32_t kOtherKind = 0x4D524F46;

struct PackagePart {
  uint32_t kind;
  std::string entryName;
  Bytes first;   // description file (program package) or name text (other kinds)
  Bytes second;  // program file (program package) or item data (other kinds)
  Bytes extra;   // more bytes at the end of the part
  uint16_t descValue = 0;
  std::string descText1, descText2, descText3;
};

// A part: 56 bytes of fields, its 324-byte description header, then its payloads.
Bytes PartBytes(const PackagePart& p) {
  Bytes b(56, 0);
  Set32(b, 0, p.kind);
  Set32(b, 24, 56);
  Bytes desc(324, 0);
  Set16(desc, 2, p.descValue);
  memcpy(desc.data() + 4, p.descText1.data(), p.descText1.size());
  memcpy(desc.data() + 36, p.descText2.data(), p.descText2.size());
  memcpy(desc.data() + 68, p.descText3.data(), p.descText3.size());
  Append(b, desc);
  Set32(b, 32, static_cast<uint32_t>(b.size()));
  Set32(b, 36, static_cast<uint32_t>(p.first.size()));
  Append(b, p.first);
  Set32(b, 48, static_cast<uint32_t>(b.size()));
  Set32(b, 52, static_cast<uint32_t>(p.second.size()));
  Append(b, p.second);
  Append(b, p.extra);
  return b;
}

// Head (32 bytes), the part entries, the description text buffer, the parts.
Bytes Package(const std::vector<PackagePart>& parts, const std::string& text, size_t textBuffer = 0) {
  const size_t n = parts.size();
  Bytes b(32 + 72 * n, 0);
  Set32(b, 0, 0x4450557F);
  Set32(b, 12, static_cast<uint32_t>(n + 1));
  if (textBuffer == 0) textBuffer = text.size() + 1;
  Set32(b, 24, static_cast<uint32_t>(b.size()));
  Set32(b, 28, static_cast<uint32_t>(textBuffer));
  Bytes t(textBuffer, 0);
  memcpy(t.data(), text.data(), std::min(text.size(), textBuffer));
  Append(b, t);
  for (size_t i = 0; i < n; ++i) {
    const Bytes part = PartBytes(parts[i]);
    Set32(b, 32 + 72 * i, static_cast<uint32_t>(b.size()));
    Set32(b, 32 + 72 * i + 4, static_cast<uint32_t>(part.size()));
    memcpy(b.data() + 32 + 72 * i + 8, parts[i].entryName.data(), std::min<size_t>(parts[i].entryName.size(), 64));
    Append(b, part);
  }
  return b;
}

size_t PartAt(const Bytes& pkg, size_t i) { return Get32(pkg.data() + 32 + 72 * i); }

PackagePart ProgramPackage(const std::string& name, size_t programSize, size_t descSize) {
  PackagePart p{kPck, name, Pattern(descSize, 3), Pattern(programSize, 7), {}, 0, "", "", ""};
  p.descValue = 0x0102;
  p.descText1 = "CAM-A";
  p.descText2 = "2.1.0";
  p.descText3 = "program and its description";
  return p;
}
PackagePart WholePart(const std::string& name, size_t extra) {
  PackagePart p{kWhole, name, {}, {}, Pattern(extra, 11), 0, "", "", ""};
  p.descText1 = "BOOT";
  return p;
}
PackagePart OtherPart(const std::string& itemName, size_t size, uint8_t seed = 5) {
  Bytes nameText = Text(itemName);
  nameText.push_back(0);
  return PackagePart{kOtherKind, "entry.bin", nameText, Pattern(size, seed), {}, 0, "", "", ""};
}

// ---- the camera's side of the update channel ----

struct Item {
  uint32_t magic = 0xAA55A55A;
  uint32_t code = 0;
  uint8_t paraType = 0, setFlag = 0;
  uint16_t reserved = 0;
  uint32_t status = 0;
  Bytes data;
};

struct Frame {
  int conn = 0;
  uint32_t length = 0;
  uint16_t ns = 0, sender = 0;
  uint32_t seq = 0, echo = 0, cls = 0, count = 0;
  std::vector<Item> items;
  Bytes raw;
  int64_t atMs = 0;  // when the fake camera took it
  uint32_t code() const { return items.empty() ? 0 : items[0].code; }
  const Bytes& data() const { return items.at(0).data; }
};

Frame ParseFrame(const Bytes& f) {
  Frame r;
  r.raw = f;
  r.length = Get32(&f[8]);
  r.ns = Get16(&f[12]);
  r.sender = Get16(&f[14]);
  r.seq = Get32(&f[16]);
  r.echo = Get32(&f[20]);
  r.cls = Get32(&f[24]);
  r.count = Get32(&f[32]);
  size_t at = 36;
  for (uint32_t i = 0; i < r.count && at + 20 <= f.size() - 4; ++i) {
    Item it;
    it.magic = Get32(&f[at]);
    it.code = Get32(&f[at + 4]);
    it.paraType = f[at + 8];
    it.setFlag = f[at + 9];
    it.reserved = Get16(&f[at + 10]);
    it.status = Get32(&f[at + 12]);
    const uint32_t n = Get32(&f[at + 16]);
    it.data.assign(f.begin() + at + 20, f.begin() + at + 20 + n);
    r.items.push_back(it);
    at += 20 + n;
  }
  return r;
}

// A request as the library must send it: namespace 2, sender 8, echo 0, one item.
Bytes RequestFrame(uint32_t seq, uint32_t cls, uint32_t code, const Bytes& data) {
  Bytes f;
  Put32(f, 0x0FF055AA);
  Put32(f, 0x00010000);
  Put32(f, static_cast<uint32_t>(60 + data.size()));
  f.insert(f.end(), {2, 0, 8, 0});
  Put32(f, seq);
  Put32(f, 0);
  Put32(f, cls);
  Put32(f, 0);
  Put32(f, 1);
  Put32(f, 0xAA55A55A);
  Put32(f, code);
  f.insert(f.end(), {0, 0, 0, 0});
  Put32(f, 0);
  Put32(f, static_cast<uint32_t>(data.size()));
  Append(f, data);
  Put32(f, 0x550FF0AA);
  return f;
}

Bytes ReplyFrame(uint32_t echo, const std::vector<Item>& items, uint16_t ns = 8, uint16_t sender = 2) {
  Bytes body;
  for (const Item& it : items) {
    Put32(body, it.magic);
    Put32(body, it.code);
    body.insert(body.end(), {it.paraType, it.setFlag, 0, 0});
    Put32(body, it.status);
    Put32(body, static_cast<uint32_t>(it.data.size()));
    Append(body, it.data);
  }
  Bytes f;
  Put32(f, 0x0FF055AA);
  Put32(f, 0x00010000);
  Put32(f, static_cast<uint32_t>(40 + body.size()));
  f.insert(f.end(), {static_cast<uint8_t>(ns), static_cast<uint8_t>(ns >> 8), static_cast<uint8_t>(sender),
                     static_cast<uint8_t>(sender >> 8)});
  Put32(f, 0x5151);  // the camera's own sequence
  Put32(f, echo);
  Put32(f, 0x8002);
  Put32(f, 0);
  Put32(f, static_cast<uint32_t>(items.size()));
  Append(f, body);
  Put32(f, 0x550FF0AA);
  return f;
}

Item Answer(uint32_t code, Bytes data = {}) {
  Item it;
  it.code = code;
  it.data = std::move(data);
  return it;
}

// Answers every transfer step with the same code; the version and database
// queries only when told what to answer; the end of a firmware transfer never.
class FakeUpdateCamera {
 public:
  // Returns true when it has dealt with the frame itself.
  using Script = std::function<bool(kittest::FakeConn& c, const Frame& f)>;

  FakeUpdateCamera(const std::string& ip, uint16_t port) : server_(ip, port) {
    server_.SetOnData([this](kittest::FakeConn& c, Bytes& pending) {
      while (pending.size() >= 12 && pending.size() >= Get32(pending.data() + 8)) {
        const uint32_t len = Get32(pending.data() + 8);
        Frame f = ParseFrame(Bytes(pending.begin(), pending.begin() + len));
        pending.erase(pending.begin(), pending.begin() + len);
        f.conn = c.id();
        f.atMs = kittest::NowMs();
        Script script;
        Bytes version, dbAnswer;
        bool hasVersion, hasDb;
        {
          std::lock_guard<std::mutex> lk(m_);
          frames_.push_back(f);
          script = script_;
          hasVersion = hasVersion_;
          version = version_;
          hasDb = hasDb_;
          dbAnswer = dbAnswer_;
        }
        if (script && script(c, f)) continue;
        const uint32_t code = f.code();
        if (code == 0x10209) {
          if (hasVersion) c.Send(ReplyFrame(f.seq, {Answer(code, version)}));
        } else if (code == 0x1040A) {
          if (hasDb) c.Send(ReplyFrame(f.seq, {Answer(code, dbAnswer)}));
        } else if (code != 0x10207) {
          c.Send(ReplyFrame(f.seq, {Answer(code)}));
        }
      }
    });
  }
  void SetVersion(const Bytes& v) {
    std::lock_guard<std::mutex> lk(m_);
    hasVersion_ = true;
    version_ = v;
  }
  void SetDbAnswer(const Bytes& a) {
    std::lock_guard<std::mutex> lk(m_);
    hasDb_ = true;
    dbAnswer_ = a;
  }
  void SetScript(Script s) {
    std::lock_guard<std::mutex> lk(m_);
    script_ = std::move(s);
  }
  std::vector<Frame> Frames(int conn = -1) const {
    std::lock_guard<std::mutex> lk(m_);
    std::vector<Frame> out;
    for (const auto& f : frames_)
      if (conn < 0 || f.conn == conn) out.push_back(f);
    return out;
  }
  size_t Count(uint32_t code, int conn = -1) const {
    size_t n = 0;
    for (const auto& f : Frames(conn)) n += f.code() == code;
    return n;
  }
  bool WaitFor(uint32_t code, size_t n, int conn = -1, int ms = 5000) const {
    return kittest::WaitUntil([&] { return Count(code, conn) >= n; }, ms);
  }
  kittest::FakeTcpServer& Server() { return server_; }

 private:
  mutable std::mutex m_;
  std::vector<Frame> frames_;
  Script script_;
  bool hasVersion_ = false, hasDb_ = false;
  Bytes version_, dbAnswer_;
  kittest::FakeTcpServer server_;  // last: stops before what its script uses
};

// Makes the library's next send fail once the camera has seen the `nth` frame
// of `code`, before it answers that frame as usual.
FakeUpdateCamera::Script FailNextSendAfter(uint32_t code, size_t nth = 1) {
  auto seen = std::make_shared<std::atomic<size_t>>(0);
  return [=](kittest::FakeConn&, const Frame& f) {
    if (f.code() == code && ++*seen == nth) pf::test::FailNextSends(1);
    return false;
  };
}

// ---- progress as the caller receives it ----

struct Progress {
  bool db;
  void* user;
  std::vector<uint32_t> w;  // words 1 to 39
  std::thread::id thread;
  int64_t atMs;
  uint32_t item() const { return w[1]; }
  uint32_t sent() const { return w[3]; }
  uint32_t state() const { return w[37]; }
  uint32_t result() const { return w[38]; }
};

// Kept past exit: the window's dispatcher thread outlives the test's statics.
std::mutex& g_m = *new std::mutex;
std::vector<Progress>& g_progress = *new std::vector<Progress>;

void Record(bool db, void* user, const uint32_t* w) {
  std::lock_guard<std::mutex> lk(g_m);
  g_progress.push_back({db, user, std::vector<uint32_t>(w, w + 39), std::this_thread::get_id(), kittest::NowMs()});
}
void QELM_CALL FirmwareProgress(void* user, const uint32_t* w) { Record(false, user, w); }
void QELM_CALL DbProgress(void* user, const uint32_t* w) { Record(true, user, w); }

std::vector<Progress> Records() {
  std::lock_guard<std::mutex> lk(g_m);
  return g_progress;
}
void ClearRecords() {
  std::lock_guard<std::mutex> lk(g_m);
  g_progress.clear();
}
bool WaitRecord(std::function<bool(const Progress&)> pred, int ms = 5000) {
  return kittest::WaitUntil(
      [&] {
        for (const auto& p : Records())
          if (pred(p)) return true;
        return false;
      },
      ms);
}

std::string NameOf(const std::vector<uint32_t>& w) {
  char name[65] = {};
  memcpy(name, &w[5], 64);
  return name;
}

// What the camera must receive for one item, and the progress it brings.
struct ItemModel {
  std::string name;
  uint32_t kind;
  Bytes data;
};

struct Expected {
  std::vector<std::pair<uint32_t, Bytes>> frames;  // code and item data
  struct P {
    uint32_t item, sent, state;
  };
  std::vector<P> progress;
};

Bytes ItemHead(const ItemModel& m, uint32_t bs) {
  Bytes h(64, 0);
  memcpy(h.data(), m.name.data(), std::min<size_t>(m.name.size(), 63));
  Put32(h, static_cast<uint32_t>(m.data.size()));
  Put32(h, bs);
  Put32(h, static_cast<uint32_t>((m.data.size() + bs - 1) / bs));
  Put32(h, Sum(m.data, 0, m.data.size()));
  return h;
}

Bytes Block(const Bytes& data, uint32_t index, size_t offset, size_t n) {
  Bytes b;
  Put32(b, index);
  Put32(b, static_cast<uint32_t>(offset));
  Put32(b, static_cast<uint32_t>(n));
  Put32(b, Sum(data, offset, n));
  b.insert(b.end(), data.begin() + offset, data.begin() + offset + n);
  b.resize(16 + (n + 3) / 4 * 4, 0);
  return b;
}

// The firmware exchange as the camera sees it when it answers every step.
Expected FirmwareExchange(const std::vector<ItemModel>& items, uint32_t bs) {
  Expected e;
  e.frames.push_back({0x10209, {}});
  for (size_t i = 0; i < items.size(); ++i) {
    const ItemModel& m = items[i];
    const uint32_t no = static_cast<uint32_t>(i + 1);
    const uint32_t blocks = static_cast<uint32_t>((m.data.size() + bs - 1) / bs);
    e.frames.push_back({0x10201, ItemHead(m, bs)});
    e.progress.push_back({no, 0, 1});
    for (uint32_t b = 0; b < blocks; ++b) {
      const size_t off = size_t(b) * bs;
      e.frames.push_back({0x10202, Block(m.data, b, off, std::min<size_t>(bs, m.data.size() - off))});
      e.progress.push_back({no, b + 1, 2});
    }
    e.frames.push_back({0x10203, {}});
    e.progress.push_back({no, blocks, 3});
    if (m.kind == kOut || m.kind == kGxml) {
      e.frames.push_back({m.kind == kOut ? 0x10205u : 0x10204u, {}});
      e.progress.push_back({no, blocks, 4});
    }
  }
  e.frames.push_back({0x10207, {}});
  e.progress.push_back({0, 0, 5});
  return e;
}

// Every frame byte for byte, with sequence numbers counting up by one.
void ExpectFrames(const std::vector<Frame>& got, const Expected& e, uint32_t cls) {
  ASSERT_EQ(got.size(), e.frames.size());
  const uint32_t seq0 = got[0].seq;
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    EXPECT_EQ(got[i].raw, RequestFrame(seq0 + static_cast<uint32_t>(i), cls, e.frames[i].first, e.frames[i].second));
  }
}

void ExpectProgress(const std::vector<Progress>& got, const Expected& e, bool db, void* user) {
  ASSERT_EQ(got.size(), e.progress.size());
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE("progress " + std::to_string(i));
    EXPECT_EQ(got[i].db, db);
    EXPECT_EQ(got[i].user, user);
    EXPECT_EQ(got[i].item(), e.progress[i].item);
    EXPECT_EQ(got[i].state(), e.progress[i].state);
    EXPECT_EQ(got[i].result(), 0u);
    if (e.progress[i].item) {
      EXPECT_EQ(got[i].sent(), e.progress[i].sent);
    }
    EXPECT_NE(got[i].thread, std::this_thread::get_id());
  }
}

// ---- fixture ----

class Update : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = kittest::MakeTempFolder("upd");
    qelm::test::SetModulePath(dir_);
    qelm::test::SetFinishPauseMs(20);
    ClearRecords();
    if (withWindow_) {
      ASSERT_EQ(Qelm_InitControl(nullptr), 1);  // makes the window even so
      ASSERT_NE(qelm::MessageWnd(), nullptr);
    }
  }
  void TearDown() override { qelm::StopUpdateSessions(); }

  int Load(const Bytes& pkg, uint32_t* count = nullptr, StUpdateFileInfo** parts = nullptr) {
    const std::string path = dir_ + "pkg.bin";
    EXPECT_TRUE(WriteFile(path, pkg));
    uint32_t n = 0;
    StUpdateFileInfo* p = nullptr;
    return Qelm_LoadUpdateFile(path.c_str(), description_, count ? count : &n, parts ? parts : &p);
  }
  // A small database file named "plates", loaded in blocks of 64.
  int LoadPlatesDb() {
    Bytes file(200, 0);
    memcpy(file.data() + 20, "plates", 6);
    EXPECT_TRUE(WriteFile(dir_ + "plates.db", file));
    return Qelm_LoadDBFile((dir_ + "plates.db").c_str(), 64);
  }
  int Send(const std::string& ip, std::vector<uint32_t> ids, uint32_t bs, void* user = kUser) {
    return Qelm_Update(kittest::Addr(ip), static_cast<uint32_t>(ids.size()), ids.data(), bs, user,
                       FirmwareProgress, 0, nullptr, 0);
  }
  bool Idle() { return qelm::MessageWnd()->Window().WaitIdle(5000); }
  bool WaitFinal(uint32_t state, int ms = 8000) {
    return WaitRecord([state](const Progress& p) { return p.state() == state && p.result() == 0; }, ms) && Idle();
  }

  // Bad heads (`count` of them, one inside the other, none with its body)
  // before the first block's answer hold the transfer up until 5 s after they
  // came, not 5 s per head, on the same link.
  void HeadsHoldTheTransferUpUntilTheirDeadlineOnly(size_t count, const char* name) {
    FakeUpdateCamera cam("127.0.0.2", 58022);
    cam.SetVersion(Text("V"));
    std::atomic<bool> sent{false};
    std::atomic<int64_t> sentAt{0};
    cam.SetScript([&](kittest::FakeConn& c, const Frame& f) {
      if (f.code() != 0x10202 || sent.exchange(true)) return false;
      Bytes heads;
      for (size_t i = 0; i < count; ++i) {
        Put32(heads, 0x0FF055AA);
        Put32(heads, 0x00010000);
        Put32(heads, 3u << 20);
      }
      c.Send(heads);
      sentAt.store(kittest::NowMs());
      return false;  // the answer follows
    });
    ASSERT_EQ(Load(Package({OtherPart("item.bin", 1000, 9)}, "")), 0);
    ASSERT_EQ(Send("127.0.0.2", {0}, 256), 0);
    ASSERT_TRUE(WaitFinal(5, 15000));
    ASSERT_GE(cam.Count(0x10202), 2u);
    const auto frames = cam.Frames();
    const auto second = std::find_if(frames.begin(), frames.end(), [](const Frame& f) {
      return f.code() == 0x10202 && Get32(&f.data()[0]) == 1;
    });
    ASSERT_NE(second, frames.end());
    // When the second block was asked for: after the first block's answer was
    // found at the deadline.
    const int64_t recovery = second->atMs - sentAt.load();
    std::cout << "recovery update channel, " << name << " before a block's answer: " << recovery << " ms" << std::endl;
    EXPECT_GE(recovery, 4900);
    EXPECT_LT(recovery, 6000);
    EXPECT_EQ(cam.Server().ConnectionCount(), 1u);
    EXPECT_EQ(cam.Count(0x10202), 4u);  // each block once
  }

  static void* const kUser;
  bool withWindow_ = true;
  std::string dir_;
  char description_[6000];
};
void* const Update::kUser = reinterpret_cast<void*>(0x5A5A1234);

// ---- package reader ----

TEST_F(Update, GoodPackageGivesItsPartsAndDescription) {
  uint32_t count = 0;
  StUpdateFileInfo* parts = nullptr;
  const Bytes pkg = Package({ProgramPackage("cam.pck", 600, 300), WholePart("boot.img", 40), OtherPart("fpga.bin", 5)},
                            "package of three parts");
  ASSERT_EQ(Load(pkg, &count, &parts), 0);
  EXPECT_STREQ(description_, "package of three parts");
  ASSERT_EQ(count, 3u);
  ASSERT_NE(parts, nullptr);
  const uint32_t kinds[] = {kPck, kWhole, kOtherKind};
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(parts[i].id, i);
    EXPECT_EQ(parts[i].kind, kinds[i]);
    for (uint8_t b : parts[i].reserved) ASSERT_EQ(b, 0);
  }
  EXPECT_EQ(parts[0].descValue, 0x0102);
  EXPECT_STREQ(parts[0].descText1, "CAM-A");
  EXPECT_STREQ(parts[0].descText2, "2.1.0");
  EXPECT_STREQ(parts[0].descText3, "program and its description");
  EXPECT_STREQ(parts[1].descText1, "BOOT");
  qelm::StUpdateSession& s = qelm::Global().m_updateFirmware;
  pf::Lock lk(s.m_cs);
  ASSERT_EQ(s.m_parts.size(), 3u);
  EXPECT_STREQ(s.m_parts[0].name, "cam.pck");
  EXPECT_EQ(s.m_parts[1].size, Get32(pkg.data() + 32 + 72 + 4));
  EXPECT_EQ(Bytes(s.m_parts[1].data, s.m_parts[1].data + s.m_parts[1].size), PartBytes(WholePart("boot.img", 40)));
}

// The description header's texts come back whole, byte for byte: a text that
// fills its field keeps its last character (it has no terminator), and bytes
// after an inner zero are the package's.
TEST_F(Update, DescriptionHeaderTextsAreCopiedWhole) {
  auto field = [](const std::string& text, size_t size) {
    std::string f = text;
    f.resize(size, '\0');
    return f;
  };
  const std::string full32a = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", full32b = "abcdefghijklmnopqrstuvwxyz-67890";
  std::string full256;
  for (int i = 0; i < 256; ++i) full256 += static_cast<char>('!' + i % 90);
  struct Case {
    const char* name;
    std::string t1, t2, t3;
  } cases[] = {
      {"texts that fill their fields", full32a, full32b, full256},
      {"short texts", "CAM", "1.0", "a short description"},
      {"bytes after an inner zero", std::string("AB\0CD\0\xFE", 7), std::string("\0tail", 5),
       std::string("first\0second\0third", 18)},
      {"empty texts", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PackagePart p = WholePart("boot.img", 8);
    p.descText1 = c.t1;
    p.descText2 = c.t2;
    p.descText3 = c.t3;
    uint32_t count = 0;
    StUpdateFileInfo* parts = nullptr;
    ASSERT_EQ(Load(Package({OtherPart("a.bin", 4), p}, "two"), &count, &parts), 0);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(std::string(parts[1].descText1, sizeof parts[1].descText1), field(c.t1, 32));
    EXPECT_EQ(std::string(parts[1].descText2, sizeof parts[1].descText2), field(c.t2, 32));
    EXPECT_EQ(std::string(parts[1].descText3, sizeof parts[1].descText3), field(c.t3, 256));
    for (uint8_t b : parts[1].reserved) ASSERT_EQ(b, 0);  // nothing runs on past the texts
    EXPECT_EQ(std::string(parts[0].descText1, sizeof parts[0].descText1), field("", 32));
  }
}

TEST_F(Update, EntriesThatShareOnePartCostItsBytesOnce) {
  // 8000 entries naming the same megabyte: a copy for each would be 8 GB.
  constexpr uint32_t kEntries = 8000;
  Bytes pkg = Package({WholePart("big.img", 1 << 20)}, "shared");
  const uint32_t at = Get32(pkg.data() + 32), size = Get32(pkg.data() + 36);
  Bytes entries(size_t(kEntries - 1) * 72, 0);
  for (uint32_t i = 0; i + 1 < kEntries; ++i) {
    Set32(entries, i * 72, at + (kEntries - 1) * 72);
    Set32(entries, i * 72 + 4, size);
  }
  pkg.insert(pkg.begin() + 32 + 72, entries.begin(), entries.end());
  Set32(pkg, 12, kEntries + 1);
  Set32(pkg, 24, Get32(pkg.data() + 24) + (kEntries - 1) * 72);  // the description text moved too
  Set32(pkg, 32, at + (kEntries - 1) * 72);
  uint32_t count = 0;
  StUpdateFileInfo* parts = nullptr;
  ASSERT_EQ(Load(pkg, &count, &parts), 0);
  EXPECT_EQ(count, kEntries);
  EXPECT_STREQ(description_, "shared");
  EXPECT_STREQ(parts[kEntries - 1].descText1, "BOOT");
  qelm::StUpdateSession& s = qelm::Global().m_updateFirmware;
  pf::Lock lk(s.m_cs);
  ASSERT_EQ(s.m_parts.size(), kEntries);
  const uint8_t* first = s.m_parts[0].data;
  for (const auto& p : s.m_parts) ASSERT_EQ(p.second.data, first) << p.first;
  const uint32_t ids[] = {0, kEntries - 1};
  ASSERT_EQ(qelm::StartUpdate(2, ids, 4096, &s), 0);
  EXPECT_EQ(s.m_items[1].totalSize, size);
}

TEST_F(Update, BrokenPackagesAreRefusedWithoutReadingOutsideTheFile) {
  const Bytes good = Package({ProgramPackage("cam.pck", 600, 300), OtherPart("fpga.bin", 64)}, "two parts");
  const size_t p0 = PartAt(good, 0), p1 = PartAt(good, 1);
  // What loading reads (head, entries, each part's kind and description
  // header, the description text) must lie in the file, else 151. The fields
  // of a part's kind are read only when the part is chosen: a part that is
  // broken there loads, and choosing it gives 152.
  struct Case {
    const char* name;
    std::function<void(Bytes&)> spoil;
    int want;
    uint32_t spoiled;  // the part a 152 is about
  } cases[] = {
      {"part count word 1", [](Bytes& b) { Set32(b, 12, 1); }, 151, 0},
      {"part count word 0", [](Bytes& b) { Set32(b, 12, 0); }, 151, 0},
      {"wrong magic", [](Bytes& b) { Set32(b, 0, 0x4450557E); }, 151, 0},
      {"shorter than the head", [](Bytes& b) { b.resize(20); }, 151, 0},
      {"entries beyond the end", [](Bytes& b) { b.resize(32 + 72 + 10); }, 151, 0},
      {"last part cut short", [](Bytes& b) { b.resize(b.size() - 1); }, 151, 0},
      {"part offset beyond the end", [&](Bytes& b) { Set32(b, 32 + 72, static_cast<uint32_t>(b.size())); }, 151, 0},
      {"part size beyond the end", [](Bytes& b) { Set32(b, 32 + 4, 0xFFFFFFF0); }, 151, 0},
      {"part too short for its description offset", [](Bytes& b) { Set32(b, 32 + 4, 27); }, 151, 0},
      {"part of two bytes at the end of the file", [](Bytes& b) {
         Set32(b, 32 + 72, static_cast<uint32_t>(b.size() - 2));
         Set32(b, 32 + 72 + 4, 2);
       }, 151, 0},
      {"description text beyond the end", [](Bytes& b) { Set32(b, 28, static_cast<uint32_t>(b.size())); }, 151, 0},
      {"description header beyond the end", [&](Bytes& b) { Set32(b, p1 + 24, static_cast<uint32_t>(b.size())); },
       151, 0},
      {"program file beyond its part", [&](Bytes& b) { Set32(b, p0 + 52, 0x7FFFFFFF); }, 152, 0},
      {"description file beyond its part", [&](Bytes& b) { Set32(b, p0 + 32, 0xFFFFFFFF); }, 152, 0},
      {"name text beyond its part", [&](Bytes& b) { Set32(b, p1 + 36, 0x10000); }, 152, 1},
      {"item data beyond its part", [&](Bytes& b) { Set32(b, p1 + 48, static_cast<uint32_t>(b.size() - p1 - 10)); },
       152, 1},
      {"part without the fields of its kind", [](Bytes& b) { Set32(b, 32 + 72 + 4, 40); }, 152, 1},
  };
  qelm::StUpdateSession& s = qelm::Global().m_updateFirmware;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Load(good), 0);
    Bytes bad = good;
    c.spoil(bad);
    uint32_t count = 77;
    StUpdateFileInfo* parts = reinterpret_cast<StUpdateFileInfo*>(1);
    if (c.want == 151) {
      EXPECT_EQ(Load(bad, &count, &parts), 151);
      EXPECT_EQ(parts, nullptr);
      pf::Lock lk(s.m_cs);
      EXPECT_TRUE(s.m_parts.empty());  // a failed load leaves nothing loaded
      EXPECT_TRUE(s.m_infos.empty());
      continue;
    }
    ASSERT_EQ(Load(bad, &count, &parts), 0);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(parts[c.spoiled].kind, c.spoiled == 0 ? kPck : kOtherKind);
    pf::Lock lk(s.m_cs);
    const uint32_t other = 1 - c.spoiled;
    EXPECT_EQ(qelm::StartUpdate(1, &c.spoiled, 256, &s), 152);
    EXPECT_EQ(qelm::StartUpdate(1, &other, 256, &s), 0);
  }
  uint32_t count = 0;
  StUpdateFileInfo* parts = reinterpret_cast<StUpdateFileInfo*>(1);
  EXPECT_EQ(Qelm_LoadUpdateFile((dir_ + "missing.pkg").c_str(), description_, &count, &parts), 150);
  EXPECT_EQ(parts, nullptr);
  parts = reinterpret_cast<StUpdateFileInfo*>(1);
  EXPECT_EQ(Qelm_LoadUpdateFile(nullptr, description_, &count, &parts), 1);
  EXPECT_EQ(parts, nullptr);
  EXPECT_EQ(Qelm_LoadUpdateFile((dir_ + "pkg.bin").c_str(), nullptr, &count, &parts), 1);
  EXPECT_EQ(Qelm_LoadUpdateFile((dir_ + "pkg.bin").c_str(), description_, nullptr, &parts), 1);
  EXPECT_EQ(Qelm_LoadUpdateFile((dir_ + "pkg.bin").c_str(), description_, &count, nullptr), 1);
}

TEST_F(Update, TextsAreBoundedToTheirBuffers) {
  // A text that does not end within the buffer the package gives.
  ASSERT_EQ(Load(Package({OtherPart("a.bin", 8)}, "ABCDEFGHIJKLMN", 10)), 0);
  EXPECT_STREQ(description_, "ABCDEFGHI");
  {
    qelm::StUpdateSession& s = qelm::Global().m_updateFirmware;
    pf::Lock lk(s.m_cs);
    ASSERT_EQ(s.m_description.size(), 10u);
    EXPECT_STREQ(s.m_description.data(), "ABCDEFGHI");
  }
  // A text longer than the caller's buffer: 5119 characters and a NUL.
  memset(description_, 0x55, sizeof description_);
  ASSERT_EQ(Load(Package({OtherPart("a.bin", 8)}, std::string(5800, 'D'))), 0);
  EXPECT_EQ(strlen(description_), 5119u);
  for (size_t i = 5120; i < sizeof description_; ++i) ASSERT_EQ(description_[i], 0x55) << i;

  // A name text of 200 characters: 127 in the part, 63 in the item.
  ASSERT_EQ(Load(Package({OtherPart(std::string(200, 'N'), 8)}, "")), 0);
  qelm::StUpdateSession& s = qelm::Global().m_updateFirmware;
  pf::Lock lk(s.m_cs);
  const uint32_t id = 0;
  ASSERT_EQ(qelm::StartUpdate(1, &id, 4, &s), 0);
  EXPECT_EQ(strlen(s.m_parts[0].name), 127u);
  EXPECT_EQ(strlen(s.m_items[0].name), 63u);
}

// ---- transfer items ----

TEST_F(Update, ItemsFollowTheRequestedPartsAndAProgramPackageCountsTwice) {
  const PackagePart pck = ProgramPackage("cam.pck", 600, 300), whole = WholePart("boot.img", 40),
                 other = OtherPart("fpga.bin", 5);
  const Bytes pkg = Package({pck, whole, other}, "");
  ASSERT_EQ(Load(pkg), 0);
  qelm::StUpdateSession& s = qelm::Global().m_updateFirmware;
  pf::Lock lk(s.m_cs);
  const uint32_t ids[] = {2, 0, 1};
  ASSERT_EQ(qelm::StartUpdate(3, ids, 256, &s), 0);
  ASSERT_EQ(s.m_items.size(), 4u);
  const Bytes wholeBytes = PartBytes(whole);
  const struct {
    const char* name;
    uint32_t kind;
    Bytes data;
  } want[] = {{"fpga.bin", kOtherKind, other.second},
              {"cam.out", kOut, pck.second},
              {"cam.gxml", kGxml, pck.first},
              {"boot.img", kWhole, wholeBytes}};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(want[i].name);
    const qelm::StTransferItem& it = s.m_items[i];
    EXPECT_STREQ(it.name, want[i].name);
    EXPECT_EQ(it.kind, want[i].kind);
    EXPECT_EQ(it.totalSize, want[i].data.size());
    EXPECT_EQ(it.remaining, want[i].data.size());
    EXPECT_EQ(it.blockSize, 256u);
    EXPECT_EQ(it.blockCount, (want[i].data.size() + 255) / 256);
    EXPECT_EQ(it.checksum, Sum(want[i].data, 0, want[i].data.size()));
    ASSERT_EQ(it.data.size() % 4, 0u);
    EXPECT_EQ(Bytes(it.data.begin(), it.data.begin() + it.totalSize), want[i].data);
    for (size_t k = it.totalSize; k < it.data.size(); ++k) EXPECT_EQ(it.data[k], 0);
  }
  EXPECT_STREQ(s.m_parts[2].name, "fpga.bin");  // the name text replaces the entry's

  const uint32_t missing[] = {0, 7};
  EXPECT_EQ(qelm::StartUpdate(2, missing, 256, &s), 152);
}

TEST_F(Update, ChecksumIsASumOfLittleEndianWordsZeroPadded) {
  const uint8_t five[] = {1, 2, 3, 4, 5};
  EXPECT_EQ(qelm::TransferChecksum(five, 5), 0x04030201u + 0x05u);
  const uint8_t wrap[] = {0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0};
  EXPECT_EQ(qelm::TransferChecksum(wrap, 8), 1u);  // modulo 2^32
  EXPECT_EQ(qelm::TransferChecksum(five, 0), 0u);
}

TEST_F(Update, ArgumentsAndBlockSizes) {
  ASSERT_EQ(Load(Package({OtherPart("a.bin", 8)}, "")), 0);
  const uint32_t id = 0;
  const uint32_t ip = kittest::Addr("127.0.0.9");  // nobody listens there
  EXPECT_EQ(Qelm_Update(0, 1, &id, 256, nullptr, FirmwareProgress, 0, nullptr, 0), 1);
  EXPECT_EQ(Qelm_Update(ip, 0, &id, 256, nullptr, FirmwareProgress, 0, nullptr, 0), 1);
  EXPECT_EQ(Qelm_Update(ip, 1, nullptr, 256, nullptr, FirmwareProgress, 0, nullptr, 0), 1);
  EXPECT_EQ(Qelm_Update(ip, 1, &id, 0, nullptr, FirmwareProgress, 0, nullptr, 0), 1);
  EXPECT_EQ(Qelm_Update(ip, 1, &id, qelm::kMaxBlockSize + 1, nullptr, FirmwareProgress, 0, nullptr, 0), 1);
  EXPECT_EQ(Qelm_Update(ip, 1, &id, qelm::kMaxBlockSize, nullptr, FirmwareProgress, 0, nullptr, 0), 2);
  const uint32_t missing = 4;
  EXPECT_EQ(Qelm_Update(ip, 1, &missing, 256, nullptr, FirmwareProgress, 0, nullptr, 0), 152);
  // A failed preparation empties the session: the package must be loaded again.
  EXPECT_EQ(Qelm_Update(ip, 1, &id, 256, nullptr, FirmwareProgress, 0, nullptr, 0), 152);
  EXPECT_EQ(qelm::kMaxBlockSize, 1024000u - 60u - 16u);
}

TEST_F(Update, FailuresBeforeTheTransferRuns) {
  FakeUpdateCamera cam("127.0.0.2", 58022);
  cam.SetVersion(Text("V"));
  qelm::StUpdateSession& s = qelm::Global().m_updateFirmware;
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int want;
    bool closed;   // the library has closed the connection
    bool emptied;  // the package must be loaded again
  } cases[] = {
      {"receive thread cannot start", [] { pf::test::FailNextThreadStarts(1); }, 3, true, false},
      // The connection stays for the next call.
      {"version query cannot be sent", [] { pf::test::FailNextSends(1); }, 17, false, false},
      {"first item head cannot be sent", [&] { cam.SetScript(FailNextSendAfter(0x10209)); }, 153, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Load(Package({OtherPart("a.bin", 600)}, "")), 0);
    cam.SetScript(nullptr);
    const size_t conn = cam.Server().ConnectionCount();
    c.arrange();
    EXPECT_EQ(Send("127.0.0.2", {0}, 256), c.want);
    ASSERT_TRUE(cam.Server().WaitConnections(conn + 1, 3000));
    if (c.closed) {
      EXPECT_TRUE(kittest::WaitUntil([&] { return !cam.Server().Conn(conn)->Open(); }, 3000));
    } else {
      EXPECT_TRUE(cam.Server().Conn(conn)->Open());
    }
    EXPECT_EQ(cam.Count(0x10201, static_cast<int>(conn)), 0u);
    pf::Lock lk(s.m_cs);
    EXPECT_EQ(s.m_parts.empty(), c.emptied);
  }
  ASSERT_TRUE(Idle());
  EXPECT_TRUE(Records().empty());
}

// ---- whole transfers ----

TEST_F(Update, WholeFirmwareTransferAsTheCameraSeesIt) {
  std::atomic<int64_t> lastItemEndAnswered{0};
  FakeUpdateCamera cam("127.0.0.2", 58022);
  cam.SetVersion(Text("CAMV2"));  // answered, but only a query takes it
  cam.SetScript([&](kittest::FakeConn&, const Frame& f) {
    if (f.code() == 0x10203) lastItemEndAnswered.store(kittest::NowMs());
    return false;
  });
  constexpr int kFinishPauseMs = 300;
  qelm::test::SetFinishPauseMs(kFinishPauseMs);
  const PackagePart pck = ProgramPackage("cam.pck", 600, 300), whole = WholePart("boot.img", 40),
                 other = OtherPart("fpga.bin", 5);
  ASSERT_EQ(Load(Package({pck, whole, other}, "")), 0);
  ASSERT_EQ(Send("127.0.0.2", {0, 1, 2}, 256), 0);
  ASSERT_TRUE(WaitFinal(5));

  const std::vector<ItemModel> items = {
      {"cam.out", kOut, pck.second}, {"cam.gxml", kGxml, pck.first}, {"boot.img", kWhole, PartBytes(whole)},
      {"fpga.bin", kOtherKind, other.second}};
  const Expected e = FirmwareExchange(items, 256);
  ExpectFrames(cam.Frames(), e, 16);
  const auto recs = Records();
  ExpectProgress(recs, e, false, kUser);

  // The first record in full: four items, the first of them in words 6 to 37.
  const std::vector<uint32_t>& first = recs.front().w;
  EXPECT_EQ(first[0], 4u);
  EXPECT_EQ(first[1], 1u);
  EXPECT_EQ(first[2], 3u);
  EXPECT_EQ(first[3], 0u);
  EXPECT_EQ(first[4], kOut);
  EXPECT_EQ(NameOf(first), "cam.out");
  EXPECT_EQ(first[21], 600u);
  EXPECT_EQ(first[22], 256u);
  EXPECT_EQ(first[23], 3u);
  EXPECT_EQ(first[24], Sum(pck.second, 0, 600));
  EXPECT_EQ(first[25], kOut);
  EXPECT_EQ(first[26], 0u);
  EXPECT_EQ(first[27], 600u);
  for (size_t i = 29; i < 37; ++i) EXPECT_EQ(first[i], 0u) << i;
  // Blocks sent stay within the block count once the end frame has gone.
  const auto afterEnd = std::find_if(recs.begin(), recs.end(), [](const Progress& p) { return p.state() == 3; });
  ASSERT_NE(afterEnd, recs.end());
  EXPECT_EQ(afterEnd->sent(), 3u);
  EXPECT_EQ(afterEnd->w[26], 4u);
  // The last record: only the last item's block words remain.
  const std::vector<uint32_t>& last = recs.back().w;
  for (size_t i : {0, 1, 4}) EXPECT_EQ(last[i], 0u) << i;
  for (size_t i = 5; i < 37; ++i) EXPECT_EQ(last[i], 0u) << i;
  EXPECT_EQ(last[2], 1u);
  EXPECT_EQ(last[3], 1u);
  // The end frame goes after the camera's answer to the last item's end; the
  // last progress follows it after the pause.
  EXPECT_GE(recs.back().atMs - lastItemEndAnswered.load(), kFinishPauseMs);

  // Nothing more is reported after the end.
  cam.Server().Last()->Close();
  ASSERT_TRUE(kittest::WaitUntil([&] { return !cam.Server().Last()->Open(); }, 3000));
  ASSERT_TRUE(Idle());
  EXPECT_EQ(Records().size(), recs.size());
}

TEST_F(Update, BlocksOfOneItem) {
  FakeUpdateCamera cam("127.0.0.2", 58022);
  cam.SetVersion(Text("V"));
  struct Case {
    const char* name;
    size_t size;
    uint32_t bs;
    std::vector<std::pair<uint32_t, uint32_t>> blocks;  // offset, length
    uint32_t lastDataLength;
  } cases[] = {
      {"1000 bytes in blocks of 256", 1000, 256, {{0, 256}, {256, 256}, {512, 256}, {768, 232}}, 16 + 232},
      {"5 bytes padded to 8", 5, 5, {{0, 5}}, 24},
      {"7 bytes in blocks of 3", 7, 3, {{0, 3}, {3, 3}, {6, 1}}, 20},
      {"the largest block fills the send buffer", qelm::kMaxBlockSize + 1, qelm::kMaxBlockSize,
       {{0, qelm::kMaxBlockSize}, {qelm::kMaxBlockSize, 1}}, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearRecords();
    const PackagePart part = OtherPart("item.bin", c.size, 9);
    ASSERT_EQ(Load(Package({part}, "")), 0);
    const size_t conns = cam.Server().ConnectionCount();
    ASSERT_EQ(Send("127.0.0.2", {0}, c.bs), 0);
    ASSERT_TRUE(WaitFinal(5, 15000));
    const int conn = static_cast<int>(conns);
    const auto frames = cam.Frames(conn);
    std::vector<Frame> blocks;
    for (const auto& f : frames)
      if (f.code() == 0x10202) blocks.push_back(f);
    ASSERT_EQ(blocks.size(), c.blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
      const Bytes& d = blocks[i].data();
      EXPECT_EQ(Get32(&d[0]), i);
      EXPECT_EQ(Get32(&d[4]), c.blocks[i].first);
      EXPECT_EQ(Get32(&d[8]), c.blocks[i].second);
      EXPECT_EQ(d, Block(part.second, static_cast<uint32_t>(i), c.blocks[i].first, c.blocks[i].second));
    }
    EXPECT_EQ(blocks.back().data().size(), c.lastDataLength);
    if (c.bs == qelm::kMaxBlockSize) {
      EXPECT_EQ(blocks[0].raw.size(), 1024000u);
    }
    // After the last block's answer comes the item's end, then the end of the transfer.
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[frames.size() - 2].code(), 0x10203u);
    EXPECT_EQ(frames.back().code(), 0x10207u);
  }
}

// A head whose body never comes, before the answer to the first block, holds
// the transfer up only until its deadline: the answer is found among its
// bytes and the transfer goes on over the same connection.
TEST_F(Update, AHeadWithNoBodyHoldsTheTransferUpUntilItsDeadlineOnly) {
  HeadsHoldTheTransferUpUntilTheirDeadlineOnly(1, "head of 3 MiB");
}

TEST_F(Update, NestedHeadsHoldTheTransferUpUntilTheirDeadlineOnly) {
  HeadsHoldTheTransferUpUntilTheirDeadlineOnly(10, "ten nested heads of 3 MiB");
}

TEST_F(Update, VersionQuery) {
  FakeUpdateCamera cam("127.0.0.2", 58022);
  ASSERT_EQ(Load(Package({OtherPart("a.bin", 8)}, "")), 0);
  const uint32_t id = 0;
  const uint32_t ip = kittest::Addr("127.0.0.2");
  const std::string defaultText = kittest::Gbk(
      "Velintor200\nAT1(1.00)STD\n20121220\n0000001000000001\nVelintor200AT1 标准版本,支持监控、抓拍以及车牌识别功能，"
      "应用于高速路收费站和停车场管理系统");
  struct Case {
    const char* name;
    bool answers;
    Bytes answer;
    std::string want;
  } cases[] = {
      {"no answer in time", false, {}, defaultText},
      {"answered", true, Text("CAM-X 3.2\nbuilt 2023"), "CAM-X 3.2\nbuilt 2023"},
      {"longer than the buffer", true, Bytes(6000, 'V'), std::string(5119, 'V')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.answers) cam.SetVersion(c.answer);
    const size_t conns = cam.Server().ConnectionCount();
    std::vector<char> text(8000, 0x55);
    const int64_t t0 = kittest::NowMs();
    ASSERT_EQ(Qelm_Update(ip, 1, &id, 256, nullptr, FirmwareProgress, 0x101, text.data(), 0), 0);
    const int64_t took = kittest::NowMs() - t0;
    EXPECT_EQ(std::string(text.data()), c.want);
    for (size_t i = 5120; i < text.size(); ++i) ASSERT_EQ(text[i], 0x55) << i;
    if (!c.answers) {
      EXPECT_GE(took, 950);
    }
    // Only the query went; the connection stays open until the next call.
    const auto frames = cam.Frames(static_cast<int>(conns));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].raw, RequestFrame(frames[0].seq, 16, 0x10209, {}));
    EXPECT_TRUE(cam.Server().Conn(conns)->Open());
  }
  EXPECT_EQ(Qelm_Update(ip, 1, &id, 256, nullptr, FirmwareProgress, 1, nullptr, 0), 1);
  ASSERT_TRUE(Idle());
  EXPECT_TRUE(Records().empty());
}

TEST_F(Update, RepliesThatFailTheChecksGiveResult2AndTheTransferWaits) {
  FakeUpdateCamera cam("127.0.0.2", 58022);
  cam.SetVersion(Text("V"));
  ASSERT_EQ(Load(Package({OtherPart("a.bin", 600)}, "")), 0);
  struct Case {
    const char* name;
    std::function<Bytes(const Frame&)> reply;
  } cases[] = {
      {"echo of another request", [](const Frame& f) { return ReplyFrame(f.seq - 1, {Answer(0x10201)}); }},
      {"item status not 0",
       [](const Frame& f) {
         Item it = Answer(0x10201);
         it.status = 5;
         return ReplyFrame(f.seq, {it});
       }},
      {"item magic wrong",
       [](const Frame& f) {
         Item it = Answer(0x10201);
         it.magic = 0x12345678;
         return ReplyFrame(f.seq, {it});
       }},
      {"namespace words wrong", [](const Frame& f) { return ReplyFrame(f.seq, {Answer(0x10201)}, 2, 8); }},
      {"no item", [](const Frame& f) { return ReplyFrame(f.seq, {}); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearRecords();
    cam.SetScript([&c](kittest::FakeConn& conn, const Frame& f) {
      if (f.code() != 0x10201) return false;
      conn.Send(c.reply(f));
      return true;
    });
    const size_t conns = cam.Server().ConnectionCount();
    ASSERT_EQ(Send("127.0.0.2", {0}, 256), 0);
    ASSERT_TRUE(WaitRecord([](const Progress& p) { return p.result() == 2; }));
    ASSERT_TRUE(Idle());
    const auto recs = Records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].state(), 1u);
    EXPECT_EQ(recs[0].item(), 1u);
    EXPECT_EQ(recs[0].user, kUser);
    EXPECT_EQ(cam.Count(0x10202, static_cast<int>(conns)), 0u);  // nothing else is sent
  }
}

TEST_F(Update, TwoItemsInOneReplyAreHandledInTurn) {
  FakeUpdateCamera cam("127.0.0.2", 58022);
  cam.SetVersion(Text("V"));
  const PackagePart part = OtherPart("a.bin", 300);
  ASSERT_EQ(Load(Package({part}, "")), 0);
  cam.SetScript([](kittest::FakeConn& conn, const Frame& f) {
    if (f.code() != 0x10201) return false;
    // The first item carries 7 bytes; the second starts right after them.
    conn.Send(ReplyFrame(f.seq, {Answer(0x10201, Bytes{1, 2, 3, 4, 5, 6, 7}), Answer(0x10202)}));
    return true;
  });
  ASSERT_EQ(Send("127.0.0.2", {0}, 256), 0);
  ASSERT_TRUE(WaitFinal(5));
  const auto recs = Records();
  ASSERT_GE(recs.size(), 2u);
  EXPECT_EQ(recs[0].state(), 1u);
  EXPECT_EQ(recs[0].sent(), 0u);
  EXPECT_EQ(recs[1].state(), 2u);
  EXPECT_EQ(recs[1].sent(), 1u);
  std::vector<Frame> blocks;
  for (const auto& f : cam.Frames())
    if (f.code() == 0x10202) blocks.push_back(f);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].data(), Block(part.second, 0, 0, 256));
  EXPECT_EQ(blocks[1].data(), Block(part.second, 1, 256, 44));
}

TEST_F(Update, ConnectionLossGivesResult1) {
  FakeUpdateCamera cam("127.0.0.2", 58022);
  cam.SetVersion(Text("V"));
  ASSERT_EQ(Load(Package({OtherPart("a.bin", 600)}, "")), 0);
  cam.SetScript([](kittest::FakeConn& conn, const Frame& f) {
    if (f.code() != 0x10202) return false;
    conn.Close();  // gone after the first block
    return true;
  });
  ASSERT_EQ(Send("127.0.0.2", {0}, 256), 0);
  ASSERT_TRUE(WaitRecord([](const Progress& p) { return p.result() == 1; }));
  ASSERT_TRUE(Idle());
  const auto recs = Records();
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].result(), 0u);
  EXPECT_EQ(recs[1].result(), 1u);
  EXPECT_EQ(recs[1].state(), 2u);
  EXPECT_EQ(recs[1].sent(), 1u);
  EXPECT_FALSE(recs[1].db);
  qelm::StUpdateSession& s = qelm::Global().m_updateFirmware;
  EXPECT_TRUE(kittest::WaitUntil([&] { return s.m_hSocket.load() == pf::INVALID_SOCKET; }, 3000));
}

TEST_F(Update, AReplacedConnectionEndsQuietlyAndLeavesTheNewOneAlone) {
  FakeUpdateCamera first("127.0.0.2", 58022), second("127.0.0.3", 58022);
  first.SetVersion(Text("OLD"));
  second.SetVersion(Text("NEW"));
  ASSERT_EQ(Load(Package({OtherPart("a.bin", 600)}, "")), 0);
  const uint32_t id = 0;
  char text[QELM_UPDATE_TEXT_SIZE];
  ASSERT_EQ(Qelm_Update(kittest::Addr("127.0.0.2"), 1, &id, 256, nullptr, FirmwareProgress, 1, text, 0), 0);
  ASSERT_TRUE(first.Server().Last()->Open());
  const int threads = kittest::ThreadCount();
  ASSERT_EQ(Send("127.0.0.3", {0}, 256), 0);
  EXPECT_TRUE(kittest::WaitUntil([&] { return !first.Server().Last()->Open(); }, 3000));
  ASSERT_TRUE(WaitFinal(5));
  for (const auto& p : Records()) EXPECT_EQ(p.result(), 0u);  // no "connection lost" from the old one
  EXPECT_EQ(second.Count(0x10207), 1u);
  // The old thread was joined, one new one runs (and one thread of the new camera's).
  EXPECT_TRUE(kittest::WaitUntil([&] { return kittest::ThreadCount() == threads; }, 3000));
}

class UpdateNoWindow : public Update {
 protected:
  UpdateNoWindow() { withWindow_ = false; }
};

TEST_F(UpdateNoWindow, NothingIsPosted) {
  // This process has no hidden window: the transfer runs, nothing is posted.
  FakeUpdateCamera cam("127.0.0.2", 58022);
  cam.SetVersion(Text("V"));
  ASSERT_EQ(qelm::MessageWnd(), nullptr);
  ASSERT_EQ(Load(Package({OtherPart("a.bin", 100)}, "")), 0);
  ASSERT_EQ(Send("127.0.0.2", {0}, 64), 0);
  ASSERT_TRUE(cam.WaitFor(0x10207, 1));
  EXPECT_TRUE(Records().empty());
}

TEST_F(Update, QuitStopsTheTransferThreadsAndKeepsTheSessions) {
  FakeUpdateCamera fw("127.0.0.2", 58022), db("127.0.0.4", 58000);
  fw.SetVersion(Text("V"));
  db.SetDbAnswer(Bytes(24, 0));
  db.SetScript([](kittest::FakeConn&, const Frame& f) { return f.code() == 0x10401; });  // never answered
  ASSERT_EQ(Load(Package({OtherPart("a.bin", 100)}, "")), 0);
  ASSERT_EQ(LoadPlatesDb(), 0);
  const uint32_t id = 0;
  char text[QELM_UPDATE_TEXT_SIZE];
  const int threads = kittest::ThreadCount();
  ASSERT_EQ(Qelm_Update(kittest::Addr("127.0.0.2"), 1, &id, 64, nullptr, FirmwareProgress, 1, text, 0), 0);
  ASSERT_EQ(Qelm_UpdateDBData(kittest::Addr("127.0.0.4"), 0, nullptr, DbProgress), 0);
  ASSERT_TRUE(db.WaitFor(0x10401, 1));
  ASSERT_TRUE(fw.Server().WaitConnections(1, 3000));
  // Two sessions' and two cameras' threads (a camera's may still be starting).
  EXPECT_TRUE(kittest::WaitUntil([&] { return kittest::ThreadCount() == threads + 4; }, 3000))
      << kittest::ThreadCount() << " threads, " << threads << " before";
  EXPECT_EQ(Qelm_Quit(), 0);
  EXPECT_TRUE(kittest::WaitUntil([&] { return !fw.Server().Last()->Open() && !db.Server().Last()->Open(); }, 3000));
  EXPECT_TRUE(kittest::WaitUntil([&] { return kittest::ThreadCount() == threads; }, 3000));
  // The package is still loaded and the window still delivers.
  ASSERT_EQ(Send("127.0.0.2", {0}, 64), 0);
  ASSERT_TRUE(WaitFinal(5));
}

// Shut-down ends the version and database queries that wait for the camera
// at once, as if no answer had come in time: the version query gives the
// default text and 0, the database query 209; a transfer whose query it ends
// is not begun (153). The sessions work again afterwards.
TEST_F(Update, QuitEndsTheQueriesThatWaitForTheCamera) {
  FakeUpdateCamera fw("127.0.0.2", 58022), db("127.0.0.4", 58000);  // neither answers its query
  ASSERT_EQ(Load(Package({OtherPart("a.bin", 100)}, "")), 0);
  ASSERT_EQ(LoadPlatesDb(), 0);
  const uint32_t id = 0;
  std::vector<char> text(QELM_UPDATE_TEXT_SIZE, 0);
  const uint32_t fwIp = kittest::Addr("127.0.0.2"), dbIp = kittest::Addr("127.0.0.4");
  EXPECT_EQ(kittest::QuitWhileCallsWait(
                {[&] { return Qelm_Update(fwIp, 1, &id, 64, nullptr, FirmwareProgress, 1, text.data(), 0); },
                 [&] { return Qelm_UpdateDBData(dbIp, 0, nullptr, DbProgress); }},
                [&] { return kittest::WaitUntil([&] { return fw.Count(0x10209) == 1 && db.Count(0x1040A) == 1; }, 3000); }),
            (std::vector<int>{0, 209}));
  EXPECT_EQ(std::string(text.data(), 11), "Velintor200");  // the default text
  EXPECT_EQ(kittest::QuitWhileCallsWait({[&] { return Send("127.0.0.2", {0}, 64); }},
                                        [&] { return kittest::WaitUntil([&] { return fw.Count(0x10209) == 2; }, 3000); }),
            std::vector<int>{153});
  EXPECT_EQ(fw.Count(0x10201), 0u);

  fw.SetVersion(Text("CAM 1.0"));
  ASSERT_EQ(Qelm_Update(fwIp, 1, &id, 64, nullptr, FirmwareProgress, 1, text.data(), 0), 0);
  EXPECT_STREQ(text.data(), "CAM 1.0");
}

// ---- database transfer ----

constexpr uint32_t kDbW0 = 0x11223344, kDbW1 = 0x00050006, kDbW2 = 7;

Bytes DbFile(size_t size, const std::string& name, uint32_t w1 = kDbW1) {
  Bytes b = Pattern(size, 21);
  Set32(b, 0, kDbW0);
  Set32(b, 4, w1);
  Set32(b, 8, kDbW2);
  memset(b.data() + 20, 0, 76);
  memcpy(b.data() + 20, name.data(), name.size());
  return b;
}

Bytes DbAnswer(uint32_t w0, uint32_t w1, uint32_t w2, const std::string& name) {
  Bytes b(84, 0);
  Set32(b, 0, w0);
  Set32(b, 4, w1);
  Set32(b, 8, w2);
  memcpy(b.data() + 20, name.data(), name.size());
  return b;
}

class DbUpdate : public Update {
 protected:
  int LoadDb(const Bytes& file, uint32_t bs) {
    const std::string path = dir_ + "plates.db";
    EXPECT_TRUE(WriteFile(path, file));
    return Qelm_LoadDBFile(path.c_str(), bs);
  }
  int SendDb(const std::string& ip, void* user = kDbUser) {
    return Qelm_UpdateDBData(kittest::Addr(ip), 0, user, DbProgress);
  }
  static void* const kDbUser;
};
void* const DbUpdate::kDbUser = reinterpret_cast<void*>(0x0DB0);

TEST_F(DbUpdate, LoadingRules) {
  struct Case {
    const char* name;
    Bytes file;
    uint32_t bs;
    int want;
  } cases[] = {
      {"a whole header", DbFile(96, "plates"), 4096, 0},
      {"95 bytes", [] {
         Bytes b = DbFile(96, "plates");
         b.pop_back();
         return b;
       }(), 4096, 155},
      {"name not ended within the header", [] {
         Bytes b = DbFile(200, "");
         memset(b.data() + 20, 'N', 76);
         return b;
       }(), 4096, 155},
      {"block size 0", DbFile(200, "plates"), 0, 1},
      {"block size beyond the send buffer", DbFile(200, "plates"), qelm::kMaxBlockSize + 1, 1},
      {"the largest block size", DbFile(200, "plates"), qelm::kMaxBlockSize, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LoadDb(c.file, c.bs), c.want);
  }
  EXPECT_EQ(Qelm_LoadDBFile(nullptr, 4096), 1);
  EXPECT_EQ(Qelm_LoadDBFile((dir_ + "missing.db").c_str(), 4096), 155);
  // Nothing loaded after a failed load, and an empty name counts as nothing.
  EXPECT_EQ(SendDb("127.0.0.4"), 156);
  ASSERT_EQ(LoadDb(DbFile(200, ""), 4096), 0);
  EXPECT_EQ(SendDb("127.0.0.4"), 156);
  ASSERT_EQ(LoadDb(DbFile(200, "plates"), 4096), 0);
  EXPECT_EQ(Qelm_UpdateDBData(0, 0, nullptr, DbProgress), 1);
  EXPECT_EQ(SendDb("127.0.0.9"), 2);  // nobody listens there
}

TEST_F(DbUpdate, WholeTransferInBlocksAsTheCameraSeesIt) {
  FakeUpdateCamera cam("127.0.0.4", 58000);
  const Bytes file = DbFile(10000, "Plates-2024");
  cam.SetDbAnswer(DbAnswer(kDbW0, kDbW1, 99, "Plates-2024"));
  ASSERT_EQ(LoadDb(file, 4096), 0);
  for (int round = 0; round < 2; ++round) {  // one load serves camera after camera
    SCOPED_TRACE(round);
    ClearRecords();
    const int conn = static_cast<int>(cam.Server().ConnectionCount());
    ASSERT_EQ(SendDb("127.0.0.4"), 0);
    ASSERT_TRUE(WaitFinal(6));
    Expected e;
    e.frames.push_back({0x1040A, Bytes(file.begin() + 20, file.begin() + 84)});
    e.frames.push_back({0x10401, ItemHead({"Plates-2024", 0, file}, 4096)});
    e.progress.push_back({1, 0, 1});
    const size_t lengths[] = {4096, 4096, 1808};
    for (uint32_t b = 0; b < 3; ++b) {
      e.frames.push_back({0x10402, Block(file, b, b * 4096, lengths[b])});
      e.progress.push_back({1, b + 1, 2});
    }
    e.frames.push_back({0x10403, {}});
    e.progress.push_back({1, 3, 6});
    ExpectFrames(cam.Frames(conn), e, 2);
    const auto recs = Records();
    ExpectProgress(recs, e, true, kDbUser);
    EXPECT_EQ(recs.back().w[0], 1u);
    EXPECT_EQ(NameOf(recs.back().w), "Plates-2024");
    EXPECT_EQ(recs.back().w[21], 10000u);
    EXPECT_EQ(recs.back().w[25], 0u);  // kind 0
  }
}

TEST_F(DbUpdate, TheCameraMustHoldTheSameDatabaseOrNone) {
  FakeUpdateCamera cam("127.0.0.4", 58000);
  ASSERT_EQ(LoadDb(DbFile(300, "Plates"), 128), 0);
  struct Case {
    const char* name;
    Bytes answer;
    int want;
  } cases[] = {
      {"same identity, name in other case", DbAnswer(kDbW0, kDbW1, 1, "pLATES"), 0},
      {"three zero words, any name", DbAnswer(0, 0, 0, "other"), 0},
      {"same name, other word 1", DbAnswer(kDbW0, kDbW1 + 1, kDbW2, "Plates"), 157},
      {"same name, other word 0", DbAnswer(kDbW0 ^ 1, kDbW1, kDbW2, "Plates"), 157},
      {"same identity, other name", DbAnswer(kDbW0, kDbW1, kDbW2, "Plates2"), 157},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearRecords();
    cam.SetDbAnswer(c.answer);
    const size_t conn = cam.Server().ConnectionCount();
    ASSERT_EQ(SendDb("127.0.0.4"), c.want);
    if (c.want == 0) {
      ASSERT_TRUE(WaitFinal(6));
      EXPECT_EQ(cam.Count(0x10402, static_cast<int>(conn)), 3u);
    } else {
      EXPECT_TRUE(kittest::WaitUntil([&] { return !cam.Server().Conn(conn)->Open(); }, 3000));
      EXPECT_EQ(cam.Count(0x10401, static_cast<int>(conn)), 0u);
    }
  }
}

TEST_F(DbUpdate, NoAnswerIsATimeOutEvenWhileTheFirmwareSessionIsAnswered) {
  FakeUpdateCamera db("127.0.0.4", 58000), fw("127.0.0.2", 58022);
  fw.SetVersion(Text("FW-ANSWER"));
  ASSERT_EQ(LoadDb(DbFile(300, "Plates"), 128), 0);
  ASSERT_EQ(Load(Package({OtherPart("a.bin", 8)}, "")), 0);
  int dbResult = -1;
  std::thread t([&] { dbResult = SendDb("127.0.0.4"); });
  ASSERT_TRUE(db.WaitFor(0x1040A, 1));
  const uint32_t id = 0;
  char text[QELM_UPDATE_TEXT_SIZE];
  EXPECT_EQ(Qelm_Update(kittest::Addr("127.0.0.2"), 1, &id, 64, nullptr, FirmwareProgress, 1, text, 0), 0);
  EXPECT_STREQ(text, "FW-ANSWER");
  t.join();
  EXPECT_EQ(dbResult, 209);  // the firmware answer does not end the database wait
  EXPECT_TRUE(kittest::WaitUntil([&] { return !db.Server().Last()->Open(); }, 3000));
  EXPECT_EQ(db.Count(0x10401), 0u);
}

TEST_F(DbUpdate, ConnectionLossGivesResult1AndIsLogged) {
  qelm::Global().m_log.m_bLogOn.store(1);  // lines are queued (no writer)
  FakeUpdateCamera cam("127.0.0.4", 58000);
  cam.SetDbAnswer(DbAnswer(0, 0, 0, ""));
  ASSERT_EQ(LoadDb(DbFile(1000, "Plates"), 256), 0);
  cam.SetScript([](kittest::FakeConn& conn, const Frame& f) {
    if (f.code() != 0x10402) return false;
    conn.Reset();
    return true;
  });
  ASSERT_EQ(SendDb("127.0.0.4"), 0);
  ASSERT_TRUE(WaitRecord([](const Progress& p) { return p.result() == 1; }));
  ASSERT_TRUE(Idle());
  const auto recs = Records();
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_TRUE(recs[1].db);
  EXPECT_EQ(recs[1].user, kDbUser);
  EXPECT_EQ(recs[1].state(), 2u);
  qelm::StUpdateSession& s = qelm::Global().m_updateDB;
  EXPECT_TRUE(kittest::WaitUntil([&] { return s.m_hSocket.load() == pf::INVALID_SOCKET; }, 3000));
  // The line, then the text of the sockets error that ended the link.
  std::vector<std::string> lines;
  {
    kit::LogQueue& q = qelm::Global().m_log;
    pf::Lock lk(q.m_csLog);
    lines.assign(q.m_listLog.begin(), q.m_listLog.end());
  }
  const auto at = std::find(lines.begin(), lines.end(), kittest::Gbk("在线升级网络异常"));
  ASSERT_NE(at, lines.end());
  ASSERT_NE(at + 1, lines.end());
  EXPECT_EQ(*(at + 1), kit::SocketErrorText(pf::WSAECONNRESET));
}

TEST_F(DbUpdate, FailuresBeforeTheTransferRuns) {
  FakeUpdateCamera cam("127.0.0.4", 58000);
  cam.SetDbAnswer(DbAnswer(0, 0, 0, ""));
  ASSERT_EQ(LoadDb(DbFile(300, "Plates"), 128), 0);
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int want;
  } cases[] = {
      {"receive thread cannot start", [] { pf::test::FailNextThreadStarts(1); }, 3},
      {"query cannot be sent", [] { pf::test::FailNextSends(1); }, 17},
      {"item head cannot be sent", [&] { cam.SetScript(FailNextSendAfter(0x1040A)); }, 153},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cam.SetScript(nullptr);
    const size_t conn = cam.Server().ConnectionCount();
    c.arrange();
    EXPECT_EQ(SendDb("127.0.0.4"), c.want);
    // Every failure closes the connection.
    ASSERT_TRUE(cam.Server().WaitConnections(conn + 1, 3000));
    EXPECT_TRUE(kittest::WaitUntil([&] { return !cam.Server().Conn(conn)->Open(); }, 3000));
    EXPECT_EQ(cam.Count(0x10401, static_cast<int>(conn)), 0u);
  }
  ASSERT_TRUE(Idle());
  EXPECT_TRUE(Records().empty());
  // The file stays loaded.
  cam.SetScript(nullptr);
  ASSERT_EQ(SendDb("127.0.0.4"), 0);
  EXPECT_TRUE(WaitFinal(6));
}

TEST_F(DbUpdate, AFailedSendDuringEitherTransferGivesResult3AndTheTransferWaits) {
  FakeUpdateCamera fw("127.0.0.2", 58022), db("127.0.0.4", 58000);
  fw.SetVersion(Text("V"));
  db.SetDbAnswer(DbAnswer(0, 0, 0, ""));
  ASSERT_EQ(Load(Package({OtherPart("a.bin", 100), OtherPart("b.bin", 100), ProgramPackage("cam.pck", 100, 50)}, "")),
            0);
  ASSERT_EQ(LoadDb(DbFile(300, "Plates"), 128), 0);
  struct Case {
    const char* name;
    bool db;
    std::vector<uint32_t> ids;
    uint32_t failAfter;  // the camera's frame after whose answer the library's send fails
    uint32_t state, item;
  } cases[] = {
      {"a block", false, {0}, 0x10201, 2, 1},
      {"the commit of a program file", false, {2}, 0x10203, 4, 1},
      {"the head of the next item", false, {0, 1}, 0x10203, 1, 2},
      {"the end of the transfer", false, {0}, 0x10203, 5, 0},
      {"a block of the database", true, {}, 0x10401, 2, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearRecords();
    FakeUpdateCamera& cam = c.db ? db : fw;
    cam.SetScript(FailNextSendAfter(c.failAfter));
    const int conn = static_cast<int>(cam.Server().ConnectionCount());
    ASSERT_EQ(c.db ? SendDb("127.0.0.4") : Send("127.0.0.2", c.ids, 64), 0);
    ASSERT_TRUE(WaitRecord([](const Progress& p) { return p.result() == 3; }));
    ASSERT_TRUE(Idle());
    const auto recs = Records();
    ASSERT_GE(recs.size(), 2u);
    for (size_t i = 0; i + 1 < recs.size(); ++i) EXPECT_EQ(recs[i].result(), 0u) << i;
    const Progress& failed = recs.back();
    EXPECT_EQ(failed.db, c.db);
    EXPECT_EQ(failed.user, c.db ? kDbUser : kUser);
    EXPECT_EQ(failed.state(), c.state);
    EXPECT_EQ(failed.item(), c.item);
    // Nothing went after the failed send: the transfer waits.
    const auto frames = cam.Frames(conn);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().code(), c.failAfter);
  }
}

}  // namespace

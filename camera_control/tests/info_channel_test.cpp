// Information requests on TCP 58006 against a fake camera with its own codec.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Qelm_Control.h"
#include "context.h"
#include "fake_peer.h"
#include "info_channel.h"
#include "netns.h"
#include "platform/thread.h"
#include "process.h"
#include "quit_support.h"
#include "wait.h"

namespace {

using kittest::Bytes;

// ---- the fake camera's own codec ----
void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t Get32(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}

struct InfoItem {
  uint32_t code;
  uint32_t number;
  Bytes data;
};

struct InfoFrame {
  uint16_t ns = 0, sender = 0;
  uint32_t cls = 0, count = 0;
  std::vector<InfoItem> items;
};

// Frame with 36-byte head, items of {magic 0x12345678, code, number, status, length, data}, tail.
Bytes Encode(uint16_t ns, uint16_t sender, uint32_t cls, const std::vector<InfoItem>& items) {
  Bytes body;
  for (const auto& it : items) {
    Put32(body, 0x12345678);
    Put32(body, it.code);
    Put32(body, it.number);
    Put32(body, 0);
    Put32(body, static_cast<uint32_t>(it.data.size()));
    body.insert(body.end(), it.data.begin(), it.data.end());
  }
  Bytes f;
  Put32(f, 0x0FF055AA);
  Put32(f, 0x00010000);
  Put32(f, static_cast<uint32_t>(36 + body.size() + 4));
  f.push_back(static_cast<uint8_t>(ns));
  f.push_back(static_cast<uint8_t>(ns >> 8));
  f.push_back(static_cast<uint8_t>(sender));
  f.push_back(static_cast<uint8_t>(sender >> 8));
  Put32(f, 0);  // sequence
  Put32(f, 0);  // echo
  Put32(f, cls);
  Put32(f, 0);
  Put32(f, static_cast<uint32_t>(items.size()));
  f.insert(f.end(), body.begin(), body.end());
  Put32(f, 0x550FF0AA);
  return f;
}

InfoFrame Decode(const Bytes& f) {
  InfoFrame out;
  out.ns = static_cast<uint16_t>(f[12] | (f[13] << 8));
  out.sender = static_cast<uint16_t>(f[14] | (f[15] << 8));
  out.cls = Get32(f, 24);
  out.count = Get32(f, 32);
  size_t at = 36;
  for (uint32_t i = 0; i < out.count && at + 20 <= f.size() - 4; ++i) {
    EXPECT_EQ(Get32(f, at), 0x12345678u);
    EXPECT_EQ(Get32(f, at + 12), 0u);  // status
    const uint32_t len = Get32(f, at + 16);
    out.items.push_back({Get32(f, at + 4), Get32(f, at + 8), Bytes(f.begin() + at + 20, f.begin() + at + 20 + len)});
    at += 20 + len;
  }
  EXPECT_EQ(at + 4, f.size());
  EXPECT_EQ(Get32(f, f.size() - 4), 0x550FF0AAu);
  return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Word(uint32_t v) {
  Bytes b;
  Put32(b, v);
  return b;
}

// A fake camera information port: records whole frames, answers by script.
// Hold keeps the answer back until the test lets it go (a slow device).
class FakeInfoCamera {
 public:
  enum class Answer { Items, Silence, CloseAtOnce, Hold };

  explicit FakeInfoCamera(const std::string& ip) : server_(ip, qelm::kInfoPort) {
    server_.SetOnData([this](kittest::FakeConn& c, Bytes& pending) {
      while (pending.size() >= 12 && pending.size() >= Get32(pending, 8)) {
        const uint32_t len = Get32(pending, 8);
        Bytes frame(pending.begin(), pending.begin() + len);
        pending.erase(pending.begin(), pending.begin() + len);
        Answer a;
        std::vector<InfoItem> items;
        bool closeAfter;
        Bytes first;
        {
          std::lock_guard<std::mutex> lk(m_);
          frames_.push_back(frame);
          a = answer_;
          items = reply_;
          closeAfter = closeAfterReply_;
          first = first_;
          // Held as the request is recorded: a test that has seen the request
          // can let the answer go.
          if (a == Answer::Hold) held_ = {c.id(), Encode(8, 2, 0x8002, items)};
        }
        if (a == Answer::CloseAtOnce) {
          c.Close();
        } else if (a == Answer::Items) {
          Bytes answer = first;
          const Bytes reply = Encode(8, 2, 0x8002, items);
          answer.insert(answer.end(), reply.begin(), reply.end());
          c.Send(answer);
          if (closeAfter) c.Close();
        }
      }
    });
  }
  bool Up() const { return server_.Listening(); }
  void Script(Answer a, std::vector<InfoItem> items = {}, bool closeAfter = false) {
    std::lock_guard<std::mutex> lk(m_);
    answer_ = a;
    reply_ = std::move(items);
    closeAfterReply_ = closeAfter;
  }
  // Bytes sent before each answer.
  void SendFirst(Bytes b) {
    std::lock_guard<std::mutex> lk(m_);
    first_ = std::move(b);
  }
  std::vector<Bytes> Frames() {
    std::lock_guard<std::mutex> lk(m_);
    return frames_;
  }
  bool WaitFrames(size_t n) {
    return kittest::WaitUntil([&] { return Frames().size() >= n; }, 3000);
  }
  // Sends the answer held back, on the connection whose request it answers
  // (false when nothing is held or that connection is gone).
  bool SendHeld() {
    std::pair<int, Bytes> held;
    {
      std::lock_guard<std::mutex> lk(m_);
      held = std::move(held_);
      held_ = {-1, {}};
    }
    for (size_t i = 0; i < server_.ConnectionCount(); ++i) {
      auto c = server_.Conn(i);
      if (c && c->id() == held.first) return c->Send(held.second);
    }
    return false;
  }
  kittest::FakeTcpServer& Server() { return server_; }

 private:
  std::mutex m_;
  std::vector<Bytes> frames_;
  Answer answer_ = Answer::Items;
  std::vector<InfoItem> reply_;
  bool closeAfterReply_ = false;
  Bytes first_;
  std::pair<int, Bytes> held_{-1, {}};  // connection id, answer
  kittest::FakeTcpServer server_;  // last: its threads stop before the script goes
};

void QELM_CALL Found(StCameraInfo*) {}

class InfoChannel : public testing::Test {
 protected:
  void SetUp() override {
    qelm::test::SetModulePath(dir_);
    ASSERT_EQ(Qelm_InitControl(Found), 0);
    camera_ = std::make_unique<FakeInfoCamera>("127.0.0.2");
    ASSERT_TRUE(camera_->Up());
  }
  void TearDown() override {
    camera_.reset();
    Qelm_Quit();
  }
  // Everything logged so far (the writer writes what is queued and ends).
  std::string Log() {
    Qelm_RecordControlLog(0);
    return kittest::ReadFolder(dir_ + "DLLLog");
  }
  // A write frame as the camera must receive it: namespace 2, sender 8,
  // sequence, echo and reserved words 0, class 3.
  static Bytes WriteFrame(const std::vector<InfoItem>& items) { return Encode(2, 8, 3, items); }

  const std::string dir_ = kittest::MakeTempFolder("info");
  const uint32_t ip_ = kittest::Addr("127.0.0.2");
  std::unique_ptr<FakeInfoCamera> camera_;
};

TEST_F(InfoChannel, ReadRequestIsNineEmptyItemsInOrder) {
  camera_->Script(FakeInfoCamera::Answer::Items, {});
  StCameraInfo info;
  ASSERT_EQ(Qelm_GetCameraInfo(ip_, &info, 1000), 0);
  ASSERT_TRUE(camera_->WaitFrames(1));
  const Bytes f = camera_->Frames()[0];
  // Head: magic, version, length 40 + 9 * 20, namespace 2, sender 8, sequence and echo 0, class 2, count 9.
  const Bytes head = {0xAA, 0x55, 0xF0, 0x0F, 0x00, 0x00, 0x01, 0x00, 220, 0, 0, 0, 2, 0, 8, 0, 0, 0,
                      0,    0,    0,    0,    0,    0,    2,    0,    0,    0, 0, 0, 0, 0, 9, 0, 0, 0};
  ASSERT_EQ(f.size(), 220u);
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 36), head);
  const InfoFrame d = Decode(f);
  const uint32_t codes[] = {0x01000700, 0x01010700, 0x01020700, 0x01030D00, 0x01040E00,
                            0x02000D00, 0x02010D00, 0x02020D00, 0x02030D00};
  const uint32_t numbers[] = {0, 1, 2, 3, 4, 0, 1, 2, 3};
  ASSERT_EQ(d.items.size(), 9u);
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(d.items[i].code, codes[i]) << i;
    EXPECT_EQ(d.items[i].number, numbers[i]) << i;
    EXPECT_TRUE(d.items[i].data.empty()) << i;
  }
}

TEST_F(InfoChannel, RepliesAreStoredWithinTheirFieldsAndLimits) {
  const Bytes mac8 = {1, 2, 3, 4, 5, 6, 7, 8};
  struct Case {
    const char* name;
    std::vector<InfoItem> reply;
    std::function<void(const StCameraInfo&)> check;
  } cases[] = {
      {"all items",
       {{0x01000700, 0, Word(0x0A0B0C0D)},
        {0x01010700, 1, Word(0x00FFFFFF)},
        {0x01020700, 2, Word(0x010B0C0D)},
        {0x01030D00, 3, Text("SN-0001")},
        {0x01040E00, 4, Bytes{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6}},
        {0x02000D00, 0, Text("gate one")},
        {0x02030D00, 3, Text("lane 3")},
        {0x00010D00, 0, Text("IPNC v2")}},
       [](const StCameraInfo& i) {
         EXPECT_EQ(i.ip, 0x0A0B0C0Du);
         EXPECT_EQ(i.mask, 0x00FFFFFFu);
         EXPECT_EQ(i.gateway, 0x010B0C0Du);
         EXPECT_STREQ(i.factory.serial, "SN-0001");
         EXPECT_EQ(Bytes(i.factory.mac, i.factory.mac + 6), (Bytes{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6}));
         EXPECT_STREQ(i.userText[0], "gate one");
         EXPECT_STREQ(i.userText[1], "");
         EXPECT_STREQ(i.userText[3], "lane 3");
         EXPECT_STREQ(i.version, "IPNC v2");
       }},
      {"only the address",
       {{0x01000700, 0, Word(0x11223344)}},
       [](const StCameraInfo& i) {
         StCameraInfo want{};
         want.ip = 0x11223344;
         EXPECT_EQ(memcmp(&i, &want, sizeof i), 0);
       }},
      {"version of 200 bytes fills the field",
       {{0x00010D00, 0, Bytes(200, 'v')}},
       [](const StCameraInfo& i) {
         EXPECT_EQ(std::string(i.version, 200), std::string(200, 'v'));
         EXPECT_EQ(i.ip, 0u);
       }},
      {"version of 201 bytes is skipped", {{0x00010D00, 0, Bytes(201, 'v')}},
       [](const StCameraInfo& i) { EXPECT_EQ(i.version[0], 0); }},
      {"short words and texts over their limit are skipped",
       {{0x01000700, 0, Bytes{1, 2, 3}}, {0x01030D00, 3, Bytes(33, 's')}, {0x02010D00, 1, Bytes(65, 'u')}},
       [](const StCameraInfo& i) {
         EXPECT_EQ(i.ip, 0u);
         EXPECT_EQ(i.factory.serial[0], 0);
         EXPECT_EQ(i.userText[1][0], 0);
       }},
      {"MAC of 5 bytes is skipped", {{0x01040E00, 4, Bytes{1, 2, 3, 4, 5}}},
       [](const StCameraInfo& i) { EXPECT_EQ(Bytes(i.factory.mac, i.factory.mac + 6), Bytes(6, 0)); }},
      {"MAC of 8 bytes gives its first 6", {{0x01040E00, 4, mac8}},
       [&](const StCameraInfo& i) {
         EXPECT_EQ(Bytes(i.factory.mac, i.factory.mac + 6), Bytes(mac8.begin(), mac8.begin() + 6));
       }},
      {"no items", {},
       [](const StCameraInfo& i) {
         StCameraInfo want{};
         EXPECT_EQ(memcmp(&i, &want, sizeof i), 0);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    camera_->Script(FakeInfoCamera::Answer::Items, c.reply);
    StCameraInfo info;
    memset(&info, 0x5A, sizeof info);
    ASSERT_EQ(Qelm_GetCameraInfo(ip_, &info, 2000), 0);
    c.check(info);
  }
}

TEST_F(InfoChannel, ReplyThenImmediateCloseStillCounts) {
  camera_->Script(FakeInfoCamera::Answer::Items, {{0x01000700, 0, Word(7)}}, true);
  StCameraInfo info{};
  ASSERT_EQ(Qelm_GetCameraInfo(ip_, &info, 2000), 0);
  EXPECT_EQ(info.ip, 7u);
}

TEST_F(InfoChannel, SilenceOrACloseWithoutReplyTimesOut) {
  StCameraInfo info{};
  for (auto a : {FakeInfoCamera::Answer::Silence, FakeInfoCamera::Answer::CloseAtOnce}) {
    camera_->Script(a);
    const int64_t t0 = kittest::NowMs();
    EXPECT_EQ(Qelm_GetCameraInfo(ip_, &info, 300), 209);
    EXPECT_GE(kittest::NowMs() - t0, 280);
  }
}

// Shut-down ends the information requests that wait for an answer at once,
// with the time-out's 209: also one whose connection the camera has closed
// already. Start-up and requests work again afterwards.
TEST_F(InfoChannel, QuitEndsTheRequestsThatWaitAndStartUpWorksAgain) {
  FakeInfoCamera closing("127.0.0.3");
  closing.Script(FakeInfoCamera::Answer::CloseAtOnce);
  camera_->Script(FakeInfoCamera::Answer::Silence);
  StCameraInfo info{}, other{};
  char texts[256] = "user";
  EXPECT_EQ(kittest::QuitWhileCallsWait(
                {[&] { return Qelm_GetCameraInfo(ip_, &info, 10000); },
                 [&] { return Qelm_SetCameraUserInfo(ip_, texts, 10000); },
                 [&] { return Qelm_GetCameraInfo(kittest::Addr("127.0.0.3"), &other, 10000); }},
                [&] {
                  return camera_->WaitFrames(2) && closing.WaitFrames(1) &&
                         kittest::WaitUntil([&] { return closing.Server().ConnectionCount() == 1 &&
                                                         !closing.Server().Conn(0)->Open(); }, 3000);
                }),
            (std::vector<int>{209, 209, 209}));

  ASSERT_EQ(Qelm_InitControl(Found), 0);
  camera_->Script(FakeInfoCamera::Answer::Items, {{0x01000700, 0, Word(9)}});
  ASSERT_EQ(Qelm_GetCameraInfo(ip_, &info, 2000), 0);
  EXPECT_EQ(info.ip, 9u);
}

TEST_F(InfoChannel, AnAnsweredWriteDoesNotMakeALaterReadSucceed) {
  // The device answers the network-values write (nobody waits for it), then
  // never answers the read: the read must time out, not take the old answer.
  camera_->Script(FakeInfoCamera::Answer::Items, {{0x01050100, 3, {}}});
  const uint32_t p[4] = {kittest::Addr("198.51.100.20"), kittest::Addr("255.255.255.0"), kittest::Addr("198.51.100.254"), 0};
  ASSERT_EQ(qelm::SendInfoRequest(ip_, qelm::kInfoNetValues, 0, p), 0);
  ASSERT_TRUE(camera_->WaitFrames(1));
  camera_->Script(FakeInfoCamera::Answer::Silence);
  StCameraInfo info{};
  EXPECT_EQ(Qelm_GetCameraInfo(ip_, &info, 300), 209);
}

TEST_F(InfoChannel, NetworkValuesWriteIsSentAndNotAwaitedAndItsConnectionEnds) {
  qelm::test::SetUnawaitedLifeMs(200);
  camera_->Script(FakeInfoCamera::Answer::Silence);
  const uint32_t p[4] = {0x0A0B0C0D, 0x00FFFFFF, 0x010B0C0D, 0x99999999};
  const int64_t t0 = kittest::NowMs();
  ASSERT_EQ(qelm::SendInfoRequest(ip_, qelm::kInfoNetValues, 5000, p), 0);
  EXPECT_LT(kittest::NowMs() - t0, 1000);
  ASSERT_TRUE(camera_->WaitFrames(1));
  const InfoFrame d = Decode(camera_->Frames()[0]);
  EXPECT_EQ(d.ns, 2);
  EXPECT_EQ(d.sender, 8);
  EXPECT_EQ(d.cls, 3u);
  ASSERT_EQ(d.items.size(), 4u);
  EXPECT_EQ(d.items[0].code, 0x01000700u);
  EXPECT_EQ(d.items[0].data, Word(0x0A0B0C0D));
  EXPECT_EQ(d.items[1].code, 0x01010700u);
  EXPECT_EQ(d.items[1].data, Word(0x00FFFFFF));
  EXPECT_EQ(d.items[2].code, 0x01020700u);
  EXPECT_EQ(d.items[2].data, Word(0x010B0C0D));
  EXPECT_EQ(d.items[3].code, 0x01050100u);
  EXPECT_EQ(d.items[3].number, 3u);
  EXPECT_TRUE(d.items[3].data.empty());
  EXPECT_EQ(camera_->Frames()[0], WriteFrame({{0x01000700, 0, Word(0x0A0B0C0D)},
                                              {0x01010700, 1, Word(0x00FFFFFF)},
                                              {0x01020700, 2, Word(0x010B0C0D)},
                                              {0x01050100, 3, {}}}))
      << "byte for byte; the fourth word is not sent";
  // The unanswered connection does not stay open for ever.
  auto conn = camera_->Server().Conn(0);
  ASSERT_NE(conn, nullptr);
  EXPECT_TRUE(kittest::WaitUntil([&] { return !conn->Open(); }, 3000));
}

TEST_F(InfoChannel, SetNetParamsWithoutBroadcastGoesOverTheInformationPort) {
  camera_->Script(FakeInfoCamera::Answer::Silence);
  const StNetParams p{0x0A0B0C0D, 0x00FFFFFF, 0x010B0C0D, 0};
  ASSERT_EQ(Qelm_SetCameraNetParams(ip_, &p, 0), 0);  // not awaited
  ASSERT_TRUE(camera_->WaitFrames(1));
  const InfoFrame d = Decode(camera_->Frames()[0]);
  ASSERT_EQ(d.items.size(), 4u);
  EXPECT_EQ(d.items[0].data, Word(0x0A0B0C0D));
  EXPECT_EQ(d.items[3].code, 0x01050100u);
}

TEST_F(InfoChannel, UserTextsAreBoundedToTheirFieldsAndPaddedWithZeros) {
  camera_->Script(FakeInfoCamera::Answer::Items, {{0x02040100, 4, {}}});
  // Exactly four 64-byte fields: a text that fills its field must not be read past it.
  auto rec = std::make_unique<char[]>(256);
  memset(rec.get(), 0, 256);
  strcpy(rec.get() + 0, "");
  strcpy(rec.get() + 64, "a");
  strcpy(rec.get() + 128, "abc");
  memset(rec.get() + 192, 'z', 64);  // 64 characters, no terminator in the field
  ASSERT_EQ(Qelm_SetCameraUserInfo(ip_, rec.get(), 2000), 0);
  const InfoFrame d = Decode(camera_->Frames()[0]);
  EXPECT_EQ(d.cls, 3u);
  ASSERT_EQ(d.items.size(), 5u);
  const Bytes want[] = {Bytes(4, 0), Bytes{'a', 0, 0, 0}, Bytes{'a', 'b', 'c', 0, 0, 0, 0, 0}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(d.items[i].code, 0x02000D00u + (uint32_t(i) << 16));
    EXPECT_EQ(d.items[i].number, uint32_t(i));
    EXPECT_EQ(d.items[i].data, want[i]) << i;
  }
  Bytes last(63, 'z');
  last.resize(68, 0);
  EXPECT_EQ(d.items[3].data, last);
  EXPECT_EQ(d.items[4].code, 0x02040100u);
  EXPECT_EQ(d.items[4].number, 4u);
  EXPECT_EQ(camera_->Frames()[0], WriteFrame({{0x02000D00, 0, want[0]},
                                              {0x02010D00, 1, want[1]},
                                              {0x02020D00, 2, want[2]},
                                              {0x02030D00, 3, last},
                                              {0x02040100, 4, {}}}))
      << "byte for byte";
}

TEST_F(InfoChannel, SixtyThreeCharacterTextGoesWithLength68) {
  camera_->Script(FakeInfoCamera::Answer::Items, {});
  char rec[256] = {};
  memset(rec, 'q', 63);
  ASSERT_EQ(Qelm_SetCameraUserInfo(ip_, rec, 2000), 0);
  const InfoFrame d = Decode(camera_->Frames()[0]);
  Bytes want(63, 'q');
  want.resize(68, 0);
  EXPECT_EQ(d.items[0].data, want);
}

TEST_F(InfoChannel, FactoryInformationGoesInTwoFrames) {
  camera_->Script(FakeInfoCamera::Answer::Items, {});
  StDeviceFactoryInfo fi;
  memset(fi.serial, 'S', sizeof fi.serial);  // 32 bytes sent as they are
  const uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  memcpy(fi.mac, mac, 6);
  ASSERT_EQ(Qelm_SetFactoryInfo(ip_, &fi, 2000), 0);
  ASSERT_TRUE(camera_->WaitFrames(2));
  const uint32_t codes[2][3] = {{0x01030D00, 0x01040E00, 0x01060100}, {0x01070D00, 0x01080E00, 0x01090100}};
  for (int k = 0; k < 2; ++k) {
    const InfoFrame d = Decode(camera_->Frames()[k]);
    ASSERT_EQ(d.items.size(), 3u);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(d.items[i].code, codes[k][i]);
      EXPECT_EQ(d.items[i].number, uint32_t(i));
    }
    EXPECT_EQ(d.items[0].data, Bytes(32, 'S'));
    EXPECT_EQ(d.items[1].data, (Bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0, 0}));
    EXPECT_TRUE(d.items[2].data.empty());
    EXPECT_EQ(camera_->Frames()[k], WriteFrame({{codes[k][0], 0, Bytes(32, 'S')},
                                                {codes[k][1], 1, Bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0, 0}},
                                                {codes[k][2], 2, {}}}))
        << "frame " << k << " byte for byte";
  }
}

TEST_F(InfoChannel, BadArgumentsAndUnreachableCamera) {
  StCameraInfo info;
  char texts[256] = {};
  EXPECT_EQ(Qelm_GetCameraInfo(0, &info, 100), 1);
  EXPECT_EQ(Qelm_GetCameraInfo(ip_, nullptr, 100), 1);
  EXPECT_EQ(Qelm_SetCameraUserInfo(0, texts, 100), 1);
  EXPECT_EQ(Qelm_SetCameraUserInfo(ip_, nullptr, 100), 1);
  EXPECT_EQ(Qelm_SetFactoryInfo(ip_, nullptr, 100), 1);
  const uint32_t nobody = kittest::Addr("127.0.0.9");
  EXPECT_EQ(Qelm_GetCameraInfo(nobody, &info, 100), 2);
  EXPECT_EQ(Qelm_SetCameraUserInfo(nobody, texts, 100), 2);
  camera_->Script(FakeInfoCamera::Answer::Silence);
  EXPECT_EQ(Qelm_SetCameraUserInfo(ip_, texts, 200), 209);
}

TEST_F(InfoChannel, SlowReplyIsAwaitedWithinTheTimeOutAndIgnoredAfterIt) {
  // Within the time-out: the read waits for the slow answer and takes it.
  camera_->Script(FakeInfoCamera::Answer::Hold, {{0x01000700, 0, Word(0x01020304)}});
  auto pending = std::async(std::launch::async, [&] {
    StCameraInfo info{};
    const int r = Qelm_GetCameraInfo(ip_, &info, 5000);
    return std::make_pair(r, info.ip);
  });
  ASSERT_TRUE(camera_->WaitFrames(1));
  ASSERT_TRUE(camera_->SendHeld());
  const auto got = pending.get();
  EXPECT_EQ(got.first, 0);
  EXPECT_EQ(got.second, 0x01020304u);

  // After the time-out: 209, and the late answer does not reach the next read.
  camera_->Script(FakeInfoCamera::Answer::Hold, {{0x01000700, 0, Word(0x0A0A0A0A)}});
  StCameraInfo info{};
  EXPECT_EQ(Qelm_GetCameraInfo(ip_, &info, 200), 209);
  camera_->SendHeld();  // its connection is over: the late answer has nowhere to go
  camera_->Script(FakeInfoCamera::Answer::Items, {{0x01000700, 0, Word(0x0B0B0B0B)}});
  ASSERT_EQ(Qelm_GetCameraInfo(ip_, &info, 2000), 0);
  EXPECT_EQ(info.ip, 0x0B0B0B0Bu);
}

// Heads whose body never comes, before the answer: the answer is found among
// their bytes 5 s after they came (not 5 s per head, however they nest), and
// a read that waits longer takes it.
TEST_F(InfoChannel, HeadsWithNoBodyDelayTheAnswerUntilTheirDeadlineOnly) {
  struct Case {
    const char* name;
    size_t heads;
  } cases[] = {{"head of 3000 bytes", 1}, {"ten nested heads of 3000 bytes", 10}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes heads;
    for (size_t i = 0; i < c.heads; ++i) {
      Put32(heads, 0x0FF055AA);
      Put32(heads, 0x00010000);
      Put32(heads, 3000);
    }
    camera_->SendFirst(heads);
    camera_->Script(FakeInfoCamera::Answer::Items, {{0x01000700, 0, Word(0x01020304)}});
    StCameraInfo info{};
    const int64_t t0 = kittest::NowMs();
    ASSERT_EQ(Qelm_GetCameraInfo(ip_, &info, 8000), 0);
    const int64_t recovery = kittest::NowMs() - t0;
    std::cout << "recovery information channel, " << c.name << " before the answer: " << recovery << " ms"
              << std::endl;
    EXPECT_EQ(info.ip, 0x01020304u);
    EXPECT_GE(recovery, 4900);
    EXPECT_LT(recovery, 6000);
  }
}

// Every way a request ends: its result, the read's log line, and no
// descriptor left behind (failed allocation and thread start included).
TEST_F(InfoChannel, EveryOutcomeLogsItsLineAndLeavesNoSocketOpen) {
  ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  const uint32_t nobody = kittest::Addr("127.0.0.9");
  auto answer = [&] { camera_->Script(FakeInfoCamera::Answer::Items, {}); };
  auto silence = [&] { camera_->Script(FakeInfoCamera::Answer::Silence); };
  auto noMemory = [] { qelm::test::FailNextChannelAllocs(1); };
  auto noThread = [] { pf::test::FailNextThreadStarts(1); };
  auto nothing = [] {};
  struct Case {
    const char* name;
    uint32_t ip;
    bool record;
    std::function<void()> arrange;
    int want;
    const char* line;  // of the read
  } cases[] = {
      {"no address", 0, true, nothing, 1, "获取相机信息，参数错误"},
      {"no record", ip_, false, nothing, 1, "获取相机信息，参数错误"},
      {"nobody listening", nobody, true, nothing, 2, "获取相机信息，生成SOCKET失败"},
      {"no memory for the channel", ip_, true, noMemory, 100, "获取相机信息，分配内存错误"},
      {"thread not started", ip_, true, noThread, 3, "获取相机信息，启用UDP线程失败"},
      {"silence", ip_, true, silence, 209, "获取相机信息，超时"},
      {"answer", ip_, true, answer, 0, "获取相机信息成功"},
  };
  const int fds = kittest::OpenDescriptorCount();
  char texts[256] = {};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StCameraInfo info{};
    c.arrange();
    EXPECT_EQ(Qelm_GetCameraInfo(c.ip, c.record ? &info : nullptr, 300), c.want);
    c.arrange();
    EXPECT_EQ(Qelm_SetCameraUserInfo(c.ip, c.record ? texts : nullptr, 300), c.want);
    // The log writer holds its file open for a moment now and then.
    EXPECT_TRUE(kittest::WaitUntil([&] { return kittest::OpenDescriptorCount() == fds; }, 3000));
  }
  const std::string log = Log();
  size_t at = 0;
  for (const auto& c : cases) {
    const size_t found = log.find("    " + kittest::Gbk(c.line) + "\r\n", at);
    ASSERT_NE(found, std::string::npos) << c.name << " (in this order) in:\n" << log;
    at = found + 1;
  }
}

TEST_F(InfoChannel, NothingIsLeftOpenAfterRequestsAndQuit) {
  qelm::test::SetUnawaitedLifeMs(60000);
  camera_->Script(FakeInfoCamera::Answer::Silence);
  Qelm_Quit();  // the counts below are those of a library that was started once
  const std::set<int> threads = kittest::ThreadIds();
  const int fds = kittest::OpenDescriptorCount();
  ASSERT_EQ(Qelm_InitControl(Found), 0);
  StCameraInfo info;
  EXPECT_EQ(Qelm_GetCameraInfo(ip_, &info, 100), 209);
  const uint32_t p[4] = {1, 2, 3, 0};
  EXPECT_EQ(qelm::SendInfoRequest(ip_, qelm::kInfoNetValues, 0, p), 0);  // stays open
  // Its thread starts before the write goes out, so by the time the camera
  // has the write, the thread waits for an answer that never comes.
  EXPECT_TRUE(camera_->WaitFrames(2));
  Qelm_Quit();  // stops the connection that nobody waits for too
  // The fake's side of each connection ends on its own thread.
  EXPECT_TRUE(kittest::OnlyThreadsOf(threads)) << kittest::ThreadCount() << " threads";
  EXPECT_TRUE(kittest::WaitUntil([&] { return kittest::OpenDescriptorCount() == fds; }, 3000));
}

}  // namespace

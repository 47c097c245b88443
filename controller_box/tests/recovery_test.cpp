// A bad frame from a box never blinds its link: a head whose body never
// comes, over TCP and over the serial line, with the library's real frame
// time limit. Recovery times are printed as "recovery <case>: <ms> ms".
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "box_fixture.h"
#include "device.h"
#include "frame.h"

namespace {

using boxtest::Bytes;
using boxtest::FakeSerialBox;
using boxtest::Frame;

// Byte reports (class 4, sub-command 1) that reached their callback.
std::mutex g_m;
std::vector<uint8_t> g_reports;
void PYRN_CALL OnReport(void*, StBoxByteReport* r) {
  std::lock_guard<std::mutex> lk(g_m);
  g_reports.push_back(r->value);
}
std::vector<uint8_t> Reports() {
  std::lock_guard<std::mutex> lk(g_m);
  return g_reports;
}

std::atomic<int> g_status4{0};
void PYRN_CALL OnStatus(void*, StBoxStatus* st) {
  if (st->code == 4) ++g_status4;
}

Bytes ByteReport(uint8_t value) {
  Frame f;
  f.cls = 4;
  f.sub = 1;
  f.payload = {value};
  return boxtest::Encode(f);
}

// The box answers the log count with the sequence of the request, so that a
// reply shows which request it belongs to.
bool AnswerWithSequence(const Frame& req, const boxtest::BoxScript::Send& send) {
  if (req.cls != 7 || req.sub != 0) return false;
  send(boxtest::ReplyTo(req, {static_cast<uint8_t>(req.seq), static_cast<uint8_t>(req.seq >> 8), 0, 0}));
  return true;
}

struct RecoveryCase {
  const char* name;
  bool serial;
  uint32_t baud;   // of the serial line
  uint16_t len;    // that each bad head announces
  int64_t minMs;   // before this the heads must still hold the link's bytes
  int heads;       // nested one inside another, in one send
  size_t flood;    // or this many bytes of them at 1 MB/s
  // The time the length takes on the line.
  int64_t LineMs() const { return serial ? (int64_t{len} * 10 * 1000 + baud - 1) / baud : 0; }
};
void PrintTo(const RecoveryCase& c, std::ostream* os) { *os << c.name; }

class Recovery : public boxtest::BoxFixture, public testing::WithParamInterface<RecoveryCase> {
 protected:
  void SetUp() override {
    BoxFixture::SetUp();
    g_reports.clear();
    g_status4.store(0);
    PyrnBox_Quit();
    ASSERT_EQ(PyrnBox_Init(OnReport, nullptr, OnStatus, nullptr), 0);
  }
  // A request whose reply tells its sequence: 0 when the reply that came is
  // the one to this request.
  int ReadOwnReply(const boxtest::BoxScript& script) {
    uint32_t count = 0;
    const int r = PyrnBox_ReadLogNum(h_, &count);
    if (r != 0) return r;
    Frame last;
    EXPECT_TRUE(script.WaitRequest(&last, 1000));
    EXPECT_EQ(count, last.seq) << "a reply completes only its own request";
    return 0;
  }
  std::unique_ptr<FakeSerialBox> pty_;  // goes after the device is disconnected
};

// Heads within the length bound whose bodies never come (one, a chain of
// them one inside another, or a flood of them), then the box's ordinary
// traffic: a report, and replies to every request. The link answers again
// within 6 s (plus the line time of a head's length) of the last bad byte.
TEST_P(Recovery, BadHeadsWithoutBodyAreDroppedInTimeAndTheLinkAnswersAgain) {
  const RecoveryCase& c = GetParam();
  boxtest::BoxScript* script;
  if (c.serial) {
    pty_ = std::make_unique<FakeSerialBox>();
    ASSERT_TRUE(pty_->Ok());
    ASSERT_EQ(PyrnBox_ConnectDeviceEx("192.168.1.50", &h_, pty_->SlavePath().c_str(), c.baud, 0,
                                      8, 0), 0);
    script = &pty_->script();
  } else {
    ASSERT_NE(Connect(), nullptr);
    script = &box_->script();
  }
  script->SetHandler(AnswerWithSequence);
  std::shared_ptr<CBoxDevice> dev = pyrn::FindDevice(h_);
  ASSERT_EQ(ReadOwnReply(*script), 0);

  auto push = [&](const Bytes& b) { return c.serial ? pty_->Push(b) : box_->Push(b); };
  if (c.flood > 0) {
    const Bytes flood = boxtest::Heads(static_cast<int>(c.flood / 6), c.len);
    ASSERT_GE(kittest::SendPaced(flood, c.flood / 10000, 10, push), 0);
  }
  Bytes bad = boxtest::Heads(c.heads, c.len);
  const Bytes report = ByteReport(0x5A);
  bad.insert(bad.end(), report.begin(), report.end());
  const int64_t t0 = kittest::NowMs();  // the last bad byte goes
  ASSERT_TRUE(push(bad));

  int failed = 0;
  int64_t recovered = -1;
  while (kittest::NowMs() - t0 < 8000 + c.LineMs()) {
    if (ReadOwnReply(*script) == 0) {
      recovered = kittest::NowMs() - t0;
      break;
    }
    ++failed;
  }
  std::cout << "recovery " << c.name << ": " << recovered << " ms (" << failed << " requests failed)\n";
  ASSERT_GE(recovered, 0) << "the link never answered again";
  EXPECT_LT(recovered, 6000 + c.LineMs());
  EXPECT_GE(recovered, c.minMs) << "the heads held the link's bytes until their time was up";
  if (c.minMs > 0) {
    EXPECT_GT(failed, 0);
  }
  // The report among the bytes the head took reached its callback, once.
  EXPECT_TRUE(kittest::WaitUntil([] { return !Reports().empty(); }, 1000));
  EXPECT_EQ(Reports(), std::vector<uint8_t>{0x5A});
  // From here on every request answers at once, on the same link.
  for (int i = 0; i < 5; ++i) {
    const int64_t start = kittest::NowMs();
    EXPECT_EQ(ReadOwnReply(*script), 0);
    EXPECT_LT(kittest::NowMs() - start, 400);
  }
  if (!c.serial) {
    EXPECT_EQ(box_->server().ConnectionCount(), 1u) << "no reconnection";
    EXPECT_EQ(dev->m_nDropCount.load(), 0u);
    EXPECT_EQ(g_status4.load(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    BadHeads, Recovery,
    testing::Values(
        // The longest frame the length field can announce.
        RecoveryCase{"tcp_65535", false, 0, 0xFFFF, pyrn::kFrameLimitMs, 1, 0},
        // Its end falls among the replies, where no tail is: dropped there.
        RecoveryCase{"tcp_64", false, 0, 64, 0, 1, 0},
        // On the line the length's time at the rate comes on top: 164 ms at
        // 4 Mbit/s, 89 ms for 1024 bytes at 115200 bit/s.
        RecoveryCase{"serial_65535_at_4000000", true, 4000000, 0xFFFF, pyrn::kFrameLimitMs + 164, 1, 0},
        RecoveryCase{"serial_1024_at_115200", true, 115200, 1024, pyrn::kFrameLimitMs + 89, 1, 0},
        // Ten heads, each inside the one before: they all go at once, 5 s
        // after they came, not 5 s each.
        RecoveryCase{"tcp_chain_10x65535", false, 0, 0xFFFF, pyrn::kFrameLimitMs, 10, 0},
        RecoveryCase{"serial_chain_10x1024_at_115200", true, 115200, 1024, pyrn::kFrameLimitMs + 89, 10, 0},
        // 1.5 MB of heads at 1 MB/s: the last ones hold the link until 5 s
        // after they came, and no longer.
        RecoveryCase{"tcp_flood_1MBps", false, 0, 0xFFFF, pyrn::kFrameLimitMs - 500, 10, 1500000},
        RecoveryCase{"serial_flood_1MBps_at_4000000", true, 4000000, 0xFFFF, pyrn::kFrameLimitMs - 500, 10,
                     1500000}),
    [](const testing::TestParamInfo<RecoveryCase>& info) { return std::string(info.param.name); });

class RecoveryTcp : public Recovery {};

TEST_F(RecoveryTcp, ABadHeadThenAReconnectionTheNewLinkAnswersAtOnce) {
  pyrn::test::SetHeartbeatTickMs(10);
  pyrn::test::SetReconnectTickMs(10);
  pyrn::test::SetSilenceMs(100);
  PyrnBox_Quit();
  ASSERT_EQ(PyrnBox_Init(OnReport, nullptr, OnStatus, nullptr), 0);
  ASSERT_NE(Connect(), nullptr);
  box_->script().SetHandler(AnswerWithSequence);
  std::shared_ptr<CBoxDevice> dev = pyrn::FindDevice(h_);
  ASSERT_EQ(ReadOwnReply(box_->script()), 0);
  // The head, then silence: the heartbeat drops the link and the library
  // connects again.
  const int64_t t0 = kittest::NowMs();
  ASSERT_TRUE(box_->Push({0xAA, 0x55, 0xFF, 0x00, 0xFF, 0xFF}));
  ASSERT_TRUE(kittest::WaitUntil([] { return g_status4.load() >= 1; }, 4000));
  const int64_t relinked = kittest::NowMs() - t0;
  box_->script().AnswerHeartbeats(Bytes(36, 0x11));  // the link stays now
  ASSERT_EQ(ReadOwnReply(box_->script()), 0)
      << "the new link's replies are not taken as the old head's body";
  const int64_t answered = kittest::NowMs() - t0;
  std::cout << "recovery reconnect: " << answered << " ms (link remade after " << relinked << " ms)\n";
  EXPECT_LT(answered, pyrn::kFrameLimitMs) << "before the old head's time could run out";
  EXPECT_EQ(box_->server().ConnectionCount(), 2u);
  EXPECT_EQ(dev->m_nDropCount.load(), 1u);
  box_->Push(ByteReport(7));
  EXPECT_TRUE(kittest::WaitUntil([] { return Reports() == std::vector<uint8_t>{7}; }, 1000));
}

// Replies that a bad head held are parsed again 5 s later; one whose bytes
// came before a request went out is no reply to it, whatever its sequence.
TEST_F(RecoveryTcp, RepliesHeldByABadHeadAnswerNoRequestSentAfterThem) {
  ASSERT_NE(Connect(), nullptr);
  box_->script().SetHandler(AnswerWithSequence);
  std::shared_ptr<CBoxDevice> dev = pyrn::FindDevice(h_);
  ASSERT_EQ(ReadOwnReply(box_->script()), 0);
  // Replies for the sequences of the next 40 requests, each telling that it
  // came early, held by a head.
  Bytes bad = boxtest::Head(0xFFFF);
  const uint16_t s0 = dev->m_wSeq.load();
  for (uint16_t k = 1; k <= 40; ++k) {
    Frame early;
    early.cls = 7;
    early.seq = static_cast<uint16_t>(s0 + k);
    const Bytes r = boxtest::ReplyTo(early, {static_cast<uint8_t>(early.seq), static_cast<uint8_t>(early.seq >> 8), 1, 0});
    bad.insert(bad.end(), r.begin(), r.end());
  }
  const int64_t t0 = kittest::NowMs();
  ASSERT_TRUE(box_->Push(bad));
  int answered = 0;
  int64_t first = -1;
  while (kittest::NowMs() - t0 < 7000) {
    uint32_t count = 0;
    if (PyrnBox_ReadLogNum(h_, &count) != 0) continue;
    Frame last;
    ASSERT_TRUE(box_->script().WaitRequest(&last, 1000));
    EXPECT_EQ(count, last.seq) << "an early reply answered a request sent after it";
    if (first < 0) first = kittest::NowMs() - t0;
    ++answered;
  }
  std::cout << "recovery early_replies: " << first << " ms\n";
  EXPECT_GE(first, pyrn::kFrameLimitMs - 100);
  EXPECT_GT(answered, 3);
}

TEST_F(RecoveryTcp, AFrameThatTricklesInWithinItsTimeIsTakenWhole) {
  ASSERT_EQ(PyrnBox_RegSerialPortCallback(boxtest::SerialData::Collect), 0);
  ASSERT_NE(Connect(), nullptr);
  Frame f;
  f.cls = 3;
  f.sub = 2;
  f.payload.resize(60000);
  for (size_t i = 0; i < f.payload.size(); ++i) f.payload[i] = static_cast<uint8_t>(i * 31 + 7);
  const Bytes big = boxtest::Encode(f);
  // 60 pieces, 34 ms apart: about 2 s from head to tail.
  const int64_t sent = kittest::SendPaced(big, 60, 34, [&](const Bytes& b) { return box_->Push(b); });
  ASSERT_GE(sent, 0);
  ASSERT_TRUE(kittest::WaitUntil([] { return !boxtest::SerialData::Got().empty(); }, 2000));
  std::cout << "slow frame: " << big.size() << " bytes over " << sent << " ms\n";
  EXPECT_GE(sent, 1800);
  EXPECT_EQ(boxtest::SerialData::Got(), std::vector<Bytes>{f.payload});
}

}  // namespace

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
  uint16_t len;    // that the bad head announces
  int64_t minMs;   // before this the head must still hold the link's bytes
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

// A head within the length bound whose body never comes, then the box's
// ordinary traffic: a report, and replies to every request.
TEST_P(Recovery, ABadHeadWithoutBodyIsDroppedInTimeAndTheLinkAnswersAgain) {
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

  const Bytes head = {0xAA, 0x55, 0xFF, 0x00, static_cast<uint8_t>(c.len), static_cast<uint8_t>(c.len >> 8)};
  Bytes bad = head;
  const Bytes report = ByteReport(0x5A);
  bad.insert(bad.end(), report.begin(), report.end());
  const int64_t t0 = kittest::NowMs();
  ASSERT_TRUE(c.serial ? pty_->Push(bad) : box_->Push(bad));

  int failed = 0;
  int64_t recovered = -1;
  while (kittest::NowMs() - t0 < 7000) {
    if (ReadOwnReply(*script) == 0) {
      recovered = kittest::NowMs() - t0;
      break;
    }
    ++failed;
  }
  std::cout << "recovery " << c.name << ": " << recovered << " ms (" << failed << " requests failed)\n";
  ASSERT_GE(recovered, 0) << "the link never answered again";
  EXPECT_LT(recovered, 6000);
  EXPECT_GE(recovered, c.minMs) << "the head held the link's bytes until its time was up";
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
        RecoveryCase{"tcp_65535", false, 0, 0xFFFF, pyrn::kFrameLimitMs},
        // Its end falls among the replies, where no tail is: dropped there.
        RecoveryCase{"tcp_64", false, 0, 64, 0},
        // On the line the length's time at the rate comes on top: 164 ms at
        // 4 Mbit/s, 89 ms for 1024 bytes at 115200 bit/s.
        RecoveryCase{"serial_65535_at_4000000", true, 4000000, 0xFFFF, pyrn::kFrameLimitMs + 164},
        RecoveryCase{"serial_1024_at_115200", true, 115200, 1024, pyrn::kFrameLimitMs + 89}),
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

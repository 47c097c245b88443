// A reply completes only the request that waits for it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <thread>

#include "box_fixture.h"
#include "device.h"
#include "netns.h"
#include "platform/system.h"

namespace {

using boxtest::BoxFixture;
using boxtest::Bytes;
using boxtest::Frame;

class Matching : public BoxFixture {
 protected:
  void SetUp() override {
    BoxFixture::SetUp();
    h_ = Connect();
    ASSERT_NE(h_, nullptr);
  }
  // The time a call took, in ms.
  template <class F>
  int64_t Took(F f) {
    const int64_t t0 = kittest::NowMs();
    f();
    return kittest::NowMs() - t0;
  }
};

TEST_F(Matching, SilenceIsATimeOutAndNeverSuccess) {
  box_->script().Silent(1, 1);
  int r = -1;
  const int64_t took = Took([&] { r = PyrnBox_ControlRoadgate(h_, 1); });
  EXPECT_EQ(r, 209);
  EXPECT_GE(took, 450);
  EXPECT_LT(took, 1500);
}

TEST_F(Matching, CheckConnectionTellsTheLinksTimeOut) {
  std::shared_ptr<CBoxDevice> d;
  int timeout = 0;
  pyrn::test::SetReplyTimeoutsMs(800, 5000, 4000);
  EXPECT_EQ(pyrn::CheckConnection(h_, &d, &timeout), 0);
  EXPECT_EQ(timeout, 800);
  EXPECT_EQ(d.get(), h_);
  timeout = 0;
  EXPECT_EQ(pyrn::CheckConnection(reinterpret_cast<CBoxDevice*>(&timeout), &d, &timeout), 7);
  EXPECT_EQ(timeout, 0) << "nothing written for an unknown handle";
  // Found but not connected: 14, with the time-out written all the same.
  d->m_bConnected.store(0);
  std::shared_ptr<CBoxDevice> none;
  EXPECT_EQ(pyrn::CheckConnection(h_, &none, &timeout), 14);
  EXPECT_EQ(timeout, 800);
  EXPECT_EQ(PyrnBox_ControlRoadgate(h_, 1), 14);
  d->m_bConnected.store(1);

  boxtest::FakeSerialBox serial;
  ASSERT_TRUE(serial.Ok());
  CBoxDevice* s = nullptr;
  ASSERT_EQ(PyrnBox_ConnectDeviceEx("127.0.0.5", &s, serial.SlavePath().c_str(), 9600, 0, 8, 0), 0);
  timeout = 0;
  EXPECT_EQ(pyrn::CheckConnection(s, &none, &timeout), 0);
  EXPECT_EQ(timeout, 5000);
  EXPECT_EQ(PyrnBox_DisconnectDevice(s), 0);
}

TEST_F(Matching, RepliesThatDoNotMatchTheRequest) {
  KIT_REQUIRE_PRIVATE_NETWORK();  // the network settings look at this PC's addresses
  struct Case {
    const char* name;
    bool otherCls, otherSub;
    int status;
    int seqDelta;
    int expected;
  } cases[] = {
      {"as requested", false, false, 0x8000, 0, 0},
      {"another class", true, false, 0x8000, 0, 24},
      {"another sub-command", false, true, 0x8000, 0, 24},
      {"failure status", false, false, 0x0000, 0, 24},
      {"status 0x8001", false, false, 0x8001, 0, 24},
      {"another sequence", false, false, 0x8000, 1, 209},
  };
  // A command, and the network settings sent over the link: one check for
  // both. The other class or sub-command of each is one whose frames reach
  // the waiting request.
  const StNetParams net{kittest::Addr("192.168.1.10"), kittest::Addr("255.255.255.0"),
                        kittest::Addr("192.168.1.1"), 0};
  const struct {
    const char* name;
    std::function<int()> call;
    uint8_t otherCls, otherSub;
  } requests[] = {
      {"gate", [&] { return PyrnBox_ControlRoadgate(h_, 1); }, 2, 0},
      {"network settings", [&] { return PyrnBox_SetNetParams(h_, 0, &net, 0); }, 3, 15},
  };
  for (const auto& rq : requests) {
    for (const auto& c : cases) {
      const uint8_t cls = rq.otherCls, sub = rq.otherSub;
      // Handlers run on the fake's threads: they hold copies, never the test's stack.
      box_->script().SetHandler([c, cls, sub](const Frame& req, const boxtest::BoxScript::Send& send) {
        if (req.seq == 0) return false;
        Frame r = req;
        if (c.otherCls) r.cls = cls;
        if (c.otherSub) r.sub = sub;
        r.status = static_cast<uint16_t>(c.status);
        r.seq = static_cast<uint16_t>(req.seq + c.seqDelta);
        r.payload = {};
        send(boxtest::Encode(r));
        return true;
      });
      EXPECT_EQ(rq.call(), c.expected) << rq.name << ": " << c.name;
    }
  }
}

TEST_F(Matching, AReplyOfTheWrongLengthIs23) {
  box_->script().Answer(0, 15, Bytes(5, 0xAB));
  uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(PyrnBox_ControlMAC(h_, mac, 0), 23);
  EXPECT_EQ(mac[0], 1) << "nothing written on a failed read";
}

TEST_F(Matching, ADuplicateReplyDoesNotCompleteTheNextRequest) {
  // The box answers the first request twice, then nothing more.
  auto n = std::make_shared<std::atomic<int>>(0);
  box_->script().SetHandler([n](const Frame& req, const boxtest::BoxScript::Send& send) {
    if (req.seq == 0) return false;
    if ((*n)++ == 0) {
      send(boxtest::ReplyTo(req, {1}));
      send(boxtest::ReplyTo(req, {2}));
    }
    return true;
  });
  uint8_t status = 0;
  EXPECT_EQ(PyrnBox_ReadRamStatus(h_, &status), 0);
  EXPECT_EQ(status, 1) << "the first reply counts";
  int r = -1;
  const int64_t took = Took([&] { r = PyrnBox_ControlRoadgate(h_, 1); });
  EXPECT_EQ(r, 209);
  EXPECT_GE(took, 450) << "the duplicate left nothing behind";
  std::lock_guard<std::recursive_mutex> lk(pyrn::FindDevice(h_)->m_csDevice);
  EXPECT_EQ(pyrn::FindDevice(h_)->WaitingCount(), 0u);
}

TEST_F(Matching, ALateReplyNeverCompletesALaterRequest) {
  // Each reply is held back and sent just before the reply of the next
  // request, with the payload telling which request it answers.
  struct Held {
    std::mutex m;
    Bytes reply;
  };
  auto held = std::make_shared<Held>();
  box_->script().SetHandler([held](const Frame& req, const boxtest::BoxScript::Send& send) {
    if (req.seq == 0) return false;
    std::lock_guard<std::mutex> lk(held->m);
    if (!held->reply.empty()) send(held->reply);
    held->reply = boxtest::ReplyTo(req, {static_cast<uint8_t>(req.seq), 0, 0, 0});
    return true;
  });
  uint32_t count = 0;
  EXPECT_EQ(PyrnBox_ReadLogNum(h_, &count), 209);
  EXPECT_EQ(PyrnBox_ReadLogNum(h_, &count), 209) << "the late reply of request 1 is not request 2's";
  box_->script().SetHandler([held](const Frame& req, const boxtest::BoxScript::Send& send) {
    if (req.seq == 0) return false;
    std::lock_guard<std::mutex> lk(held->m);
    send(held->reply);
    send(boxtest::ReplyTo(req, {static_cast<uint8_t>(req.seq), 0, 0, 0}));
    return true;
  });
  EXPECT_EQ(PyrnBox_ReadLogNum(h_, &count), 0);
  EXPECT_EQ(count, 3u);
}

TEST_F(Matching, TheSequenceSkipsZeroWhenItWraps) {
  std::shared_ptr<CBoxDevice> d = pyrn::FindDevice(h_);
  d->m_wSeq.store(65534);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(PyrnBox_ControlRoadgate(h_, i), 0);
  const auto gate = box_->script().Frames(1, 1);
  ASSERT_EQ(gate.size(), 3u);
  EXPECT_EQ(gate[0].seq, 65535);
  EXPECT_EQ(gate[1].seq, 1);
  EXPECT_EQ(gate[2].seq, 2);
}

// Three at once, answered in reverse order, with the reply hand-over spinning
// as usual and with it sleeping at once.
TEST_F(Matching, ConcurrentRequestsOnOneDeviceEachGetTheirOwnReply) {
  struct Waiting {
    std::mutex m;
    std::vector<Frame> frames;
  };
  auto waiting = std::make_shared<Waiting>();
  box_->script().SetHandler([waiting](const Frame& req, const boxtest::BoxScript::Send& send) {
    if (req.seq == 0) return false;
    std::lock_guard<std::mutex> lk(waiting->m);
    waiting->frames.push_back(req);
    if (waiting->frames.size() == 3) {
      for (auto it = waiting->frames.rbegin(); it != waiting->frames.rend(); ++it)
        send(boxtest::ReplyTo(*it, {it->sub, 0, 0, 0}));
      waiting->frames.clear();
    }
    return true;
  });
  const int saved = pf::test::ReplySpinUs();
  for (const int spinUs : {saved, 0}) {
    SCOPED_TRACE("spin " + std::to_string(spinUs) + " us");
    pf::test::SetReplySpinUs(spinUs);
    uint32_t count = 1;
    uint8_t ram = 0;
    int params[4] = {};
    int r1 = -1, r2 = -1, r3 = -1;
    std::thread a([&] { r1 = PyrnBox_ReadLogNum(h_, &count); });
    std::thread b([&] { r2 = PyrnBox_ReadRamStatus(h_, &ram); });
    std::thread c([&] { r3 = PyrnBox_ControlSerialPortParams(h_, 0, params, 1); });
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(r1, 0);
    EXPECT_EQ(r2, 0);
    EXPECT_EQ(r3, 0);
    EXPECT_EQ(count, 0u);      // class 7 sub-command 0
    EXPECT_EQ(ram, 33);        // class 0 sub-command 33
    EXPECT_EQ(params[0], 12);  // class 3 sub-command 12 (port 1)
    EXPECT_EQ(pyrn::FindDevice(h_)->WaitingCount(), 0u);
  }
  pf::test::SetReplySpinUs(saved);
}

TEST_F(Matching, APushedReportWhileARequestWaitsDoesNotCompleteIt) {
  box_->script().SetHandler([](const Frame& req, const boxtest::BoxScript::Send& send) {
    if (req.seq == 0) return false;
    Frame report;
    report.cls = 4;
    report.sub = 1;
    report.seq = req.seq;
    report.status = 0x8000;
    report.payload = {1};
    send(boxtest::Encode(report));
    return true;
  });
  EXPECT_EQ(PyrnBox_ControlRoadgate(h_, 1), 209);
}

TEST_F(Matching, RequestsOnAClosedLinkFailToSend) {
  std::shared_ptr<CBoxDevice> d = pyrn::FindDevice(h_);
  {
    // As if the link had just been dropped while the flag still says connected.
    pf::Lock lk(d->m_csSocket);
    pf::ShutdownSocket(d->m_hSocket.load());
  }
  EXPECT_TRUE(kittest::WaitUntil([&] { return PyrnBox_ControlRoadgate(h_, 1) == 17; }, 2000));
  std::lock_guard<std::recursive_mutex> lk(d->m_csDevice);
  EXPECT_EQ(d->WaitingCount(), 0u);
}

// Bytes that a bad head held come out when the head turns out bad. A reply
// among them whose bytes came before its request went out answers nothing,
// even where they came in the very millisecond of the send.
TEST(Arrival, AReplyTakenBeforeItsRequestWentNeverAnswersIt) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  auto d = std::make_shared<CBoxDevice>();
  d->m_hSocket.store(sv[0]);  // the request goes out here
  d->m_bConnected.store(1);
  // Bytes handed over as the receive thread hands them.
  auto receive = [&](const Bytes& b) { d->ReceiveBytes(b.data(), b.size()); };
  Frame req;
  req.cls = 7;
  req.seq = static_cast<uint16_t>(d->m_wSeq.load() + 1);  // the next request's
  Bytes held = boxtest::Head(64);
  const Bytes early = boxtest::ReplyTo(req, {0xEE, 0, 0, 0});
  held.insert(held.end(), early.begin(), early.end());
  // Just past a millisecond's start, so that the bytes and the send share
  // one as a rule.
  for (const int64_t ms = pf::MonotonicMs(); pf::MonotonicMs() == ms;) {
  }
  receive(held);
  int r = -1;
  std::vector<uint8_t> reply;
  std::thread call([&] {
    const pyrn::BoxRequest rq{1, 7, 0, nullptr, 0};
    r = pyrn::Exchange(*d, rq, 3000, &reply);
  });
  pollfd p{sv[1], POLLIN, 0};
  const bool out = poll(&p, 1, 3000) == 1;
  if (!out) call.join();  // a thread left joinable would end the whole run
  ASSERT_TRUE(out) << "the request went out";
  uint8_t sent[64];
  EXPECT_GT(read(sv[1], sent, sizeof sent), 0);
  receive(Bytes(64 - held.size(), 0));  // the head is whole, and bad: the early reply is parsed again
  receive(boxtest::ReplyTo(req, {0x11, 0, 0, 0}));
  call.join();
  EXPECT_EQ(r, 0);
  ASSERT_EQ(reply.size(), 20u);
  EXPECT_EQ(reply[13], 0x11) << "the reply that came after the request";
  d->m_hSocket.store(pf::INVALID_SOCKET);
  close(sv[0]);
  close(sv[1]);
}

}  // namespace

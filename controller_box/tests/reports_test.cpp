// Frames the box sends of its own accord reach the registered callbacks,
// with their records as the frames give them, on the receive thread.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "box_fixture.h"
#include "device.h"
#include "frame.h"
#include "reports.h"

namespace {

using boxtest::BoxFixture;
using boxtest::Bytes;
using boxtest::Frame;

struct Call {
  std::string kind;
  Bytes record;  // the record's bytes after the handle, or the data
  CBoxDevice* handle = nullptr;
  uint32_t extra = 0;
  std::string ip;
  void* user = nullptr;
  std::thread::id thread;
};

std::mutex g_m;
std::vector<Call> g_calls;

template <class Rec>
void Record(const char* kind, void* user, const Rec* r, CBoxDevice* handle, uint32_t extra = 0,
            const char* ip = "") {
  Call c;
  c.kind = kind;
  const uint8_t* b = reinterpret_cast<const uint8_t*>(r);
  c.record.assign(b, b + sizeof *r);
  c.handle = handle;
  c.extra = extra;
  c.ip = ip;
  c.user = user;
  c.thread = std::this_thread::get_id();
  std::lock_guard<std::mutex> lk(g_m);
  g_calls.push_back(std::move(c));
}

void PYRN_CALL OnReport1(void* u, StBoxByteReport* r) { Record("report1", u, &r->value, r->handle); }
void PYRN_CALL OnReport0(void* u, StBoxValueReport* r) { Record("report0", u, &r->value, r->handle); }
void PYRN_CALL OnDoor(void* u, StBoxValueReport* r) { Record("door", u, &r->value, r->handle); }
void PYRN_CALL OnBarrier(void* u, StBoxValueReport* r) { Record("barrier", u, &r->value, r->handle); }
void PYRN_CALL OnHeart(void* u, StHeartStatus* st, CBoxDevice* h, const char* ip) {
  Record("heart", u, st, h, 0, ip);
}
void PYRN_CALL OnSerial(void* u, StBoxSerialData* d) {
  Call c;
  c.kind = "serial";
  c.record.assign(d->data, d->data + d->length);
  c.handle = d->handle;
  c.thread = std::this_thread::get_id();
  std::lock_guard<std::mutex> lk(g_m);
  g_calls.push_back(std::move(c));
}
void PYRN_CALL OnSerialEx(void* u, StBoxSerialData* d, uint32_t port) {
  Call c;
  c.kind = "serialex";
  c.record.assign(d->data, d->data + d->length);
  c.handle = d->handle;
  c.extra = port;
  std::lock_guard<std::mutex> lk(g_m);
  g_calls.push_back(std::move(c));
}
void PYRN_CALL OnLog(void* u, StBoxLogInfo* l) {
  Call c;
  c.kind = "log";
  c.record.assign(l->data, l->data + l->length);
  c.handle = l->handle;
  c.extra = l->length;
  std::lock_guard<std::mutex> lk(g_m);
  g_calls.push_back(std::move(c));
}
// Data reports keep their whole record, read back as its type.
template <class Rec>
void Whole(const char* kind, void* u, Rec* r) {
  Call c;
  c.kind = kind;
  const uint8_t* b = reinterpret_cast<const uint8_t*>(r);
  c.record.assign(b, b + sizeof *r);
  c.handle = r->handle;
  c.user = u;
  std::lock_guard<std::mutex> lk(g_m);
  g_calls.push_back(std::move(c));
}
template <class Rec>
Rec As(const Call& c) {
  Rec r;
  EXPECT_EQ(c.record.size(), sizeof r) << c.kind;
  memcpy(&r, c.record.data(), sizeof r);
  return r;
}
void PYRN_CALL OnData1(void* u, StDataReport1* r) { Whole("data1", u, r); }
void PYRN_CALL OnData2(void* u, StDataReport2* r) { Whole("data2", u, r); }
void PYRN_CALL OnData3(void* u, StDataReport3* r) { Whole("data3", u, r); }
void PYRN_CALL OnData4(void* u, StReportRecord* r) { Whole("data4", u, r); }

int g_user = 0;

class Reports : public BoxFixture {
 protected:
  void SetUp() override {
    dir_ = kittest::MakeTempFolder("reports");
    pyrn::test::SetModulePath(dir_);
    pyrn::test::SetReplyTimeoutsMs(500, 500, 500);
    ASSERT_EQ(PyrnBox_Init(OnReport1, OnReport0, nullptr, &g_user), 0);
    ASSERT_EQ(PyrnBox_RegHeartStatusCallback(OnHeart), 0);
    ASSERT_EQ(PyrnBox_RegSerialPortCallback(OnSerial), 0);
    ASSERT_EQ(PyrnBox_RegSerialPortDataExCallback(OnSerialEx), 0);
    ASSERT_EQ(PyrnBox_RegDoorAndBarrierStatusCallback(OnDoor, OnBarrier), 0);
    ASSERT_EQ(PyrnBox_RegLogInfoCallback(OnLog), 0);
    ASSERT_EQ(PyrnBox_RegDataReportCallback(OnData1, OnData2, OnData3, OnData4), 0);
    h_ = Connect();
    ASSERT_NE(h_, nullptr);
  }
  // Pushes frames, then a marker report, and returns the calls before the
  // marker (frames are handled in order).
  std::vector<Call> Push(const std::vector<Frame>& frames) {
    {
      std::lock_guard<std::mutex> lk(g_m);
      g_calls.clear();
    }
    Bytes all;
    for (const auto& f : frames) {
      const Bytes b = boxtest::Encode(f);
      all.insert(all.end(), b.begin(), b.end());
    }
    Frame marker;
    marker.cls = 4;
    marker.sub = 1;
    marker.payload = {0xEE};
    const Bytes m = boxtest::Encode(marker);
    all.insert(all.end(), m.begin(), m.end());
    box_->Push(all);
    std::vector<Call> out;
    EXPECT_TRUE(kittest::WaitUntil([&] {
      std::lock_guard<std::mutex> lk(g_m);
      for (size_t i = 0; i < g_calls.size(); ++i) {
        if (g_calls[i].kind == "report1" && g_calls[i].record == Bytes{0xEE}) {
          out.assign(g_calls.begin(), g_calls.begin() + static_cast<long>(i));
          return true;
        }
      }
      return false;
    }, 3000));
    return out;
  }
  static Frame F(uint8_t cls, uint8_t sub, Bytes payload, uint8_t dir = 0) {
    Frame f;
    f.cls = cls;
    f.sub = sub;
    f.dir = dir;
    f.payload = std::move(payload);
    return f;
  }
  static Bytes Seq(size_t n, uint8_t from = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
    return b;
  }
};

TEST_F(Reports, HeartbeatRepliesByPayloadLength) {
  auto calls = Push({F(0, 0, Seq(36)), F(0, 0, Seq(35)), F(0, 0, Seq(145)), F(0, 0, {})});
  ASSERT_EQ(calls.size(), 1u);
  Bytes want(144, 0);
  for (int i = 0; i < 27; ++i) want[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(calls[0].record, want) << "the first 27 bytes of a 36-byte payload";
  EXPECT_EQ(calls[0].handle, h_);
  EXPECT_EQ(calls[0].ip, "127.0.0.2");
  EXPECT_EQ(calls[0].user, &g_user);
  EXPECT_EQ(calls[0].thread, pyrn::FindDevice(h_)->m_recvThreadId.load());
  EXPECT_NE(calls[0].thread, std::this_thread::get_id());

  Bytes full = Seq(144);
  full[14] = 2;
  calls = Push({F(0, 0, full)});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].record, full);
  EXPECT_EQ(pyrn::FindDevice(h_)->m_nBoxKind.load(), 2u);
}

TEST_F(Reports, ValueReports) {
  const auto calls = Push({F(4, 0, {0x81, 9}), F(4, 1, {0x7F}), F(4, 2, {3}), F(4, 3, {4}),
                           F(4, 0, {}), F(4, 8, {1}), F(8, 0, {1}), F(0xFF, 1, {1})});
  ASSERT_EQ(calls.size(), 5u);
  const struct {
    const char* kind;
    Bytes value;
  } want[] = {{"report0", {0x81, 0, 0, 0}}, {"report1", {0x7F}}, {"barrier", {3, 0, 0, 0}},
              {"door", {4, 0, 0, 0}}, {"report0", {0, 0, 0, 0}}};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(calls[i].kind, want[i].kind) << i;
    EXPECT_EQ(calls[i].record, want[i].value) << i;
    EXPECT_EQ(calls[i].handle, h_);
  }
}

TEST_F(Reports, SerialDataIsReportedOnlyFromTheBoxAndStillOfferedAsAReply) {
  const auto calls = Push({F(3, 2, {1, 2, 3}, 0), F(3, 2, {4}, 1), F(3, 9, {5, 6}, 0),
                           F(3, 10, {7}, 0), F(3, 10, {8}, 1), F(3, 18, {9}, 0)});
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].kind, "serial");
  EXPECT_EQ(calls[0].record, (Bytes{1, 2, 3}));
  EXPECT_EQ(calls[1].kind, "serialex");
  EXPECT_EQ(calls[1].record, (Bytes{5, 6}));
  EXPECT_EQ(calls[1].extra, 0u);
  EXPECT_EQ(calls[2].kind, "serialex");
  EXPECT_EQ(calls[2].extra, 1u);

  // A reply to a pass-through is reported when it comes with direction 0.
  box_->script().SetHandler([](const Frame& req, const boxtest::BoxScript::Send& send) {
    if (req.seq == 0) return false;
    Frame r = req;
    r.dir = 0;
    r.status = 0x8000;
    r.payload = {0x42};
    send(boxtest::Encode(r));
    return true;
  });
  {
    std::lock_guard<std::mutex> lk(g_m);
    g_calls.clear();
  }
  const uint8_t data[2] = {1, 2};
  EXPECT_EQ(PyrnBox_ControlSerialPort(h_, data, 2), 0);
  std::lock_guard<std::mutex> lk(g_m);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].record, Bytes{0x42});
}

TEST_F(Reports, DataReport1CopiesAtMost32Bytes) {
  const auto calls = Push({F(4, 4, Seq(32)), F(4, 4, Seq(33)), F(4, 4, {})});
  ASSERT_EQ(calls.size(), 3u);
  const struct {
    uint32_t length;
    Bytes data;
  } want[] = {{32, Seq(32)}, {33, Bytes(32, 0)}, {0, Bytes(32, 0)}};
  for (size_t i = 0; i < 3; ++i) {
    const auto r = As<StDataReport1>(calls[i]);
    EXPECT_EQ(r.handle, h_);
    EXPECT_EQ(r.length, want[i].length);
    EXPECT_EQ(Bytes(r.data, r.data + 32), want[i].data) << i;
  }
}

std::string Items(const StDataReport3& r) {
  std::string s;
  for (const auto& it : r.items)
    s += std::to_string(it.bit0) + std::to_string(it.bits1to2) + std::to_string(it.bit3) +
         std::to_string(it.bit4) + std::to_string(it.bits5to7) + " ";
  return s;
}

std::string Items(const StReportRecord& r) {
  std::string s;
  for (const auto& it : r.items) {
    s += std::to_string(it.bits0to1) + "," + std::to_string(it.bits2to4) + "," +
         std::to_string(it.bit5) + "," + std::to_string(it.byte1) + "," +
         std::to_string(it.bit6) + "," + std::to_string(it.value) + "," +
         std::to_string(it.bit7) + " ";
    for (uint8_t z : it.reserved0) s += z ? "!" : "";
    for (uint8_t z : it.reserved1) s += z ? "!" : "";
  }
  return s;
}

TEST_F(Reports, DataReports2To4AreTakenApartOrZeroButForTheHandle) {
  const auto calls = Push({
      F(4, 5, {1, 2, 0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A, 0x01, 0x02, 0x03, 0x04}),
      F(4, 5, Seq(11)),
      F(4, 6, {0xAB, 3, 0xFF, 0x00, 0x2D, 9, 9, 9, 9, 9}),
      F(4, 6, {0xAB, 200, 1, 2, 3, 4, 5, 6, 7, 8}),
      F(4, 6, Seq(9)),
      F(4, 7, {0x11, 2, 0x22, 0x33, 0xFF, 0x44, 0x34, 0x12, 0x25, 0x55, 0x00, 0x01,
               9, 9, 9, 9, 9, 9, 9, 9}),
      F(4, 7, {0x11, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0}),
      F(4, 7, Seq(21)),
  });
  ASSERT_EQ(calls.size(), 8u);
  for (const auto& c : calls) EXPECT_EQ(c.handle, h_) << c.kind;

  auto two = As<StDataReport2>(calls[0]);
  EXPECT_EQ(two.byte0, 1);
  EXPECT_EQ(two.byte1, 2);
  EXPECT_EQ(two.value2, 0x1234);
  EXPECT_EQ(two.value4, 0x5678);
  EXPECT_EQ(two.value6, 0x9ABC);
  EXPECT_EQ(two.value8, 0x04030201u);
  two = As<StDataReport2>(calls[1]);
  EXPECT_EQ(two.byte0 | two.byte1 | two.value2 | two.value4 | two.value6 | two.value8, 0u);

  auto three = As<StDataReport3>(calls[2]);
  EXPECT_EQ(three.byte0, 0xAB);
  EXPECT_EQ(three.count, 3);
  // 0xFF: 1 3 1 1 7; 0x00: all 0; 0x2D = 001 0 1 10 1: 1 2 1 0 1
  EXPECT_EQ(Items(three), "13117 00000 12101 00000 00000 00000 00000 00000 ");
  three = As<StDataReport3>(calls[3]);
  EXPECT_EQ(three.count, 8) << "a count above 8 is cut to the record";
  EXPECT_EQ(Items(three), "10000 01000 11000 02000 12000 03000 13000 00100 ");
  three = As<StDataReport3>(calls[4]);
  EXPECT_EQ(three.byte0 + three.count, 0);
  EXPECT_EQ(Items(three), "00000 00000 00000 00000 00000 00000 00000 00000 ");

  auto four = As<StReportRecord>(calls[5]);
  EXPECT_EQ(four.byte0, 0x11);
  EXPECT_EQ(four.count, 2);
  EXPECT_EQ(four.value2, 0x3322);
  // 0xFF 0x44 0x1234: 3,7,1,0x44,1,0x1234,1; 0x25 0x55 0x0100: 1,1,1,0x55,0,256,0
  EXPECT_EQ(Items(four), "3,7,1,68,1,4660,1 1,1,1,85,0,256,0 0,0,0,0,0,0,0 0,0,0,0,0,0,0 ");
  four = As<StReportRecord>(calls[6]);
  EXPECT_EQ(four.count, 4) << "a count above 4 is cut to the record";
  EXPECT_EQ(four.items[3].bit7, 1) << "item 3 from payload bytes 16-19";
  four = As<StReportRecord>(calls[7]);
  EXPECT_EQ(four.byte0 + four.count + four.value2, 0);
  EXPECT_EQ(Items(four), "0,0,0,0,0,0,0 0,0,0,0,0,0,0 0,0,0,0,0,0,0 0,0,0,0,0,0,0 ");
}

TEST_F(Reports, LogRecordsAreHandedAsACopyAndTheCountReplyGoesToItsRequest) {
  auto calls = Push({F(7, 1, Seq(300)), F(7, 1, {}), F(7, 2, {1})});
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].record, Seq(300));
  EXPECT_EQ(calls[0].extra, 300u);
  EXPECT_EQ(calls[1].extra, 0u);

  box_->script().Answer(7, 0, {0x10, 0x27, 0, 0});
  uint32_t count = 7;
  EXPECT_EQ(PyrnBox_ReadLogNum(h_, &count), 0);
  EXPECT_EQ(count, 10000u);
}

// Which frames may answer a waiting request: every class and sub-command
// (but the firmware update's) offered to a request waiting under the frame's
// sequence.
TEST(Dispatch, OnlyTheReplyClassesAndSubCommandsReachAWaitingRequest) {
  auto expected = [](int cls, int sub) {
    switch (cls) {
      case 0:
        for (int s : {1, 2, 14, 15, 16, 19, 20, 33, 34, 36, 37, 38, 39})
          if (sub == s) return true;
        return false;
      case 1: return sub <= 1;
      case 2: return sub == 1;
      case 3: return sub <= 17;
      case 7: return sub == 0;
      default: return false;  // 4: reports only; above 7: dropped
    }
  };
  auto d = std::make_shared<CBoxDevice>();
  for (int cls = 0; cls < 256; ++cls) {
    if (cls == 5 || cls == 6) continue;
    for (int sub = 0; sub < 256; ++sub) {
      for (uint8_t dir : {0, 1}) {
        pyrn::ReplySlot slot;
        slot.seq = 0x1234;
        d->AddSlot(&slot);
        const auto f = pyrn::MakeFrame(dir, 0x1234, static_cast<uint8_t>(cls),
                                       static_cast<uint8_t>(sub), nullptr, 0);
        pyrn::DispatchFrame(*d, pyrn::FrameView{f.data(), f.size()});
        d->RemoveSlot(&slot);
        ASSERT_EQ(slot.filled, expected(cls, sub)) << "class " << cls << ", sub-command " << sub;
        if (slot.filled) {
          EXPECT_EQ(slot.frame, f);
        }
      }
    }
  }
}

TEST_F(Reports, ACallbackRegisteredLaterTakesOverForTheNextFrame) {
  ASSERT_EQ(PyrnBox_RegDoorAndBarrierStatusCallback(nullptr, OnBarrier), 0);
  auto calls = Push({F(4, 3, {1}), F(4, 2, {2})});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].kind, "barrier");
}

}  // namespace

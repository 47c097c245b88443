// Every device command: the request frame it sends, byte for byte, and what
// it makes of the reply.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "box_fixture.h"
#include "device.h"

namespace {

using boxtest::BoxFixture;
using boxtest::Bytes;
using boxtest::Frame;
using boxtest::Hex;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Filled(size_t n, uint8_t from = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
  return b;
}

class Commands : public BoxFixture {
 protected:
  void SetUp() override {
    BoxFixture::SetUp();
    h_ = Connect();
    ASSERT_NE(h_, nullptr);
  }
  // The frames the box got since the last call, time frames aside.
  std::vector<Bytes> Sent() {
    std::vector<Bytes> out;
    for (const auto& raw : box_->script().RawFrames()) {
      const bool timeFrame = raw[11] == 0 && raw[12] == 0 && raw[6] == 0 && raw[7] == 0;
      if (!timeFrame) out.push_back(raw);
    }
    box_->script().Clear();
    return out;
  }
  // The request the test expects: its own encoding of the given fields.
  Bytes Expected(uint8_t dir, uint8_t cls, uint8_t sub, const Bytes& payload) {
    Frame f;
    f.dir = dir;
    f.cls = cls;
    f.sub = sub;
    f.seq = ++seq_;
    f.payload = payload;
    return boxtest::Encode(f);
  }
  void SetBoxKind(uint8_t kind) {
    Frame hb;
    hb.payload.assign(144, 0);
    hb.payload[14] = kind;
    box_->Push(boxtest::Encode(hb));
    ASSERT_TRUE(kittest::WaitUntil(
        [&] { return pyrn::FindDevice(h_)->m_nBoxKind.load() == kind; }, 2000));
  }
  // The arguments of EveryCommand's calls.
  struct Args {
    Bytes serial12 = Text("SN0123456789");
    uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    uint8_t factory[6] = {'F', 'A', 'C', 9, 8, 7};
    Bytes data3 = {0x10, 0x20, 0x30};
    std::string voice200 = std::string(200, 'v');
    std::string led300 = std::string(300, 'l');
    Bytes data1024 = Filled(1024);
    int i4[4] = {0x101, 2, 3, 0x1FF};
    int ble[2] = {0x11223344, -1};
    int value = 0x1FF;
    uint8_t small = 15;
    uint8_t enable = 5;
    uint8_t zero = 0;
    uint8_t mode = 2;
    uint16_t len3 = 3, len0 = 0;
    Bytes buf = Bytes(1024, 0);
  } args_;
  struct CommandCase {
    const char* name;
    std::function<int()> call;
    uint8_t dir, cls, sub;
    Bytes payload;  // of the request each call must send
  };
  // Every command export once (with each of its forms that sends something
  // else), on h_.
  std::vector<CommandCase> EveryCommand() {
    return {
        {"gate", [&] { return PyrnBox_ControlRoadgate(h_, 0x2FE); }, 1, 1, 1, {0xFE}},
        {"voice", [&] { return PyrnBox_VoiceBroadcast(h_, "ab"); }, 1, 2, 1, Text("ab")},
        {"voice cut at 127", [&] { return PyrnBox_VoiceBroadcast(h_, args_.voice200.c_str()); }, 1, 2, 1,
         Text(std::string(127, 'v'))},
        {"voice empty", [&] { return PyrnBox_VoiceBroadcast(h_, ""); }, 1, 2, 1, {}},
        {"LED text", [&] { return PyrnBox_ControlLED(h_, "12"); }, 1, 3, 1, Text("12")},
        {"LED text cut at 199", [&] { return PyrnBox_ControlLED(h_, args_.led300.c_str()); }, 1, 3, 1,
         Text(std::string(199, 'l'))},
        {"LED text empty", [&] { return PyrnBox_ControlLED(h_, ""); }, 1, 3, 1, {}},
        {"pass-through", [&] { return PyrnBox_ControlSerialPort(h_, args_.data3.data(), 3); }, 1, 3, 2, args_.data3},
        {"pass-through low 16 bits", [&] { return PyrnBox_ControlSerialPort(h_, args_.data3.data(), 0x10003); },
         1, 3, 2, args_.data3},
        {"pass-through 1024", [&] { return PyrnBox_ControlSerialPort(h_, args_.data1024.data(), 1024); }, 1, 3, 2,
         args_.data1024},
        {"LED port write", [&] { return PyrnBox_ControlLEDComParams(h_, 0x100 | 1, args_.i4); }, 1, 3, 3,
         {0x01, 0x02, 0x03, 0xFF}},
        {"LED port read", [&] { return PyrnBox_ControlLEDComParams(h_, 0x100, args_.i4); }, 0, 3, 3, {}},
        {"port 0 data", [&] { return PyrnBox_ControlSerialPortEx(h_, 1, const_cast<uint8_t*>(args_.data3.data()), &args_.len3, 0); },
         1, 3, 9, args_.data3},
        {"port 1 data", [&] { return PyrnBox_ControlSerialPortEx(h_, 1, const_cast<uint8_t*>(args_.data3.data()), &args_.len3, 1); },
         1, 3, 10, args_.data3},
        {"port 1 no data", [&] { return PyrnBox_ControlSerialPortEx(h_, 1, args_.buf.data(), &args_.len0, 1); }, 1, 3, 10, {}},
        {"port 0 read", [&] { return PyrnBox_ControlSerialPortEx(h_, 0, args_.buf.data(), &args_.len3, 0); }, 0, 3, 9, {}},
        {"port 0 settings", [&] { return PyrnBox_ControlSerialPortParams(h_, 1, args_.i4, 0); }, 1, 3, 11,
         {0x01, 0x02, 0x03, 0xFF}},
        {"port 1 settings read", [&] { return PyrnBox_ControlSerialPortParams(h_, 0, args_.i4, 1); }, 0, 3, 12, {}},
        {"RAM status", [&] { return PyrnBox_ReadRamStatus(h_, &args_.zero); }, 0, 0, 33, {}},
        {"serial number write", [&] { return PyrnBox_ControlSerialNo(h_, const_cast<uint8_t*>(args_.serial12.data()), 1); },
         1, 0, 16, args_.serial12},
        {"serial number read", [&] { return PyrnBox_ControlSerialNo(h_, args_.buf.data(), 0); }, 0, 0, 16, {}},
        {"MAC write", [&] { return PyrnBox_ControlMAC(h_, const_cast<uint8_t*>(args_.mac), 1); }, 1, 0, 15,
         Bytes(args_.mac, args_.mac + 6)},
        {"MAC read", [&] { return PyrnBox_ControlMAC(h_, args_.buf.data(), 0); }, 0, 0, 15, {}},
        {"log count", [&] { uint32_t c; return PyrnBox_ReadLogNum(h_, &c); }, 0, 7, 0, {}},
        {"reset switch on", [&] { return PyrnBox_ControlResetEnable(h_, &args_.enable, 1); }, 1, 0, 2, {1}},
        {"reset switch off", [&] { return PyrnBox_ControlResetEnable(h_, &args_.zero, 1); }, 1, 0, 2, {0}},
        {"reset switch read", [&] { return PyrnBox_ControlResetEnable(h_, &args_.zero, 0); }, 0, 0, 2, {}},
        {"save", [&] { return PyrnBox_SaveParams(h_); }, 1, 0, 19, {}},
        {"defaults", [&] { return PyrnBox_RecoveryDefault(h_); }, 1, 0, 20, {}},
        {"factory", [&] { return PyrnBox_RecoveryFactory(h_, args_.factory); }, 1, 0, 34,
         {'F', 'A', 'C', 9, 8, 7}},
        {"log level", [&] { int l = 0x1234; return PyrnBox_ControlLogLevel(h_, &l, 1); }, 1, 0, 36, {0x34}},
        {"log level read", [&] { int l = 0; return PyrnBox_ControlLogLevel(h_, &l, 0); }, 0, 0, 36, {}},
        {"version", [&] { return PyrnBox_GetDeviceVersion(h_, reinterpret_cast<char*>(args_.buf.data())); }, 0, 0, 1, {}},
        {"net info", [&] { uint32_t p[4]; return PyrnBox_GetDeviceNetInfo(h_, p); }, 0, 0, 14, {}},
        {"LED length", [&] { return PyrnBox_ControlLEDLength(h_, &args_.value, 1); }, 1, 3, 4, {0xFF}},
        {"LED rows", [&] { return PyrnBox_ControlLEDRowNum(h_, &args_.value, 1); }, 1, 3, 5, {0xFF}},
        {"LED interface", [&] { return PyrnBox_ControlLEDInterfaceType(h_, &args_.value, 1); }, 1, 3, 6, {0xFF}},
        {"LED speed", [&] { return PyrnBox_ControlLEDDisplaySpeed(h_, &args_.small, 1); }, 1, 3, 7, {15}},
        {"LED time-out", [&] { return PyrnBox_ControlLEDDisplayTimeout(h_, &args_.small, 1); }, 1, 3, 8, {15}},
        {"LED light", [&] { return PyrnBox_ControlLEDDisplayLight(h_, &args_.small, 1); }, 1, 3, 13, {15}},
        {"LED polarity", [&] { return PyrnBox_ControlLEDPolar(h_, &args_.value, 1); }, 1, 3, 14, {0xFF}},
        {"LED title", [&] { return PyrnBox_ControlLEDDefaultTitle(h_, &args_.value, 1); }, 1, 3, 15, {0xFF}},
        {"LED show time", [&] { return PyrnBox_ControlLEDShowTime(h_, &args_.value, 1); }, 1, 3, 16, {0xFF}},
        {"LED read", [&] { int v; return PyrnBox_ControlLEDShowTime(h_, &v, 0x100); }, 0, 3, 16, {}},
        {"detect mode", [&] { return PyrnBox_SetLEDDetectMode(h_, &args_.mode); }, 1, 3, 17, {2}},
        {"BLE settings", [&] { return PyrnBox_ControlBLEParams(h_, args_.ble, 1); }, 1, 0, 37,
         {0x44, 0x33, 0x22, 0x11, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"BLE mode", [&] { int m = 0x103; return PyrnBox_ControlBLEMode(h_, &m, 1); }, 1, 0, 38, {0x03}},
        {"clear log", [&] { return PyrnBox_ClearLog(h_); }, 1, 0, 39, {}},
    };
  }
  uint16_t seq_ = 0;
};

TEST_F(Commands, TheGateCommandIsTheDocumentedFrame) {
  EXPECT_EQ(PyrnBox_ControlRoadgate(h_, 0x101), 0);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Hex(sent[0]), "AA 55 FF 00 11 00 01 00 00 00 01 01 01 01 ED 55 AA");
}

TEST_F(Commands, RequestFramesOfEveryCommand) {
  for (const auto& c : EveryCommand()) {
    const int r = c.call();  // the box answers with an empty success reply
    const auto sent = Sent();
    const bool readWithData = c.dir == 0;
    if (!readWithData) {
      EXPECT_EQ(r, 0) << c.name;
    }
    ASSERT_EQ(sent.size(), 1u) << c.name;
    EXPECT_EQ(Hex(sent[0]), Hex(Expected(c.dir, c.cls, c.sub, c.payload))) << c.name;
  }
}

TEST_F(Commands, ReadsCopyTheirReplies) {
  auto& box = box_->script();
  {
    box.Answer(3, 3, {9, 8, 7, 6});
    int p[4] = {-1, -1, -1, 0x12345600};
    EXPECT_EQ(PyrnBox_ControlLEDComParams(h_, 0, p), 0);
    EXPECT_EQ(p[0], 9);
    EXPECT_EQ(p[1], 8);
    EXPECT_EQ(p[2], 7);
    EXPECT_EQ(p[3], 0x12345606) << "only the low byte of the last value";
  }
  {
    box.Answer(3, 12, {5, 6, 7, 0xF8});
    int p[4] = {-1, -1, -1, -1};
    EXPECT_EQ(PyrnBox_ControlSerialPortParams(h_, 0, p, 1), 0);
    EXPECT_EQ(p[3], 0xF8);
    EXPECT_EQ(p[0], 5);
  }
  {
    box.Answer(0, 33, {0x5A});
    uint8_t s = 0;
    EXPECT_EQ(PyrnBox_ReadRamStatus(h_, &s), 0);
    EXPECT_EQ(s, 0x5A);
  }
  {
    box.Answer(0, 16, Text("ABCDEFGHIJKL"));
    char sn[16] = "xxxxxxxxxxxxxxx";
    EXPECT_EQ(PyrnBox_ControlSerialNo(h_, sn, 0), 0);
    EXPECT_EQ(std::string(sn, 15), "ABCDEFGHIJKLxxx") << "only the payload is written";
    box.Answer(0, 16, Text("ABCDEFGHIJKLM"));
    EXPECT_EQ(PyrnBox_ControlSerialNo(h_, sn, 0), 23);
    box.Answer(0, 16, {});
    EXPECT_EQ(PyrnBox_ControlSerialNo(h_, sn, 0), 0) << "no number: nothing copied";
    EXPECT_EQ(std::string(sn, 15), "ABCDEFGHIJKLxxx");
  }
  {
    box.Answer(0, 15, {1, 2, 3, 4, 5, 6});
    uint8_t m[6] = {};
    EXPECT_EQ(PyrnBox_ControlMAC(h_, m, 0), 0);
    EXPECT_EQ(Bytes(m, m + 6), (Bytes{1, 2, 3, 4, 5, 6}));
  }
  {
    box.Answer(7, 0, {1, 2, 3, 4});
    uint32_t c = 0;
    EXPECT_EQ(PyrnBox_ReadLogNum(h_, &c), 0);
    EXPECT_EQ(c, 0x04030201u);
    box.Answer(7, 0, {1, 2, 3});
    EXPECT_EQ(PyrnBox_ReadLogNum(h_, &c), 23) << "a short reply is not read past its end";
    EXPECT_EQ(c, 0u);
  }
  {
    uint8_t e = 9;
    box.Answer(0, 2, {1});
    EXPECT_EQ(PyrnBox_ControlResetEnable(h_, &e, 0), 0);
    EXPECT_EQ(e, 1);
    box.Answer(0, 2, {2});
    EXPECT_EQ(PyrnBox_ControlResetEnable(h_, &e, 0), 0);
    EXPECT_EQ(e, 0);
    box.Answer(0, 2, {1, 1});
    EXPECT_EQ(PyrnBox_ControlResetEnable(h_, &e, 0), 24);
  }
  {
    int l = -1;
    box.Answer(0, 36, {7});
    EXPECT_EQ(PyrnBox_ControlLogLevel(h_, &l, 0), 0);
    EXPECT_EQ(l, 7) << "the whole int";
    box.Answer(0, 36, {7, 7});
    EXPECT_EQ(PyrnBox_ControlLogLevel(h_, &l, 0), 24);
  }
  {
    box.Answer(0, 14, {0xC0, 0xA8, 0x01, 0x0A, 0xFF, 0xFF, 0xFF, 0x00, 0, 0, 0, 7, 0xC0, 0xA8, 0x01, 0x01});
    uint32_t p[4] = {};
    EXPECT_EQ(PyrnBox_GetDeviceNetInfo(h_, p), 0);
    EXPECT_EQ(p[0], 0xC0A8010Au);
    EXPECT_EQ(p[1], 0xFFFFFF00u);
    EXPECT_EQ(p[2], 7u);
    EXPECT_EQ(p[3], 0xC0A80101u);
    box.Answer(0, 14, Bytes(15, 0));
    EXPECT_EQ(PyrnBox_GetDeviceNetInfo(h_, p), 23);
  }
  {
    int v = -1;
    box.Answer(3, 4, {0x80});
    EXPECT_EQ(PyrnBox_ControlLEDLength(h_, &v, 0), 0);
    EXPECT_EQ(v, 128);
    box.Answer(3, 4, {});
    EXPECT_EQ(PyrnBox_ControlLEDLength(h_, &v, 0), 23);
    uint8_t s = 200;  // a read does not look at the old value
    box.Answer(3, 7, {3});
    EXPECT_EQ(PyrnBox_ControlLEDDisplaySpeed(h_, &s, 0), 0);
    EXPECT_EQ(s, 3);
    box.Answer(3, 13, {3, 3});
    EXPECT_EQ(PyrnBox_ControlLEDDisplayLight(h_, &s, 0), 23);
  }
  {
    int p[2] = {};
    box.Answer(0, 37, {1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(PyrnBox_ControlBLEParams(h_, p, 0), 0);
    EXPECT_EQ(p[0], 1);
    EXPECT_EQ(p[1], -2);
    box.Answer(0, 37, Bytes(7, 0));
    EXPECT_EQ(PyrnBox_ControlBLEParams(h_, p, 0), 23);
    int m = -1;
    box.Answer(0, 38, {4});
    EXPECT_EQ(PyrnBox_ControlBLEMode(h_, &m, 0), 0);
    EXPECT_EQ(m, 4);
  }
}

TEST_F(Commands, FailedReadsWriteNothing) {
  // The caller's variable starts as a pattern that a failed read must leave.
  alignas(8) uint8_t var[64];
  uint16_t len = 40;
  int* asInt = reinterpret_cast<int*>(var);
  char* asText = reinterpret_cast<char*>(var);
  const struct {
    const char* name;
    uint8_t cls, sub;
    Bytes good, wrong;  // a payload of the right length and one of a wrong length
    int wrongResult;    // 0: every length is right
    std::function<int()> read;
  } cases[] = {
      {"LED port", 3, 3, Bytes(4, 1), Bytes(3, 1), 23, [&] { return PyrnBox_ControlLEDComParams(h_, 0, asInt); }},
      {"port settings", 3, 12, Bytes(4, 1), Bytes(3, 1), 23,
       [&] { return PyrnBox_ControlSerialPortParams(h_, 0, asInt, 1); }},
      {"RAM status", 0, 33, {1}, {}, 23, [&] { return PyrnBox_ReadRamStatus(h_, var); }},
      {"serial number", 0, 16, Bytes(12, 1), Bytes(13, 1), 23, [&] { return PyrnBox_ControlSerialNo(h_, var, 0); }},
      {"MAC", 0, 15, Bytes(6, 1), Bytes(7, 1), 23, [&] { return PyrnBox_ControlMAC(h_, var, 0); }},
      {"reset switch", 0, 2, {1}, {1, 1}, 24, [&] { return PyrnBox_ControlResetEnable(h_, var, 0); }},
      {"log level", 0, 36, {1}, {}, 24, [&] { return PyrnBox_ControlLogLevel(h_, asInt, 0); }},
      {"net info", 0, 14, Bytes(16, 1), Bytes(17, 1), 23,
       [&] { return PyrnBox_GetDeviceNetInfo(h_, reinterpret_cast<uint32_t*>(var)); }},
      {"LED length", 3, 4, {1}, {1, 1}, 23, [&] { return PyrnBox_ControlLEDLength(h_, asInt, 0); }},
      {"LED rows", 3, 5, {1}, {}, 23, [&] { return PyrnBox_ControlLEDRowNum(h_, asInt, 0); }},
      {"LED interface", 3, 6, {1}, {1, 1}, 23, [&] { return PyrnBox_ControlLEDInterfaceType(h_, asInt, 0); }},
      {"LED polarity", 3, 14, {1}, {}, 23, [&] { return PyrnBox_ControlLEDPolar(h_, asInt, 0); }},
      {"LED title", 3, 15, {1}, {1, 1}, 23, [&] { return PyrnBox_ControlLEDDefaultTitle(h_, asInt, 0); }},
      {"LED show time", 3, 16, {1}, {}, 23, [&] { return PyrnBox_ControlLEDShowTime(h_, asInt, 0); }},
      {"LED speed", 3, 7, {1}, {}, 23, [&] { return PyrnBox_ControlLEDDisplaySpeed(h_, var, 0); }},
      {"LED time-out", 3, 8, {1}, {1, 1}, 23, [&] { return PyrnBox_ControlLEDDisplayTimeout(h_, var, 0); }},
      {"LED light", 3, 13, {1}, {}, 23, [&] { return PyrnBox_ControlLEDDisplayLight(h_, var, 0); }},
      {"BLE settings", 0, 37, Bytes(8, 1), Bytes(9, 1), 23, [&] { return PyrnBox_ControlBLEParams(h_, asInt, 0); }},
      {"BLE mode", 0, 38, {1}, {1, 1}, 23, [&] { return PyrnBox_ControlBLEMode(h_, asInt, 0); }},
      {"port data", 3, 9, Bytes(3, 1), Bytes(41, 1), 23,
       [&] { return PyrnBox_ControlSerialPortEx(h_, 0, var, &len, 0); }},
      {"version", 0, 1, Bytes(3, 1), {}, 0, [&] { return PyrnBox_GetDeviceVersion(h_, asText); }},
  };
  const Bytes pattern = Filled(sizeof var, 0xA0);
  for (const auto& c : cases) {
    std::copy(pattern.begin(), pattern.end(), var);
    len = 40;
    box_->script().Answer(c.cls, c.sub, c.good, 0x0001);
    EXPECT_EQ(c.read(), 24) << c.name << ": a failure status";
    EXPECT_EQ(Bytes(var, var + sizeof var), pattern) << c.name;
    EXPECT_EQ(len, 40) << c.name;
    if (c.wrongResult == 0) continue;
    box_->script().Answer(c.cls, c.sub, c.wrong);
    EXPECT_EQ(c.read(), c.wrongResult) << c.name << ": " << c.wrong.size() << " bytes";
    EXPECT_EQ(Bytes(var, var + sizeof var), pattern) << c.name;
  }
}

TEST_F(Commands, ALinkThatIsDownIs14AndSendsNothing) {
  pyrn::FindDevice(h_)->m_bConnected.store(0);  // as a dropped link leaves it
  Sent();
  for (const auto& c : EveryCommand()) EXPECT_EQ(c.call(), 14) << c.name;
  uint8_t b[4] = {};
  uint16_t len = 1;
  int i4[4] = {};
  uint32_t count = 5;
  EXPECT_EQ(PyrnBox_ReadLog(h_), 14);
  EXPECT_EQ(PyrnBox_SendAnyData(h_, b, 1), 14);
  EXPECT_EQ(PyrnBox_ControlSerialPortEx(h_, 1, b, &len, 2), 14) << "before the port is looked at";
  EXPECT_EQ(PyrnBox_ControlSerialPortParams(h_, 1, i4, 2), 14);
  EXPECT_EQ(PyrnBox_ReadLogNum(h_, &count), 14);
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(Commands, ALinkThatCannotSendIs17AndLeavesNoRequestWaiting) {
  std::shared_ptr<CBoxDevice> d = pyrn::FindDevice(h_);
  {
    pf::Lock lk(d->m_csSocket);
    pf::ShutdownSocket(d->m_hSocket.load());
  }
  for (const auto& c : EveryCommand()) EXPECT_EQ(c.call(), 17) << c.name;
  uint8_t b[4] = {};
  EXPECT_EQ(PyrnBox_ReadLog(h_), 17);
  EXPECT_EQ(PyrnBox_SendAnyData(h_, b, 1), 17);
  pf::Lock lk(d->m_csDevice);
  EXPECT_EQ(d->WaitingCount(), 0u);
}

TEST_F(Commands, PassThroughReadsCopyWhatFitsAndReportTheLengthOfWhatDoesNot) {
  const struct {
    size_t reply;
    uint16_t room;
    int result;
  } cases[] = {
      {10, 11, 0}, {10, 10, 0}, {10, 9, 23}, {10, 0, 23}, {0, 0, 0}, {1024, 1024, 0}, {1024, 1023, 23},
  };
  for (const auto& c : cases) {
    const Bytes data = Filled(c.reply, 1);
    box_->script().Answer(3, 10, data);
    Bytes buf(c.room + 8, 0xEE);
    uint16_t len = c.room;
    EXPECT_EQ(PyrnBox_ControlSerialPortEx(h_, 0, buf.data(), &len, 1), c.result) << c.reply << " into " << c.room;
    EXPECT_EQ(len, c.reply) << c.reply << " into " << c.room << ": the reply's length in every case";
    Bytes want(buf.size(), 0xEE);
    if (c.result == 0) std::copy(data.begin(), data.end(), want.begin());
    EXPECT_EQ(buf, want) << c.reply << " into " << c.room << (c.result ? ": nothing copied" : ": copied whole");
    if (c.result == 0) continue;
    // Asked again with the room it was told of, the reply is taken.
    buf.assign(len, 0);
    EXPECT_EQ(PyrnBox_ControlSerialPortEx(h_, 0, buf.data(), &len, 1), 0);
    EXPECT_EQ(buf, data);
  }
}

TEST_F(Commands, VersionTagsByBoxKind) {
  box_->script().Answer(0, 1, Text("1.2.3"));
  struct Case {
    uint8_t kind;
    const char* head;
  } cases[] = {{0, "VELD"}, {1, "VELD"}, {2, "VELK"}, {16, "OSKA"}, {3, ""}};
  for (const auto& c : cases) {
    SetBoxKind(c.kind);
    char v[36];
    memset(v, 'x', sizeof v);
    ASSERT_EQ(PyrnBox_GetDeviceVersion(h_, v), 0);
    Bytes want(36, 0);
    memcpy(want.data(), c.head, strlen(c.head));
    memcpy(want.data() + 4, "1.2.3", 5);
    EXPECT_EQ(Bytes(v, v + 36), want) << int{c.kind};
  }
  SetBoxKind(2);
  box_->script().Answer(0, 1, Filled(32, 'a'));
  char v[37];
  v[36] = '#';
  ASSERT_EQ(PyrnBox_GetDeviceVersion(h_, v), 0);
  EXPECT_EQ(std::string(v, 37), "VELK" + std::string(reinterpret_cast<const char*>(Filled(32, 'a').data()), 32) + "#");
  box_->script().Answer(0, 1, Filled(33, 'a'));
  EXPECT_EQ(PyrnBox_GetDeviceVersion(h_, v), 23);
  EXPECT_EQ(Bytes(v, v + 36), Bytes(36, 0)) << "the buffer is cleared";
}

TEST_F(Commands, RefusedArgumentsSendNothing) {
  uint8_t b[8] = {};
  int i4[4] = {};
  uint16_t len = 3, big = 1025;
  uint8_t sixteen = 16;
  const uint8_t wrongCode[6] = {'F', 'A', 'D', 0, 0, 0};
  std::vector<uint8_t> over(257, 0);
  struct Case {
    const char* name;
    std::function<int()> call;
  } cases[] = {
      {"gate null handle", [&] { return PyrnBox_ControlRoadgate(nullptr, 1); }},
      {"voice null text", [&] { return PyrnBox_VoiceBroadcast(h_, nullptr); }},
      {"LED null text", [&] { return PyrnBox_ControlLED(h_, nullptr); }},
      {"pass-through 0 bytes", [&] { return PyrnBox_ControlSerialPort(h_, b, 0); }},
      {"pass-through 1025 bytes", [&] { return PyrnBox_ControlSerialPort(h_, b, 1025); }},
      {"pass-through null", [&] { return PyrnBox_ControlSerialPort(h_, nullptr, 3); }},
      {"LED port null", [&] { return PyrnBox_ControlLEDComParams(h_, 1, nullptr); }},
      {"port data null length", [&] { return PyrnBox_ControlSerialPortEx(h_, 1, b, nullptr, 0); }},
      {"port data null data (read)", [&] { return PyrnBox_ControlSerialPortEx(h_, 0, nullptr, &len, 0); }},
      {"port data 1025", [&] { return PyrnBox_ControlSerialPortEx(h_, 1, b, &big, 0); }},
      {"port data port 2", [&] { return PyrnBox_ControlSerialPortEx(h_, 1, b, &len, 2); }},
      {"port settings port 2", [&] { return PyrnBox_ControlSerialPortParams(h_, 1, i4, 2); }},
      {"port settings port -1", [&] { return PyrnBox_ControlSerialPortParams(h_, 0, i4, -1); }},
      {"port settings null", [&] { return PyrnBox_ControlSerialPortParams(h_, 1, nullptr, 0); }},
      {"RAM null", [&] { return PyrnBox_ReadRamStatus(h_, nullptr); }},
      {"serial number null", [&] { return PyrnBox_ControlSerialNo(h_, nullptr, 1); }},
      {"MAC null", [&] { return PyrnBox_ControlMAC(h_, nullptr, 0); }},
      {"log count null", [&] { return PyrnBox_ReadLogNum(h_, nullptr); }},
      {"read log null handle", [&] { return PyrnBox_ReadLog(nullptr); }},
      {"reset null", [&] { return PyrnBox_ControlResetEnable(h_, nullptr, 1); }},
      {"save null handle", [&] { return PyrnBox_SaveParams(nullptr); }},
      {"defaults null handle", [&] { return PyrnBox_RecoveryDefault(nullptr); }},
      {"clear log null handle", [&] { return PyrnBox_ClearLog(nullptr); }},
      {"factory wrong code", [&] { return PyrnBox_RecoveryFactory(h_, wrongCode); }},
      {"factory null code", [&] { return PyrnBox_RecoveryFactory(h_, nullptr); }},
      {"log level null", [&] { return PyrnBox_ControlLogLevel(h_, nullptr, 0); }},
      {"version null", [&] { return PyrnBox_GetDeviceVersion(h_, nullptr); }},
      {"net info null", [&] { return PyrnBox_GetDeviceNetInfo(h_, nullptr); }},
      {"LED length null", [&] { return PyrnBox_ControlLEDLength(h_, nullptr, 1); }},
      {"LED speed 16", [&] { return PyrnBox_ControlLEDDisplaySpeed(h_, &sixteen, 1); }},
      {"LED time-out 16", [&] { return PyrnBox_ControlLEDDisplayTimeout(h_, &sixteen, 1); }},
      {"LED light 16", [&] { return PyrnBox_ControlLEDDisplayLight(h_, &sixteen, 1); }},
      {"LED light null", [&] { return PyrnBox_ControlLEDDisplayLight(h_, nullptr, 0); }},
      {"detect mode null", [&] { return PyrnBox_SetLEDDetectMode(h_, nullptr); }},
      {"BLE null", [&] { return PyrnBox_ControlBLEParams(h_, nullptr, 0); }},
      {"BLE mode null", [&] { return PyrnBox_ControlBLEMode(h_, nullptr, 0); }},
      {"raw 0 bytes", [&] { return PyrnBox_SendAnyData(h_, b, 0); }},
      {"raw 257 bytes", [&] { return PyrnBox_SendAnyData(h_, over.data(), 257); }},
      {"raw null", [&] { return PyrnBox_SendAnyData(h_, nullptr, 1); }},
  };
  for (const auto& c : cases) EXPECT_EQ(c.call(), 1) << c.name;
  // A request that does go shows that nothing went before it.
  EXPECT_EQ(PyrnBox_SaveParams(h_), 0);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0][12], 19);
}

TEST_F(Commands, AnUnknownHandleIs7) {
  CBoxDevice* other = reinterpret_cast<CBoxDevice*>(&seq_);
  uint8_t b[8] = {};
  int i4[4] = {};
  uint16_t len = 1;
  uint32_t count = 5;
  EXPECT_EQ(PyrnBox_ControlRoadgate(other, 1), 7);
  EXPECT_EQ(PyrnBox_ControlSerialPortParams(other, 1, i4, 2), 7) << "the port is tested after the handle";
  EXPECT_EQ(PyrnBox_ControlSerialPortEx(other, 1, b, &len, 5), 7);
  EXPECT_EQ(PyrnBox_ReadLogNum(other, &count), 7);
  EXPECT_EQ(count, 0u) << "cleared before the look-up";
  EXPECT_EQ(PyrnBox_ReadLog(other), 7);
  EXPECT_EQ(PyrnBox_SendAnyData(other, b, 1), 7);
  EXPECT_EQ(PyrnBox_GetDeviceVersion(other, reinterpret_cast<char*>(b)), 7);
  // Refused arguments are refused before the handle is looked up.
  const uint8_t wrongCode[6] = {'F', 'A', 'D', 0, 0, 0};
  uint8_t sixteen = 16;
  uint16_t big = 1025;
  EXPECT_EQ(PyrnBox_RecoveryFactory(other, wrongCode), 1);
  EXPECT_EQ(PyrnBox_ControlLEDDisplaySpeed(other, &sixteen, 1), 1);
  EXPECT_EQ(PyrnBox_ControlSerialPort(other, b, 0), 1);
  EXPECT_EQ(PyrnBox_ControlSerialPortEx(other, 1, b, &big, 0), 1);
  EXPECT_EQ(PyrnBox_SendAnyData(other, b, 257), 1);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(Commands, ReadLogReturnsAtOnceWithSequenceZero) {
  // A reply time far longer than the bound below: a read that waited would
  // show, however busy the machine.
  pyrn::test::SetReplyTimeoutsMs(10000, 10000, 10000);
  box_->script().Silent(7, 1);
  const int64_t t0 = kittest::NowMs();
  EXPECT_EQ(PyrnBox_ReadLog(h_), 0);
  EXPECT_LT(kittest::NowMs() - t0, 5000);
  ASSERT_TRUE(box_->script().WaitFrames(7, 1, 1, 2000));
  EXPECT_EQ(Hex(box_->script().RawFrames().back()), "AA 55 FF 00 10 00 00 00 00 00 00 07 01 EB 55 AA");
  // The counter did not move: the next request carries sequence 1.
  EXPECT_EQ(PyrnBox_ClearLog(h_), 0);
  EXPECT_EQ(box_->script().Frames(0, 39).at(0).seq, 1);
}

TEST_F(Commands, RawDataGoesAsItIs) {
  const Bytes data = Filled(256, 3);
  EXPECT_EQ(PyrnBox_SendAnyData(h_, data.data(), 256), 0);
  EXPECT_TRUE(kittest::WaitUntil([&] {
    const Bytes got = box_->Conn()->Received();
    return got.size() >= 256 && Bytes(got.end() - 256, got.end()) == data;
  }, 2000));
}

TEST_F(Commands, BleSettingsWaitTheirOwnTime) {
  pyrn::test::SetReplyTimeoutsMs(100, 100, 900);
  box_->script().Silent(0, 37);
  int p[2] = {};
  const int64_t t0 = kittest::NowMs();
  EXPECT_EQ(PyrnBox_ControlBLEParams(h_, p, 0), 209);
  EXPECT_GE(kittest::NowMs() - t0, 850);
}

}  // namespace

// The serial transport: settings, the port's life, and the box protocol over
// a pseudo-terminal pair standing in for the serial line.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <vector>

#include "box_fixture.h"
#include "device.h"
#include "platform/serial.h"
#include "platform/serial_line.h"

namespace {

using boxtest::Bytes;
using boxtest::FakeSerialBox;
using boxtest::Frame;
using boxtest::Hex;

TEST(SerialSettings, ParityByteSizeAndStopBits) {
  struct Case {
    uint8_t byteSize, stopBits, parity;
    tcflag_t flags;  // the bits of c_cflag that these settings decide
  } cases[] = {
      {8, 0, 0, CS8},
      {8, 0, 1, CS8 | PARENB | PARODD},
      {8, 0, 2, CS8 | PARENB},
      {8, 0, 3, CS8 | PARENB | PARODD | CMSPAR},
      {8, 0, 4, CS8 | PARENB | CMSPAR},
      {7, 2, 2, CS7 | PARENB | CSTOPB},
      {6, 0, 0, CS6},
      {5, 1, 0, CS5 | CSTOPB},  // one and a half stop bits
  };
  const tcflag_t decided = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  for (const auto& c : cases) {
    termios t{};
    t.c_cflag = CRTSCTS | PARENB | CSTOPB;  // whatever the port had
    t.c_iflag = IXON | IXOFF | INPCK;
    ASSERT_TRUE(pf::BuildSerialTermios(c.byteSize, c.stopBits, c.parity, &t));
    EXPECT_EQ(t.c_cflag & decided, c.flags) << int{c.byteSize} << int{c.stopBits} << int{c.parity};
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u) << "no hardware flow control";
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u) << "no software flow control";
    EXPECT_NE(t.c_cflag & CREAD, 0u);
  }
}

TEST(SerialSettings, SettingsThatAPortCannotTake) {
  struct Case {
    uint8_t byteSize, stopBits, parity;
  } cases[] = {
      {4, 0, 0}, {9, 0, 0}, {8, 3, 0}, {8, 0, 5}, {8, 1, 0}, {5, 2, 0},
  };
  for (const auto& c : cases) {
    termios t{};
    EXPECT_FALSE(pf::BuildSerialTermios(c.byteSize, c.stopBits, c.parity, &t))
        << int{c.byteSize} << " " << int{c.stopBits} << " " << int{c.parity};
  }
}

TEST(SerialSettings, ReadTimeOutsScaleWithTheBaudRate) {
  const struct {
    uint32_t baud, perByte;
  } cases[] = {{9600, 2}, {19200, 1}, {115200, 1}, {1200, 16}, {300, 64}};
  for (const auto& c : cases) {
    pf::SerialTimeouts to{};
    ASSERT_TRUE(pf::SerialTimeoutsFor(c.baud, &to));
    EXPECT_EQ(to.readTotalMultiplier, c.perByte) << c.baud;
    EXPECT_EQ(to.readTotalConstant, 10u);
    EXPECT_EQ(to.readInterval, 0u);
    EXPECT_EQ(to.writeTotalMultiplier + to.writeTotalConstant, 0u);
  }
  pf::SerialTimeouts to{};
  EXPECT_FALSE(pf::SerialTimeoutsFor(0, &to)) << "no division by a zero baud rate";
}

TEST(SerialSettings, PortNamesAndPaths) {
  const struct {
    const char* name;
    const char* path;
  } cases[] = {
      {"ttyS3", "/dev/ttyS3"},
      {"COM3", "/dev/COM3"},
      {"pts/3", "/dev/pts/3"},
      {"serial/by-id/usb-FTDI_FT232R-if00-port0", "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"},
      {"./ttyUSB0", "/dev/./ttyUSB0"},
      {"/dev/pts/4", "/dev/pts/4"},
      {"/run/ports/box", "/run/ports/box"},
  };
  for (const auto& c : cases) EXPECT_EQ(pf::CSerialPort::MakeDevicePath(c.name), c.path) << c.name;
  pf::CSerialPort p;
  EXPECT_TRUE(p.ClosePort()) << "closing a closed port does nothing";
  EXPECT_FALSE(p.IsOpen());
  EXPECT_FALSE(p.WriteData("x", 1));
}

class Serial : public boxtest::BoxFixture {
 protected:
  void SetUp() override {
    BoxFixture::SetUp();
    ASSERT_TRUE(pty_.Ok());
  }
  CBoxDevice* Open(uint32_t baud = 9600, int parity = 0, int byteSize = 8, int stopBits = 0) {
    CBoxDevice* h = nullptr;
    EXPECT_EQ(PyrnBox_ConnectDeviceEx("192.168.1.50", &h, pty_.SlavePath().c_str(), baud, parity,
                                      byteSize, stopBits), 0);
    h_ = h;
    return h;
  }
  FakeSerialBox pty_;
};

TEST_F(Serial, ConnectFailures) {
  CBoxDevice* h = reinterpret_cast<CBoxDevice*>(1);
  const int fds = kittest::OpenDescriptorCount();
  EXPECT_EQ(PyrnBox_ConnectDeviceEx("1.2.3.4", &h, nullptr, 9600, 0, 8, 0), 1);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(PyrnBox_ConnectDeviceEx(nullptr, &h, "ttyS0", 9600, 0, 8, 0), 1);
  EXPECT_EQ(PyrnBox_ConnectDeviceEx("1.2.3.4", nullptr, "ttyS0", 9600, 0, 8, 0), 1);
  h = reinterpret_cast<CBoxDevice*>(1);
  EXPECT_EQ(PyrnBox_ConnectDeviceEx("1.2.3.4", &h, "kit-no-such-port", 9600, 0, 8, 0), 26);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(PyrnBox_ConnectDeviceEx("1.2.3.4", &h, "/dev/null", 9600, 0, 8, 0), 26);
  EXPECT_EQ(PyrnBox_ConnectDeviceEx("1.2.3.4", &h, pty_.SlavePath().c_str(), 9600, 0, 9, 0), 26);
  EXPECT_EQ(PyrnBox_ConnectDeviceEx("1.2.3.4", &h, pty_.SlavePath().c_str(), 0, 0, 8, 0), 26);
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds) << "a port that failed is closed again";
  pf::test::FailNextThreadStarts(1);
  EXPECT_EQ(PyrnBox_ConnectDeviceEx("1.2.3.4", &h, pty_.SlavePath().c_str(), 9600, 0, 8, 0), 26);
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds);
  EXPECT_NE(Open(), nullptr) << "and can be opened afterwards";
}

TEST_F(Serial, ThePortIsTheLibrarysAlone) {
  ASSERT_NE(Open(), nullptr);
  CBoxDevice* second = nullptr;
  EXPECT_EQ(PyrnBox_ConnectDeviceEx("1.2.3.4", &second, pty_.SlavePath().c_str(), 9600, 0, 8, 0), 26);
  EXPECT_EQ(PyrnBox_DisconnectDevice(h_), 0);
  h_ = nullptr;
  // An address text longer than its field is cut, not written past it.
  EXPECT_EQ(PyrnBox_ConnectDeviceEx("123.123.123.123.123.123", &second, pty_.SlavePath().c_str(),
                                    9600, 0, 8, 0), 0);
  EXPECT_EQ(std::string(pyrn::FindDevice(second)->m_szIP), "123.123.123.123");
  EXPECT_EQ(PyrnBox_DisconnectDevice(second), 0);
}

// What the layer hands to the driver, recorded on the way.
std::vector<pf::SerialLine> g_handedOver;
bool RecordLine(int, pf::SerialLine* line) {
  g_handedOver.push_back(*line);
  return true;
}

class SerialToDriver : public Serial {
 protected:
  void SetUp() override {
    Serial::SetUp();
    g_handedOver.clear();
  }
  void TearDown() override {
    pf::test::SetSerialDriver(nullptr);
    Serial::TearDown();
  }
};

TEST_F(SerialToDriver, MarkParitySevenBitsTwoStopBitsReachTheLine) {
  pf::test::SetSerialDriver(&RecordLine);
  // Only the low byte of each setting counts.
  ASSERT_NE(Open(19200, 0x103, 0x7F07, 0x102), nullptr);
  ASSERT_EQ(g_handedOver.size(), 1u);
  EXPECT_EQ(g_handedOver[0].cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB),
            static_cast<tcflag_t>(CS7 | PARENB | PARODD | CMSPAR | CSTOPB));
  EXPECT_EQ(g_handedOver[0].lflag & (ICANON | ECHO), 0u) << "raw";
  // What the terminal kept (a pseudo-terminal keeps no byte size or parity
  // enable of its own, but the rest of the line settings).
  std::shared_ptr<CBoxDevice> d = pyrn::FindDevice(h_);
  termios line{};
  ASSERT_EQ(tcgetattr(pty_.SlaveFd(), &line), 0);
  EXPECT_NE(line.c_cflag & CMSPAR, 0u);
  EXPECT_NE(line.c_cflag & PARODD, 0u);
  EXPECT_NE(line.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(cfgetospeed(&line), B19200);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO), 0u) << "raw";
  EXPECT_EQ(d->m_serial.AppliedLine().cflag, line.c_cflag) << "the line as the driver kept it";
  EXPECT_EQ(d->m_serial.Timeouts().readTotalMultiplier, 1u);
}

TEST_F(SerialToDriver, TableRatesGoAsTheirConstantAndAnyOtherAsTheRateItself) {
  const struct {
    uint32_t baud;
    uint32_t bits;  // the rate bits of the flags
  } cases[] = {
      {9600, B9600},
      {19200, B19200},
      {115200, B115200},
      {4000000, B4000000},
      {14400, pf::kLineOtherRate},
      {56000, pf::kLineOtherRate},
      {128000, pf::kLineOtherRate},
      {256000, pf::kLineOtherRate},
      {12345, pf::kLineOtherRate},
  };
  pf::test::SetSerialDriver(&RecordLine);
  for (const auto& c : cases) {
    g_handedOver.clear();
    ASSERT_NE(Open(c.baud), nullptr) << c.baud;
    ASSERT_EQ(g_handedOver.size(), 1u) << c.baud << ": one setting of the line";
    const pf::SerialLine& handed = g_handedOver[0];
    EXPECT_EQ(handed.cflag & pf::kLineRateBits, c.bits) << c.baud;
    EXPECT_EQ(handed.cflag & CIBAUD, 0u) << c.baud << ": the input rate follows the output rate";
    EXPECT_EQ(handed.ospeed, c.baud);
    EXPECT_EQ(handed.ispeed, c.baud);
    EXPECT_EQ(handed.cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8)) << c.baud;
    // A pseudo-terminal keeps what it is given, BOTHER and the rate included.
    pf::SerialLine kept{};
    ASSERT_TRUE(pf::ReadSerialLine(pty_.SlaveFd(), &kept));
    EXPECT_EQ(kept.cflag & pf::kLineRateBits, c.bits) << c.baud;
    EXPECT_EQ(kept.ospeed, c.baud);
    EXPECT_EQ(kept.ispeed, c.baud);
    const pf::SerialLine applied = pyrn::FindDevice(h_)->m_serial.AppliedLine();
    EXPECT_EQ(applied.ospeed, c.baud);
    EXPECT_EQ(PyrnBox_ControlRoadgate(h_, 1), 0) << c.baud;
    EXPECT_EQ(PyrnBox_DisconnectDevice(h_), 0);
    h_ = nullptr;
  }
}

// Drivers that cannot make a rate fail the call, or keep another rate: the
// one they had, 9600, or the nearest they can make.
bool RefuseLine(int, pf::SerialLine*) { return false; }
bool Keep9600(int, pf::SerialLine* line) {
  pf::SetLineRate(line, 9600);
  return true;
}
bool KeepNearest(int, pf::SerialLine* line) {
  // As a divisor makes it: 56074 for 56000 (0.13% off), 57600 for 54000 (6.7% off).
  pf::SetLineRate(line, line->ospeed == 56000 ? 56074 : line->ospeed == 54000 ? 57600 : line->ospeed);
  return true;
}

TEST_F(SerialToDriver, ARateTheDriverRefusesIs26) {
  const struct {
    const char* name;
    pf::test::SerialDriver driver;
    uint32_t baud;
    int result;
  } cases[] = {
      {"fails the call", &RefuseLine, 14400, 26},
      {"fails the call", &RefuseLine, 9600, 26},
      {"keeps 9600", &Keep9600, 128000, 26},
      {"keeps 9600", &Keep9600, 9600, 0},
      {"makes a rate close by", &KeepNearest, 56000, 0},
      {"makes a rate too far off", &KeepNearest, 54000, 26},
  };
  const int fds = kittest::OpenDescriptorCount();
  for (const auto& c : cases) {
    pf::test::SetSerialDriver(c.driver);
    CBoxDevice* h = reinterpret_cast<CBoxDevice*>(1);
    EXPECT_EQ(PyrnBox_ConnectDeviceEx("192.168.1.50", &h, pty_.SlavePath().c_str(), c.baud, 0, 8, 0),
              c.result)
        << c.name << " " << c.baud;
    if (c.result != 0) {
      EXPECT_EQ(h, nullptr) << c.name << " " << c.baud;
      EXPECT_EQ(kittest::OpenDescriptorCount(), fds) << c.name << " " << c.baud << ": nothing stays open";
      continue;
    }
    EXPECT_EQ(PyrnBox_DisconnectDevice(h), 0);
  }
  pf::test::SetSerialDriver(nullptr);
  EXPECT_NE(Open(14400), nullptr) << "the port opens again";
}

TEST_F(Serial, APortIsNamedByItsPathOrByItsNameUnderDev) {
  // From a folder that holds "here/port", a link to the port: a name that is
  // not an absolute path is looked for under /dev/ alone.
  const std::string cwd = kittest::MakeTempFolder("serialcwd");
  ASSERT_EQ(pty_.SlavePath().rfind("/dev/", 0), 0u) << pty_.SlavePath();
  const std::string underDev = pty_.SlavePath().substr(5);  // "pts/N"
  ASSERT_EQ(mkdir((cwd + "here").c_str(), 0700), 0);
  ASSERT_EQ(symlink(pty_.SlavePath().c_str(), (cwd + "here/port").c_str()), 0);
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  CBoxDevice* h = nullptr;
  const int byRelativeName = PyrnBox_ConnectDeviceEx("192.168.1.50", &h, "here/port", 9600, 0, 8, 0);
  const int byNameUnderDev = PyrnBox_ConnectDeviceEx("192.168.1.50", &h_, underDev.c_str(), 9600, 0, 8, 0);
  EXPECT_EQ(chdir(old), 0);
  EXPECT_EQ(byRelativeName, 26) << "not opened from the current folder";
  EXPECT_EQ(h, nullptr);
  ASSERT_EQ(byNameUnderDev, 0) << underDev;
  EXPECT_EQ(PyrnBox_ControlRoadgate(h_, 1), 0);
  EXPECT_EQ(PyrnBox_DisconnectDevice(h_), 0);
  h_ = nullptr;
  EXPECT_NE(Open(), nullptr) << "and by its absolute path";
  EXPECT_EQ(PyrnBox_ControlRoadgate(h_, 1), 0);
}

TEST_F(Serial, RequestsAndRepliesGoOverTheLineWithoutHandshake) {
  ASSERT_NE(Open(), nullptr);
  EXPECT_EQ(PyrnBox_ControlRoadgate(h_, 1), 0);
  EXPECT_EQ(Hex(pty_.Received()), "AA 55 FF 00 11 00 01 00 00 00 01 01 01 01 ED 55 AA")
      << "no link handshake and no time frame before it";
  std::shared_ptr<CBoxDevice> d;
  int timeout = 0;
  pyrn::test::SetReplyTimeoutsMs(800, 5000, 4000);
  EXPECT_EQ(pyrn::CheckConnection(h_, &d, &timeout), 0);
  EXPECT_EQ(timeout, 5000);
  EXPECT_GT(d->m_serial.m_lastWriteTick.load(), 0);
  EXPECT_EQ(std::string(d->m_szIP), "192.168.1.50");
  EXPECT_EQ(d->m_dwIP, kittest::Addr("192.168.1.50"));
  EXPECT_EQ(d->m_wPort, 10028);
  EXPECT_EQ(d->m_bTcp.load(), 0);
}

TEST(SerialBeforeStartUp, APortConnectsWithoutStartUp) {
  FakeSerialBox pty;
  ASSERT_TRUE(pty.Ok());
  CBoxDevice* h = nullptr;
  ASSERT_EQ(PyrnBox_ConnectDeviceEx("10.0.0.9", &h, pty.SlavePath().c_str(), 9600, 0, 8, 0), 0);
  EXPECT_EQ(PyrnBox_SendAnyData(h, "ab", 2), 0);
  EXPECT_TRUE(kittest::WaitUntil([&] { return pty.Received() == Bytes{'a', 'b'}; }, 2000));
  EXPECT_EQ(PyrnBox_DisconnectDevice(h), 0);
}

TEST_F(Serial, SilenceIsATimeOut) {
  ASSERT_NE(Open(), nullptr);
  pyrn::test::SetReplyTimeoutsMs(100, 300, 100);
  pty_.script().Silent(1, 1);
  const int64_t t0 = kittest::NowMs();
  EXPECT_EQ(PyrnBox_ControlRoadgate(h_, 1), 209);
  EXPECT_GE(kittest::NowMs() - t0, 280);
}

std::atomic<int> g_reports{0};
std::atomic<int> g_lastValue{0};
void PYRN_CALL CountReport(void*, StBoxByteReport* r) {
  g_lastValue = r->value;
  ++g_reports;
}

TEST_F(Serial, AFrameInManyPiecesIsHandledOnce) {
  PyrnBox_Quit();
  ASSERT_EQ(PyrnBox_Init(CountReport, nullptr, nullptr, nullptr), 0);
  ASSERT_NE(Open(), nullptr);
  Frame f;
  f.cls = 4;
  f.sub = 1;
  f.payload = {0x3C};
  Bytes stream = {0x00, 0xAA};  // noise first
  const Bytes frame = boxtest::Encode(f);
  stream.insert(stream.end(), frame.begin(), frame.end());
  ASSERT_TRUE(pty_.PushSlowly(stream, 3));
  ASSERT_TRUE(kittest::WaitUntil([] { return g_reports.load() == 1; }, 2000));
  EXPECT_EQ(g_lastValue.load(), 0x3C);
  EXPECT_EQ(PyrnBox_ControlRoadgate(h_, 1), 0);
  EXPECT_EQ(g_reports.load(), 1);
}

TEST_F(Serial, ABurstLargerThanTheReceiveBufferIsParsedWhole) {
  ASSERT_EQ(PyrnBox_RegSerialPortCallback(boxtest::SerialData::Collect), 0);
  ASSERT_NE(Open(115200), nullptr);
  // Eight frames of serial data, 8128 bytes in one write: more than the
  // receive buffer holds, and bytes keep coming while earlier ones are
  // parsed. None may be thrown away.
  Bytes stream;
  std::vector<Bytes> sent;
  for (int i = 0; i < 8; ++i) {
    Frame f;
    f.cls = 3;
    f.sub = 2;
    f.payload.resize(1000);
    for (size_t k = 0; k < f.payload.size(); ++k) f.payload[k] = static_cast<uint8_t>(i * 7 + k);
    sent.push_back(f.payload);
    const Bytes b = boxtest::Encode(f);
    stream.insert(stream.end(), b.begin(), b.end());
  }
  ASSERT_TRUE(pty_.Push(stream));
  ASSERT_TRUE(kittest::WaitUntil([] { return boxtest::SerialData::Got().size() >= 8; }, 5000));
  EXPECT_EQ(boxtest::SerialData::Got(), sent);
}

TEST_F(Serial, AHungUpLineFailsToSendUntilDisconnected) {
  const std::set<int> threads = kittest::ThreadIds();
  ASSERT_NE(Open(), nullptr);
  pty_.HangUp();
  // The port stays open (the device counts as connected), but nothing can
  // be written to it.
  EXPECT_EQ(PyrnBox_ControlRoadgate(h_, 1), 17);
  EXPECT_EQ(PyrnBox_SendAnyData(h_, "x", 1), 17);
  EXPECT_EQ(PyrnBox_ReadLog(h_), 17);
  EXPECT_EQ(PyrnBox_DisconnectDevice(h_), 0);
  h_ = nullptr;
  EXPECT_TRUE(kittest::OnlyThreadsOf(threads)) << "the reader ends";
}

TEST_F(Serial, NoHeartbeatOverTheLine) {
  pyrn::test::SetHeartbeatTickMs(5);
  PyrnBox_Quit();
  ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, nullptr, nullptr), 0);
  ASSERT_NE(Open(), nullptr);
  // A TCP box beside it gets its time frames in the meantime.
  boxtest::FakeBox tcp("127.0.0.5");
  CBoxDevice* t = nullptr;
  ASSERT_EQ(PyrnBox_ConnectDevice("127.0.0.5", &t), 0);
  EXPECT_TRUE(tcp.script().WaitFrames(0, 0, 3, 3000));
  EXPECT_TRUE(pty_.Received().empty());
  PyrnBox_DisconnectDevice(t);
}

TEST_F(Serial, DisconnectClosesThePortAndEndsTheReader) {
  const int threads = kittest::ThreadCount();
  const int fds = kittest::OpenDescriptorCount();
  ASSERT_NE(Open(), nullptr);
  EXPECT_EQ(kittest::ThreadCount(), threads + 1);
  EXPECT_EQ(PyrnBox_DisconnectDevice(h_), 0);
  EXPECT_EQ(PyrnBox_ControlRoadgate(h_, 1), 7);
  h_ = nullptr;
  EXPECT_TRUE(kittest::ThreadCountBecomes(threads)) << kittest::ThreadCount();
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds);
}

void PYRN_CALL DisconnectInside(void* user, StBoxByteReport* r) {
  EXPECT_EQ(PyrnBox_DisconnectDevice(r->handle), 0);
  static_cast<std::atomic<int>*>(user)->store(1);
}

TEST_F(Serial, DisconnectFromACallbackOnTheReader) {
  std::atomic<int> done{0};
  PyrnBox_Quit();
  ASSERT_EQ(PyrnBox_Init(DisconnectInside, nullptr, nullptr, &done), 0);
  // The threads that quit joined may still be listed: the reader must end
  // with none but these left.
  const std::set<int> threads = kittest::ThreadIds();
  const int fds = kittest::OpenDescriptorCount();
  CBoxDevice* h = Open();
  ASSERT_NE(h, nullptr);
  h_ = nullptr;
  Frame f;
  f.cls = 4;
  f.sub = 1;
  f.payload = {1};
  pty_.Push(boxtest::Encode(f));
  ASSERT_TRUE(kittest::WaitUntil([&] { return done.load() == 1; }, 2000));
  EXPECT_TRUE(kittest::OnlyThreadsOf(threads, 5000)) << kittest::ThreadCount() << " threads";
  EXPECT_TRUE(kittest::WaitUntil([&] { return kittest::OpenDescriptorCount() == fds; }, 5000))
      << kittest::OpenDescriptorCount() << " fds";
  EXPECT_EQ(PyrnBox_DisconnectDevice(h), 7);
}

}  // namespace

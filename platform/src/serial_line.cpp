// The kernel's own terminal record, termios2: only here, since its header
// and <termios.h> define records of the same names.
#include "platform/serial_line.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace pf {

static_assert(kLineRateBits == CBAUD && kLineOtherRate == BOTHER, "rate bits of this platform");
// The same record, field for field.
static_assert(sizeof(SerialLine) == sizeof(termios2), "termios2 of this platform");
static_assert(offsetof(SerialLine, cflag) == offsetof(termios2, c_cflag) &&
                  offsetof(SerialLine, line) == offsetof(termios2, c_line) &&
                  offsetof(SerialLine, cc) == offsetof(termios2, c_cc) &&
                  offsetof(SerialLine, ispeed) == offsetof(termios2, c_ispeed) &&
                  offsetof(SerialLine, ospeed) == offsetof(termios2, c_ospeed),
              "termios2 of this platform");

namespace {

std::atomic<test::SerialDriver> g_driver{nullptr};

uint32_t RateConstant(uint32_t baud) {
  static const struct {
    uint32_t baud;
    uint32_t bits;
  } kRates[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000},
  };
  for (const auto& r : kRates)
    if (r.baud == baud) return r.bits;
  return BOTHER;
}

}  // namespace

void SetLineRate(SerialLine* line, uint32_t baud) {
  // CIBAUD cleared: the input rate is the output rate.
  line->cflag &= ~static_cast<uint32_t>(CBAUD | (CBAUD << IBSHIFT));
  line->cflag |= RateConstant(baud);
  line->ispeed = line->ospeed = baud;
}

bool LineKeepsRate(const SerialLine& line, uint32_t baud) {
  const uint64_t kept = line.ospeed;
  const uint64_t diff = kept > baud ? kept - baud : baud - kept;
  return diff * 50 <= baud;
}

bool ReadSerialLine(int fd, SerialLine* out) {
  termios2 k{};
  if (ioctl(fd, TCGETS2, &k) != 0) return false;
  memcpy(out, &k, sizeof k);
  return true;
}

bool WriteSerialLine(int fd, const SerialLine& line) {
  SerialLine kept = line;
  if (const test::SerialDriver d = g_driver.load(); d && !d(fd, &kept)) {
    errno = EINVAL;
    return false;
  }
  termios2 k{};
  memcpy(&k, &kept, sizeof k);
  int r;
  do {
    r = ioctl(fd, TCSETS2, &k);
  } while (r != 0 && errno == EINTR);
  return r == 0;
}

void test::SetSerialDriver(SerialDriver driver) { g_driver.store(driver); }

}  // namespace pf

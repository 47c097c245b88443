// The line settings of a serial port as its driver takes them: the kernel's
// termios2, whose speed fields carry any rate. A rate of the B... table goes
// to the driver as that constant in the flags; any other rate goes as
// BOTHER with the rate itself in the speed fields. Kept apart from
// <termios.h>, whose record of the same name cannot hold such rates.
#pragma once

#include <cstdint>

namespace pf {

// termios2, field for field.
struct SerialLine {
  uint32_t iflag;
  uint32_t oflag;
  uint32_t cflag;
  uint32_t lflag;
  uint8_t line;
  uint8_t cc[19];
  uint32_t ispeed;
  uint32_t ospeed;
};

// The bits of cflag that name the output rate (CBAUD), and their value for a
// rate given in the speed fields (BOTHER).
constexpr uint32_t kLineRateBits = 0x100F;
constexpr uint32_t kLineOtherRate = 0x1000;

// Sets the line to `baud` both ways (the input rate follows the output rate).
void SetLineRate(SerialLine* line, uint32_t baud);
// True when the rate the driver kept is `baud`, within the 2% a serial line
// tolerates (drivers that compute their divisor report the rate they made).
bool LineKeepsRate(const SerialLine& line, uint32_t baud);

// The settings of an open terminal (TCGETS2); false on failure.
bool ReadSerialLine(int fd, SerialLine* out);
// Hands settings to the driver (TCSETS2, at once); false when it fails them.
bool WriteSerialLine(int fd, const SerialLine& line);

namespace test {
// Stands in for the driver's own decision when a line is set: it sees the
// line as the layer hands it over and may refuse it (false, the call fails
// with EINVAL) or change what the driver keeps. Null: the driver decides.
using SerialDriver = bool (*)(int fd, SerialLine* line);
void SetSerialDriver(SerialDriver driver);
}  // namespace test

}  // namespace pf

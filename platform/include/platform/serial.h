// A serial port on termios with the settings of a Windows DCB: baud rate (any
// rate the driver takes), byte size, parity (none, odd, even, mark, space;
// mark and space through CMSPAR) and stop bits (one, one and a half, two). A
// reader thread hands every received byte, in order, to the owner's receiver.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/serial_line.h"

namespace pf {

// DCB Parity and StopBits values.
enum : uint8_t { NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4 };
enum : uint8_t { ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2 };

// COMMTIMEOUTS of the port, in milliseconds.
struct SerialTimeouts {
  uint32_t readInterval;
  uint32_t readTotalMultiplier;
  uint32_t readTotalConstant;
  uint32_t writeTotalMultiplier;
  uint32_t writeTotalConstant;
};

// The time-outs for a baud rate: a read waits 19200 / baud ms per byte (at
// least 1) plus 10 ms. A baud rate of 0 is refused (false).
bool SerialTimeoutsFor(uint32_t baud, SerialTimeouts* out);

// Puts `t` in raw mode with the settings (its other fields, the rate among
// them, as they are), or gives false when a port cannot take them (byte size
// outside 5..8, parity or stop bits outside their values, one and a half stop
// bits but with 5-bit bytes, two stop bits with 5-bit bytes).
bool BuildSerialTermios(uint8_t byteSize, uint8_t stopBits, uint8_t parity, termios* t);

class CSerialPort {
 public:
  // Called on the reader thread with each piece of received bytes.
  using Receiver = std::function<void(const uint8_t* data, size_t n)>;
  // Called on the reader thread before each wait for bytes: how long (ms)
  // the reader may wait before it calls again; negative: until bytes come.
  using Idle = std::function<int()>;

  CSerialPort();
  ~CSerialPort();  // ClosePort
  CSerialPort(const CSerialPort&) = delete;
  CSerialPort& operator=(const CSerialPort&) = delete;

  // The path that a port name opens: an absolute path as it stands, any
  // other name below "/dev/" ("ttyUSB0", "pts/3", "serial/by-id/...").
  static std::string MakeDevicePath(const std::string& name);

  // Opens the port for this process alone, configures it and starts the
  // reader. Any rate above 0 that the driver takes will do. True when the
  // port is open (the open flag); on failure nothing stays open.
  bool InitPort(const char* name, uint32_t baud, uint8_t byteSize, uint8_t stopBits,
                uint8_t parity, Receiver rx, Idle idle = nullptr);
  // Writes all bytes, one writer at a time. False when the port is closed or
  // not every byte could be written.
  bool WriteData(const void* data, size_t len);
  // Reads what the port holds, at most len bytes, waiting for the first byte
  // at most the read time-out for len bytes. The bytes read; 0 on failure.
  int ReadData(size_t len, void* buf);
  // Ends the reader (joined, unless called on it), drops DTR, discards what
  // is queued and closes the port. Always true; a closed port is left alone.
  bool ClosePort();

  bool IsOpen() const;
  SerialTimeouts Timeouts() const;
  // The line settings that the driver kept at the last successful InitPort.
  SerialLine AppliedLine() const;

  // Tick (monotonic ms) of the last write, kept by the owner.
  std::atomic<int64_t> m_lastWriteTick{0};

 private:
  struct State;
  std::shared_ptr<State> st_;
};

}  // namespace pf

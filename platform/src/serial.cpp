#include "platform/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/thread.h"

namespace pf {

bool SerialTimeoutsFor(uint32_t baud, SerialTimeouts* out) {
  if (baud == 0) return false;
  uint32_t perByte = 19200 / baud;
  if (perByte < 1) perByte = 1;
  *out = SerialTimeouts{0, perByte, 10, 0, 0};
  return true;
}

bool BuildSerialTermios(uint8_t byteSize, uint8_t stopBits, uint8_t parity, termios* t) {
  if (byteSize < 5 || byteSize > 8 || parity > SPACEPARITY || stopBits > TWOSTOPBITS) return false;
  // As a serial controller takes them: one and a half stop bits exist only
  // for 5-bit bytes, two stop bits not for them.
  if (stopBits == ONE5STOPBITS && byteSize != 5) return false;
  if (stopBits == TWOSTOPBITS && byteSize == 5) return false;

  cfmakeraw(t);
  t->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t->c_cflag |= CREAD | CLOCAL;
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t->c_cflag |= kSizes[byteSize - 5];
  switch (parity) {
    case ODDPARITY: t->c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t->c_cflag |= PARENB; break;
    case MARKPARITY: t->c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: t->c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (stopBits != ONESTOPBIT) t->c_cflag |= CSTOPB;
  // A byte with a parity error is handed on as it came (no error character),
  // so parity is generated but received bytes are not replaced or dropped.
  t->c_iflag &= ~(INPCK | IGNPAR | PARMRK | IXON | IXOFF | IXANY);
  t->c_cc[VSTART] = 0x11;
  t->c_cc[VSTOP] = 0x13;
  t->c_cc[VMIN] = 0;
  t->c_cc[VTIME] = 0;
  return true;
}

namespace {

// The line that the terminal settings and the rate make.
SerialLine LineFor(const termios& t, uint32_t baud) {
  SerialLine line{};
  line.iflag = t.c_iflag;
  line.oflag = t.c_oflag;
  line.cflag = t.c_cflag;
  line.lflag = t.c_lflag;
  line.line = t.c_line;
  static_assert(sizeof line.cc <= NCCS, "control characters");
  memcpy(line.cc, t.c_cc, sizeof line.cc);
  SetLineRate(&line, baud);
  return line;
}

}  // namespace

struct CSerialPort::State {
  std::atomic<int> fd{-1};
  int wakeFd = -1;
  std::atomic<bool> open{false};
  std::atomic<bool> closeOnExit{false};
  Receiver rx;
  Idle idle;
  Thread reader;
  std::mutex writeMu;
  SerialTimeouts timeouts{};
  SerialLine applied{};
};

namespace {

void Wake(int wakeFd) {
  const uint64_t one = 1;
  if (wakeFd >= 0) (void)!write(wakeFd, &one, sizeof one);
}

// Waits up to ms for the close signal (and takes it).
void WaitWake(int wakeFd, int ms) {
  pollfd p{wakeFd, POLLIN, 0};
  if (poll(&p, 1, ms) == 1) {
    uint64_t v;
    (void)!read(wakeFd, &v, sizeof v);
  }
}

int ReadFrom(int fd, const SerialTimeouts& to, size_t len, void* buf) {
  if (fd < 0 || len == 0) return 0;
  const int waitMs = static_cast<int>(to.readTotalMultiplier * len + to.readTotalConstant);
  pollfd p{fd, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, waitMs);
  } while (r < 0 && errno == EINTR);
  if (r <= 0 || !(p.revents & POLLIN)) return 0;
  ssize_t n;
  do {
    n = read(fd, buf, len);
  } while (n < 0 && errno == EINTR);
  return n > 0 ? static_cast<int>(n) : 0;
}

void CloseDescriptors(int& fd, int& wakeFd) {
  if (fd >= 0) {
    int dtr = TIOCM_DTR;
    ioctl(fd, TIOCMBIC, &dtr);
    tcflush(fd, TCIOFLUSH);
    close(fd);
    fd = -1;
  }
  if (wakeFd >= 0) {
    close(wakeFd);
    wakeFd = -1;
  }
}

}  // namespace

CSerialPort::CSerialPort() : st_(std::make_shared<State>()) {}

CSerialPort::~CSerialPort() { ClosePort(); }

std::string CSerialPort::MakeDevicePath(const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  return "/dev/" + name;
}

bool CSerialPort::InitPort(const char* name, uint32_t baud, uint8_t byteSize, uint8_t stopBits,
                           uint8_t parity, Receiver rx, Idle idle) {
  if (!name) return false;
  ClosePort();
  auto st = std::make_shared<State>();
  if (!SerialTimeoutsFor(baud, &st->timeouts)) return false;
  const std::string path = MakeDevicePath(name);
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int wakeFd = -1;
  auto fail = [&] {
    CloseDescriptors(fd, wakeFd);
    return false;
  };
  // The port is this process's alone while it is open.
  if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0) return fail();
  ioctl(fd, TIOCEXCL);
  tcflush(fd, TCIOFLUSH);
  termios t{};
  if (tcgetattr(fd, &t) != 0) return fail();
  if (!BuildSerialTermios(byteSize, stopBits, parity, &t)) return fail();
  // The rate is the driver's to take: one it cannot make is refused, or
  // replaced by another (most drivers fall back to the previous rate or to
  // 9600), which the line read back shows.
  if (!WriteSerialLine(fd, LineFor(t, baud))) return fail();
  if (!ReadSerialLine(fd, &st->applied) || !LineKeepsRate(st->applied, baud)) return fail();
  // DTR off, RTS on; lines that the device does not have are no failure.
  int dtr = TIOCM_DTR, rts = TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &dtr);
  ioctl(fd, TIOCMBIS, &rts);
  wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) return fail();

  st->rx = std::move(rx);
  st->idle = std::move(idle);
  st->fd.store(fd);
  st->wakeFd = wakeFd;
  st->open.store(true);
  State* raw = st.get();
  if (!raw->reader.Start([st] {
        uint8_t buf[1024];
        while (st->open.load()) {
          const int waitMs = st->idle ? st->idle() : -1;
          pollfd p[2] = {{st->fd.load(), POLLIN, 0}, {st->wakeFd, POLLIN, 0}};
          const int r = poll(p, 2, waitMs < 0 ? -1 : waitMs);
          if (!st->open.load()) break;
          if (r == 0) continue;  // the owner's wait is over
          if (r < 0) {
            if (errno != EINTR) WaitWake(st->wakeFd, 50);
            continue;
          }
          if (p[1].revents) {
            WaitWake(st->wakeFd, 0);
            continue;
          }
          if (p[0].revents & POLLIN) {
            const int n = ReadFrom(st->fd.load(), st->timeouts, sizeof buf, buf);
            if (n > 0) {
              if (st->rx) st->rx(buf, static_cast<size_t>(n));
              continue;
            }
          }
          // Hung up or failing: nothing can be read now; look again shortly
          // instead of spinning.
          WaitWake(st->wakeFd, 50);
        }
        if (st->closeOnExit.load()) {
          int f = st->fd.exchange(-1);
          CloseDescriptors(f, st->wakeFd);
        }
      })) {
    st->open.store(false);
    st->fd.store(-1);
    st->wakeFd = -1;
    return fail();
  }
  std::atomic_store(&st_, std::move(st));
  return true;
}

bool CSerialPort::WriteData(const void* data, size_t len) {
  std::shared_ptr<State> st = std::atomic_load(&st_);
  if (!st || !st->open.load()) return false;
  std::lock_guard<std::mutex> lk(st->writeMu);
  const int fd = st->fd.load();
  if (fd < 0) return false;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < len) {
    const ssize_t n = write(fd, p + done, len - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // The driver's queue is full: wait for room, but not for ever.
      pollfd w{fd, POLLOUT, 0};
      if (poll(&w, 1, 5000) == 1 && (w.revents & POLLOUT)) continue;
    }
    break;
  }
  return done == len;
}

int CSerialPort::ReadData(size_t len, void* buf) {
  std::shared_ptr<State> st = std::atomic_load(&st_);
  if (!st || !st->open.load()) return 0;
  return ReadFrom(st->fd.load(), st->timeouts, len, buf);
}

bool CSerialPort::ClosePort() {
  std::shared_ptr<State> st = std::atomic_load(&st_);
  if (!st || st->fd.load() < 0 || !st->open.load()) return true;
  st->open.store(false);
  Wake(st->wakeFd);
  if (st->reader.IsCurrent()) {
    // Closed from inside the receiver: the reader closes the port once the
    // receiver has returned.
    st->closeOnExit.store(true);
    st->reader.Detach();
    std::atomic_store(&st_, std::make_shared<State>());
    return true;
  }
  st->reader.Join();
  int fd = st->fd.exchange(-1);
  CloseDescriptors(fd, st->wakeFd);
  return true;
}

bool CSerialPort::IsOpen() const {
  std::shared_ptr<State> st = std::atomic_load(&st_);
  return st && st->open.load();
}

SerialTimeouts CSerialPort::Timeouts() const { return std::atomic_load(&st_)->timeouts; }

SerialLine CSerialPort::AppliedLine() const { return std::atomic_load(&st_)->applied; }

}  // namespace pf

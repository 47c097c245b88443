#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/system.h"

namespace pf {

namespace {

thread_local int t_wsaError = 0;
std::atomic<int> g_failListens{0};
std::atomic<int> g_failSends{0};
std::atomic<int> g_recvBufferLimit{0};

// Takes one of the failures a test asked for, if any are left.
bool TakeForcedFailure(std::atomic<int>& left) {
  int n = left.load();
  while (n > 0)
    if (left.compare_exchange_weak(n, n - 1)) return true;
  return false;
}

int Fail() {
  t_wsaError = WsaFromErrno(errno);
  return SOCKET_ERROR;
}

sockaddr_in MakeAddr(uint32_t addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addr;  // first octet in the lowest byte = network order
  return sa;
}

int SetIntOpt(SOCKET s, int level, int name, int value) {
  if (setsockopt(s, level, name, &value, sizeof value) != 0) return Fail();
  return 0;
}

int SetTimeoutOpt(SOCKET s, int name, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  if (setsockopt(s, SOL_SOCKET, name, &tv, sizeof tv) != 0) return Fail();
  return 0;
}

int WaitFor(SOCKET s, short events, int ms) {
  pollfd p{};
  p.fd = s;
  p.events = events;
  for (;;) {
    int r = poll(&p, 1, ms);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return Fail();
    if (r == 0) return 0;
    if (p.revents & POLLNVAL) {
      t_wsaError = WSAENOTSOCK;
      return SOCKET_ERROR;
    }
    return 1;
  }
}

}  // namespace

int WSAGetLastError() { return t_wsaError; }
void WSASetLastError(int code) { t_wsaError = code; }

int WsaFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
#if EAGAIN != EWOULDBLOCK
    case EWOULDBLOCK:
#endif
    case EAGAIN:
    case EINPROGRESS:  // a pending non-blocking connect, as Windows reports it
      return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: case EPIPE: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return 10000 + err;  // keeps unknown errors distinguishable
  }
}

uint32_t InetAddr(const char* text) {
  if (!text) return 0xFFFFFFFFu;
  in_addr a{};
  if (inet_pton(AF_INET, text, &a) != 1) return 0xFFFFFFFFu;
  return a.s_addr;
}

std::string InetNtoa(uint32_t addr) {
  char buf[16];
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&addr);
  snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buf;
}

SOCKET UdpSocket() {
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return Fail();
  return s;
}

SOCKET TcpSocket() {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return Fail();
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

int CloseSocket(SOCKET s) {
  if (s < 0) {
    t_wsaError = WSAENOTSOCK;
    return SOCKET_ERROR;
  }
  if (::close(s) != 0) return Fail();
  return 0;
}

int ShutdownSocket(SOCKET s) {
  if (::shutdown(s, SHUT_RDWR) != 0) return Fail();
  return 0;
}

int SetBroadcast(SOCKET s, bool on) { return SetIntOpt(s, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0); }
int SetReuseAddr(SOCKET s, bool on) { return SetIntOpt(s, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }

int SetNonBlocking(SOCKET s, bool on) {
  int fl = fcntl(s, F_GETFL);
  if (fl < 0) return Fail();
  fl = on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
  if (fcntl(s, F_SETFL, fl) != 0) return Fail();
  return 0;
}

int SetRecvTimeout(SOCKET s, int ms) { return SetTimeoutOpt(s, SO_RCVTIMEO, ms); }
int SetSendTimeout(SOCKET s, int ms) { return SetTimeoutOpt(s, SO_SNDTIMEO, ms); }

int SetRecvBuffer(SOCKET s, int bytes) {
  const int limit = g_recvBufferLimit.load();
  if (limit > 0) bytes = std::min(bytes, limit);
  if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0 &&
      setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0)
    return Fail();
  int got = 0;
  socklen_t len = sizeof got;
  if (getsockopt(s, SOL_SOCKET, SO_RCVBUF, &got, &len) != 0) return Fail();
  return got / 2;
}

bool SizeDiscoveryRecvBuffer(SOCKET s, int* granted) {
  const int got = SetRecvBuffer(s, kDiscoveryRecvBuffer);
  if (granted) *granted = std::max(got, 0);
  return got >= kDiscoveryRecvBuffer;
}

void test::LimitRecvBuffers(int bytes) { g_recvBufferLimit.store(bytes); }

int Bind(SOCKET s, uint32_t addr, uint16_t port) {
  sockaddr_in sa = MakeAddr(addr, port);
  if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return Fail();
  return 0;
}

void test::FailNextListens(int n) { g_failListens.store(n); }
void test::FailNextSends(int n) { g_failSends.store(n); }

int Listen(SOCKET s, int backlog) {
  if (TakeForcedFailure(g_failListens)) {
    t_wsaError = WSAEADDRINUSE;
    return SOCKET_ERROR;
  }
  if (::listen(s, backlog) != 0) return Fail();
  return 0;
}

SOCKET Accept(SOCKET s, uint32_t* peerAddr, uint16_t* peerPort) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  for (;;) {
    SOCKET c = ::accept4(s, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    if (c < 0 && errno == EINTR) continue;
    if (c < 0) return Fail();
    int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (peerAddr) *peerAddr = sa.sin_addr.s_addr;
    if (peerPort) *peerPort = ntohs(sa.sin_port);
    return c;
  }
}

int Connect(SOCKET s, uint32_t addr, uint16_t port) {
  sockaddr_in sa = MakeAddr(addr, port);
  for (;;) {
    if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
    if (errno == EINTR) continue;
    return Fail();
  }
}

int WaitWritable(SOCKET s, int ms) { return WaitFor(s, POLLOUT, ms); }
int WaitReadable(SOCKET s, int ms) { return WaitFor(s, POLLIN, ms); }

bool WaitReadableUntil(SOCKET s, int64_t deadlineMs) {
  if (deadlineMs < 0) return true;
  for (;;) {
    const int64_t left = deadlineMs - MonotonicMs();
    if (left <= 0) return false;
    // poll may end its wait a little before the deadline by this clock: look again.
    if (WaitReadable(s, static_cast<int>(std::min<int64_t>(left, INT_MAX))) != 0) return true;
  }
}

int PendingError(SOCKET s) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return WsaFromErrno(errno);
  return WsaFromErrno(err);
}

int AwaitConnect(SOCKET s, int ms, const std::atomic<uint8_t>* stop) {
  constexpr int kStepMs = 50;
  const int64_t end = MonotonicMs() + ms;
  int err = 0;
  for (;;) {
    if (stop && stop->load()) {
      err = WSAEINTR;
      break;
    }
    const int64_t left = end - MonotonicMs();
    if (left <= 0) {
      err = WSAETIMEDOUT;
      break;
    }
    const int r = WaitWritable(s, static_cast<int>(stop && left > kStepMs ? kStepMs : left));
    if (r < 0) {
      err = WSAGetLastError();
      break;
    }
    if (r == 1) {
      err = PendingError(s);
      break;
    }
  }
  if (err != 0) WSASetLastError(err);
  return err;
}

uint16_t LocalPort(SOCKET s) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

uint32_t LocalAddress(SOCKET s) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return sa.sin_addr.s_addr;
}

int Send(SOCKET s, const void* buf, size_t len) {
  if (TakeForcedFailure(g_failSends)) {
    t_wsaError = WSAECONNRESET;
    return SOCKET_ERROR;
  }
  const char* p = static_cast<const char*>(buf);
  size_t left = len;
  while (left > 0) {
    ssize_t n = ::send(s, p, left, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail();
    p += n;
    left -= static_cast<size_t>(n);
  }
  return static_cast<int>(len);
}

int SendNoWait(SOCKET s, const void* buf, size_t len) {
  for (;;) {
    ssize_t n = ::send(s, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail();
    return static_cast<int>(n);
  }
}

int Recv(SOCKET s, void* buf, size_t len) {
  for (;;) {
    ssize_t n = ::recv(s, buf, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail();
    return static_cast<int>(n);
  }
}

int SendTo(SOCKET s, const void* buf, size_t len, uint32_t addr, uint16_t port) {
  sockaddr_in sa = MakeAddr(addr, port);
  for (;;) {
    ssize_t n = ::sendto(s, buf, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail();
    return static_cast<int>(n);
  }
}

int SendToFrom(SOCKET s, const void* buf, size_t len, uint32_t addr, uint16_t port,
               uint32_t srcAddr) {
  sockaddr_in sa = MakeAddr(addr, port);
  iovec iov{const_cast<void*>(buf), len};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr msg{};
  msg.msg_name = &sa;
  msg.msg_namelen = sizeof sa;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo pi{};
  pi.ipi_spec_dst.s_addr = srcAddr;
  memcpy(CMSG_DATA(c), &pi, sizeof pi);
  for (;;) {
    ssize_t n = ::sendmsg(s, &msg, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail();
    return static_cast<int>(n);
  }
}

int RecvFrom(SOCKET s, void* buf, size_t len, uint32_t* fromAddr, uint16_t* fromPort) {
  sockaddr_in sa{};
  socklen_t slen = sizeof sa;
  for (;;) {
    ssize_t n = ::recvfrom(s, buf, len, 0, reinterpret_cast<sockaddr*>(&sa), &slen);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail();
    if (fromAddr) *fromAddr = sa.sin_addr.s_addr;
    if (fromPort) *fromPort = ntohs(sa.sin_port);
    return static_cast<int>(n);
  }
}

}  // namespace pf

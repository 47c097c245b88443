// IPv4 sockets with the failure reporting of Windows Sockets: every failing
// call returns SOCKET_ERROR (or INVALID_SOCKET) and leaves the Windows Sockets
// error number in a thread-local last error, so that the English error texts
// of the libraries apply unchanged.
//
// Addresses are 32-bit values with the first octet in the lowest byte (as
// inet_addr gives them); ports are host-order numbers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pf {

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Windows Sockets error numbers used by the libraries.
enum : int {
  WSAEINTR = 10004,
  WSAEBADF = 10009,
  WSAEACCES = 10013,
  WSAEFAULT = 10014,
  WSAEINVAL = 10022,
  WSAEMFILE = 10024,
  WSAEWOULDBLOCK = 10035,
  WSAEINPROGRESS = 10036,
  WSAEALREADY = 10037,
  WSAENOTSOCK = 10038,
  WSAEDESTADDRREQ = 10039,
  WSAEMSGSIZE = 10040,
  WSAEPROTOTYPE = 10041,
  WSAENOPROTOOPT = 10042,
  WSAEPROTONOSUPPORT = 10043,
  WSAESOCKTNOSUPPORT = 10044,
  WSAEOPNOTSUPP = 10045,
  WSAEPFNOSUPPORT = 10046,
  WSAEAFNOSUPPORT = 10047,
  WSAEADDRINUSE = 10048,
  WSAEADDRNOTAVAIL = 10049,
  WSAENETDOWN = 10050,
  WSAENETUNREACH = 10051,
  WSAENETRESET = 10052,
  WSAECONNABORTED = 10053,
  WSAECONNRESET = 10054,
  WSAENOBUFS = 10055,
  WSAEISCONN = 10056,
  WSAENOTCONN = 10057,
  WSAESHUTDOWN = 10058,
  WSAETIMEDOUT = 10060,
  WSAECONNREFUSED = 10061,
  WSAEHOSTDOWN = 10064,
  WSAEHOSTUNREACH = 10065,
};

int WSAGetLastError();
void WSASetLastError(int code);
int WsaFromErrno(int err);

// inet_addr / inet_ntoa equivalents. InetAddr gives 0xFFFFFFFF for a text that
// is not a dotted address (as inet_addr does).
uint32_t InetAddr(const char* text);
std::string InetNtoa(uint32_t addr);

SOCKET UdpSocket();  // close-on-exec
SOCKET TcpSocket();  // close-on-exec, TCP_NODELAY
int CloseSocket(SOCKET s);
// Wakes every thread blocked on the socket (receive returns 0 or an error);
// only the owner closes the descriptor afterwards.
int ShutdownSocket(SOCKET s);

int SetBroadcast(SOCKET s, bool on);
int SetReuseAddr(SOCKET s, bool on);
int SetNonBlocking(SOCKET s, bool on);
int SetRecvTimeout(SOCKET s, int ms);
int SetSendTimeout(SOCKET s, int ms);
// Asks for a receive buffer of `bytes` (the privileged variant first, which
// passes the system's limit where the process may; otherwise the ordinary
// one, which the limit cuts). Returns the size the system granted, in the
// units asked (Linux reports twice what it keeps, the half being its own
// bookkeeping), or SOCKET_ERROR.
int SetRecvBuffer(SOCKET s, int bytes);
// Receive buffer of a discovery socket. A search is answered by every device
// of a site at once, and an answer that finds the buffer full is dropped by
// the system: 4 MiB hold the burst of well over a thousand devices' answers.
constexpr int kDiscoveryRecvBuffer = 4 << 20;
// Gives a discovery socket its receive buffer. True when the system granted
// all of kDiscoveryRecvBuffer; `granted` gets the size it granted. The socket
// works either way, with a smaller buffer.
bool SizeDiscoveryRecvBuffer(SOCKET s, int* granted);
int Bind(SOCKET s, uint32_t addr, uint16_t port);
int Listen(SOCKET s, int backlog);
SOCKET Accept(SOCKET s, uint32_t* peerAddr, uint16_t* peerPort);
// A non-blocking connect that does not complete at once fails with
// WSAEWOULDBLOCK, as on Windows.
int Connect(SOCKET s, uint32_t addr, uint16_t port);
// 1 writable, 0 time-out, SOCKET_ERROR on failure.
int WaitWritable(SOCKET s, int ms);
// 1 readable, 0 time-out, SOCKET_ERROR on failure.
int WaitReadable(SOCKET s, int ms);
// Waits until `s` is readable or the monotonic clock (MonotonicMs) reaches
// `deadlineMs`. True when the socket became readable or failed (a receive
// tells which); false once the deadline has come first. A negative deadline
// (none) gives true at once.
bool WaitReadableUntil(SOCKET s, int64_t deadlineMs);
// The pending error of the socket (SO_ERROR) as a Windows Sockets number, 0 if none.
int PendingError(SOCKET s);
// Waits up to `ms` for a connect that returned WSAEWOULDBLOCK to complete,
// looking at `stop` (when given) at least every 50 ms so that a stop need not
// wait out the time-out. 0 when connected; otherwise the Windows Sockets error
// (WSAETIMEDOUT, WSAEINTR when stopped, or the connect's own), which is also
// left as the last error.
int AwaitConnect(SOCKET s, int ms, const std::atomic<uint8_t>* stop = nullptr);
uint16_t LocalPort(SOCKET s);
// The local address a socket is bound or connected to (0 when unknown).
uint32_t LocalAddress(SOCKET s);

// Sends every byte (looping over partial sends, never raising SIGPIPE).
// Returns len, or SOCKET_ERROR.
int Send(SOCKET s, const void* buf, size_t len);
// One send without waiting for buffer space: the bytes that fit go, the rest
// does not. Returns the bytes sent or SOCKET_ERROR (WSAEWOULDBLOCK when none fit).
int SendNoWait(SOCKET s, const void* buf, size_t len);
int Recv(SOCKET s, void* buf, size_t len);
int SendTo(SOCKET s, const void* buf, size_t len, uint32_t addr, uint16_t port);
// Datagram that leaves with `srcAddr` as its source address, so that a
// broadcast reaches the network of that address on a PC with several.
int SendToFrom(SOCKET s, const void* buf, size_t len, uint32_t addr, uint16_t port,
               uint32_t srcAddr);
int RecvFrom(SOCKET s, void* buf, size_t len, uint32_t* fromAddr, uint16_t* fromPort);

namespace test {
// Make the next `n` calls of Listen (WSAEADDRINUSE) or of Send
// (WSAECONNRESET) fail without touching the socket, so that the paths of a
// listener that cannot listen and of a send that fails can be exercised.
void FailNextListens(int n);
void FailNextSends(int n);
// While `bytes` > 0, SetRecvBuffer asks the system for no more than `bytes`,
// as on a system whose limit is that (0 ends it).
void LimitRecvBuffers(int bytes);
}  // namespace test

}  // namespace pf

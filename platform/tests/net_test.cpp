#include <gtest/gtest.h>

#include <thread>

#include "fake_peer.h"
#include "netns.h"
#include "platform/net.h"
#include "platform/system.h"
#include "wait.h"

namespace {

TEST(Net, ErrnoMapsToWindowsSocketsNumbers) {
  struct Case {
    int err, wsa;
  } cases[] = {{EAGAIN, 10035},      {EINPROGRESS, 10035}, {ECONNRESET, 10054},
               {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},   {ENOTSOCK, 10038},
               {EADDRINUSE, 10048},  {ENOTCONN, 10057},    {0, 0}};
  for (const auto& c : cases) EXPECT_EQ(pf::WsaFromErrno(c.err), c.wsa) << c.err;
}

TEST(Net, AddressTextsRoundTripWithFirstOctetLow) {
  const uint32_t a = pf::InetAddr("198.51.100.7");
  EXPECT_EQ(a & 0xFF, 198u);
  EXPECT_EQ(a >> 24, 7u);
  EXPECT_EQ(pf::InetNtoa(a), "198.51.100.7");
  EXPECT_EQ(pf::InetAddr("not an address"), 0xFFFFFFFFu);
}

TEST(Net, ShutdownWakesBlockedReceiveOnUdpAndTcp) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  pf::SOCKET u = pf::UdpSocket();
  ASSERT_EQ(pf::Bind(u, pf::InetAddr("127.0.0.1"), 0), 0);
  pf::SOCKET l = pf::TcpSocket();
  ASSERT_EQ(pf::Bind(l, pf::InetAddr("127.0.0.1"), 0), 0);
  ASSERT_EQ(pf::Listen(l, 4), 0);
  pf::SOCKET c = pf::TcpSocket();
  ASSERT_EQ(pf::Connect(c, pf::InetAddr("127.0.0.1"), pf::LocalPort(l)), 0);
  std::atomic<int> done{0};
  char buf[16];
  std::thread tu([&] { pf::Recv(u, buf, sizeof buf); ++done; });
  std::thread tc([&] { char b2[16]; pf::Recv(c, b2, sizeof b2); ++done; });
  ASSERT_FALSE(kittest::WaitUntil([&] { return done.load() > 0; }, 50));  // both block
  pf::ShutdownSocket(u);
  pf::ShutdownSocket(c);
  EXPECT_TRUE(kittest::WaitUntil([&] { return done.load() == 2; }, 2000));
  tu.join();
  tc.join();
  pf::CloseSocket(u);
  pf::CloseSocket(c);
  pf::CloseSocket(l);
}

TEST(Net, FailuresLeaveWindowsSocketsError) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  pf::SOCKET a = pf::UdpSocket(), b = pf::UdpSocket();
  ASSERT_EQ(pf::Bind(a, 0, 0), 0);
  EXPECT_EQ(pf::Bind(b, 0, pf::LocalPort(a)), pf::SOCKET_ERROR);
  EXPECT_EQ(pf::WSAGetLastError(), pf::WSAEADDRINUSE);
  pf::CloseSocket(a);
  pf::CloseSocket(b);
  EXPECT_EQ(pf::Send(-1, "x", 1), pf::SOCKET_ERROR);
  EXPECT_EQ(pf::WSAGetLastError(), pf::WSAENOTSOCK);
  // The last error belongs to the thread whose call failed.
  int elsewhere = -1;
  std::thread([&] { elsewhere = pf::WSAGetLastError(); }).join();
  EXPECT_EQ(elsewhere, 0);
  EXPECT_EQ(pf::WSAGetLastError(), pf::WSAENOTSOCK);
}

TEST(Net, DiscoveryReceiveBufferSaysWhatTheSystemGranted) {
  const int asked = pf::kDiscoveryRecvBuffer;
  ASSERT_GE(asked, 4 << 20) << "room for the answers of a thousand devices at once";
  struct Case {
    const char* name;
    int systemLimit;  // 0: the system's own
    int granted;
  } cases[] = {
      {"the system's own limit", 0, kittest::RecvBufferGranted(asked)},
      {"a system that gives 64 KiB", 64 << 10, 64 << 10},
      {"a system that gives one byte less", asked - 1, asked - 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pf::test::LimitRecvBuffers(c.systemLimit);
    pf::SOCKET s = pf::UdpSocket();
    int granted = -1;
    EXPECT_EQ(pf::SizeDiscoveryRecvBuffer(s, &granted), c.granted >= asked);
    EXPECT_EQ(granted, c.granted);
    EXPECT_EQ(kittest::RecvBufferOf(s), c.granted) << "what the socket holds";
    pf::CloseSocket(s);
  }
  pf::test::LimitRecvBuffers(0);
  int granted = -1;
  EXPECT_FALSE(pf::SizeDiscoveryRecvBuffer(pf::INVALID_SOCKET, &granted));
  EXPECT_EQ(granted, 0);
}

TEST(TestNetwork, GuardRefusesANetworkWithAnInterfaceOfAnotherKind) {
  std::string why;
  ASSERT_TRUE(kittest::InPrivateNetwork(&why)) << why;
  // Only inside the private network: an interface that is not the test's own.
  ASSERT_TRUE(kittest::RunCommand("ip link add other0 type veth peer name kitother1"));
  EXPECT_FALSE(kittest::InPrivateNetwork(&why));
  EXPECT_NE(why.find("other0"), std::string::npos) << why;
  ASSERT_TRUE(kittest::RunCommand("ip link del other0"));
  EXPECT_TRUE(kittest::InPrivateNetwork(&why)) << why;
  ASSERT_TRUE(kittest::RunCommand("ip link del kitveth0"));  // the test pair itself is missing
  EXPECT_FALSE(kittest::InPrivateNetwork(&why));
}

TEST(LocalAddresses, ListTheTestVethAndNotLoopback) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  auto list = pf::ListLocalIPv4();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0], "198.51.100.1");
}

TEST(LocalAddresses, FirstAddressOfEachInterfaceComesFirst) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  ASSERT_TRUE(kittest::RunCommand("ip addr add 198.51.100.9/24 dev kitveth0"));
  // A second interface made after the veth pair, so it comes later in order.
  ASSERT_TRUE(kittest::RunCommand("ip link add kitveth2 type veth peer name kitveth3"));
  ASSERT_TRUE(kittest::RunCommand("ip addr add 198.51.100.200/24 dev kitveth2"));
  ASSERT_TRUE(kittest::RunCommand("ip link set kitveth2 up"));
  auto list = pf::ListLocalIPv4();
  ASSERT_EQ(list.size(), 3u);
  // kitveth0's first, kitveth2's first, then kitveth0's second.
  EXPECT_EQ(list[0], "198.51.100.1");
  EXPECT_EQ(list[1], "198.51.100.200");
  EXPECT_EQ(list[2], "198.51.100.9");
}

TEST(Clock, FreezesAndThaws) {
  pf::test::FreezeClock(1700000000123);
  pf::WallTime t = pf::Now();
  EXPECT_EQ(t.sec, 1700000000);
  EXPECT_EQ(t.ms, 123);
  pf::test::ThawClock();
  EXPECT_GT(pf::Now().sec, 1700000000);
}

}  // namespace

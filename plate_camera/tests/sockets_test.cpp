// The socket routine: the UDP port series, the bounded TCP connect and its
// log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "context.h"
#include "fake_peer.h"
#include "lpr_fixture.h"
#include "netns.h"
#include "platform/net.h"
#include "process.h"
#include "sockets.h"

namespace {

using kittest::Gbk;

class Sockets : public lprtest::LprTest {
 protected:
  bool QueuedLine(const std::string& utf8) {
    const auto q = Queued();
    return std::find(q.begin(), q.end(), Gbk(utf8)) != q.end();
  }
};

TEST_F(Sockets, UdpBindsTheFirstFreePortInStepsOfTwo) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  pf::SOCKET a = pf::UdpSocket(), b = pf::UdpSocket(), c = pf::UdpSocket();
  ASSERT_EQ(pf::Bind(a, 0, 58587), 0);
  ASSERT_EQ(pf::Bind(b, 0, 58589), 0);
  ASSERT_EQ(pf::Bind(c, 0, 58590), 0);  // not in the series
  pf::SOCKET s = nardix::CreateSocket(true, 0, 58587);
  ASSERT_NE(s, pf::INVALID_SOCKET);
  EXPECT_EQ(pf::LocalPort(s), 58591);
  for (auto x : {s, a, b, c}) pf::CloseSocket(x);
}

TEST_F(Sockets, UdpWithAllFiftyPortsTakenFails) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  std::vector<pf::SOCKET> taken;
  for (int i = 0; i < 50; ++i) {
    taken.push_back(pf::UdpSocket());
    ASSERT_EQ(pf::Bind(taken.back(), 0, static_cast<uint16_t>(40000 + 2 * i)), 0);
  }
  const int fds = kittest::OpenDescriptorCount();
  EXPECT_EQ(nardix::CreateSocket(true, 0, 40000), pf::INVALID_SOCKET);
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds);
  EXPECT_TRUE(QueuedLine("启用UDP时，绑定socket失败"));
  for (auto s : taken) pf::CloseSocket(s);
}

TEST_F(Sockets, NoDescriptorLeftLogsTheKindOfSocketAndTheSystemsReason) {
  pf::SOCKET udp = 0, tcp = 0;
  ASSERT_TRUE(kittest::WithNoFreeDescriptor([&] {
    udp = nardix::CreateSocket(true, 0, 58587);
    tcp = nardix::CreateSocket(false, kittest::Addr("127.0.0.4"), 59002);
  }));
  EXPECT_EQ(udp, pf::INVALID_SOCKET);
  EXPECT_EQ(tcp, pf::INVALID_SOCKET);
  const std::string reason = strerror(EMFILE);
  EXPECT_TRUE(QueuedLine("创建（1）SOCKET失败，原因：" + reason));
  EXPECT_TRUE(QueuedLine("创建（0）SOCKET失败，原因：" + reason));
}

TEST_F(Sockets, TcpConnectsToAListenerAndRefusesAddressZero) {
  kittest::FakeTcpServer server("127.0.0.4", 59002);
  pf::SOCKET s = nardix::CreateSocket(false, kittest::Addr("127.0.0.4"), 59002);
  ASSERT_NE(s, pf::INVALID_SOCKET);
  EXPECT_TRUE(server.WaitConnections(1, 2000));
  pf::CloseSocket(s);
  EXPECT_EQ(nardix::CreateSocket(false, 0, 59002), pf::INVALID_SOCKET);
  EXPECT_TRUE(QueuedLine("生成socket时，IP地址为0"));
  // Refused at once, without a line of its own.
  const size_t lines = Queued().size();
  EXPECT_EQ(nardix::CreateSocket(false, kittest::Addr("127.0.0.4"), 59003), pf::INVALID_SOCKET);
  EXPECT_EQ(Queued().size(), lines);
}

TEST_F(Sockets, TcpToAHostThatDoesNotAnswerGivesUpAfterTwoSecondsOrWhenStopped) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  nardix::test::SetConnectTimeoutMs(2000);
  const uint32_t nobody = pf::InetAddr("198.51.100.77");
  const int fds = kittest::OpenDescriptorCount();
  int64_t t0 = kittest::NowMs();
  EXPECT_EQ(nardix::CreateSocket(false, nobody, 59002), pf::INVALID_SOCKET);
  int64_t took = kittest::NowMs() - t0;
  EXPECT_GE(took, 1900);
  EXPECT_LT(took, 3000);
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds);

  // A connect made for a thread that is being stopped gives up at once.
  std::atomic<uint8_t> stop{1};
  t0 = kittest::NowMs();
  EXPECT_EQ(nardix::CreateSocket(false, nobody, 59002, &stop), pf::INVALID_SOCKET);
  EXPECT_LT(kittest::NowMs() - t0, 500);
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds);
}

}  // namespace

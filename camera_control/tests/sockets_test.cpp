// The socket helpers: the UDP port series, the bounded TCP connect, local addresses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "context.h"
#include "fake_peer.h"
#include "netns.h"
#include "platform/net.h"
#include "process.h"
#include "sockets.h"
#include "wait.h"

namespace {

using kittest::Gbk;

class Sockets : public testing::Test {
 protected:
  void SetUp() override { qelm::Global().m_log.m_bLogOn.store(1); }  // queue lines, no writer
  std::vector<std::string> Lines() {
    auto& q = qelm::Global().m_log;
    pf::Lock lk(q.m_csLog);
    return {q.m_listLog.begin(), q.m_listLog.end()};
  }
  bool Logged(const std::string& line) {
    auto l = Lines();
    return std::find(l.begin(), l.end(), line) != l.end();
  }
};

TEST_F(Sockets, UdpTakesTheNextFreePortButLogsThePortAskedFor) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  pf::SOCKET a = pf::UdpSocket(), b = pf::UdpSocket();
  ASSERT_EQ(pf::Bind(a, 0, 58590), 0);
  ASSERT_EQ(pf::Bind(b, 0, 58591), 0);
  pf::SOCKET s = qelm::CreateSocket(58590, 0, true);
  ASSERT_NE(s, pf::INVALID_SOCKET);
  EXPECT_EQ(pf::LocalPort(s), 58592);
  EXPECT_TRUE(Logged(Gbk("Create socket IP = 0.0.0.0 port = 58590 成功")));
  pf::CloseSocket(s);
  pf::CloseSocket(a);
  pf::CloseSocket(b);
}

TEST_F(Sockets, UdpWithAllHundredPortsTakenFails) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  std::vector<pf::SOCKET> taken;
  for (int i = 0; i < 100; ++i) {
    taken.push_back(pf::UdpSocket());
    ASSERT_EQ(pf::Bind(taken.back(), 0, static_cast<uint16_t>(40000 + i)), 0);
  }
  EXPECT_EQ(qelm::CreateSocket(40000, 0, true), pf::INVALID_SOCKET);
  EXPECT_TRUE(Logged(Gbk("启用UDP时，绑定socket失败")));
  for (auto s : taken) pf::CloseSocket(s);
}

TEST_F(Sockets, TcpConnectsToAListener) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  kittest::FakeTcpServer peer("127.0.0.2", 58000);
  ASSERT_TRUE(peer.Listening());
  pf::SOCKET s = qelm::CreateSocket(58000, pf::InetAddr("127.0.0.2"), false);
  ASSERT_NE(s, pf::INVALID_SOCKET);
  EXPECT_TRUE(peer.WaitConnections(1, 2000));
  EXPECT_EQ(pf::Send(s, "hi", 2), 2);  // connected and blocking again
  EXPECT_TRUE(Logged(Gbk("Create socket IP = 127.0.0.2 port = 58000 成功")));
  pf::CloseSocket(s);
}

TEST_F(Sockets, TcpRefusedReturnsAtOnce) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  const int64_t t0 = kittest::NowMs();
  EXPECT_EQ(qelm::CreateSocket(58000, pf::InetAddr("127.0.0.3"), false), pf::INVALID_SOCKET);
  EXPECT_LT(kittest::NowMs() - t0, 500);
}

TEST_F(Sockets, TcpToAHostThatDoesNotAnswerGivesUpAfterTwoSeconds) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  // An address on the test veth's network that nobody holds: the connect
  // never completes.
  const int fds = kittest::OpenDescriptorCount();
  const int64_t t0 = kittest::NowMs();
  EXPECT_EQ(qelm::CreateSocket(58000, pf::InetAddr("198.51.100.77"), false), pf::INVALID_SOCKET);
  const int64_t took = kittest::NowMs() - t0;
  EXPECT_GE(took, 1900);
  EXPECT_LT(took, 3000);
  EXPECT_TRUE(Logged(Gbk("connect IP = 198.51.100.77 port = 58000 失败")));
  EXPECT_EQ(kittest::OpenDescriptorCount(), fds);
}

TEST_F(Sockets, NoDescriptorLeftFailsAndLogsTheAddressAndPortAskedFor) {
  pf::SOCKET udp = 0, tcp = 0;
  ASSERT_TRUE(kittest::WithNoFreeDescriptor([&] {
    udp = qelm::CreateSocket(58590, 0, true);
    tcp = qelm::CreateSocket(58000, pf::InetAddr("127.0.0.2"), false);
  }));
  EXPECT_EQ(udp, pf::INVALID_SOCKET);
  EXPECT_EQ(tcp, pf::INVALID_SOCKET);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Gbk("create socket IP = 0.0.0.0 port = 58590 失败"),
                                               "Unknown socket error. ",
                                               Gbk("create socket IP = 127.0.0.2 port = 58000 失败"),
                                               "Unknown socket error. "}));
}

TEST_F(Sockets, TcpToAddressZeroFails) {
  EXPECT_EQ(qelm::CreateSocket(58000, 0, false), pf::INVALID_SOCKET);
  EXPECT_TRUE(Logged(Gbk("生成socket时，IP地址为0")));
}

TEST(LocalIPList, ListsTheTestVethAddressAndNotLoopback) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  EXPECT_EQ(qelm::GetLocalIPList(), 1);
  EXPECT_EQ(qelm::LocalIPList(), std::vector<std::string>{"198.51.100.1"});
}

TEST(LocalIPList, RefillsAndReadsOnSeveralThreadsAtOnceSeeAWholeList) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  ASSERT_EQ(qelm::GetLocalIPList(), 1);
  const std::vector<std::string> want{"198.51.100.1"};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        if (t % 2 ? qelm::GetLocalIPList() != 1 : qelm::LocalIPList() != want) ++wrong;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

// The FTP client: reply parsing, log-in, binary active-mode transfers and
// their failures, against a fake FTP service.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_ftp.h"
#include "netns.h"
#include "platform/ftp.h"
#include "platform/system.h"
#include "process.h"
#include "wait.h"

namespace {

using kittest::FakeFtpServer;

struct ParseCase {
  const char* name;
  std::string input;
  pf::FtpParse result;
  int code;
  size_t used;
  std::string text;
};

TEST(FtpReply, ParsesSingleAndMultiLineRepliesWithinBounds) {
  using P = pf::FtpParse;
  const std::string longLine = "220 " + std::string(pf::kMaxFtpLine - 6, 'x') + "\r\n";  // exactly the bound
  std::string manyLines = "211-Status\r\n";
  for (int i = 0; i < 40; ++i) manyLines += std::string(60, 'a' + i % 26) + "\r\n";
  manyLines += "211 End\r\n";
  std::string manyText = "Status";
  for (int i = 0; i < 40; ++i) manyText += "\n" + std::string(60, 'a' + i % 26);
  manyText.resize(pf::kMaxFtpReplyText);
  std::string tooMany = "211-Status\r\n";
  while (tooMany.size() <= pf::kMaxFtpReply) tooMany += std::string(1000, 'b') + "\r\n";
  tooMany += "211 End\r\n";
  const ParseCase cases[] = {
      {"single line", "220 Ready\r\n", P::kComplete, 220, 11, "Ready"},
      {"only the first of two", "331 Password\r\n230 In\r\n", P::kComplete, 331, 14, "Password"},
      {"bare LF", "200 OK\n", P::kComplete, 200, 7, "OK"},
      {"code alone", "200\r\n", P::kComplete, 200, 5, ""},
      {"multi-line", "230-Logged in\r\n230 Proceed\r\n", P::kComplete, 230, 28, "Logged in\nProceed"},
      {"inner lines that look like replies",
       "123-First\r\n 123 indented\r\n456 other code\r\n123-hyphen again\r\n123x\r\n123 End\r\n", P::kComplete, 123,
       75, "First\n 123 indented\n456 other code\n123-hyphen again\n123x\nEnd"},
      {"NUL inside the text", std::string("220 a\0b\r\n", 9), P::kComplete, 220, 9, std::string("a\0b", 3)},
      {"line at the bound", longLine, P::kComplete, 220, longLine.size(), std::string(pf::kMaxFtpReplyText, 'x')},
      {"text cut to its bound", manyLines, P::kComplete, 211, manyLines.size(), manyText},
      {"no line end yet", "220 Ready", P::kIncomplete, 0, 0, ""},
      {"empty", "", P::kIncomplete, 0, 0, ""},
      {"multi-line not ended", "220-A\r\n220-B\r\n 220 C\r\n", P::kIncomplete, 0, 0, ""},
      {"no line end within the bound", "220 " + std::string(pf::kMaxFtpLine, 'x'), P::kMalformed, 0, 0, ""},
      {"reply beyond its bound", tooMany, P::kMalformed, 0, 0, ""},
      {"letters", "abc def\r\n", P::kMalformed, 0, 0, ""},
      {"two digits", "20 OK\r\n", P::kMalformed, 0, 0, ""},
      {"four digits", "2000 OK\r\n", P::kMalformed, 0, 0, ""},
      {"first digit 6", "600 OK\r\n", P::kMalformed, 0, 0, ""},
      {"first digit 0", "099 OK\r\n", P::kMalformed, 0, 0, ""},
      {"leading blank", " 220 OK\r\n", P::kMalformed, 0, 0, ""},
      {"empty line", "\r\n220 OK\r\n", P::kMalformed, 0, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // An exact-size copy, so that a read past the end is caught.
    std::vector<char> bytes(c.input.begin(), c.input.end());
    pf::FtpReply reply;
    size_t used = 12345;
    ASSERT_EQ(pf::ParseFtpReply(bytes.data(), bytes.size(), &reply, &used), c.result);
    if (c.result != P::kComplete) continue;
    EXPECT_EQ(reply.code, c.code);
    EXPECT_EQ(used, c.used);
    EXPECT_LE(reply.text.size(), pf::kMaxFtpReplyText);
    EXPECT_EQ(reply.text, c.text);
  }
}

std::string AllByteValues(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return s;
}

void WriteFile(const std::string& path, const std::string& content) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
}

class FtpClientTest : public testing::Test {
 protected:
  void SetUp() override {
    KIT_REQUIRE_PRIVATE_NETWORK();
    dir_ = kittest::MakeTempFolder("ftp");
  }
  std::unique_ptr<FakeFtpServer> Serve(FakeFtpServer::Options o = {}) {
    auto s = std::make_unique<FakeFtpServer>(kIp, 21, o);
    EXPECT_TRUE(s->Listening());
    s->AddAccount("user", "secret");
    return s;
  }
  std::vector<std::string> Folder() {
    std::vector<std::string> names;
    pf::ListDirectory(dir_, &names);
    std::sort(names.begin(), names.end());
    return names;
  }
  static constexpr const char* kIp = "127.0.0.2";
  std::string dir_;
};

TEST_F(FtpClientTest, BinaryFilesArriveExactlyInEitherConnectionOrder) {
  const std::string big = AllByteValues(300 * 1024);  // many segments, every byte value
  const struct {
    FakeFtpServer::Data data;
    bool multiLineGreeting;
  } cases[] = {{FakeFtpServer::Data::kNormal, false}, {FakeFtpServer::Data::kConnectFirst, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.data));
    FakeFtpServer::Options o;
    o.data = c.data;
    o.multiLineGreeting = c.multiLineGreeting;
    auto server = Serve(o);
    server->AddFile("user", "/pub/big.bin", big);
    server->AddFile("user", "/pub/empty", "");
    {
      pf::FtpClient ftp;
      ASSERT_TRUE(ftp.Connect(kittest::Addr(kIp), 21, "user", "secret"));
      EXPECT_TRUE(ftp.Get("/pub/big.bin", dir_ + "big.bin"));
      EXPECT_TRUE(ftp.Get("/pub/empty", dir_ + "empty"));
      ftp.Close();
      EXPECT_FALSE(ftp.Connected());
    }
    EXPECT_TRUE(kittest::ReadFile(dir_ + "big.bin") == big);
    EXPECT_TRUE(pf::PathExists(dir_ + "empty"));
    EXPECT_EQ(kittest::ReadFile(dir_ + "empty"), "");
    EXPECT_EQ(Folder(), (std::vector<std::string>{"big.bin", "empty"}));  // nothing left over

    const auto cmds = server->Commands();
    ASSERT_EQ(cmds.size(), 9u);
    EXPECT_EQ(cmds[0], "USER user");
    EXPECT_EQ(cmds[1], "PASS secret");
    EXPECT_EQ(cmds[2], "TYPE I");
    EXPECT_EQ(cmds[3].compare(0, 9, "PORT 127,"), 0) << cmds[3];  // the client's loopback address
    EXPECT_EQ(cmds[4], "RETR /pub/big.bin");
    EXPECT_EQ(cmds[5], "TYPE I");
    EXPECT_EQ(cmds[7], "RETR /pub/empty");
    EXPECT_EQ(cmds[8], "QUIT");
  }
}

TEST_F(FtpClientTest, LogInFailsOnRefusalSilenceOrNoServer) {
  pf::FtpClient::Timeouts t;
  t.replyMs = 300;
  {
    auto server = Serve();
    pf::FtpClient ftp(t);
    EXPECT_FALSE(ftp.Connect(kittest::Addr(kIp), 21, "user", "wrong"));
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(ftp.LastReply().code, 221);  // it said goodbye after the refusal
    EXPECT_EQ(server->Commands(), (std::vector<std::string>{"USER user", "PASS wrong", "QUIT"}));
    EXPECT_FALSE(ftp.Get("/x", dir_ + "x"));
  }
  {
    FakeFtpServer::Options o;
    o.greet = false;
    auto server = Serve(o);
    pf::FtpClient ftp(t);
    const int64_t start = pf::MonotonicMs();
    EXPECT_FALSE(ftp.Connect(kittest::Addr(kIp), 21, "user", "secret"));
    EXPECT_LT(pf::MonotonicMs() - start, 3000);
    EXPECT_TRUE(server->Commands().empty());
  }
  pf::FtpClient ftp(t);
  EXPECT_FALSE(ftp.Connect(kittest::Addr("127.0.0.9"), 21, "user", "secret"));
  EXPECT_FALSE(ftp.Connect(kittest::Addr(kIp), 21, "user\r\nDELE x", "secret"));
}

TEST_F(FtpClientTest, FailedTransfersKeepTheEarlierFileAndLeaveNoPart) {
  pf::FtpClient::Timeouts t;
  t.replyMs = 1000;
  t.dataMs = 300;
  const struct {
    const char* name;
    FakeFtpServer::Data data;
    const char* dataFrom;
    const char* remote;
    bool stillConnected;
  } cases[] = {
      {"no such file", FakeFtpServer::Data::kNormal, "", "/pub/missing", true},
      {"data connection refused", FakeFtpServer::Data::kRefuse, "", "/pub/f", true},
      {"transfer aborted", FakeFtpServer::Data::kAbort, "", "/pub/f", true},
      {"server never connects", FakeFtpServer::Data::kSilent, "", "/pub/f", false},
      {"data from another address", FakeFtpServer::Data::kNormal, "127.0.0.77", "/pub/f", true},
      {"line break in the name", FakeFtpServer::Data::kNormal, "", "/pub/f\r\nDELE /pub/f", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFtpServer::Options o;
    o.data = c.data;
    o.dataFrom = c.dataFrom;
    auto server = Serve(o);
    server->AddFile("user", "/pub/f", AllByteValues(100000));
    WriteFile(dir_ + "f", "earlier contents");
    pf::FtpClient ftp(t);
    ASSERT_TRUE(ftp.Connect(kittest::Addr(kIp), 21, "user", "secret"));
    const int64_t start = pf::MonotonicMs();
    EXPECT_FALSE(ftp.Get(c.remote, dir_ + "f"));
    EXPECT_LT(pf::MonotonicMs() - start, 2500);
    EXPECT_EQ(kittest::ReadFile(dir_ + "f"), "earlier contents");
    EXPECT_EQ(Folder(), std::vector<std::string>{"f"});
    EXPECT_EQ(ftp.Connected(), c.stillConnected);
    if (c.stillConnected) {  // the control connection is still in step
      EXPECT_FALSE(ftp.Get("/pub/missing", dir_ + "g"));
      EXPECT_EQ(ftp.LastReply().code, 550);
    }
    for (const auto& cmd : server->Commands()) EXPECT_EQ(cmd.find("DELE"), std::string::npos);
  }
}

// A file longer than the size cap, or one whose transfer outlasts its whole
// deadline while no single pause is long, fails as a failed transfer does:
// the earlier file stays, nothing of the new one is left, and the control
// connection stays in step for the next file. A file of exactly the cap
// arrives.
TEST_F(FtpClientTest, AFilePastItsSizeCapOrItsDeadlineFails) {
  const std::string next = AllByteValues(500);  // within every cap below
  const struct {
    const char* name;
    uint64_t cap;
    int transferMs;
    std::string content;  // empty: the stream below
    FakeFtpServer::Stream stream;
    bool arrives;
  } cases[] = {
      {"streams without end past the default cap", pf::FtpClient::Timeouts{}.maxFileBytes, 60000, "", {64 * 1024, 0},
       false},
      {"trickles past the deadline", 1 << 20, 600, "", {1, 30}, false},
      {"one byte past the cap", 1000, 60000, AllByteValues(1001), {}, false},
      {"exactly the cap", 1000, 60000, AllByteValues(1000), {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = Serve();
    if (c.content.empty())
      server->AddEndlessFile("user", "/pub/f", c.stream);
    else
      server->AddFile("user", "/pub/f", c.content);
    server->AddFile("user", "/pub/next", next);
    WriteFile(dir_ + "f", "earlier contents");
    remove((dir_ + "next").c_str());
    pf::FtpClient::Timeouts t;
    t.maxFileBytes = c.cap;
    t.transferMs = c.transferMs;
    pf::FtpClient ftp(t);
    ASSERT_TRUE(ftp.Connect(kittest::Addr(kIp), 21, "user", "secret"));
    const int64_t start = pf::MonotonicMs();
    EXPECT_EQ(ftp.Get("/pub/f", dir_ + "f"), c.arrives);
    const int64_t took = pf::MonotonicMs() - start;
    EXPECT_LT(took, c.transferMs + t.replyMs);
    // Only the trickle waits for its deadline: a cap ends the transfer as it
    // is passed.
    if (c.stream.gapMs == 0) EXPECT_LT(took, c.transferMs / 2);
    EXPECT_TRUE(kittest::ReadFile(dir_ + "f") == (c.arrives ? c.content : "earlier contents"));
    EXPECT_TRUE(ftp.Get("/pub/next", dir_ + "next"));
    EXPECT_TRUE(kittest::ReadFile(dir_ + "next") == next);
    EXPECT_EQ(Folder(), (std::vector<std::string>{"f", "next"}));  // no part left
  }
}

}  // namespace

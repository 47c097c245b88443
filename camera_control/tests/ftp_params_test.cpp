// Copying a camera's parameter files over FTP from a fake camera's FTP service.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "context.h"
#include "control.h"
#include "fake_ftp.h"
#include "ftp_params.h"
#include "netns.h"
#include "platform/system.h"
#include "process.h"
#include "queued_log.h"

namespace {

using kittest::FakeFtpServer;
using kittest::Gbk;

const std::vector<std::string> kParaFiles = {"0000.para", "dm368SystemParam.para", "netcontrolqx5.para",
                                             "ifconfig.cfg", "system.log"};
const std::vector<std::string> kJsonFiles = {"dsp.json", "dm368SystemParam.json", "netctrqx5.json",
                                             "ifconfig.json", "system.log"};

// Every byte value, over many TCP segments.
std::string Binary(size_t size, int seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i + seed + i / 256) & 0xFF);
  return s;
}

std::string Content(const std::string& user, const std::string& name) {
  return name == "system.log" ? Binary(200 * 1024, user.size()) : user + " " + name + "\n";
}

class FtpParams : public testing::Test {
 protected:
  void SetUp() override {
    KIT_REQUIRE_PRIVATE_NETWORK();
    qelm::test::SetModulePath(kittest::MakeTempFolder("ftplog"));
    qelm::Global().m_log.m_bLogOn.store(1);  // queue lines, no writer
    handle_.m_ip = kittest::Addr(kIp);
    pf::Lock lk(qelm::Global().m_csCamera);
    qelm::Global().m_listCamera.push_back(&handle_);
  }
  void TearDown() override {
    qelm::test::SetFtpFileLimits(60000, 16u << 20);
    pf::Lock lk(qelm::Global().m_csCamera);
    qelm::Global().m_listCamera.clear();
  }
  // The camera's service with both accounts and their files, less `missing`.
  std::unique_ptr<FakeFtpServer> Camera(const std::string& missing = "") {
    auto s = std::make_unique<FakeFtpServer>(kIp);
    EXPECT_TRUE(s->Listening());
    s->AddAccount("qv", "zx");
    s->AddAccount("mnt", "qorvild");
    for (const auto& n : kParaFiles)
      if (n != missing) s->AddFile("qv", "/mnt/program/" + n, Content("qv", n));
    for (const auto& n : kJsonFiles)
      if (n != missing) s->AddFile("mnt", "/mnt/program/" + n, Content("mnt", n));
    return s;
  }
  // A fresh destination folder as a caller names it (no trailing separator).
  std::string Folder() {
    std::string f = kittest::MakeTempFolder("ftpdst");
    f.pop_back();
    return f;
  }
  static constexpr const char* kIp = "127.0.0.3";
  StCameraHandle handle_;
};

TEST_F(FtpParams, DeviceTypeChoosesAccountAndFileSet) {
  auto camera = Camera();
  const struct {
    uint32_t deviceType;
    const char* user;
    const char* password;
    const std::vector<std::string>* files;
  } cases[] = {
      {0, "qv", "zx", &kParaFiles},  // no status report yet
      {1, "qv", "zx", &kParaFiles},
      {2, "qv", "zx", &kParaFiles},
      {3, "mnt", "qorvild", &kJsonFiles},
  };
  size_t seen = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.deviceType);
    handle_.m_deviceType.store(c.deviceType);
    const std::string folder = Folder();
    ASSERT_EQ(Qelm_FTPReadParams(&handle_, folder.c_str(), 0), 0);

    const auto all = camera->Commands();
    const std::vector<std::string> cmds(all.begin() + seen, all.end());
    seen = all.size();
    ASSERT_GE(cmds.size(), 2u);
    EXPECT_EQ(cmds[0], std::string("USER ") + c.user);
    EXPECT_EQ(cmds[1], std::string("PASS ") + c.password);
    std::vector<std::string> retrieved, wantRetrieved, wantLog;
    size_t binary = 0;
    for (const auto& cmd : cmds) {
      if (cmd.compare(0, 5, "RETR ") == 0) retrieved.push_back(cmd.substr(5));
      binary += cmd == "TYPE I";
    }
    EXPECT_EQ(binary, 5u);
    for (const auto& n : *c.files) {
      wantRetrieved.push_back("/mnt/program/" + n);
      wantLog.push_back(Gbk("读取" + n + "成功"));
      EXPECT_TRUE(kittest::ReadFile(folder + "/" + n) == Content(c.user, n)) << n;
    }
    EXPECT_EQ(retrieved, wantRetrieved);
    EXPECT_EQ(qelmtest::TakeQueuedLog(), wantLog);
    std::vector<std::string> names;
    pf::ListDirectory(folder, &names);
    EXPECT_EQ(names.size(), 5u);
  }
}

TEST_F(FtpParams, MissingFileIsLoggedAndTheRestStillCome) {
  auto camera = Camera("ifconfig.cfg");
  const std::string folder = Folder();
  ASSERT_EQ(Qelm_FTPReadParams(&handle_, folder.c_str(), 0), 0);
  EXPECT_EQ(qelmtest::TakeQueuedLog(), (std::vector<std::string>{Gbk("读取0000.para成功"), Gbk("读取dm368SystemParam.para成功"),
                                                 Gbk("读取netcontrolqx5.para成功"), Gbk("读取ifconfig.cfg失败"),
                                                 Gbk("读取system.log成功")}));
  EXPECT_FALSE(pf::PathExists(folder + "/ifconfig.cfg"));
  EXPECT_TRUE(kittest::ReadFile(folder + "/system.log") == Content("qv", "system.log"));
  EXPECT_EQ(camera->Retrieved().back(), "/mnt/program/system.log");
}

TEST_F(FtpParams, AMissingFolderIsNotMadeAndEveryFileFails) {
  auto camera = Camera();
  const std::string folder = Folder() + "/not-there";
  ASSERT_EQ(Qelm_FTPReadParams(&handle_, folder.c_str(), 0), 0);
  std::vector<std::string> want;
  for (const auto& n : kParaFiles) want.push_back(Gbk("读取" + n + "失败"));
  EXPECT_EQ(qelmtest::TakeQueuedLog(), want);
  EXPECT_FALSE(pf::PathExists(folder));
}

TEST_F(FtpParams, FilesAlreadyInTheFolderAreReplaced) {
  auto camera = Camera();
  const std::string folder = Folder();
  for (const auto& n : kParaFiles) {
    FILE* f = fopen((folder + "/" + n).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs(std::string(300 * 1024, 'o').c_str(), f);  // longer than any new contents
    fclose(f);
  }
  ASSERT_EQ(Qelm_FTPReadParams(&handle_, folder.c_str(), 0), 0);
  for (const auto& n : kParaFiles) EXPECT_TRUE(kittest::ReadFile(folder + "/" + n) == Content("qv", n)) << n;
}

TEST_F(FtpParams, UnreachableOrRefusingServiceGives160) {
  const std::string folder = Folder();
  EXPECT_EQ(Qelm_FTPReadParams(&handle_, folder.c_str(), 0), 160);  // nothing listens
  {
    auto camera = std::make_unique<FakeFtpServer>(kIp);
    camera->AddAccount("qv", "other password");
    EXPECT_EQ(Qelm_FTPReadParams(&handle_, folder.c_str(), 0), 160);
    EXPECT_TRUE(camera->Retrieved().empty());
  }
  EXPECT_TRUE(qelmtest::TakeQueuedLog().empty());  // the connection error is not logged
  std::vector<std::string> names;
  pf::ListDirectory(folder, &names);
  EXPECT_TRUE(names.empty());
}

TEST_F(FtpParams, BadArgumentsAndUnknownHandlesAreRefusedBeforeConnecting) {
  auto camera = Camera();
  const std::string folder = Folder();
  StCameraHandle stranger;
  stranger.m_ip = kittest::Addr(kIp);
  std::vector<char> unterminated(4096, 'a');  // no end within any sane path length
  EXPECT_EQ(Qelm_FTPReadParams(nullptr, folder.c_str(), 0), 1);
  EXPECT_EQ(Qelm_FTPReadParams(&handle_, nullptr, 0), 1);
  EXPECT_EQ(Qelm_FTPReadParams(&handle_, unterminated.data(), 0), 1);
  EXPECT_EQ(Qelm_FTPReadParams(&stranger, folder.c_str(), 0), 7);
  EXPECT_EQ(camera->ConnectionCount(), 0u);
}

// A camera that sends a parameter file without end, or one byte of it at a
// time: past 16 MiB, or past its whole-transfer deadline (shortened here from
// its 60 s), the file fails as one that cannot be read, nothing of it is left
// in the folder, and the files after it still come.
TEST_F(FtpParams, AFilePastItsSizeOrItsDeadlineFailsWithoutItsPartAndTheOthersStillCome) {
  const struct {
    const char* name;
    FakeFtpServer::Stream stream;
    int transferMs;
  } cases[] = {
      {"streams past 16 MiB", {64 * 1024, 0}, 60000},
      {"trickles past the deadline", {1, 40}, 800},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qelm::test::SetFtpFileLimits(c.transferMs, 16u << 20);
    auto camera = Camera("netcontrolqx5.para");
    camera->AddEndlessFile("qv", "/mnt/program/netcontrolqx5.para", c.stream);
    const std::string folder = Folder();
    const int64_t t0 = pf::MonotonicMs();
    ASSERT_EQ(Qelm_FTPReadParams(&handle_, folder.c_str(), 0), 0);
    const int64_t took = pf::MonotonicMs() - t0;
    EXPECT_LT(took, c.transferMs + 10000);
    // The endless file ends at 16 MiB, long before its deadline.
    if (c.stream.gapMs == 0) EXPECT_LT(took, c.transferMs / 2);
    EXPECT_EQ(qelmtest::TakeQueuedLog(), (std::vector<std::string>{Gbk("读取0000.para成功"), Gbk("读取dm368SystemParam.para成功"),
                                                   Gbk("读取netcontrolqx5.para失败"), Gbk("读取ifconfig.cfg成功"),
                                                   Gbk("读取system.log成功")}));
    std::vector<std::string> names;
    pf::ListDirectory(folder, &names);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"0000.para", "dm368SystemParam.para", "ifconfig.cfg", "system.log"}));
    for (const auto& n : names) EXPECT_TRUE(kittest::ReadFile(folder + "/" + n) == Content("qv", n)) << n;
  }
}

}  // namespace

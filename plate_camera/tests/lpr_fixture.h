// Common fixture of the library's tests: a private folder for the log and the
// data dumps, UTC local time, short reconnect pauses, and a shut-down after
// each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "Nardix.h"
#include "context.h"
#include "fake_camera.h"
#include "handle.h"
#include "platform/system.h"
#include "process.h"
#include "sockets.h"
#include "wait.h"

namespace lprtest {

class LprTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    dir_ = kittest::MakeTempFolder("lpr");
    nardix::test::SetModulePath(dir_);
    nardix::test::SetReconnectTickMs(20);
    nardix::test::SetConnectTimeoutMs(500);
    Recorder::Get().Clear();
  }
  void TearDown() override {
    LPR_Quit();
    pf::test::ThawClock();
    pf::test::LimitRecvBuffers(0);
  }

  StLprCameraHandle* Connect(FakeCamera& cam) {
    StLprCameraHandle* h = nullptr;
    EXPECT_EQ(LPR_ConnectCamera(cam.ip.c_str(), &h), 0);
    EXPECT_TRUE(cam.WaitBothConnected());
    return h;
  }

  // Everything the log files hold so far.
  std::string LogText() const {
    std::vector<std::string> names;
    pf::ListDirectory(dir_ + "LPRLog", &names);
    std::string all;
    for (const auto& n : names) all += kittest::ReadFile(dir_ + "LPRLog/" + n);
    return all;
  }
  // The texts of the lines written so far, without their time stamps.
  std::vector<std::string> LogLines() const {
    constexpr size_t kStamp = 27;  // "YYYY-MM-DD HH:MM:SS-mmm" and four blanks
    std::vector<std::string> lines;
    const std::string all = LogText();
    for (size_t pos = 0, end; (end = all.find("\r\n", pos)) != std::string::npos; pos = end + 2)
      lines.push_back(end - pos >= kStamp ? all.substr(pos + kStamp, end - pos - kStamp) : std::string());
    return lines;
  }
  // Waits until the log holds the (UTF-8) text, in GBK.
  bool Logged(const std::string& utf8, int ms = 3000) const {
    const std::string want = kittest::Gbk(utf8);
    return kittest::WaitUntil([&] { return LogText().find(want) != std::string::npos; }, ms);
  }
  // Lines still in the queue (no writer runs before start-up).
  std::vector<std::string> Queued() const {
    auto& q = nardix::Global().m_log;
    pf::Lock lk(q.m_csLog);
    return {q.m_listLog.begin(), q.m_listLog.end()};
  }

  std::string dir_;
};

// The results of every request export on one handle, in one order (the
// network setting goes over the control channel and lists this PC's
// addresses: callers run in the private test network).
inline std::vector<int> EveryRequestOn(StLprCameraHandle* h) {
  int v;
  StLprVersionInfo vi;
  StLprControlParams cp{};
  StLprAlgParams ap;
  StLprNetParams np{};
  strcpy(np.ip, "127.0.0.50");
  return {LPR_Capture(h),          LPR_CaptureEx(h, 0),     LPR_AdjustTime(h, 0),
          LPR_NTPEnable(h, 0, ""), LPR_GetAllVersion(h, &vi), LPR_GetShutterValue(h, &v),
          LPR_SetShutterValue(h, 1), LPR_SetWorkMode(h, 1),   LPR_ControlParams(h, &cp, 10),
          LPR_GetAlgParams(h, &ap, 10), LPR_SetNetParams(h, nullptr, &np)};
}

}  // namespace lprtest

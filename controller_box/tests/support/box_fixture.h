// A started library, a fake box on 127.0.0.2:10028 and a connection to it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PyrnBox.h"
#include "context.h"
#include "fake_box.h"
#include "process.h"
#include "wait.h"

namespace boxtest {

// The payloads that the serial-data callback (register SerialData::Collect)
// was handed, in order.
struct SerialData {
  static void PYRN_CALL Collect(void*, StBoxSerialData* d) {
    std::lock_guard<std::mutex> lk(M());
    All().emplace_back(d->data, d->data + d->length);
  }
  static std::vector<Bytes> Got() {
    std::lock_guard<std::mutex> lk(M());
    return All();
  }
  static std::mutex& M() {
    static std::mutex m;
    return m;
  }
  static std::vector<Bytes>& All() {
    static std::vector<Bytes> all;
    return all;
  }
};

// Registered callbacks outlive quit, and a test's callbacks write into
// that test: none may be called by a later test of the same process.
inline void ForgetCallbacks() {
  pyrn::CBoxGlobal& g = pyrn::Global();
  g.m_pfnReport1.store(nullptr);
  g.m_pfnReport0.store(nullptr);
  g.m_pfnStatus.store(nullptr);
  g.m_pUser.store(nullptr);
  g.m_pfnSerialData.store(nullptr);
  g.m_pfnHeartStatus.store(nullptr);
  g.m_pfnSerialDataEx.store(nullptr);
  g.m_pfnDoor.store(nullptr);
  g.m_pfnBarrier.store(nullptr);
  g.m_pfnLogInfo.store(nullptr);
  g.m_pfnMaxLink.store(nullptr);
  g.m_pfnData1.store(nullptr);
  g.m_pfnData2.store(nullptr);
  g.m_pfnData3.store(nullptr);
  g.m_pfnData4.store(nullptr);
  g.m_pfnFound.store(nullptr);
}

class BoxFixture : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = kittest::MakeTempFolder("box");
    pyrn::test::SetModulePath(dir_);
    pyrn::test::SetReplyTimeoutsMs(500, 500, 500);
    ASSERT_EQ(PyrnBox_Init(nullptr, nullptr, nullptr, nullptr), 0);
  }
  void TearDown() override {
    if (h_) PyrnBox_DisconnectDevice(h_);
    PyrnBox_Quit();
    ForgetCallbacks();
  }
  // Connects to a fake box (made on demand) at ip.
  CBoxDevice* Connect(const std::string& ip = "127.0.0.2") {
    if (!box_) box_ = std::make_unique<FakeBox>(ip);
    CBoxDevice* h = nullptr;
    EXPECT_EQ(PyrnBox_ConnectDevice(ip.c_str(), &h), 0);
    h_ = h;
    return h;
  }
  // The one request the box received since the last Clear (time frames
  // aside), or a frame with class 0xFF when none came.
  Frame LastRequest(int ms = 2000) {
    Frame f;
    f.cls = 0xFF;
    box_->script().WaitRequest(&f, ms);
    return f;
  }

  std::string dir_;
  std::unique_ptr<FakeBox> box_;
  CBoxDevice* h_ = nullptr;
};

}  // namespace boxtest

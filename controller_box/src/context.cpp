#include "context.h"

#include "device.h"
#include "log.h"
#include "platform/system.h"

namespace pyrn {

CBoxGlobal::CBoxGlobal() : m_logWriter(m_log, kit::LogFileLayout{&GetLogDir, "", false}) {
  m_logWriter.SetPeriodMs(50);
}

CBoxGlobal& Global() {
  static CBoxGlobal* g = new CBoxGlobal;  // never destroyed, on purpose
  return *g;
}

std::string ModulePath() {
  CBoxGlobal& g = Global();
  pf::Lock lk(g.m_csModule);
  return g.m_strModulePath;
}

std::shared_ptr<CBoxDevice> FindDevice(CBoxDevice* handle) {
  if (!handle) return nullptr;
  CBoxGlobal& g = Global();
  pf::Lock lk(g.m_csDevice);
  for (const auto& d : g.m_listDevice)
    if (d.get() == handle) return d;
  return nullptr;
}

Periods& Timing() {
  static Periods* p = new Periods;
  return *p;
}

void test::SetModulePath(const std::string& folderWithSlash) {
  CBoxGlobal& g = Global();
  pf::Lock lk(g.m_csModule);
  g.m_strModulePath = folderWithSlash;
}
void test::SetHeartbeatTickMs(int ms) { Timing().heartTickMs.store(ms); }
void test::SetReconnectTickMs(int ms) { Timing().reconnectTickMs.store(ms); }
void test::SetSilenceMs(int ms) { Timing().silenceMs.store(ms); }
void test::SetLinkWaitMs(int ms) { Timing().linkWaitMs.store(ms); }
void test::SetReplyTimeoutsMs(int tcp, int serial, int ble) {
  Timing().tcpReplyMs.store(tcp);
  Timing().serialReplyMs.store(serial);
  Timing().bleReplyMs.store(ble);
}
void test::SetResendDelayMs(int ms) { Timing().resendDelayMs.store(ms); }

}  // namespace pyrn

#include "context.h"

#include <algorithm>

#include "handle.h"
#include "platform/system.h"

namespace nardix {

namespace {

std::string LogFolder() { return ModulePath() + "LPRLog/"; }

std::atomic<int> g_failChannelAllocs{0};

pf::CriticalSection g_csTestPath;
std::string g_testPath;

}  // namespace

CForGlobal::CForGlobal() : m_logWriter(m_log, kit::LogFileLayout{&LogFolder, "", true}) {
  m_log.m_bLogOn.store(1);
}

CForGlobal& Global() {
  static CForGlobal* g = new CForGlobal;  // never destroyed, on purpose
  return *g;
}

std::string ModulePath() {
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csPath);
  return g.m_strModulePath;
}

void RefreshModulePath() {
  std::string path;
  {
    pf::Lock lk(g_csTestPath);
    path = g_testPath;
  }
  if (path.empty()) path = pf::LibraryFolder(reinterpret_cast<const void*>(&Global));
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csPath);
  g.m_strModulePath = path;
}

HandlePtr FindHandle(const StLprCameraHandle* raw) {
  if (!raw) return nullptr;
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csCamera);
  for (const auto& h : g.m_listCamera)
    if (h.get() == raw) return h;
  return nullptr;
}

void test::SetModulePath(const std::string& folderWithSlash) {
  {
    pf::Lock lk(g_csTestPath);
    g_testPath = folderWithSlash;
  }
  RefreshModulePath();
}

void test::FailNextChannelAllocs(int n) { g_failChannelAllocs.store(n); }

bool test::TakePendingFailure(std::atomic<int>& pending) {
  int n = pending.load();
  while (n > 0)
    if (pending.compare_exchange_weak(n, n - 1)) return true;
  return false;
}

bool test::TakeChannelAllocFailure() { return TakePendingFailure(g_failChannelAllocs); }

}  // namespace nardix

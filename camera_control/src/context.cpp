#include "context.h"

#include "folders.h"
#include "platform/system.h"

namespace qelm {

namespace {

std::string LogFolder() { return Global().m_strModulePath + "DLLLog/"; }

std::atomic<int> g_failChannelAllocs{0};

// What the library does when the process loads it: find the folder it keeps
// its files in (beside itself, or the per-user folder for an installed
// library) and make sure the XML folder there exists.
struct LoadTimeInit {
  LoadTimeInit() {
    CForGlobal& g = Global();
    g.m_strModulePath = pf::LibraryFolder(reinterpret_cast<const void*>(&Global));
    kit::CreateFolderPath(g.m_strModulePath + "XML/");  // none for a library that keeps no files
  }
};
const LoadTimeInit g_loadTimeInit;

}  // namespace

CForGlobal::CForGlobal() : m_logWriter(m_log, kit::LogFileLayout{&LogFolder, "control-", true}) {}

CForGlobal& Global() {
  static CForGlobal* g = new CForGlobal;  // never destroyed, on purpose
  return *g;
}

bool WaitUnlessQuit(pf::AutoResetEvent& ev, long ms, const QuitWatch& watch) {
  if (watch.Stopped()) return false;
  const bool set = ev.Wait(ms);
  return set && !watch.Stopped();
}

void test::SetModulePath(const std::string& folderWithSlash) {
  Global().m_strModulePath = folderWithSlash;
}

void test::FailNextChannelAllocs(int n) { g_failChannelAllocs.store(n); }

bool test::TakeChannelAllocFailure() {
  int pending = g_failChannelAllocs.load();
  while (pending > 0)
    if (g_failChannelAllocs.compare_exchange_weak(pending, pending - 1)) return true;
  return false;
}

}  // namespace qelm

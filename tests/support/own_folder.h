// A per-user folder of the library's own, fresh for a test: XDG_STATE_HOME
// names a new folder, and the folder a library installed under /usr takes
// there is returned (with the trailing '/'; empty when none was taken).
#pragma once

#include <cstdlib>
#include <string>

#include "platform/system.h"
#include "process.h"

namespace kittest {

inline std::string TakeFreshPerUserFolder() {
  const std::string state = MakeTempFolder("state");
  setenv("XDG_STATE_HOME", state.c_str(), 1);
  const std::string root = pf::LibraryFolderFor("/usr/lib/");
  return root == state + "device-kit/" ? root : std::string();
}

}  // namespace kittest

#include "folders.h"

#include "platform/system.h"

namespace kit {

bool CreateFolderPath(const std::string& path) {
  // The libraries' folders are absolute; a relative one (a library that
  // keeps no files) must not land in whatever the current folder is.
  return pf::MakeLibraryFolderPath(path);
}

void DeleteFolderTree(const std::string& folder) {
  if (!pf::IsAbsolute(folder)) return;
  pf::RemoveFolderTree(folder);
}

}  // namespace kit

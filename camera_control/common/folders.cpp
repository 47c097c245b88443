#include "folders.h"

#include <vector>

#include "platform/system.h"

namespace kit {

bool CreateFolderPath(const std::string& path) {
  // The libraries' folders are absolute; a relative one (a library that
  // keeps no files) must not land in whatever the current folder is.
  return pf::MakeFolderPath(path);
}

void DeleteFolderTree(const std::string& folder) {
  if (!pf::IsAbsolute(folder)) return;
  std::string base = folder;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::vector<std::string> names;
  pf::ListDirectory(base, &names);
  for (const auto& name : names) {
    const std::string child = base + "/" + name;
    if (pf::IsLink(child)) {
      // Only the link goes: what it points to lies outside the tree.
      pf::RemoveFile(child);
      continue;
    }
    pf::MakeWritable(child);
    if (pf::IsDirectory(child)) {
      DeleteFolderTree(child);  // removes the sub-folder itself too
    } else {
      pf::RemoveFile(child);
    }
  }
  pf::RemoveDirectory(base);
}

}  // namespace kit

// Folder helpers shared by the three libraries (log and data folders).
#pragma once

#include <string>

namespace kit {

// Creates every missing folder along `path` ('/'-separated), outermost first.
// True when the whole path exists afterwards and may be used: below the
// per-user folder, every level must be the effective user's own (see
// pf::MakeLibraryFolderPath). A relative path is refused.
bool CreateFolderPath(const std::string& path);

// Deletes a folder with all its files and sub-folders; failures are ignored.
// No link is ever followed: a link, the folder itself or anything inside,
// is removed as a link. A relative path is left alone.
void DeleteFolderTree(const std::string& folder);

}  // namespace kit

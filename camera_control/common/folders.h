// Folder helpers shared by the three libraries (log and data folders).
#pragma once

#include <string>

namespace kit {

// Creates every missing folder along `path` ('/'-separated), outermost first.
// True when the whole path exists afterwards. A relative path is refused.
bool CreateFolderPath(const std::string& path);

// Deletes a folder with all its files and sub-folders; failures are ignored.
// A symbolic link inside the folder is removed itself, never followed. A
// relative path is left alone.
void DeleteFolderTree(const std::string& folder);

}  // namespace kit

// Windows-style profile ("ini") files: [section] lines and key=value lines.
// Section and key names compare without regard to case; values are bytes as
// written (GBK texts pass through). Writing keeps every other line as it was.
#pragma once

#include <string>
#include <vector>

namespace pf {

// The text without blanks, tabs, CR and LF at either end.
std::string TrimBlank(const std::string& s);

// The value of section/key, white space trimmed at both ends and one pair of
// enclosing quotes removed; `def` when the file, section or key is missing.
// At most bufferSize - 1 characters are returned.
std::string GetProfileString(const std::string& section, const std::string& key, const std::string& def,
                             const std::string& path, size_t bufferSize = 512);
// The leading decimal digits of the value (0 when there are none or the value
// is negative); `def` when the key is missing.
int GetProfileInt(const std::string& section, const std::string& key, int def, const std::string& path);
// The names of the file's sections in file order (none when it is missing).
std::vector<std::string> GetProfileSectionNames(const std::string& path);
// Sets section/key to value, adding the section or key when missing and
// creating the file when needed. The file is written as pf::OpenOwnFile
// opens it: never through a link. False when it cannot be written.
bool WriteProfileString(const std::string& section, const std::string& key, const std::string& value,
                        const std::string& path);

}  // namespace pf

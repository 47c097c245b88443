// What a shared library exports: its defined dynamic symbols, for the tests
// that compare them with a library's list of exports.
#pragma once

#include <string>
#include <vector>

namespace kittest {

// Names of the defined dynamic symbols of the library at `path` (nm -D),
// sorted; symbols that are not functions go to *notFunctions as nm lines.
std::vector<std::string> DefinedDynamicSymbols(const std::string& path,
                                               std::vector<std::string>* notFunctions);
// The non-empty lines of a text file, sorted.
std::vector<std::string> ReadNameList(const std::string& path);

}  // namespace kittest

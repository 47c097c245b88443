#include "exports.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace kittest {

std::vector<std::string> DefinedDynamicSymbols(const std::string& path,
                                               std::vector<std::string>* notFunctions) {
  std::vector<std::string> names;
  const std::string cmd = "nm -D --defined-only " + path;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return names;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) {
    std::string line(buf);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    const auto sp = line.rfind(' ');
    if (line.empty() || sp == std::string::npos || sp == 0) continue;
    // "address type name"
    if (line[sp - 1] != 'T' && notFunctions) notFunctions->push_back(line);
    names.push_back(line.substr(sp + 1));
  }
  pclose(p);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> ReadNameList(const std::string& path) {
  std::vector<std::string> names;
  std::ifstream f(path);
  for (std::string s; std::getline(f, s);)
    if (!s.empty()) names.push_back(s);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kittest

// A shared library exports exactly its functions and nothing else. Built once
// per library with KIT_SHARED_LIBRARY (its file) and KIT_EXPORTS_LIST (the
// sorted list of its exports).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Lines(FILE* f) {
  std::vector<std::string> out;
  char buf[512];
  while (fgets(buf, sizeof buf, f)) {
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    if (!s.empty()) out.push_back(s);
  }
  return out;
}

TEST(Exports, SharedLibraryExportsExactlyTheListedFunctions) {
  const std::string cmd = std::string("nm -D --defined-only ") + KIT_SHARED_LIBRARY;
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::vector<std::string> got;
  for (const auto& line : Lines(p)) {
    // "address type name"
    const auto sp = line.rfind(' ');
    const std::string name = line.substr(sp + 1);
    const char type = line[sp - 1];
    EXPECT_EQ(type, 'T') << "not a function: " << line;
    got.push_back(name);
  }
  pclose(p);
  std::ifstream f(KIT_EXPORTS_LIST);
  ASSERT_TRUE(f.good());
  std::vector<std::string> want;
  for (std::string s; std::getline(f, s);)
    if (!s.empty()) want.push_back(s);
  std::sort(got.begin(), got.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
}

}  // namespace

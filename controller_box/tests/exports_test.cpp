// The shared library exports exactly the library's functions and nothing else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exports.h"

namespace {

TEST(Exports, SharedLibraryExportsExactlyTheListedFunctions) {
  std::vector<std::string> notFunctions;
  const auto got = kittest::DefinedDynamicSymbols(PYRN_SHARED_LIBRARY, &notFunctions);
  const auto want = kittest::ReadNameList(PYRN_EXPORTS_LIST);
  ASSERT_FALSE(want.empty());
  EXPECT_TRUE(notFunctions.empty()) << notFunctions.front();
  EXPECT_EQ(got, want);
}

}  // namespace

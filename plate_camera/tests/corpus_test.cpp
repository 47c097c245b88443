// The fuzz targets' corpus replays through the same harness.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nardix_harness.h"
#include "platform/system.h"
#include "process.h"

namespace {

void Replay(const std::string& folder, int (*run)(const uint8_t*, size_t)) {
  std::vector<std::string> names;
  ASSERT_TRUE(pf::ListDirectory(folder, &names)) << folder;
  ASSERT_FALSE(names.empty());
  for (const auto& n : names) {
    const std::string bytes = kittest::ReadFile(folder + "/" + n);
    SCOPED_TRACE(n);
    EXPECT_EQ(run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
  }
}

TEST(Corpus, ResultStream) { Replay(std::string(NARDIX_CORPUS) + "/nardix_result", &nardixfuzz::FuzzResultStream); }
TEST(Corpus, ReplyStream) { Replay(std::string(NARDIX_CORPUS) + "/nardix_reply", &nardixfuzz::FuzzReplyStream); }
TEST(Corpus, ScanAnswer) { Replay(std::string(NARDIX_CORPUS) + "/nardix_scan", &nardixfuzz::FuzzScanAnswer); }

}  // namespace

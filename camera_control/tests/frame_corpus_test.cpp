// Replays the frame fuzzer's corpus (fuzz/corpus/frame/) through the fuzz
// entry itself, so that every seed and every crasher found and mended stays a
// regression test. The entry aborts on any broken check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(FRAME_CORPUS_DIR, ec))
    if (e.is_regular_file()) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class FrameCorpus : public testing::TestWithParam<std::string> {};

TEST_P(FrameCorpus, Replays) {
  std::ifstream in(std::string(FRAME_CORPUS_DIR) + "/" + GetParam(), std::ios::binary);
  ASSERT_TRUE(in);
  const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(LLVMFuzzerTestOneInput(data.data(), data.size()), 0);
}

INSTANTIATE_TEST_SUITE_P(Files, FrameCorpus, testing::ValuesIn(CorpusFiles()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name;
                           for (char c : info.param) name += isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name + "_" + std::to_string(info.index);
                         });

TEST(FrameCorpusFolder, HoldsTheSeeds) { EXPECT_GE(CorpusFiles().size(), 5u); }

}  // namespace

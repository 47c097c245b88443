// Replay of a fuzz target's committed corpus as ordinary tests: one test per
// file, each through the fuzz entry itself (which aborts on a broken check).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace kittest {

// Names of the regular files in `dir`, sorted.
std::vector<std::string> CorpusFiles(const std::string& dir);
// A test name made of a file name (letters and digits; others become '_').
std::string CorpusTestName(const std::string& file);
// Runs the fuzz entry on the file's bytes; its result.
int ReplayCorpusFile(const std::string& dir, const std::string& file);

}  // namespace kittest

// Defines Suite.Replays for every file of `dir`, and Suite.HoldsTheSeeds that
// wants at least `minFiles` of them.
#define KIT_CORPUS_REPLAY_TESTS(Suite, dir, minFiles)                                      \
  class Suite : public testing::TestWithParam<std::string> {};                           \
  TEST_P(Suite, Replays) { EXPECT_EQ(::kittest::ReplayCorpusFile(dir, GetParam()), 0); } \
  INSTANTIATE_TEST_SUITE_P(Files, Suite, testing::ValuesIn(::kittest::CorpusFiles(dir)),  \
                           [](const testing::TestParamInfo<std::string>& info) {          \
                             return ::kittest::CorpusTestName(info.param) + "_" +         \
                                    std::to_string(info.index);                           \
                           });                                                            \
  TEST(Suite##Folder, HoldsTheSeeds) { EXPECT_GE(::kittest::CorpusFiles(dir).size(), minFiles); }

// The same with a suite name that is itself a macro (expanded first).
#define KIT_CORPUS_REPLAY_TESTS_OF(Suite, dir, minFiles) KIT_CORPUS_REPLAY_TESTS(Suite, dir, minFiles)

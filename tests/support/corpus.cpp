#include "corpus.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "process.h"

namespace kittest {

std::vector<std::string> CorpusFiles(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    if (e.is_regular_file()) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string CorpusTestName(const std::string& file) {
  std::string name;
  for (char c : file) name += isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

int ReplayCorpusFile(const std::string& dir, const std::string& file) {
  const std::string bytes = ReadFile(dir + "/" + file);
  return LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace kittest

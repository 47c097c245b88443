// Fuzz target: the database file reader and the check of a camera's answer
// to the database query.
//
// Input: one byte that chooses the block size, two bytes (little-endian) with
// the length of the file, the file, then the data of the camera's answer. The
// reader must accept exactly the files whose 96-byte header is whole with its
// name text ending inside it, and make of them one item of the whole file
// named by that text. The answer, taken as the receive thread takes it, must
// let the file go exactly when a plain reading written here says so: three
// zero words, or the same first two words and the same name in any letter case.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "update.h"

#include "fuzz_check.h"

namespace {

using fuzzcheck::Le32;

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// The answer's name: its text from byte 20 up to a NUL, within what the
// receive thread keeps of the answer (5119 bytes).
std::string AnswerName(const uint8_t* a, size_t n) {
  std::string name;
  for (size_t i = 20; i < n && i < qelm::kVersionTextSize - 1 && a[i]; ++i) name += static_cast<char>(a[i]);
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint32_t bs = 1 + data[0] * 64u;
  const size_t fileLen = std::min<size_t>(data[1] | data[2] << 8, size - 3);
  const uint8_t* file = data + 3;
  const uint8_t* answer = file + fileLen;
  const size_t answerLen = size - 3 - fileLen;
  static qelm::StUpdateSession* s = new qelm::StUpdateSession(qelm::kDatabasePort);

  const bool whole = fileLen >= 96 && memchr(file + 20, 0, 76) != nullptr;
  FUZZ_CHECK(qelm::LoadDBFileBytes(s, file, fileLen, bs) == whole);
  if (!whole) {
    FUZZ_CHECK(s->m_items.empty());
    return 0;
  }
  const std::string name(reinterpret_cast<const char*>(file + 20));
  FUZZ_CHECK(s->m_items.size() == 1);
  const qelm::StTransferItem& it = s->m_items[0];
  FUZZ_CHECK(it.name == name.substr(0, 63) && it.kind == 0);
  FUZZ_CHECK(it.totalSize == fileLen && it.remaining == fileLen && it.blockSize == bs);
  FUZZ_CHECK(it.blockCount == (fileLen + bs - 1) / bs);
  FUZZ_CHECK(it.data.size() == (fileLen + 3) / 4 * 4 && memcmp(it.data.data(), file, fileLen) == 0);
  FUZZ_CHECK(memcmp(s->m_dbHeader, file, 96) == 0);

  // The answer arrives as item 0x1040A while the query waits.
  s->m_bVersionWait = true;
  qelm::ItemView item;
  item.head.code = qelm::kDbQuery;
  item.head.length = static_cast<uint32_t>(answerLen);
  item.data = answer;
  item.offset = 36;
  qelm::HandleUpdateItem(s, item);
  FUZZ_CHECK(s->m_szVersion[qelm::kVersionTextSize - 1] == 0);
  uint8_t words[12] = {};
  memcpy(words, answer, std::min<size_t>(answerLen, sizeof words));
  const bool none = Le32(words) == 0 && Le32(words + 4) == 0 && Le32(words + 8) == 0;
  const bool same = Le32(words) == Le32(file) && Le32(words + 4) == Le32(file + 4) &&
                    Upper(AnswerName(answer, answerLen)) == Upper(name);
  FUZZ_CHECK(qelm::DatabaseAnswerAccepted(s) == (none || same));
  return 0;
}

// Fuzz target: the update package reader and the transfer list made of its
// parts.
//
// Input: one byte that chooses the block size, then the package file. The
// reader must accept exactly the files that a plain reading of the layout
// written here accepts (head, entries, each part with its kind and the
// offset of its description header, the header, and the description text
// inside the file), and hand over what that reading finds. Each part is then
// chosen on its own, and the first parts together; the transfer items must be
// those the part's kind describes, or the choice refused (152) when what the
// kind names lies outside the part.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "update.h"

#include "fuzz_check.h"

namespace {

using Bytes = std::vector<uint8_t>;
using fuzzcheck::Le16;
using fuzzcheck::Le32;

constexpr uint32_t kPck = 0x41504B7F, kWhole = 0x44504B7F, kOut = 0x4652437F, kGxml = 0x4C4E4B7F;

bool Inside(uint64_t at, uint64_t n, uint64_t size) { return at + n <= size; }

// A text field read up to its first NUL, at most `max` bytes.
std::string Text(const uint8_t* p, size_t field, size_t max) {
  size_t n = 0;
  while (n < field && n < max && p[n]) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

struct RefPart {
  uint32_t at, size, kind;
  const uint8_t* desc;
  std::string name;
};

struct RefPackage {
  std::vector<RefPart> parts;
  std::string text;
  uint32_t textSize;
};

bool ReadPackage(const uint8_t* f, size_t n, RefPackage* out) {
  if (n < 32 || Le32(f) != 0x4450557F || Le32(f + 12) == 1) return false;
  const uint32_t count = Le32(f + 12) - 1;
  const uint32_t textAt = Le32(f + 24), textSize = Le32(f + 28);
  if (!Inside(32, uint64_t(count) * 72, n) || !Inside(textAt, textSize, n)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = f + 32 + size_t(i) * 72;
    RefPart p{Le32(e), Le32(e + 4), 0, nullptr, Text(e + 8, 64, 127)};
    if (!Inside(p.at, p.size, n) || p.size < 28) return false;
    const uint32_t desc = Le32(f + p.at + 24);
    if (!Inside(uint64_t(p.at) + desc, 324, n)) return false;
    p.kind = Le32(f + p.at);
    p.desc = f + p.at + desc;
    out->parts.push_back(p);
  }
  out->text = textSize ? Text(f + textAt, textSize, textSize - 1) : "";
  out->textSize = textSize;
  return true;
}

struct RefItem {
  std::string name;
  uint32_t kind;
  const uint8_t* data;
  uint32_t size;
};

// The (offset, size) pair at `at` of a part, when what it names lies in the part.
bool Range(const uint8_t* f, const RefPart& p, size_t at, const uint8_t** data, uint32_t* size) {
  if (p.size < 56) return false;
  const uint32_t off = Le32(f + p.at + at), len = Le32(f + p.at + at + 4);
  if (!Inside(off, len, p.size)) return false;
  *data = f + p.at + off;
  *size = len;
  return true;
}

std::string Replaced(const std::string& s, const std::string& what, const std::string& with) {
  std::string out;
  size_t from = 0;
  for (size_t hit; (hit = s.find(what, from)) != std::string::npos; from = hit + what.size())
    out += s.substr(from, hit - from) + with;
  return out + s.substr(from);
}

bool ItemsOf(const uint8_t* f, RefPart& p, std::vector<RefItem>* items) {
  const uint8_t *a, *b;
  uint32_t na, nb;
  if (p.kind == kPck) {
    if (!Range(f, p, 48, &b, &nb) || !Range(f, p, 32, &a, &na)) return false;
    items->push_back({Replaced(p.name, ".pck", ".out").substr(0, 63), kOut, b, nb});
    items->push_back({Replaced(p.name, ".pck", ".gxml").substr(0, 63), kGxml, a, na});
    return true;
  }
  if (p.kind == kWhole) {
    items->push_back({p.name.substr(0, 63), kWhole, f + p.at, p.size});
    return true;
  }
  if (!Range(f, p, 32, &a, &na)) return false;
  p.name = Text(a, na, 127);  // the name text becomes the part's name
  if (!Range(f, p, 48, &b, &nb)) return false;
  items->push_back({p.name.substr(0, 63), p.kind, b, nb});
  return true;
}

uint32_t Sum(const uint8_t* p, uint32_t n) {
  uint32_t s = 0;
  for (uint32_t i = 0; i < n; i += 4) {
    uint8_t w[4] = {};
    memcpy(w, p + i, n - i < 4 ? n - i : 4);
    s += Le32(w);
  }
  return s;
}

void CheckItems(const qelm::StUpdateSession& s, const std::vector<RefItem>& want, uint32_t bs) {
  FUZZ_CHECK(s.m_items.size() == want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const qelm::StTransferItem& it = s.m_items[i];
    FUZZ_CHECK(memchr(it.name, 0, sizeof it.name) && it.name == want[i].name);
    FUZZ_CHECK(it.kind == want[i].kind);
    FUZZ_CHECK(it.totalSize == want[i].size && it.remaining == want[i].size && it.blocksSent == 0);
    FUZZ_CHECK(it.blockSize == bs && it.blockCount == (uint64_t(want[i].size) + bs - 1) / bs);
    FUZZ_CHECK(it.checksum == Sum(want[i].data, want[i].size));
    FUZZ_CHECK(it.data.size() == (size_t(want[i].size) + 3) / 4 * 4);
    FUZZ_CHECK(want[i].size == 0 || memcmp(it.data.data(), want[i].data, want[i].size) == 0);
    for (size_t k = want[i].size; k < it.data.size(); ++k) FUZZ_CHECK(it.data[k] == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t bs = 1 + data[0] * 16u;
  const uint8_t* f = data + 1;
  const size_t n = size - 1;
  static qelm::StUpdateSession* s = new qelm::StUpdateSession(qelm::kFirmwarePort);

  RefPackage ref;
  const bool ok = ReadPackage(f, n, &ref);
  FUZZ_CHECK(qelm::ParseUpdatePackage(s, Bytes(f, f + n)) == (ok ? 0 : 151));
  if (!ok) {
    FUZZ_CHECK(s->m_parts.empty() && s->m_infos.empty() && s->m_package.empty());
    return 0;
  }
  FUZZ_CHECK(s->m_infos.size() == ref.parts.size() && s->m_parts.size() == ref.parts.size());
  FUZZ_CHECK(s->m_description.size() == ref.textSize);
  FUZZ_CHECK(ref.textSize == 0 || s->m_description.data() == ref.text);
  const uint8_t* file = s->m_package.data();
  for (uint32_t i = 0; i < ref.parts.size(); ++i) {
    const RefPart& p = ref.parts[i];
    const StUpdateFileInfo& info = s->m_infos[i];
    FUZZ_CHECK(info.id == i && info.kind == p.kind && info.descValue == Le16(p.desc + 2));
    FUZZ_CHECK(memcmp(info.descText1, p.desc + 4, 32) == 0);  // whole, as the package gives them
    FUZZ_CHECK(memcmp(info.descText2, p.desc + 36, 32) == 0);
    FUZZ_CHECK(memcmp(info.descText3, p.desc + 68, 256) == 0);
    for (uint8_t b : info.reserved) FUZZ_CHECK(b == 0);
    const qelm::StUpdatePart& part = s->m_parts.at(i);
    FUZZ_CHECK(part.kind == p.kind && part.size == p.size && part.data == file + p.at && part.name == p.name);
  }

  // Each part chosen on its own, then the first ones together, in the
  // reference's own copy of the parts (a choice may rename a part).
  std::vector<RefPart> parts = ref.parts;
  const uint32_t together = parts.size() < 16 ? static_cast<uint32_t>(parts.size()) : 16;
  for (uint32_t i = 0; i < parts.size() && i < 64; ++i) {
    std::vector<RefItem> want;
    const bool fits = ItemsOf(file, parts[i], &want);
    FUZZ_CHECK(qelm::StartUpdate(1, &i, bs, s) == (fits ? 0 : 152));
    if (fits) CheckItems(*s, want, bs);
  }
  std::vector<uint32_t> ids;
  std::vector<RefItem> want;
  bool fits = true;
  for (uint32_t i = 0; i < together; ++i) {
    ids.push_back(together - 1 - i);
    fits = fits && ItemsOf(file, parts[ids.back()], &want);
  }
  if (!ids.empty()) {
    FUZZ_CHECK(qelm::StartUpdate(together, ids.data(), bs, s) == (fits ? 0 : 152));
    if (fits) CheckItems(*s, want, bs);
  }
  return 0;
}

// Fuzz target: the XML index "xmlinfo.ini" read at start-up.
//
// Input: the index file's bytes, in which every '$' stands for the harness's
// own folder (the library's folder, with its trailing '/'). Its "XML/" holds
// a few description files, good and bad, that entries may name
// ("$XML/main.xml", "$XML/bad.xml", and the extension files of the ids
// 00000001000000AA and 00000002000000BB). The index is loaded twice; every
// cached record must be the loaded file of an existing path under its own
// namespace (in the one spelling of an id), an index that kept nothing must be left as it was, and one that
// kept entries must be rewritten with that many readable entries. Any difference aborts;
// a count that would make the loading read on and on shows as a time-out.
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "context.h"
#include "folders.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "xml_cache.h"
#include "xml_fuzz_support.h"

namespace {

void Put(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

std::string Get(const std::string& path) {
  std::string s;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
  }
  return s;
}

std::string Description(int layer) {
  return "<D LayerId=\"" + std::to_string(layer) +
         "\"><I Name=\"Root\"><T>P</T></I><S Comment=\"P\"><SubCommand NodeCode=\"0x10\">"
         "<ParaType>PTUi32</ParaType></SubCommand></S></D>";
}


// The harness's folder, made with its description files on the first call.
const std::string& Folder() {
  static bool made = false;
  const std::string& folder = xmlfuzz::OwnFolder("xml_index_fuzz");
  if (!made) {
    made = true;
    FUZZ_CHECK(kit::CreateFolderPath(folder + "XML/"));
    Put(folder + "XML/main.xml", Description(4));
    Put(folder + "XML/bad.xml", "<D><x></D>");
    Put(folder + "XML/00000001000000AA.xml", Description(9));
    Put(folder + "XML/00000002000000BB.xml", Description(10));
    qelm::test::SetModulePath(folder);
  }
  return folder;
}

// The cache as namespace -> path, after checking each record.
std::map<std::string, std::string> Cached() {
  std::map<std::string, std::string> out;
  qelm::CForGlobal& g = qelm::Global();
  pf::Lock lk(g.m_csXML);
  for (const auto& [key, rec] : g.m_mapXML) {
    FUZZ_CHECK(rec != nullptr);
    FUZZ_CHECK(rec->name == key);
    FUZZ_CHECK(key == qelm::XMLNamespaceKey(key));  // an extension id in its one spelling
    FUZZ_CHECK(pf::PathExists(rec->path));
    out[key] = rec->path;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string ini = Folder() + "XML/xmlinfo.ini";
  std::string input;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '$')
      input += Folder();
    else
      input += static_cast<char>(data[i]);
  }
  Put(ini, input);
  for (int pass = 0; pass < 2; ++pass) {
    qelm::LoadXMLIndex();
    const std::map<std::string, std::string> cached = Cached();
    const std::string after = Get(ini);
    if (pass == 0 && cached.empty()) FUZZ_CHECK(after == input);
    if (!cached.empty()) {
      const int count = pf::GetProfileInt("INFO", "count", 0, ini);
      FUZZ_CHECK(count >= 1 && count <= static_cast<int>(size));  // no more entries than lines
      for (int i = 1; i <= count; ++i)
        FUZZ_CHECK(pf::GetProfileString("info" + std::to_string(i), "info", "", ini).find(';') != std::string::npos);
    }
    qelm::FreeXMLDescriptions();
  }
  return 0;
}

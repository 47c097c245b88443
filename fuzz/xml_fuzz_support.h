// What the XML fuzz targets share: the check that aborts, a folder of the
// harness's own, and the nesting of a TinyXML document (also used by the
// camera control library's tests).
#pragma once

#include <stdlib.h>
#include <tinyxml.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "folders.h"

namespace xmlfuzz {

[[noreturn]] inline void Fail(const char* what, int line) {
  fprintf(stderr, "check failed at line %d: %s\n", line, what);
  abort();
}
#define FUZZ_CHECK(c)                       \
  do {                                      \
    if (!(c)) ::xmlfuzz::Fail(#c, __LINE__); \
  } while (0)

// A fresh folder under $TMPDIR (or /tmp) named after `tag`, with a trailing
// '/', made on the first call and removed when the process exits.
inline const std::string& OwnFolder(const char* tag) {
  static std::string folder;
  if (folder.empty()) {
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + tag + ".XXXXXX";
    FUZZ_CHECK(mkdtemp(tmpl.data()) != nullptr);
    folder = tmpl + "/";
    atexit([] { kit::DeleteFolderTree(folder); });
  }
  return folder;
}

// Deepest element nesting of a document, walked without recursion.
inline size_t DocumentDepth(const TiXmlNode* doc) {
  size_t deepest = 0;
  std::vector<std::pair<const TiXmlNode*, size_t>> todo{{doc, 0}};
  while (!todo.empty()) {
    const auto [node, depth] = todo.back();
    todo.pop_back();
    for (const TiXmlNode* c = node->FirstChild(); c; c = c->NextSibling()) {
      if (!c->ToElement()) continue;
      if (depth + 1 > deepest) deepest = depth + 1;
      todo.emplace_back(c, depth + 1);
    }
  }
  return deepest;
}

}  // namespace xmlfuzz

// What the XML fuzz targets share: the check that aborts, a folder of the
// harness's own, and the nesting and the most attributes of an element of a
// TinyXML document (also used by the camera control library's tests).
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

// Most attributes of one element of a document.
inline size_t DocumentMostAttributes(const TiXmlNode* doc) {
  size_t most = 0;
  std::vector<const TiXmlNode*> todo{doc};
  while (!todo.empty()) {
    const TiXmlNode* node = todo.back();
    todo.pop_back();
    if (const TiXmlElement* e = node->ToElement()) {
      size_t n = 0;
      for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) ++n;
      if (n > most) most = n;
    }
    for (const TiXmlNode* c = node->FirstChild(); c; c = c->NextSibling()) todo.push_back(c);
  }
  return most;
}

}  // namespace xmlfuzz

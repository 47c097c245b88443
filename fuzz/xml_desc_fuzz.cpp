// Fuzz target: a camera's XML description file, as the library reads it.
//
// Input: the file's bytes. The nesting and the most attributes of one element
// that the library's probe finds must be those of the document TinyXML builds
// (whenever it is small enough to hand to TinyXML at all), a file past either
// limit must be refused without TinyXML, the probe stopped at the limit must
// agree with the probe without one, and the parameter nodes read from the document must be
// well formed: magic and zero words in place, names terminated within their
// field, categories with code 0 and length 10. Any difference aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bytes.h"
#include "xml_cache.h"
#include "xml_document.h"
#include "xml_fuzz_support.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::string text = qelm::NormalizedXMLText(bytes);
  text.append(4, '\0');
  const size_t depth = qelm::XMLNestingDepth(text.c_str(), SIZE_MAX);
  FUZZ_CHECK(qelm::XMLNestingDepth(text.c_str(), qelm::kMaxXmlNesting) == std::min(depth, qelm::kMaxXmlNesting + 1));
  const qelm::XMLShape open = qelm::XMLShapeOf(text.c_str(), {SIZE_MAX, SIZE_MAX});
  const qelm::XMLShapeLimits& limits = qelm::kDescriptionLimits;
  const bool fits = open.depth <= limits.depth && open.attributes <= limits.attributes;
  const qelm::XMLShape bounded = qelm::XMLShapeOf(text.c_str(), limits);
  FUZZ_CHECK(open.depth == depth);
  if (fits) {
    FUZZ_CHECK(bounded.depth == open.depth && bounded.attributes == open.attributes);
    FUZZ_CHECK(bounded.attributePairs == open.attributePairs);
  } else {
    // Stopped at the first element past a limit, having looked at no more.
    FUZZ_CHECK(bounded.depth == limits.depth + 1 || bounded.attributes == limits.attributes + 1);
    FUZZ_CHECK(bounded.depth <= limits.depth + 1 && bounded.attributes <= limits.attributes + 1);
  }
  // TinyXML compares each attribute with all earlier ones of its element:
  // the walk's count of that never exceeds attributes x attributes per
  // element, and its own check costs a few comparisons per attribute.
  FUZZ_CHECK(bounded.attributePairs <= uint64_t(bounded.attributes) * text.size());
  if (depth <= qelm::kMaxXmlNesting) {
    TiXmlDocument doc;
    doc.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    FUZZ_CHECK(xmlfuzz::DocumentDepth(&doc) == depth);
    // The walk counts an attribute that ends TinyXML's parse as well.
    const size_t most = xmlfuzz::DocumentMostAttributes(&doc);
    FUZZ_CHECK(most <= open.attributes && open.attributes <= most + 1);
  }

  qelm::StXMLNamespace ns("fuzz", "fuzz.xml");
  qelm::XMLParse how = qelm::XMLParse::kParsed;
  const bool loaded = qelm::ReadNamespaceXML(ns, bytes, &how);
  FUZZ_CHECK(loaded == (how == qelm::XMLParse::kParsed));
  FUZZ_CHECK((how == qelm::XMLParse::kRefused) == (!fits && !bytes.empty()));
  if (!fits || bytes.empty()) FUZZ_CHECK(!loaded);
  if (!loaded) FUZZ_CHECK(ns.nodes.empty());
  for (const auto& [key, node] : ns.nodes) {
    FUZZ_CHECK(node != nullptr);
    FUZZ_CHECK(memchr(node->Name, 0, sizeof node->Name) != nullptr);
    const uint8_t* h = node->itemHead;
    FUZZ_CHECK(kit::ReadLE32(h) == 0xAA55A55A);
    FUZZ_CHECK(h[9] == 0);                   // set flag
    FUZZ_CHECK(kit::ReadLE32(h + 12) == 0);  // status
    FUZZ_CHECK(node->spare == 0);
    if (node->Code() == 0 && node->Name[0] == 0 && node->ParaType() == 0 && node->Length() == 10)
      continue;  // a category (or a sub-command that reads like one)
    FUZZ_CHECK(node->features.empty());
  }
  return 0;
}

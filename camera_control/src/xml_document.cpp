#include "xml_document.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tinyxml.h>

#include <cstdint>
#include <set>
#include <vector>

namespace qelm {

namespace {

// Follows TinyXML's parser step by step, with its own readers (protected
// members of TiXmlBase, hence the derived class), but keeps the open elements
// on a list instead of the call stack. Wherever TinyXML's parse stops with an
// error, this stops too: beyond that point TinyXML descends no further.
class NestingProbe : public TiXmlBase {
 public:
  static XMLShape Shape(const char* p, const XMLShapeLimits& limits) {
    XMLShape shape;
    if (!p || !*p) return shape;
    TiXmlEncoding enc = TIXML_ENCODING_UNKNOWN;
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    if (u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF) enc = TIXML_ENCODING_UTF8;
    p = SkipWhiteSpace(p, enc);
    // The document: one top-level node after the other.
    while (p && *p) {
      const Kind kind = Identify(p, enc);
      if (kind == kNone) break;
      if (kind == kElement) {
        p = Element(p, enc, limits, &shape);
      } else if (kind == kDeclaration) {
        std::string declared;
        p = Declaration(p, enc, &declared);
        // The first declaration of the document sets the encoding.
        if (enc == TIXML_ENCODING_UNKNOWN) {
          enc = declared.empty() || StringEqual(declared.c_str(), "UTF-8", true, TIXML_ENCODING_UNKNOWN) ||
                        StringEqual(declared.c_str(), "UTF8", true, TIXML_ENCODING_UNKNOWN)
                    ? TIXML_ENCODING_UTF8
                    : TIXML_ENCODING_LEGACY;
        }
      } else {
        p = Other(kind, p, enc);
      }
      p = SkipWhiteSpace(p, enc);
    }
    return shape;
  }

 private:
  enum Kind { kNone, kDeclaration, kComment, kCData, kUnknown, kElement };

  static Kind Identify(const char* p, TiXmlEncoding enc) {
    p = SkipWhiteSpace(p, enc);
    if (!p || !*p || *p != '<') return kNone;
    p = SkipWhiteSpace(p, enc);
    if (!p || !*p) return kNone;
    if (StringEqual(p, "<?xml", true, enc)) return kDeclaration;
    if (StringEqual(p, "<!--", false, enc)) return kComment;
    if (StringEqual(p, "<![CDATA[", false, enc)) return kCData;
    if (StringEqual(p, "<!", false, enc)) return kUnknown;
    if (IsAlpha(static_cast<unsigned char>(p[1]), enc) || p[1] == '_') return kElement;
    return kUnknown;
  }

  static const char* Attribute(const char* p, TiXmlEncoding enc, std::string* name, std::string* value) {
    p = SkipWhiteSpace(p, enc);
    if (!p || !*p) return nullptr;
    p = ReadName(p, name, enc);
    if (!p || !*p) return nullptr;
    p = SkipWhiteSpace(p, enc);
    if (!p || !*p || *p != '=') return nullptr;
    p = SkipWhiteSpace(p + 1, enc);
    if (!p || !*p) return nullptr;
    if (*p == '\'' || *p == '"') {
      const char end[2] = {*p, 0};
      return ReadText(p + 1, value, false, end, false, enc);
    }
    value->clear();
    while (p && *p && !IsWhiteSpace(*p) && *p != '/' && *p != '>') {
      if (*p == '\'' || *p == '"') return nullptr;
      *value += *p++;
    }
    return p;
  }

  static const char* Declaration(const char* p, TiXmlEncoding enc, std::string* declared) {
    p = SkipWhiteSpace(p, enc);
    if (!p || !*p || !StringEqual(p, "<?xml", true, enc)) return nullptr;
    p += 5;
    while (p && *p) {
      if (*p == '>') return p + 1;
      p = SkipWhiteSpace(p, enc);
      if (!p || !*p) break;
      std::string name, value;
      if (StringEqual(p, "version", true, enc) || StringEqual(p, "standalone", true, enc)) {
        p = Attribute(p, enc, &name, &value);
      } else if (StringEqual(p, "encoding", true, enc)) {
        p = Attribute(p, enc, &name, &value);
        *declared = value;
      } else {
        while (p && *p && *p != '>' && !IsWhiteSpace(*p)) ++p;
      }
    }
    return nullptr;
  }

  // Comments, CDATA sections and unknown tags: skipped, nothing nests in them.
  static const char* Other(Kind kind, const char* p, TiXmlEncoding enc) {
    switch (kind) {
      case kComment:
        p = SkipWhiteSpace(p, enc);
        if (!p || !StringEqual(p, "<!--", false, enc)) return nullptr;
        p += 4;
        while (p && *p && !StringEqual(p, "-->", false, enc)) ++p;
        if (p && *p) p += 3;
        return p;
      case kCData: {
        if (!StringEqual(p, "<![CDATA[", false, enc)) return nullptr;
        p += 9;
        while (p && *p && !StringEqual(p, "]]>", false, enc)) ++p;
        std::string ignored;
        return ReadText(p, &ignored, false, "]]>", false, enc);
      }
      case kDeclaration: {
        std::string ignored;
        return Declaration(p, enc, &ignored);
      }
      default:
        p = SkipWhiteSpace(p, enc);
        if (!p || !*p || *p != '<') return nullptr;
        ++p;
        while (p && *p && *p != '>') ++p;
        if (p && *p == '>') return p + 1;
        return p;
    }
  }

  // Text between nodes: ends before the next '<'.
  static const char* Text(const char* p, TiXmlEncoding enc) {
    std::string ignored;
    p = ReadText(p, &ignored, true, "<", false, enc);
    return p && *p ? p - 1 : nullptr;
  }

  // Orders attribute names and counts each comparison it makes.
  struct CountingLess {
    uint64_t* count;
    bool operator()(const std::string& a, const std::string& b) const {
      ++*count;
      return a < b;
    }
  };

  // A start tag at p: after it, with *open telling whether content follows.
  // Its attributes are counted into *shape; one past the limit ends the walk
  // there (nullptr), before the rest of the tag is looked at.
  static const char* StartTag(const char* p, TiXmlEncoding enc, size_t attributeLimit, XMLShape* shape,
                              std::string* endTag, bool* open) {
    p = SkipWhiteSpace(p, enc);
    if (!p || !*p || *p != '<') return nullptr;
    p = SkipWhiteSpace(p + 1, enc);
    std::string name;
    p = ReadName(p, &name, enc);
    if (!p || !*p) return nullptr;
    *endTag = "</" + name;
    // A repeated attribute is an error.
    std::set<std::string, CountingLess> names(CountingLess{&shape->probeComparisons});
    for (;;) {
      p = SkipWhiteSpace(p, enc);
      if (!p || !*p) return nullptr;
      if (*p == '/') {
        if (p[1] != '>') return nullptr;
        *open = false;
        return p + 2;
      }
      if (*p == '>') {
        *open = true;
        return p + 1;
      }
      std::string attr, value;
      p = Attribute(p, enc, &attr, &value);
      if (!p || !*p) return nullptr;
      // TinyXML looks for the name among all the element's earlier attributes.
      shape->attributePairs += names.size();
      const size_t count = names.size() + 1;
      if (count > shape->attributes) shape->attributes = count;
      if (count > attributeLimit || !names.insert(attr).second) return nullptr;
    }
  }

  // One top-level element and everything inside it.
  static const char* Element(const char* p, TiXmlEncoding enc, const XMLShapeLimits& limits, XMLShape* shape) {
    if (shape->depth < 1) shape->depth = 1;
    if (shape->depth > limits.depth) return nullptr;
    std::vector<std::string> open;  // end tags of the elements whose content is being read
    std::string endTag;
    bool isOpen = false;
    p = StartTag(p, enc, limits.attributes, shape, &endTag, &isOpen);
    if (!p || !isOpen) return p;
    open.push_back(endTag);
    for (;;) {
      // The content of the innermost open element, up to its end tag.
      p = SkipWhiteSpace(p, enc);
      bool child = false;
      while (p && *p && !child) {
        if (*p != '<') {
          p = Text(p, enc);
        } else if (StringEqual(p, "</", false, enc)) {
          break;
        } else {
          const Kind kind = Identify(p, enc);
          if (kind == kElement) {
            if (open.size() + 1 > shape->depth) shape->depth = open.size() + 1;
            if (shape->depth > limits.depth) return nullptr;
            p = StartTag(p, enc, limits.attributes, shape, &endTag, &isOpen);
            if (p && isOpen) {
              open.push_back(endTag);
              child = true;
              continue;
            }
          } else {
            p = Other(kind, p, enc);
          }
        }
        p = SkipWhiteSpace(p, enc);
      }
      if (child) continue;
      if (!p || !*p || !StringEqual(p, open.back().c_str(), false, enc)) return nullptr;
      p = SkipWhiteSpace(p + open.back().size(), enc);
      if (!p || *p != '>') return nullptr;
      ++p;
      open.pop_back();
      if (open.empty()) return p;
    }
  }
};

}  // namespace

bool ReadRegularFile(const std::string& path, std::string* bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  bytes->clear();
  char buf[65536];
  while (ok) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) ok = false;
    if (n <= 0) break;
    bytes->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return ok;
}

std::string NormalizedXMLText(const std::string& bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size() && bytes[i] != 0; ++i) {
    if (bytes[i] != '\r') {
      text += bytes[i];
      continue;
    }
    text += '\n';
    if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
  }
  return text;
}

XMLShape XMLShapeOf(const char* text, const XMLShapeLimits& limits) { return NestingProbe::Shape(text, limits); }

size_t XMLNestingDepth(const char* text, size_t limit) {
  return NestingProbe::Shape(text, XMLShapeLimits{limit, SIZE_MAX}).depth;
}

XMLParse ParseXMLDocument(const std::string& bytes, TiXmlDocument* doc, XMLShape* shape) {
  if (shape) *shape = XMLShape{};
  if (bytes.empty()) return XMLParse::kMalformed;
  std::string text = NormalizedXMLText(bytes);
  text.append(4, '\0');
  const XMLShape found = XMLShapeOf(text.c_str(), kDescriptionLimits);
  if (shape) *shape = found;
  if (found.depth > kDescriptionLimits.depth || found.attributes > kDescriptionLimits.attributes)
    return XMLParse::kRefused;
  doc->Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  return doc->Error() ? XMLParse::kMalformed : XMLParse::kParsed;
}

}  // namespace qelm

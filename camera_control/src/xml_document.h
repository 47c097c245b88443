// Loading a description file into a TinyXML document. The files come from
// cameras and from disk, so the loading refuses what TinyXML cannot take
// safely or in time in proportion to the file's size: anything but a regular
// file, elements nested deeper than kMaxXmlNesting (TinyXML's parser and its
// destructor recurse once per level and would run out of stack on a file of
// nothing but nested tags), and elements with more than kMaxXmlAttributes
// attributes (TinyXML looks each new attribute up among all earlier ones of
// its element, so one element of many thousand attributes would cost time in
// the square of their number).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class TiXmlDocument;

namespace qelm {

// Far deeper than any description (they nest about ten levels).
constexpr size_t kMaxXmlNesting = 512;
// Far more than any element of a description holds (a handful each).
constexpr size_t kMaxXmlAttributes = 256;

struct XMLShapeLimits {
  size_t depth;
  size_t attributes;  // of one element
};
constexpr XMLShapeLimits kDescriptionLimits{kMaxXmlNesting, kMaxXmlAttributes};

// The shape of the document TinyXML's parse of a text builds, as far as the
// walk went, with the work its checks of repeated attributes cost: TinyXML
// compares each attribute's name with those of all earlier attributes of its
// element (attributePairs of them), the walk's own check orders the names.
struct XMLShape {
  size_t depth = 0;               // deepest element nesting
  size_t attributes = 0;          // most attributes of one element
  uint64_t attributePairs = 0;    // name comparisons of TinyXML's check
  uint64_t probeComparisons = 0;  // name comparisons of the walk's own check
};

// How a description's bytes were read.
enum class XMLParse {
  kParsed,
  kMalformed,  // empty, or TinyXML's parse failed
  kRefused,    // a shape past kDescriptionLimits: never handed to TinyXML
};

// The whole contents of a regular file; false for anything else or when it
// cannot be read.
bool ReadRegularFile(const std::string& path, std::string* bytes);

// The text TinyXML parses from a file's bytes: cut at the first NUL, with
// CR LF and lone CR turned into LF (as its file loading does).
std::string NormalizedXMLText(const std::string& bytes);

// The shape of the document TinyXML's parse of `text` (NUL-terminated, as
// NormalizedXMLText gives it) builds, found without recursion: element by
// element as TinyXML's parser goes, with TinyXML's own readers of names,
// texts and white space, and ending where its parse ends. The walk stops
// once the nesting passes limits.depth (depth is then limits.depth + 1) or an
// element's attributes pass limits.attributes (attributes is then
// limits.attributes + 1), so that its own cost stays in proportion to the
// bytes it went over. `text` must be followed by at least four more NUL
// bytes: a cut-off multi-byte character may make TinyXML's readers step over
// the terminator.
XMLShape XMLShapeOf(const char* text, const XMLShapeLimits& limits);
// The nesting alone, with no limit on attributes.
size_t XMLNestingDepth(const char* text, size_t limit);

// Parses a description file's bytes as TinyXML's file loading would, unless
// their shape passes kDescriptionLimits. *shape, when given, tells what the
// walk before the parse found.
XMLParse ParseXMLDocument(const std::string& bytes, TiXmlDocument* doc, XMLShape* shape = nullptr);

}  // namespace qelm

// Loading a description file into a TinyXML document. The files come from
// cameras and from disk, so the loading refuses what TinyXML cannot take
// safely: anything but a regular file, and elements nested deeper than
// kMaxXmlNesting (TinyXML's parser and its destructor recurse once per level
// and would run out of stack on a file of nothing but nested tags).
#pragma once

#include <cstddef>
#include <string>

class TiXmlDocument;

namespace qelm {

// Far deeper than any description (they nest about ten levels).
constexpr size_t kMaxXmlNesting = 512;

// The whole contents of a regular file; false for anything else or when it
// cannot be read.
bool ReadRegularFile(const std::string& path, std::string* bytes);

// The text TinyXML parses from a file's bytes: cut at the first NUL, with
// CR LF and lone CR turned into LF (as its file loading does).
std::string NormalizedXMLText(const std::string& bytes);

// Deepest element nesting that TinyXML's parse of `text` (NUL-terminated, as
// NormalizedXMLText gives it) reaches, found without recursion: element by
// element as TinyXML's parser goes, with TinyXML's own readers of names,
// texts and white space, and ending where its parse ends. Counting stops once
// it passes `limit` (the result is then limit + 1). `text` must be followed
// by at least four more NUL bytes: a cut-off multi-byte character may make
// TinyXML's readers step over the terminator.
size_t XMLNestingDepth(const char* text, size_t limit);

// Parses a description file's bytes as TinyXML's file loading would; false
// when they are empty, do not parse, or nest too deep.
bool ParseXMLDocument(const std::string& bytes, TiXmlDocument* doc);

}  // namespace qelm

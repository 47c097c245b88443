// Cache of the cameras' XML descriptions: one record per description file,
// keyed by namespace text, rebuilt at start-up from "XML/xmlinfo.ini".
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frame.h"
#include "xml_document.h"

namespace qelm {

struct StParamNode {
  std::list<std::string> features;  // pFeature texts directly below a Category
  char Name[64] = {};
  // Laid out as a request item head: copied unchanged into the request, so
  // ChanCount and ObjCount travel in the item's reserved bytes.
  uint8_t itemHead[StCommandItem::kSize] = {};
  uint32_t spare = 0;

  StParamNode();
  uint32_t Code() const;
  uint8_t ParaType() const;
  uint8_t ChanCount() const;
  uint8_t ObjCount() const;
  uint32_t Length() const;
};

struct StXMLNamespace {
  StXMLNamespace(std::string ns, std::string filePath) : name(std::move(ns)), path(std::move(filePath)) {}
  std::string name;
  std::map<std::string, std::unique_ptr<StParamNode>> nodes;
  uint16_t LayerId = 0;
  std::string path;
  std::string rootName;
};

// Records are shared: a reader keeps the record it found alive while it uses
// it, even if the cache drops it meanwhile.
using XMLNamespacePtr = std::shared_ptr<StXMLNamespace>;

uint8_t ParseParaType(const char* text);
// Reads the record's file into it; false only when the file cannot be loaded
// or parsed, or is refused for its shape (see xml_document.h).
bool LoadNamespaceXML(StXMLNamespace& ns);
// The same from the file's bytes; *how, when given, tells whether they were
// parsed, did not parse, or were refused for their shape.
bool ReadNamespaceXML(StXMLNamespace& ns, const std::string& bytes, XMLParse* how = nullptr);

// An extension file's id: a piece of a namespace text that is exactly 16
// hexadecimal digits (two 8-digit ids), in the one spelling under which its
// file is stored and its description cached: upper case, as "%08X%08X"
// writes it, so that an id names its file in any letter case. Any other piece
// names no file (false).
bool ExtensionFileId(const std::string& piece, std::string* id);
// The pieces of a namespace text that name extension files: every piece
// before a '.', in order (the text after the last '.' names none).
std::vector<std::string> NamespacePieces(const std::string& ns);

// The key of a namespace text in the cache: an extension id in its one
// spelling, any other text as it is.
std::string XMLNamespaceKey(const std::string& ns);

// Inserts under the key of `key` unless that is present (the first record stays).
bool InsertXMLNamespace(const std::string& key, XMLNamespacePtr rec);
// Looks a namespace up by its key (an extension id in any letter case).
XMLNamespacePtr FindXMLNamespace(const std::string& key);
// The same, telling in *present whether the key is cached at all (its record
// may still be null).
XMLNamespacePtr FindXMLNamespace(const std::string& key, bool* present);
// An index entry ("path;namespaces") is read with a buffer of this size.
constexpr int kIndexEntrySize = 512;
// Path of the index file, and of the description file of an extension id.
std::string XMLIndexPath();
// The numbers of the index entries to read, in ascending order: those of
// 1 .. "count" that have an "info%d" section (an absent one holds nothing).
std::vector<int> XMLIndexEntries(const std::string& index);
std::string XMLFilePath(const std::string& id);

void LoadXMLIndex();
// Frees every loaded description and empties the map.
void FreeXMLDescriptions();
// Frees the XML description download channel.
void FreeXMLChannel();
// Library shut-down: the XML and algorithm file downloads that wait end.
void WakeFileDownloads();

}  // namespace qelm

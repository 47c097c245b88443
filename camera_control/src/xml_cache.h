// Cache of the cameras' XML descriptions: one record per description file,
// keyed by namespace text, rebuilt at start-up from "XML/xmlinfo.ini".
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "frame.h"

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
// or parsed.
bool LoadNamespaceXML(StXMLNamespace& ns);
// The same from the file's bytes.
bool ReadNamespaceXML(StXMLNamespace& ns, const std::string& bytes);

// Inserts under `key` unless the key is present (the first record stays).
bool InsertXMLNamespace(const std::string& key, XMLNamespacePtr rec);
XMLNamespacePtr FindXMLNamespace(const std::string& key);
// The same, telling in *present whether the key is cached at all (its record
// may still be null).
XMLNamespacePtr FindXMLNamespace(const std::string& key, bool* present);
// Path of the index file and of a description file named by a namespace piece.
std::string XMLIndexPath();
// How many entries of the index to read: its "count", but no further than
// its last "info%d" section.
int XMLIndexEntries(const std::string& index);
std::string XMLFilePath(const std::string& piece);

void LoadXMLIndex();
// Frees every loaded description and empties the map.
void FreeXMLDescriptions();
// Frees the XML description download channel.
void FreeXMLChannel();

}  // namespace qelm

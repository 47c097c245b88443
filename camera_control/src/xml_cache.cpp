#include "xml_cache.h"

#include <strings.h>
#include <tinyxml.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bytes.h"
#include "context.h"
#include "folders.h"
#include "log.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "xml_document.h"

namespace qelm {

namespace {

constexpr uint32_t kCategoryLength = 10;

struct TypeName {
  const char* text;
  uint8_t code;
};
const TypeName kTypes[] = {
    {"PTInsprit", 0}, {"PTExecute", 1}, {"PTBool", 2},    {"PTUi8", 3},     {"PTI8", 4},
    {"PTUi16", 5},    {"PTI16", 6},     {"PTUi32", 7},    {"PTI32", 8},     {"PTUi64", 9},
    {"PTI64", 10},    {"PTF32", 11},    {"PTF64", 12},    {"PTStr", 13},    {"PTArray", 14},
    {"PTEnum", 15},   {"PTTime", 65},   {"PTTimems", 66}, {"PTDate", 67},   {"PTPoint", 68},
    {"PTLine", 69},   {"PTRect", 70},   {"PTPolygon", 71}, {"PTMatrix", 72}, {"PTMask", 73},
    {"PTStruct", 128},
};

// Text of an element: its first child when that is a text node.
std::string TextOf(const TiXmlElement* e) {
  const TiXmlNode* c = e->FirstChild();
  if (c && c->ToText()) return c->Value();
  return {};
}

std::unique_ptr<StParamNode> MakeNode(uint32_t code, uint8_t paraType, uint8_t chan, uint8_t obj,
                                      uint32_t length, const char* name) {
  auto n = std::make_unique<StParamNode>();
  kit::WriteLE32(n->itemHead + StCommandItem::kCode, code);
  n->itemHead[StCommandItem::kParaType] = paraType;
  n->itemHead[StCommandItem::kReserved] = chan;
  n->itemHead[StCommandItem::kReserved + 1] = obj;
  kit::WriteLE32(n->itemHead + StCommandItem::kLength, length);
  if (name) {
    strncpy(n->Name, name, sizeof n->Name - 1);  // longer names are cut to the field
  }
  return n;
}

void ReadParamNodes(StXMLNamespace& ns, const TiXmlElement* first, std::list<std::string>* features) {
  for (const TiXmlElement* e = first; e; e = e->NextSiblingElement()) {
    const std::string tag = e->Value();
    if (features && tag == "pFeature") features->push_back(TextOf(e));
    const TiXmlElement* child = e->FirstChildElement();
    if (!child) continue;
    if (tag == "Category") {
      const TiXmlAttribute* a = e->FirstAttribute();
      if (!a) {
        ReadParamNodes(ns, child, nullptr);
        continue;
      }
      auto node = MakeNode(0, 0, 0, 0, kCategoryLength, nullptr);
      std::list<std::string>* list = &node->features;
      auto ins = ns.nodes.try_emplace(a->Value(), std::move(node));  // moves only when inserted
      // A repeated key keeps the first node; the repeat's features go with it.
      std::unique_ptr<StParamNode> dropped;
      if (!ins.second) dropped = std::move(node);
      ReadParamNodes(ns, child, ins.second ? list : &dropped->features);
    } else if (tag == "SubCommand") {
      std::string key;
      const char* name = "";
      uint32_t code = 0, length = 0;
      uint8_t paraType = 0, chan = 0, obj = 0;
      for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
        const std::string an = a->Name();
        if (an == "NodeCode") {
          key = a->Value();
          const char* digits = key.size() > 2 ? key.c_str() + 2 : key.c_str();
          code = static_cast<uint32_t>(strtoul(digits, nullptr, 16));
        } else if (an == "Name") {
          name = a->Value();
        }
      }
      for (const TiXmlElement* c = child; c; c = c->NextSiblingElement()) {
        const std::string ct = c->Value();
        const std::string text = TextOf(c);
        if (ct == "ParaType")
          paraType = ParseParaType(text.c_str());
        else if (ct == "ParamLen")
          length = static_cast<uint32_t>(atoi(text.c_str()));
        else if (ct == "ChanCount")
          chan = static_cast<uint8_t>(atoi(text.c_str()));
        else if (ct == "ObjCount")
          obj = static_cast<uint8_t>(atoi(text.c_str()));
      }
      ns.nodes.try_emplace(key, MakeNode(code, paraType, chan, obj, length, name));
    } else {
      ReadParamNodes(ns, child, nullptr);
    }
  }
}

XMLNamespacePtr LoadRecord(const std::string& key, const std::string& path) {
  auto rec = std::make_shared<StXMLNamespace>(key, path);
  if (!LoadNamespaceXML(*rec)) return nullptr;
  return rec;
}

}  // namespace

StParamNode::StParamNode() {
  kit::WriteLE32(itemHead + StCommandItem::kMagic, kItemMagic);
  kit::WriteLE32(itemHead + StCommandItem::kLength, kCategoryLength);
}
uint32_t StParamNode::Code() const { return kit::ReadLE32(itemHead + StCommandItem::kCode); }
uint8_t StParamNode::ParaType() const { return itemHead[StCommandItem::kParaType]; }
uint8_t StParamNode::ChanCount() const { return itemHead[StCommandItem::kReserved]; }
uint8_t StParamNode::ObjCount() const { return itemHead[StCommandItem::kReserved + 1]; }
uint32_t StParamNode::Length() const { return kit::ReadLE32(itemHead + StCommandItem::kLength); }

uint8_t ParseParaType(const char* text) {
  if (!text) return 0;
  for (const auto& t : kTypes)
    if (strcmp(t.text, text) == 0) return t.code;
  return 0;
}

bool LoadNamespaceXML(StXMLNamespace& ns) {
  std::string bytes;
  return ReadRegularFile(ns.path, &bytes) && ReadNamespaceXML(ns, bytes);
}

bool ReadNamespaceXML(StXMLNamespace& ns, const std::string& bytes, XMLParse* how) {
  TiXmlDocument doc;
  const XMLParse parsed = ParseXMLDocument(bytes, &doc);
  if (how) *how = parsed;
  if (parsed != XMLParse::kParsed) return false;
  const TiXmlElement* root = doc.FirstChildElement();
  if (!root) return true;
  for (const TiXmlAttribute* a = root->FirstAttribute(); a; a = a->Next()) {
    if (std::string(a->Name()) == "LayerId") {
      ns.LayerId = static_cast<uint16_t>(atoi(a->Value()));
      break;
    }
  }
  for (const TiXmlElement* e = root->FirstChildElement(); e; e = e->NextSiblingElement()) {
    const TiXmlAttribute* a = e->FirstAttribute();
    if (!a) continue;
    const std::string an = a->Name(), av = a->Value();
    if (an == "Name" && av == "Root") {
      const TiXmlElement* c = e->FirstChildElement();
      ns.rootName = c ? TextOf(c) : std::string();
    } else if (an == "Comment" && av == ns.rootName) {
      ReadParamNodes(ns, e->FirstChildElement(), nullptr);
      break;
    }
  }
  return true;
}

bool ExtensionFileId(const std::string& piece, std::string* id) {
  if (piece.size() != 16) return false;
  std::string upper(piece);
  for (char& c : upper) {  // by hand: the digits must not depend on the caller's locale
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  *id = std::move(upper);
  return true;
}

std::vector<std::string> NamespacePieces(const std::string& ns) {
  std::vector<std::string> pieces;
  for (size_t from = 0, dot; (dot = ns.find('.', from)) != std::string::npos; from = dot + 1)
    pieces.push_back(ns.substr(from, dot - from));
  return pieces;
}

std::string XMLNamespaceKey(const std::string& ns) {
  std::string id;
  return ExtensionFileId(ns, &id) ? id : ns;
}

bool InsertXMLNamespace(const std::string& key, XMLNamespacePtr rec) {
  std::string cached = XMLNamespaceKey(key);
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csXML);
  return g.m_mapXML.emplace(std::move(cached), std::move(rec)).second;
}

XMLNamespacePtr FindXMLNamespace(const std::string& key) {
  bool present;
  return FindXMLNamespace(key, &present);
}

XMLNamespacePtr FindXMLNamespace(const std::string& key, bool* present) {
  const std::string cached = XMLNamespaceKey(key);
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csXML);
  auto it = g.m_mapXML.find(cached);
  *present = it != g.m_mapXML.end();
  return *present ? it->second : nullptr;
}

std::vector<int> XMLIndexEntries(const std::string& index) {
  const int count = pf::GetProfileInt("INFO", "count", 0, index);
  // Only the sections that are there: a damaged count, or one far-numbered
  // section, must not make start-up read the file billions of times.
  std::vector<int> entries;
  for (const std::string& name : pf::GetProfileSectionNames(index)) {
    if (name.size() < 5 || name.size() > 14 || strncasecmp(name.c_str(), "info", 4) != 0 || name[4] == '0') continue;
    if (name.find_first_not_of("0123456789", 4) != std::string::npos) continue;
    const long long n = atoll(name.c_str() + 4);
    if (n <= count) entries.push_back(static_cast<int>(n));
  }
  std::sort(entries.begin(), entries.end());
  entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
  return entries;
}

std::string XMLIndexPath() { return Global().m_strModulePath + "XML/xmlinfo.ini"; }
std::string XMLFilePath(const std::string& id) { return Global().m_strModulePath + "XML/" + id + ".xml"; }

void LoadXMLIndex() {
  const std::string index = XMLIndexPath();
  // An XML folder the library may not use (another user's, or none at all)
  // holds no index for it.
  if (!kit::CreateFolderPath(Global().m_strModulePath + "XML/") || !pf::PathExists(index)) {
    WriteLog("xmlinfo.ini文件不存在");
    return;
  }
  std::vector<std::string> kept;
  for (const int i : XMLIndexEntries(index)) {
    const std::string section = "info" + std::to_string(i);
    const std::string entry = pf::GetProfileString(section, "info", "", index, kIndexEntrySize);
    WriteLogF("扩展XML信息%d：%s", i, entry.c_str());
    const size_t semi = entry.find(';');
    if (semi == 0) continue;
    const std::string path = semi == std::string::npos ? std::string() : entry.substr(0, semi);
    // Kept in its one spelling, also when the whole text is an extension id.
    const std::string namespaces =
        XMLNamespaceKey(semi == std::string::npos ? std::string() : pf::TrimBlank(entry.substr(semi + 1)));
    if (!pf::PathExists(path)) {
      WriteLogF("文件%s不存在", path.c_str());
      continue;
    }
    XMLNamespacePtr main = LoadRecord(namespaces, path);
    if (!main) continue;
    kept.push_back(entry);
    for (const std::string& piece : NamespacePieces(namespaces)) {
      std::string id;
      if (!ExtensionFileId(piece, &id)) {  // names no file: as a missing one
        WriteLog("LoadXMLFile" + piece + "不存在");
        continue;
      }
      const std::string file = XMLFilePath(id);
      if (!pf::PathExists(file)) {
        WriteLog("LoadXMLFile" + file + "不存在");
        continue;
      }
      if (XMLNamespacePtr ext = LoadRecord(id, file)) {
        InsertXMLNamespace(id, std::move(ext));
        WriteLogF("loadfile 时 各个xml命名空间%s", id.c_str());
      }
    }
    InsertXMLNamespace(namespaces, std::move(main));
  }
  if (kept.empty()) return;
  pf::WriteProfileString("INFO", "count", std::to_string(kept.size()), index);
  for (size_t i = 0; i < kept.size(); ++i)
    pf::WriteProfileString("info" + std::to_string(i + 1), "info", kept[i], index);
}

void FreeXMLDescriptions() {
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csXML);
  g.m_mapXML.clear();
}

}  // namespace qelm

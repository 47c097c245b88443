// The XML description cache: reading description files and the index.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tinyxml.h>

#include <cstdio>
#include <string>
#include <vector>

#include "context.h"
#include "platform/profile.h"
#include "process.h"
#include "queued_log.h"
#include "wait.h"
#include "xml_cache.h"
#include "xml_document.h"
#include "xml_fuzz_support.h"

namespace {

using qelm::FindXMLNamespace;

const char* kDescription = R"(<?xml version="1.0" encoding="GB2312"?>
<Device Model="x" LayerId="4">
  <Comment Comment="Ignored">
    <SubCommand NodeCode="0x99"><ParaType>PTBool</ParaType></SubCommand>
  </Comment>
  <Item Name="Root"><Text>Params</Text></Item>
  <Plain />
  <Section Comment="Params">
    <Category Key="Video">
      <pFeature>shutter</pFeature>
      <pFeature>gain</pFeature>
      <SubCommand NodeCode="0x00010203" Name="Shutter">
        <ParaType>PTUi32</ParaType><ParamLen>4</ParamLen><ChanCount>2</ChanCount><ObjCount>259</ObjCount>
      </SubCommand>
      <Group>
        <SubCommand Name="Deep" NodeCode="10203"><ParaType>PTTimems</ParaType></SubCommand>
        <SubCommand NodeCode="0x7"><ParaType>ptbool</ParaType><Other>1</Other></SubCommand>
        <SubCommand NodeCode="0x8" />
      </Group>
    </Category>
    <Category Key="Video"><SubCommand NodeCode="0x55"><ParaType>PTStr</ParaType></SubCommand></Category>
    <Category><SubCommand NodeCode="0x66"><ParaType>PTStr</ParaType></SubCommand></Category>
  </Section>
  <Section Comment="Params"><SubCommand NodeCode="0x77"><ParaType>PTStr</ParaType></SubCommand></Section>
</Device>
)";

class XmlCache : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = kittest::MakeTempFolder("xml");
    qelm::test::SetModulePath(dir_);
    ASSERT_EQ(system(("mkdir -p " + dir_ + "XML").c_str()), 0);
  }
  std::string Put(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "XML/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    return path;
  }
  std::string Ini() const { return dir_ + "XML/xmlinfo.ini"; }
  void Index(const std::string& text) { Put("xmlinfo.ini", text); }
  std::string dir_;
};

TEST_F(XmlCache, ReadsLayerIdRootNameAndTheParameterTree) {
  qelm::StXMLNamespace ns("V1.ext", Put("main.xml", kDescription));
  ASSERT_TRUE(qelm::LoadNamespaceXML(ns));
  EXPECT_EQ(ns.LayerId, 4);
  EXPECT_EQ(ns.rootName, "Params");
  // Only the first matching Comment element is read.
  EXPECT_EQ(ns.nodes.count("0x99"), 0u);
  EXPECT_EQ(ns.nodes.count("0x77"), 0u);

  const auto& video = *ns.nodes.at("Video");
  EXPECT_EQ(video.Code(), 0u);
  EXPECT_EQ(video.Length(), 10u);
  EXPECT_EQ(video.features, (std::list<std::string>{"shutter", "gain"}));

  const auto& sh = *ns.nodes.at("0x00010203");  // the key keeps its prefix
  EXPECT_EQ(sh.Code(), 0x00010203u);
  EXPECT_EQ(sh.ParaType(), 7);
  EXPECT_EQ(sh.Length(), 4u);
  EXPECT_EQ(sh.ChanCount(), 2);
  EXPECT_EQ(sh.ObjCount(), 3);  // low 8 bits of 259
  EXPECT_STREQ(sh.Name, "Shutter");
  const uint8_t head[20] = {0x5A, 0xA5, 0x55, 0xAA, 0x03, 0x02, 0x01, 0x00, 7, 0, 2, 3, 0, 0, 0, 0, 4, 0, 0, 0};
  EXPECT_EQ(memcmp(sh.itemHead, head, 20), 0);

  const auto& deep = *ns.nodes.at("10203");  // no prefix: two characters dropped
  EXPECT_EQ(deep.Code(), 0x203u);
  EXPECT_EQ(deep.ParaType(), 66);
  EXPECT_EQ(deep.Length(), 0u);  // no ParamLen
  EXPECT_EQ(ns.nodes.at("0x7")->ParaType(), 0);  // case matters
  EXPECT_EQ(ns.nodes.count("0x8"), 0u);          // a SubCommand without children is no node
  EXPECT_EQ(ns.nodes.count("0x55"), 1u);         // below a repeated Category key
  EXPECT_EQ(ns.nodes.count("0x66"), 1u);         // below a Category without attribute
}

TEST_F(XmlCache, CommentBeforeTheRootNameMatchesOnlyWhenEmpty) {
  qelm::StXMLNamespace a("a", Put("a.xml", R"(<R><S Comment=""><SubCommand NodeCode="0x1"><ParaType>PTStr</ParaType></SubCommand></S><I Name="Root"><T>x</T></I></R>)"));
  ASSERT_TRUE(qelm::LoadNamespaceXML(a));
  EXPECT_EQ(a.nodes.count("0x1"), 1u);
  EXPECT_EQ(a.rootName, "");  // reading ended at the comment
  qelm::StXMLNamespace b("b", Put("b.xml", "<R LayerId=\"70000\"/>"));
  ASSERT_TRUE(qelm::LoadNamespaceXML(b));
  EXPECT_EQ(b.LayerId, static_cast<uint16_t>(70000));
  qelm::StXMLNamespace bad("c", Put("c.xml", "<R><unclosed></R>"));
  EXPECT_FALSE(qelm::LoadNamespaceXML(bad));
  qelm::StXMLNamespace missing("d", dir_ + "XML/none.xml");
  EXPECT_FALSE(qelm::LoadNamespaceXML(missing));
  // A name longer than its field is cut to 63 characters.
  const std::string name(100, 'n');
  qelm::StXMLNamespace longName("e", Put("e.xml", "<R><I Name='Root'><T>p</T></I><S Comment='p'><SubCommand NodeCode='0x1' Name='" +
                                                      name + "'><ParaType>PTStr</ParaType></SubCommand></S></R>"));
  ASSERT_TRUE(qelm::LoadNamespaceXML(longName));
  EXPECT_EQ(std::string(longName.nodes.at("0x1")->Name), name.substr(0, 63));
}

TEST_F(XmlCache, ParaTypeTable) {
  struct Case {
    const char* text;
    int code;
  } cases[] = {{"PTInsprit", 0}, {"PTExecute", 1}, {"PTBool", 2},     {"PTUi8", 3},     {"PTI8", 4},
               {"PTUi16", 5},    {"PTI16", 6},     {"PTUi32", 7},     {"PTI32", 8},     {"PTUi64", 9},
               {"PTI64", 10},    {"PTF32", 11},    {"PTF64", 12},     {"PTStr", 13},    {"PTArray", 14},
               {"PTEnum", 15},   {"PTTime", 65},   {"PTTimems", 66},  {"PTDate", 67},   {"PTPoint", 68},
               {"PTLine", 69},   {"PTRect", 70},   {"PTPolygon", 71}, {"PTMatrix", 72}, {"PTMask", 73},
               {"PTStruct", 128}, {"ptbool", 0},   {"", 0},           {"PTBool ", 0},   {"PTStructs", 0}};
  for (const auto& c : cases) EXPECT_EQ(qelm::ParseParaType(c.text), c.code) << c.text;
  EXPECT_EQ(qelm::ParseParaType(nullptr), 0);
}

TEST_F(XmlCache, IndexLoadsMainAndExtensionFilesAndIsRewritten) {
  const std::string bad = Put("bad.xml", "<R><x></R>");
  const std::string main = Put("main1.xml", kDescription);
  Put("00000001000000AA.xml", "<E LayerId=\"9\"/>");  // the second id's file is missing
  FILE* f = fopen(Ini().c_str(), "wb");
  fprintf(f, "[INFO]\r\ncount=3\r\n[info1]\r\ninfo=%s;V1.ext\r\n[info2]\r\ninfo=%s; 00000001000000AA.00000002000000BB.ext \r\n"
             "[info3]\r\ninfo=;nothing\r\n",
          bad.c_str(), main.c_str());
  fclose(f);
  qelm::LoadXMLIndex();
  EXPECT_EQ(FindXMLNamespace("V1.ext"), nullptr);
  auto m = FindXMLNamespace("00000001000000AA.00000002000000BB.ext");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->LayerId, 4);
  ASSERT_NE(FindXMLNamespace("00000001000000AA"), nullptr);
  EXPECT_EQ(FindXMLNamespace("00000001000000AA")->LayerId, 9);
  EXPECT_EQ(FindXMLNamespace("00000002000000BB"), nullptr);
  EXPECT_EQ(FindXMLNamespace("ext"), nullptr);
  // Rewritten with the one kept entry first.
  EXPECT_EQ(pf::GetProfileInt("INFO", "count", 0, Ini()), 1);
  EXPECT_EQ(pf::GetProfileString("info1", "info", "", Ini()),
            main + "; 00000001000000AA.00000002000000BB.ext");
  qelm::FreeXMLDescriptions();
  EXPECT_EQ(FindXMLNamespace("00000001000000AA"), nullptr);
}

TEST_F(XmlCache, EmptyOrMissingIndexLoadsNothingAndIsLeftAlone) {
  qelm::LoadXMLIndex();  // no file at all
  const std::string text = "[other]\r\nx=1\r\n";
  FILE* f = fopen(Ini().c_str(), "wb");
  fputs(text.c_str(), f);
  fclose(f);
  qelm::LoadXMLIndex();
  EXPECT_EQ(kittest::ReadFile(Ini()), text);
  EXPECT_TRUE(qelm::Global().m_mapXML.empty());
}

TEST_F(XmlCache, ANamespaceWithoutDotsLoadsOnlyItsMainFileAndFirstKeyStays) {
  const std::string main = Put("m.xml", kDescription);
  const std::string other = Put("o.xml", "<R LayerId=\"2\"/>");
  FILE* f = fopen(Ini().c_str(), "wb");
  fprintf(f, "[INFO]\r\ncount=2\r\n[info1]\r\ninfo=%s;SOLO\r\n[info2]\r\ninfo=%s;SOLO\r\n", main.c_str(), other.c_str());
  fclose(f);
  qelm::LoadXMLIndex();
  ASSERT_NE(FindXMLNamespace("SOLO"), nullptr);
  EXPECT_EQ(FindXMLNamespace("SOLO")->LayerId, 4);  // the first record stays
  EXPECT_EQ(qelm::Global().m_mapXML.size(), 1u);
}

// Each step of the start-up load says what it found, in this order.
TEST_F(XmlCache, IndexLoadingLogsEachEntryAndEachFileItLooksFor) {
  qelm::Global().m_log.m_bLogOn.store(1);
  qelm::LoadXMLIndex();
  EXPECT_EQ(qelmtest::TakeQueuedLog(), std::vector<std::string>{kittest::Gbk("xmlinfo.ini文件不存在")});

  const std::string main = Put("main1.xml", kDescription);
  Put("00000001000000AA.xml", "<E LayerId=\"9\"/>");
  Put("00000003000000CC.xml", "<E><broken></E>");
  const std::string ns = "00000001000000AA.00000002000000BB.00000003000000CC.ext";
  Index("[INFO]\r\ncount=2\r\n[info1]\r\ninfo=" + dir_ + "XML/none.xml;V1.ext\r\n[info2]\r\ninfo=" + main + ";" +
        ns + "\r\n");
  qelm::LoadXMLIndex();
  const std::string missingExt = dir_ + "XML/00000002000000BB.xml";
  EXPECT_EQ(qelmtest::TakeQueuedLog(), (std::vector<std::string>{
                           kittest::Gbk("扩展XML信息1：" + dir_ + "XML/none.xml;V1.ext"),
                           kittest::Gbk("文件" + dir_ + "XML/none.xml不存在"),
                           kittest::Gbk("扩展XML信息2：" + main + ";" + ns),
                           kittest::Gbk("loadfile 时 各个xml命名空间00000001000000AA"),
                           kittest::Gbk("LoadXMLFile" + missingExt + "不存在"),
                       }));
  EXPECT_NE(FindXMLNamespace("00000001000000AA"), nullptr);
  EXPECT_EQ(FindXMLNamespace("00000003000000CC"), nullptr);  // present but not parsed: left out silently
  EXPECT_NE(FindXMLNamespace(ns), nullptr);
  qelm::Global().m_log.m_bLogOn.store(0);
}

// At start-up an extension id names its file in any letter case: the files
// are stored under the upper-case spelling (also those an index written
// before names in lower case). A piece that is not 16 hexadecimal digits
// names no file, even where a file of that name lies, and is logged as a
// missing one.
TEST_F(XmlCache, IndexPiecesNameFilesOnlyAsExtensionIds) {
  const std::string main = Put("main0.xml", kDescription);
  Put("00AA11BB22CC33DD.xml", "<E LayerId=\"9\"/>");
  Put("0123456789ABCDEF.xml", "<E LayerId=\"10\"/>");
  ASSERT_EQ(system(("mkdir -p " + dir_ + "XML/ab").c_str()), 0);
  const std::vector<std::string> notIds = {"ab/def0123456789", "ab\\def0123456789", "+123456789ABCDEF", ""};
  for (const auto& piece : notIds) Put(piece + ".xml", "<E LayerId=\"11\"/>");
  std::string ns = "00aa11bb22cc33dd.0123456789abCDEF";
  for (const auto& piece : notIds) ns += "." + piece;
  ns += ".ext";
  Index("[INFO]\r\ncount=1\r\n[info1]\r\ninfo=" + main + ";" + ns + "\r\n");
  qelm::Global().m_log.m_bLogOn.store(1);
  qelmtest::TakeQueuedLog();
  qelm::LoadXMLIndex();
  qelm::Global().m_log.m_bLogOn.store(0);
  std::vector<std::string> want{kittest::Gbk("扩展XML信息1：" + main + ";" + ns),
                                kittest::Gbk("loadfile 时 各个xml命名空间00AA11BB22CC33DD"),
                                kittest::Gbk("loadfile 时 各个xml命名空间0123456789ABCDEF")};
  for (const auto& piece : notIds) want.push_back(kittest::Gbk("LoadXMLFile" + piece + "不存在"));
  EXPECT_EQ(qelmtest::TakeQueuedLog(), want);
  ASSERT_NE(FindXMLNamespace(ns), nullptr);
  for (const std::string spelling : {"00aa11bb22cc33dd", "00AA11BB22CC33DD", "00Aa11bB22Cc33dD"}) {
    ASSERT_NE(FindXMLNamespace(spelling), nullptr) << spelling;
    EXPECT_EQ(FindXMLNamespace(spelling)->LayerId, 9);
    EXPECT_EQ(FindXMLNamespace(spelling)->name, "00AA11BB22CC33DD");
  }
  ASSERT_NE(FindXMLNamespace("0123456789abcdef"), nullptr);
  EXPECT_EQ(FindXMLNamespace("0123456789abcdef")->LayerId, 10);
  for (const auto& piece : notIds) EXPECT_EQ(FindXMLNamespace(piece), nullptr) << piece;
  EXPECT_EQ(qelm::Global().m_mapXML.size(), 3u);
}

TEST_F(XmlCache, CountZeroOrPastTheEntriesAndEntriesThatAreNoFiles) {
  const std::string main = Put("m.xml", kDescription);
  // A count of 0 loads nothing and leaves the index as it was.
  const std::string zero = "[INFO]\r\ncount=0\r\n[info1]\r\ninfo=" + main + ";V1.ext\r\n";
  Index(zero);
  qelm::LoadXMLIndex();
  EXPECT_TRUE(qelm::Global().m_mapXML.empty());
  EXPECT_EQ(kittest::ReadFile(Ini()), zero);

  // A damaged count is read no further than the entries there are (the load
  // would otherwise go on for hours); a folder or a pipe named by an entry is
  // no description (and reading either must neither fail nor block).
  ASSERT_EQ(mkfifo((dir_ + "XML/pipe.xml").c_str(), 0600), 0);
  ASSERT_EQ(system(("mkdir -p " + dir_ + "XML/folder.xml").c_str()), 0);
  Index("[INFO]\r\ncount=2000000000\r\n[info1]\r\ninfo=" + dir_ + "XML/folder.xml;F.ext\r\n[info2]\r\ninfo=" + dir_ +
        "XML/pipe.xml;P.ext\r\n[info3]\r\ninfo=" + main + ";V3.ext\r\n[INFO05]\r\ninfo=" + main + ";V5.ext\r\n");
  const int64_t t0 = kittest::NowMs();
  qelm::LoadXMLIndex();
  EXPECT_LT(kittest::NowMs() - t0, 5000);
  EXPECT_EQ(FindXMLNamespace("F.ext"), nullptr);
  EXPECT_EQ(FindXMLNamespace("P.ext"), nullptr);
  EXPECT_NE(FindXMLNamespace("V3.ext"), nullptr);
  EXPECT_EQ(FindXMLNamespace("V5.ext"), nullptr);  // "info05" is not the section of entry 5
  EXPECT_EQ(pf::GetProfileInt("INFO", "count", 0, Ini()), 1);
  EXPECT_EQ(pf::GetProfileString("info1", "info", "", Ini()), main + ";V3.ext");

  // One far-numbered section within a large count: only the sections there
  // are read, in the order of their numbers, past the gaps between them.
  qelm::FreeXMLDescriptions();
  Index("[INFO]\r\ncount=30000000\r\n[info30000000]\r\ninfo=" + main + ";VFAR.ext\r\n[info2]\r\ninfo=" + main +
        ";V2.ext\r\n");
  const int64_t t1 = kittest::NowMs();
  qelm::LoadXMLIndex();
  EXPECT_LT(kittest::NowMs() - t1, 5000);
  EXPECT_NE(FindXMLNamespace("V2.ext"), nullptr);
  EXPECT_NE(FindXMLNamespace("VFAR.ext"), nullptr);
  EXPECT_EQ(pf::GetProfileInt("INFO", "count", 0, Ini()), 2);
  EXPECT_EQ(pf::GetProfileString("info1", "info", "", Ini()), main + ";V2.ext");
  EXPECT_EQ(pf::GetProfileString("info2", "info", "", Ini()), main + ";VFAR.ext");
}

// The probe that keeps deep files away from TinyXML must find the nesting
// TinyXML's own parse reaches, whatever the markup hides.
TEST_F(XmlCache, NestingProbeFindsTheDepthOfTinyXmlsDocument) {
  struct Case {
    const char* name;
    std::string text;
    size_t depth;
  } cases[] = {
      {"plain", "<a><b><c/></b><d>t</d></a>", 3},
      {"several top-level elements", "<a/><b><c><d/></c></b>x", 3},
      {"comment, CDATA and unknown tags", "<a><!-- <b><c> --><![CDATA[<b><c>]]><!DOCTYPE <b>><?pi <b> ?><e/></a>", 2},
      {"quoted markup in attributes", "<a x='<b><c>' y=\"</a>\"><b z='/>'><c/></b></a>", 3},
      {"an entity that swallows tags", "<a>&#x<b><c>x41;<d/></a>", 2},
      {"unquoted values", "<a x=1 y=z><b/></a>", 2},
      {"a quote in an unquoted value stops the parse", "<a><b x=1'><c><d/></c></b></a>", 2},
      {"a repeated attribute stops the parse", "<a><b x='1' x='2'><c><d/></c></b></a>", 2},
      {"a wrong end tag stops the parse", "<a><b></c><d><e/></d></a>", 2},
      {"text with a stray end of tag", "<a>/></a><b>/><c/></b>", 2},
      {"UTF-8 lead byte swallows a quote", "\xEF\xBB\xBF<a x='\xF0'><b/>'><c/></a>", 2},
      {"declaration of UTF-8", "<?xml version='1.0' encoding='UTF-8'?><a x='\xE0'>'/><b><c/></b></a>", 2},
      {"declaration of another encoding", "<?xml version='1.0' encoding='GB2312'?><a x='\xE0'>'/><b><c/></b></a>", 3},
      {"declaration ending in blanks", "<?xml version='1.0' ", 0},
      {"unclosed", "<a><b><c>", 3},
      {"no elements", "text only", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = qelm::NormalizedXMLText(c.text);
    text.append(4, '\0');
    TiXmlDocument doc;
    doc.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    EXPECT_EQ(xmlfuzz::DocumentDepth(&doc), c.depth);
    EXPECT_EQ(qelm::XMLNestingDepth(text.c_str(), SIZE_MAX), c.depth);
    EXPECT_EQ(qelm::XMLNestingDepth(text.c_str(), 1), std::min<size_t>(c.depth, 2));
  }
  EXPECT_EQ(qelm::NormalizedXMLText(std::string("a\r\nb\rc\n\0d", 10)), "a\nb\nc\n");
}

// A file of nothing but nested tags would run TinyXML's parser out of stack.
TEST_F(XmlCache, DescriptionsNestedTooDeepAreRefused) {
  auto nested = [](size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += "<a>";
    for (size_t i = 0; i < n; ++i) s += "</a>";
    return s;
  };
  qelm::StXMLNamespace atBound("a", Put("bound.xml", "<R Name='Root'>" + nested(qelm::kMaxXmlNesting - 1) + "</R>"));
  EXPECT_TRUE(qelm::LoadNamespaceXML(atBound));
  qelm::StXMLNamespace past("b", Put("past.xml", "<R>" + nested(qelm::kMaxXmlNesting) + "</R>"));
  EXPECT_FALSE(qelm::LoadNamespaceXML(past));
  qelm::StXMLNamespace deep("c", Put("deep.xml", nested(1000000)));
  EXPECT_FALSE(qelm::LoadNamespaceXML(deep));
  qelm::StXMLNamespace empty("d", Put("empty.xml", ""));
  EXPECT_FALSE(qelm::LoadNamespaceXML(empty));
}

// One element of `n` attributes named `prefix` followed by a number, each of
// the value `value`.
std::string Wide(size_t n, const std::string& prefix = "a", const std::string& value = "") {
  std::string s = "<R";
  for (size_t i = 0; i < n; ++i) s += " " + prefix + std::to_string(i) + "=\"" + value + "\"";
  return s + "/>";
}

// Reading a description costs work in proportion to its size, whatever its
// shape: counted as the name comparisons of the checks for repeated
// attributes (TinyXML's, which looks each attribute up among all earlier ones
// of its element, and the shape walk's own), the one part of the reading
// whose cost could grow faster than the bytes. A shape past the bounds is
// refused before TinyXML sees it, at a cost no larger.
TEST_F(XmlCache, DescriptionsAreReadOrRefusedInTimeInProportionToTheirSize) {
  const size_t bound = qelm::kMaxXmlAttributes;
  auto repeat = [](const std::string& s, size_t n) {
    std::string out = "<R>";
    for (size_t i = 0; i < n; ++i) out += s;
    return out + "</R>";
  };
  struct Case {
    const char* name;
    std::string text;
    qelm::XMLParse want;
  } cases[] = {
      {"60,000 attributes in one element", Wide(60000), qelm::XMLParse::kRefused},
      {"one attribute past the bound", Wide(bound + 1), qelm::XMLParse::kRefused},
      {"past the bound in the last of many elements", repeat(Wide(bound), 50) + Wide(bound + 1),
       qelm::XMLParse::kRefused},
      {"at the bound", Wide(bound), qelm::XMLParse::kParsed},
      {"many elements at the bound", repeat(Wide(bound), 200), qelm::XMLParse::kParsed},
      {"many small elements", repeat("<S NodeCode=\"0x1\" Name=\"n\"><P>x</P></S>", 100000), qelm::XMLParse::kParsed},
      {"long names at the bound", Wide(bound, std::string(2000, 'n')), qelm::XMLParse::kParsed},
      {"long values", Wide(8, "v", std::string(1 << 20, 'x')), qelm::XMLParse::kParsed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TiXmlDocument doc;
    qelm::XMLShape shape;
    EXPECT_EQ(qelm::ParseXMLDocument(c.text, &doc, &shape), c.want);
    const uint64_t work = shape.attributePairs + shape.probeComparisons;
    EXPECT_LE(work, 32 * c.text.size()) << work << " comparisons for " << c.text.size() << " bytes";
    if (c.want == qelm::XMLParse::kRefused) {
      EXPECT_EQ(doc.FirstChild(), nullptr);  // TinyXML never saw it
      EXPECT_EQ(shape.attributes, bound + 1);
    } else {
      EXPECT_LE(xmlfuzz::DocumentMostAttributes(&doc), bound);
    }
  }
}

// A stored description of such a shape is refused at start-up too, with the
// same check: its entry is dropped, the others are loaded.
TEST_F(XmlCache, AStoredDescriptionOfImplausibleShapeIsRefusedAtStartUp) {
  const std::string wide = Put("wide.xml", "<D LayerId=\"3\"" + Wide(60000).substr(2));
  const std::string main = Put("main1.xml", kDescription);
  Index("[INFO]\r\ncount=2\r\n[info1]\r\ninfo=" + wide + ";W.ext\r\n[info2]\r\ninfo=" + main + ";V1.ext\r\n");
  qelm::LoadXMLIndex();
  EXPECT_EQ(FindXMLNamespace("W.ext"), nullptr);
  ASSERT_NE(FindXMLNamespace("V1.ext"), nullptr);
  EXPECT_EQ(pf::GetProfileInt("INFO", "count", 0, Ini()), 1);
  EXPECT_EQ(pf::GetProfileString("info1", "info", "", Ini()), main + ";V1.ext");
}

}  // namespace

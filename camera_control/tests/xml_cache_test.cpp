// The XML description cache: reading description files and the index.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "context.h"
#include "platform/profile.h"
#include "process.h"
#include "xml_cache.h"

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
}

TEST_F(XmlCache, ParaTypeTable) {
  struct Case {
    const char* text;
    int code;
  } cases[] = {{"PTInsprit", 0}, {"PTExecute", 1}, {"PTBool", 2},  {"PTUi32", 7},   {"PTStr", 13},
               {"PTEnum", 15},   {"PTTime", 65},   {"PTTimems", 66}, {"PTMask", 73}, {"PTStruct", 128},
               {"ptbool", 0},    {"", 0},          {"PTBool ", 0}};
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

}  // namespace

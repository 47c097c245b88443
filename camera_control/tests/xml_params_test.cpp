// Parameters named by a cached XML description: the request built from the
// parameter node, the answer handed back, and the failures.
#include <atomic>
#include <thread>

#include "command_support.h"
#include "context.h"
#include "log_queue.h"
#include "platform/system.h"
#include "queued_log.h"
#include "xml_cache.h"

namespace {

using namespace cmdtest;
using ctltest::ControlTest;
using ctltest::OpenCam;
using kittest::NowMs;
using kittest::WaitUntil;

const char* kDescription = R"(<?xml version="1.0"?>
<Device LayerId="5">
  <Item Name="Root"><Text>Params</Text></Item>
  <Section Comment="Params">
    <Category Key="Video">
      <SubCommand NodeCode="0x00010203" Name="Shutter">
        <ParaType>PTUi32</ParaType><ParamLen>4</ParamLen><ChanCount>2</ChanCount><ObjCount>3</ObjCount>
      </SubCommand>
      <SubCommand NodeCode="0x00040C0A" Name="Title"><ParaType>PTStr</ParaType><ParamLen>64</ParamLen></SubCommand>
    </Category>
  </Section>
</Device>
)";

constexpr const char* kNs = "V1.0.ext";

// A request record with its status and length words.
struct Param {
  Param(StCameraHandle* h, const char* ns, const char* code) {
    memset(&p, 0, sizeof p);
    p.handle = h;
    snprintf(p.ns, sizeof p.ns, "%s", ns);
    snprintf(p.code, sizeof p.code, "%s", code);
    p.status = &status;
    p.length = &length;
    memset(p.value, 0xEE, sizeof p.value);
  }
  StXMLParam p;
  int status = -1;
  int length = -1;
};

class XmlParams : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    dir_ = kittest::MakeTempFolder("xmlparams");
    qelm::test::SetModulePath(dir_);
    ASSERT_EQ(system(("mkdir -p " + dir_ + "XML").c_str()), 0);
    path_ = dir_ + "XML/main0.xml";
    FILE* f = fopen(path_.c_str(), "wb");
    fputs(kDescription, f);
    fclose(f);
  }
  void Cache(const std::string& key) {
    auto rec = std::make_shared<qelm::StXMLNamespace>(key, path_);
    ASSERT_TRUE(qelm::LoadNamespaceXML(*rec));
    qelm::InsertXMLNamespace(key, rec);
  }
  std::string dir_, path_;
};

TEST_F(XmlParams, GetAndSetSendTheParameterNodesItemAndHandBackTheAnswer) {
  Cache(kNs);
  ScriptedCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam.cam());

  Param get(h, kNs, "0x00010203");
  // The first item whose code has the low 16 bits of the requested one
  // answers (here one that differs above bit 15); its status is handed back
  // as it is.
  cam.Reply({Item(0x10204, 7, Text("zzzz")), Item(0x7F0203, 7, Text("abcd"), 5), Item(0x10203, 7, Text("wxyz"))});
  ASSERT_EQ(Qelm_GetParams(&get.p, 2000), 0);
  EXPECT_EQ(get.status, 5);
  EXPECT_EQ(get.length, 4);
  EXPECT_EQ(Hex(get.p.value, 5), Hex(Text("abcd")) + "EE");

  Param set(h, kNs, "0x00040C0A");
  memcpy(set.p.value, "ABCDEF", 6);
  set.length = 6;
  cam.Reply({Item(0x40C0A, 13)});
  ASSERT_EQ(Qelm_SetParams(&set.p, 2000), 0);
  EXPECT_EQ(set.status, 0);
  EXPECT_EQ(set.length, 0);

  set.length = 0;
  EXPECT_EQ(Qelm_SetParams(&set.p, 2000), 0);
  set.length = QELM_XML_VALUE_SIZE;
  EXPECT_EQ(Qelm_SetParams(&set.p, 2000), 0);

  const auto reqs = cam.Requests();
  ASSERT_EQ(reqs.size(), 4u);
  struct Want {
    uint32_t cls, length, code;
    uint8_t paraType, set;
    uint16_t reserved;  // ChanCount and ObjCount of the node
    Bytes data;
  } want[] = {
      {2, 60, 0x10203, 7, 0, 0x0302, {}},
      {3, 66, 0x40C0A, 13, 1, 0, Text("ABCDEF")},
      {3, 60, 0x40C0A, 13, 1, 0, {}},
      {3, 60 + 4096, 0x40C0A, 13, 1, 0, Bytes(set.p.value, set.p.value + 4096)},
  };
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const CamFrame& f = reqs[i];
    EXPECT_EQ(f.ns, 5);  // the description's LayerId
    EXPECT_EQ(f.sender, 8);
    EXPECT_EQ(f.seq, i + 1);
    EXPECT_EQ(f.cls, want[i].cls);
    EXPECT_EQ(f.length, want[i].length);
    ASSERT_EQ(f.items.size(), 1u);
    EXPECT_EQ(f.items[0].magic, 0xAA55A55Au);
    EXPECT_EQ(f.items[0].code, want[i].code);
    EXPECT_EQ(f.items[0].paraType, want[i].paraType);
    EXPECT_EQ(f.items[0].setFlag, want[i].set);
    EXPECT_EQ(f.items[0].reserved, want[i].reserved);
    EXPECT_EQ(f.items[0].status, 0u);
    EXPECT_EQ(Hex(f.items[0].data), Hex(want[i].data));
  }

  // An answer longer than the value field: its length is told, the value left.
  cam.Reply({Item(0x10203, 7, Bytes(5000, 0x11))});
  Param big(h, kNs, "0x00010203");
  ASSERT_EQ(Qelm_GetParams(&big.p, 2000), 0);
  EXPECT_EQ(big.length, 5000);
  EXPECT_EQ(big.status, 0);
  EXPECT_EQ(big.p.value[0], 0xEE);
  EXPECT_EQ(big.p.value[4095], 0xEE);
}

TEST_F(XmlParams, FailuresLeaveTheCallersRecordAlone) {
  Cache(kNs);
  qelm::InsertXMLNamespace("NULLREC", nullptr);
  ScriptedCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam.cam());
  ASSERT_TRUE(cam.cam().WaitFrames(1, 5000));
  int token;
  auto* unknown = reinterpret_cast<StCameraHandle*>(&token);

  struct Case {
    const char* name;
    std::function<void(Param&)> edit;
    bool set;
    int result;
  } cases[] = {
      {"no handle", [](Param& q) { q.p.handle = nullptr; }, false, 1},
      {"no status word", [](Param& q) { q.p.status = nullptr; }, false, 1},
      {"no length word", [](Param& q) { q.p.length = nullptr; }, true, 1},
      {"a set longer than the value field", [](Param& q) { q.length = QELM_XML_VALUE_SIZE + 1; }, true, 1},
      {"a negative set length", [](Param& q) { q.length = -1; }, true, 1},
      {"unknown handle", [&](Param& q) { q.p.handle = unknown; }, false, 7},
      {"namespace not cached", [](Param& q) { snprintf(q.p.ns, sizeof q.p.ns, "V2.0.ext"); }, false, 15},
      {"namespace without a record", [](Param& q) { snprintf(q.p.ns, sizeof q.p.ns, "NULLREC"); }, false, 15},
      {"code without its prefix", [](Param& q) { snprintf(q.p.code, sizeof q.p.code, "00010203"); }, false, 16},
      {"code of no node", [](Param& q) { snprintf(q.p.code, sizeof q.p.code, "0x00010204"); }, true, 16},
      // Texts that fill their fields are read within them.
      {"namespace filling its field", [](Param& q) { memset(q.p.ns, 'N', sizeof q.p.ns); }, false, 15},
      {"code filling its field", [](Param& q) { memset(q.p.code, 'C', sizeof q.p.code); }, false, 16},
  };
  cam.Reply({Item(0x10203, 7, Le32(1))});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Param q(h, kNs, "0x00010203");
    q.length = 4;
    c.edit(q);
    const int length = q.length;
    EXPECT_EQ(c.set ? Qelm_SetParams(&q.p, 300) : Qelm_GetParams(&q.p, 300), c.result);
    EXPECT_EQ(q.status, -1);
    EXPECT_EQ(q.length, length);
    EXPECT_EQ(q.p.value[0], 0xEE);
  }
  EXPECT_EQ(Qelm_GetParams(nullptr, 300), 1);
  EXPECT_TRUE(cam.Requests().empty());

  // Sent, and then no fitting answer: nothing written either.
  Param q(h, kNs, "0x00010203");
  cam.Silent();
  const int64_t t0 = NowMs();
  EXPECT_EQ(Qelm_GetParams(&q.p, 200), 209);
  EXPECT_GE(NowMs() - t0, 190);
  cam.Reply({Item(0x10204, 7, Le32(1))});
  EXPECT_EQ(Qelm_GetParams(&q.p, 2000), 18);
  EXPECT_EQ(q.status, -1);
  EXPECT_EQ(q.length, -1);
  EXPECT_EQ(q.p.value[0], 0xEE);

  {
    NoSocket none(h);
    EXPECT_EQ(Qelm_GetParams(&q.p, 300), 17);
  }
  qelm::test::SetReconnectStepMs(1000);
  BreakLink(cam);
  EXPECT_EQ(Qelm_GetParams(&q.p, 5000), 17);
  qelm::test::SetReconnectStepMs(20);
  ASSERT_TRUE(WaitUntil([&] { return ctltest::StateOf(h) == 3; }, 20000));
  EXPECT_EQ(Qelm_GetParams(&q.p, 300), 14);
}

// The look-up line of each request that gets as far as the cache, the
// namespace failures, and the sockets error of a send that fails.
TEST_F(XmlParams, LookUpsAndFailuresAreLogged) {
  Cache(kNs);
  qelm::InsertXMLNamespace("NULLREC", nullptr);
  ScriptedCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam.cam());
  cam.Reply({Item(0x10203, 7, Le32(1))});
  qelm::Global().m_log.m_bLogOn.store(1);
  qelmtest::TakeQueuedLog();
  int token;
  struct Case {
    StCameraHandle* handle;
    const char* ns;
    const char* code;
    int result;
  } cases[] = {
      {h, kNs, "0x00010203", 0},
      {reinterpret_cast<StCameraHandle*>(&token), kNs, "0x00010203", 7},  // not looked up
      {h, "V2.0.ext", "0x00010203", 15},
      {h, "NULLREC", "0x00010203", 15},
      {h, kNs, "0x00010204", 16},
  };
  for (const auto& c : cases) {
    Param q(c.handle, c.ns, c.code);
    EXPECT_EQ(Qelm_GetParams(&q.p, 2000), c.result) << c.ns << " " << c.code;
  }
  {
    NoSocket none(h);
    Param q(h, kNs, "0x00010203");
    EXPECT_EQ(Qelm_GetParams(&q.p, 300), 17);
  }
  std::vector<std::string> lines;
  const std::string lookUp = kittest::Gbk("xml命名空间");
  for (const auto& l : qelmtest::TakeQueuedLog())
    if (l.rfind(lookUp, 0) == 0 || l == kittest::Gbk("没有找到对应的XML文件") ||
        l == kittest::Gbk("XML文件指针为NULL") || l == kit::SocketErrorText(pf::WSAENOTSOCK))
      lines.push_back(l);
  const std::vector<std::string> want{
      kittest::Gbk("xml命名空间V1.0.ext   指令编码0X0x00010203"),
      kittest::Gbk("xml命名空间V2.0.ext   指令编码0X0x00010203"),
      kittest::Gbk("没有找到对应的XML文件"),
      kittest::Gbk("xml命名空间NULLREC   指令编码0X0x00010203"),
      kittest::Gbk("XML文件指针为NULL"),
      kittest::Gbk("xml命名空间V1.0.ext   指令编码0X0x00010204"),
      kittest::Gbk("xml命名空间V1.0.ext   指令编码0X0x00010203"),
      kit::SocketErrorText(pf::WSAENOTSOCK),
  };
  EXPECT_EQ(lines, want);
  qelm::Global().m_log.m_bLogOn.store(0);
}

void QELM_CALL Found(StCameraInfo*) {}

TEST_F(XmlParams, ANamespaceCachedAtStartUpIsServedAfterItsFilesWereDeleted) {
  FILE* f = fopen((dir_ + "XML/xmlinfo.ini").c_str(), "wb");
  fprintf(f, "[INFO]\r\ncount=1\r\n[info1]\r\ninfo=%s;%s\r\n", path_.c_str(), kNs);
  fclose(f);
  ASSERT_EQ(Qelm_InitControl(Found), 0);
  ASSERT_NE(qelm::FindXMLNamespace(kNs), nullptr);
  // Asking for the files empties the XML folder first (and fails here).
  int count = 0;
  char buf[4][512];
  char* paths[4] = {buf[0], buf[1], buf[2], buf[3]};
  EXPECT_EQ(Qelm_GetXMLFileInfo(nullptr, &count, paths, 100), 1);
  ASSERT_FALSE(pf::PathExists(path_));

  ScriptedCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam.cam());
  cam.Reply({Item(0x10203, 7, Le32(42))});
  Param q(h, kNs, "0x00010203");
  ASSERT_EQ(Qelm_GetParams(&q.p, 2000), 0);
  EXPECT_EQ(q.length, 4);
  EXPECT_EQ(Hex(q.p.value, 4), "2A000000");
}

// A camera that names its extension in lower case: after start-up the
// extension's parameters are reached by its id in any letter case.
TEST_F(XmlParams, AnExtensionIdNamesItsNamespaceInAnyLetterCase) {
  FILE* f = fopen((dir_ + "XML/00AA11BB22CC33DD.xml").c_str(), "wb");
  fputs(kDescription, f);
  fclose(f);
  f = fopen((dir_ + "XML/xmlinfo.ini").c_str(), "wb");
  fprintf(f, "[INFO]\r\ncount=1\r\n[info1]\r\ninfo=%s;00aa11bb22cc33dd.ext\r\n", path_.c_str());
  fclose(f);
  ASSERT_EQ(Qelm_InitControl(Found), 0);
  ScriptedCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam.cam());
  for (const char* ns : {"00aa11bb22cc33dd", "00AA11BB22CC33DD", "00Aa11bB22cC33dD"}) {
    SCOPED_TRACE(ns);
    cam.Reply({Item(0x10203, 7, Le32(42))});
    Param q(h, ns, "0x00010203");
    ASSERT_EQ(Qelm_GetParams(&q.p, 2000), 0);
    EXPECT_EQ(Hex(q.p.value, 4), "2A000000");
  }
  EXPECT_EQ(cam.Requests().size(), 3u);
}

TEST_F(XmlParams, ARecordInUseOutlivesItsRemovalFromTheCache) {
  Cache(kNs);
  ScriptedCamera cam("127.0.0.2");
  StCameraHandle* h = OpenCam(cam.cam());
  cam.Reply({Item(0x10203, 7, Le32(1))});
  std::atomic<bool> done{false};
  // Meanwhile the cache replaces the description again and again, dropping
  // the record a request may have found.
  std::thread churn([&] {
    qelm::CForGlobal& g = qelm::Global();
    while (!done.load()) {
      auto rec = std::make_shared<qelm::StXMLNamespace>(kNs, path_);
      if (!qelm::LoadNamespaceXML(*rec)) break;
      pf::Lock lk(g.m_csXML);
      g.m_mapXML[kNs] = std::move(rec);
    }
  });
  int ok = 0;
  for (int i = 0; i < 300; ++i) {
    Param q(h, kNs, "0x00010203");
    const int r = Qelm_GetParams(&q.p, 2000);
    ok += r == 0;
  }
  done.store(true);
  churn.join();
  EXPECT_EQ(ok, 300);
}

}  // namespace

// Fetching XML description and algorithm files from a fake camera.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "context.h"
#include "control.h"
#include "fake_camera.h"
#include "fake_file_camera.h"
#include "fake_peer.h"
#include "netns.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "process.h"
#include "queued_log.h"
#include "quit_support.h"
#include "wait.h"
#include "xml_cache.h"
#include "xml_channel.h"

namespace {

using kittest::Bytes;
using namespace filecam;

// File information: the name in 64 bytes, size, a word, block count, a word.
Bytes FileInfo(uint32_t code, const std::string& name, uint32_t size, uint32_t blocks) {
  Bytes d(64, 0);
  memcpy(d.data(), name.data(), std::min<size_t>(name.size(), 63));
  Put32(d, size);
  Put32(d, 0);
  Put32(d, blocks);
  Put32(d, 0);
  return Reply(code, d);
}

// A request frame as the camera must receive it: namespace 2, sender 8,
// sequence and echo 0, class 16, one item of ParaType 0 and set flag 0.
Bytes RequestFrame(uint32_t code, const Bytes& data) {
  Bytes f;
  Put32(f, 0x0FF055AA);
  Put32(f, 0x00010000);
  Put32(f, static_cast<uint32_t>(60 + data.size()));
  f.insert(f.end(), {2, 0, 8, 0});
  Put32(f, 0);
  Put32(f, 0);
  Put32(f, 16);
  Put32(f, 0);
  Put32(f, 1);
  Put32(f, 0xAA55A55A);
  Put32(f, code);
  Put32(f, 0);
  Put32(f, 0);
  Put32(f, static_cast<uint32_t>(data.size()));
  f.insert(f.end(), data.begin(), data.end());
  Put32(f, 0x550FF0AA);
  return f;
}
Bytes Ids(uint32_t a, uint32_t b) {
  Bytes d;
  Put32(d, a);
  Put32(d, b);
  return d;
}
Bytes Index(uint32_t i) {
  Bytes d;
  Put32(d, i);
  return d;
}

// One reply frame of the items of one-item reply frames, in their order, in
// the camera's own encoding (the item count at offset 32).
Bytes OneFrame(const std::vector<Bytes>& replies) {
  Bytes f(replies.front().begin(), replies.front().begin() + 36);
  for (const Bytes& r : replies) f.insert(f.end(), r.begin() + 36, r.end() - 4);
  Put32(f, 0x550FF0AA);
  const uint32_t len = static_cast<uint32_t>(f.size()), count = static_cast<uint32_t>(replies.size());
  for (int i = 0; i < 4; ++i) {
    f[8 + i] = static_cast<uint8_t>(len >> (8 * i));
    f[32 + i] = static_cast<uint8_t>(count >> (8 * i));
  }
  return f;
}
// One reply frame of `n` items, each `code` with `data`.
Bytes ManyItems(uint32_t code, const Bytes& data, size_t n) {
  return OneFrame(std::vector<Bytes>(n, Reply(code, data)));
}
Bytes InfoData(const std::string& name, uint32_t size, uint32_t blocks) {
  const Bytes r = FileInfo(0x10103, name, size, blocks);
  return Bytes(r.begin() + 56, r.end() - 4);
}

// A description like Xml(layer) whose root element holds `attributes`
// attributes in all (LayerId first).
Bytes WideXml(int layer, size_t attributes) {
  std::string s = "<Desc LayerId=\"" + std::to_string(layer) + "\"";
  for (size_t i = 1; i < attributes; ++i) s += " a" + std::to_string(i) + "=\"\"";
  s += "><I Name=\"Root\"><T>P</T></I><S Comment=\"P\"><SubCommand NodeCode=\"0x10\">"
       "<ParaType>PTUi32</ParaType></SubCommand></S></Desc>";
  return Bytes(s.begin(), s.end());
}
Bytes DeepXml(size_t depth) {
  std::string s;
  for (size_t i = 0; i < depth; ++i) s += "<a>";
  for (size_t i = 0; i < depth; ++i) s += "</a>";
  return Bytes(s.begin(), s.end());
}

// A camera's port that lets one connection wait and takes no further ones.
std::pair<int, sockaddr_in> ListenerOfOne(const char* ip, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = kittest::Addr(ip);
  sa.sin_port = htons(port);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  EXPECT_EQ(listen(fd, 0), 0);
  return {fd, sa};
}

// Past its time-out, a call ends within this (a loaded machine included).
constexpr int64_t kMarginMs = 700;

// The lines from the first that tells the camera's version (the ones before
// are those of the connection).
std::vector<std::string> FromVersionLine(std::vector<std::string> lines) {
  const std::string prefix = kittest::Gbk("获取设备XML版本");
  auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  return std::vector<std::string>(it, lines.end());
}
std::vector<std::string> Gbk(const std::vector<std::string>& utf8) {
  std::vector<std::string> out;
  for (const auto& l : utf8) out.push_back(kittest::Gbk(l));
  return out;
}

const std::string kMainIds = "0000000000000000";

class XmlChannel : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = kittest::MakeTempFolder("xmlch");
    qelm::test::SetModulePath(dir_);
    camera_ = std::make_unique<FakeFileCamera>("127.0.0.2", qelm::kXmlPort);
    handle_.m_ip = kittest::Addr("127.0.0.2");
    pf::Lock lk(qelm::Global().m_csCamera);
    qelm::Global().m_listCamera.push_back(&handle_);
  }
  void TearDown() override {
    {
      pf::Lock lk(qelm::Global().m_csCamera);
      qelm::Global().m_listCamera.clear();
    }
    qelm::FreeXMLChannel();
    camera_.reset();
    qelm::test::SetXMLRequestHook(nullptr);
    qelm::Global().m_log.m_bLogOn.store(0);
  }
  void LogOn() {
    qelmtest::TakeQueuedLog();
    qelm::Global().m_log.m_bLogOn.store(1);
  }
  // The room a caller gives, and one buffer more that must never be written.
  static constexpr int kRoom = QELM_XML_FILES_MAX + 1;
  static constexpr char kUnwritten = '#';
  char** Room() {
    for (auto& p : paths_) p.assign(QELM_XML_PATH_SIZE, kUnwritten);
    for (int i = 0; i < kRoom; ++i) ptrs_[i] = paths_[i].data();
    return ptrs_;
  }
  int Fetch(int* count, uint32_t timeout = 3000) { return Qelm_GetXMLFileInfo(&handle_, count, Room(), timeout); }
  std::string Path(int i) const { return paths_[i].c_str(); }
  // No byte of paths[from ..] was written.
  bool UnwrittenFrom(int from) const {
    for (int i = from; i < kRoom; ++i)
      if (paths_[i] != std::string(QELM_XML_PATH_SIZE, kUnwritten)) return false;
    return true;
  }
  void AddFiles(const std::map<std::string, int>& idsToLayer) {
    for (const auto& [ids, layer] : idsToLayer)
      camera_->AddFile(ids, {"f" + std::to_string(layer), Xml(layer), static_cast<uint32_t>(Xml(layer).size()), 64});
  }
  std::string dir_;
  std::unique_ptr<FakeFileCamera> camera_;
  StCameraHandle handle_;
  std::string paths_[kRoom];
  char* ptrs_[kRoom];
};

TEST_F(XmlChannel, MainFileAndOneExtensionFileGiveTwoPaths) {
  camera_->SetVersion(" 0123456789ABCDEF ");
  camera_->AddFile(kMainIds, {"dev.xml", Xml(4), static_cast<uint32_t>(Xml(4).size()), 50});
  camera_->AddFile("0123456789ABCDEF", {"ext.xml", Xml(9), static_cast<uint32_t>(Xml(9).size()), 1000});
  LogOn();
  int count = -1;
  ASSERT_EQ(Fetch(&count), 0);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(FromVersionLine(qelmtest::TakeQueuedLog()), Gbk({
                           "获取设备XML版本0123456789ABCDEF.ext",
                           "存储xml文件" + dir_ + "XML/dev0.xml，并加入列表,命名空间0123456789ABCDEF.ext",
                           "存储xml文件" + dir_ + "XML/0123456789ABCDEF.xml，并加入列表,命名空间0123456789ABCDEF",
                           "获取XML文件" + dir_ + "XML/0123456789ABCDEF.xml，命名空间0123456789ABCDEF",
                       }));
  // Every request whole, in order: the version, then for each file its
  // information, its blocks one by one and the end of the transfer.
  std::vector<Bytes> want{RequestFrame(0x10101, Ids(0, 0)), RequestFrame(0x10103, Ids(0, 0))};
  for (uint32_t i = 0; i * 50 < Xml(4).size(); ++i) want.push_back(RequestFrame(0x10104, Index(i)));
  want.push_back(RequestFrame(0x10105, {}));
  want.push_back(RequestFrame(0x10103, Ids(0x01234567, 0x89ABCDEF)));
  want.push_back(RequestFrame(0x10104, Index(0)));
  want.push_back(RequestFrame(0x10105, {}));
  // The last end of transfer may still be on its way to the camera.
  EXPECT_TRUE(kittest::WaitUntil([&] { return camera_->Requests().size() >= want.size(); }, 3000));
  std::vector<Bytes> got;
  for (const auto& r : camera_->Requests()) got.push_back(r.frame);
  EXPECT_EQ(got, want);
  EXPECT_EQ(Path(0), dir_ + "XML/dev0.xml");  // ".xml" removed, the sequence number added
  EXPECT_EQ(Path(1), dir_ + "XML/0123456789ABCDEF.xml");
  const Bytes main4 = Xml(4), ext9 = Xml(9);
  EXPECT_EQ(kittest::ReadFile(Path(0)), std::string(main4.begin(), main4.end()));
  EXPECT_EQ(kittest::ReadFile(Path(1)), std::string(ext9.begin(), ext9.end()));
  auto main = qelm::FindXMLNamespace("0123456789ABCDEF.ext");
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->LayerId, 4);
  EXPECT_EQ(qelm::FindXMLNamespace("0123456789ABCDEF")->LayerId, 9);
  // The index holds exactly the main file with the requested version.
  const std::string ini = dir_ + "XML/xmlinfo.ini";
  EXPECT_EQ(pf::GetProfileInt("INFO", "count", 0, ini), 1);
  EXPECT_EQ(pf::GetProfileString("info1", "info", "", ini), Path(0) + ";0123456789ABCDEF.ext");
}

TEST_F(XmlChannel, TwoIdsMakeTwoRequestsAndAFileOnDiskIsNotFetchedAgain) {
  camera_->AddFile(kMainIds, {"dev.xml", Xml(4), static_cast<uint32_t>(Xml(4).size()), 64});
  camera_->AddFile("00000001000000AA", {"a", Xml(5), static_cast<uint32_t>(Xml(5).size()), 64});
  camera_->AddFile("00000002000000BB", {"b", Xml(6), static_cast<uint32_t>(Xml(6).size()), 64});
  int count = 0;
  camera_->SetVersion("00000001000000AA.00000002000000BB");
  ASSERT_EQ(Fetch(&count), 0);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(camera_->Count(0x10103), 3u);
  // The same id twice: its file is on disk after the first piece.
  camera_->SetVersion("00000001000000AA.00000001000000AA");
  ASSERT_EQ(Fetch(&count), 0);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(camera_->Count(0x10103), 3u + 2u);  // main file and one extension file
}

TEST_F(XmlChannel, FailuresThatStallEndInTimeOut) {
  struct Case {
    const char* name;
    std::string version;
    CameraFile main;
  } cases[] = {
      // Under nine characters with ".ext": only the main file, whose piece names no file.
      {"short version", "V1", {"dev.xml", Xml(4), static_cast<uint32_t>(Xml(4).size()), 64}},
      {"size 0", "V1", {"dev.xml", Xml(4), 0, 64}},
      {"block count 0", "V1", {"dev.xml", Xml(4), static_cast<uint32_t>(Xml(4).size()), 0}},
      // More bytes than announced: the transfer is stopped.
      {"blocks beyond the size", "V1", {"dev.xml", Xml(4), 10, 64}},
      // Two 8-digit ids make 16 characters: a piece of 17 names no file to
      // fetch, and the walk ends there.
      {"a piece of 17 characters", "0123456789ABCDEF0", {"dev.xml", Xml(4), static_cast<uint32_t>(Xml(4).size()), 64}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    camera_->SetVersion(c.version);
    camera_->AddFile(kMainIds, c.main);
    const size_t asked = camera_->Count(0x10103);
    int count = 5;
    EXPECT_EQ(Fetch(&count, 500), 209);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(camera_->Count(0x10103), asked + 1);  // the main file's information only
  }
}

// An extension id names one file in every letter case: it is fetched, stored
// under its upper-case spelling, listed, and found again at the next start-up
// in whatever case it is looked up.
TEST_F(XmlChannel, AnExtensionIdInAnyLetterCaseIsStoredListedAndLoadedAtStartUp) {
  const std::string stored = "00AA11BB22CC33DD";
  AddFiles({{kMainIds, 4}, {stored, 9}});
  for (const std::string piece : {"00aa11bb22cc33dd", "00AA11BB22CC33DD", "00aA11Bb22cC33Dd"}) {
    SCOPED_TRACE(piece);
    camera_->SetVersion(piece);
    const size_t asked = camera_->Requests().size();
    int count = 0;
    ASSERT_EQ(Fetch(&count), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(Path(1), dir_ + "XML/" + stored + ".xml");
    EXPECT_TRUE(UnwrittenFrom(2));
    const Bytes ext = Xml(9);
    EXPECT_EQ(kittest::ReadFile(Path(1)), std::string(ext.begin(), ext.end()));
    const auto reqs = camera_->Requests();
    ASSERT_GT(reqs.size(), asked);
    EXPECT_EQ(std::count_if(reqs.begin() + asked, reqs.end(),
                            [](const Request& r) { return r.code == 0x10103 && r.data == Ids(0x00AA11BB, 0x22CC33DD); }),
              1);
    ASSERT_NE(qelm::FindXMLNamespace(piece), nullptr);
    EXPECT_EQ(qelm::FindXMLNamespace(piece), qelm::FindXMLNamespace(stored));

    // The next start-up reads the index the call left and loads both files again.
    qelm::FreeXMLDescriptions();
    qelm::LoadXMLIndex();
    ASSERT_NE(qelm::FindXMLNamespace(piece + ".ext"), nullptr);
    EXPECT_EQ(qelm::FindXMLNamespace(piece + ".ext")->LayerId, 4);
    for (const std::string& spelling : {piece, stored, std::string("00aa11bb22cc33dd")}) {
      auto rec = qelm::FindXMLNamespace(spelling);
      ASSERT_NE(rec, nullptr) << spelling;
      EXPECT_EQ(rec->LayerId, 9);
      EXPECT_EQ(rec->name, stored);
      EXPECT_EQ(rec->path, dir_ + "XML/" + stored + ".xml");
    }
  }
}

// Only 16 hexadecimal digits name an extension file. Any other piece names
// none, even when a file of that name is there: it is neither fetched, read
// nor listed, and the call ends as for a missing file. (A piece never holds a
// '.', since the version is cut at each; ".." leaves an empty piece.)
TEST_F(XmlChannel, APieceThatIsNotSixteenHexDigitsNamesNoFile) {
  const std::string good = "0123456789ABCDEF";
  AddFiles({{kMainIds, 4}, {good, 9}});
  struct Case {
    const char* name;
    std::string piece;
  } cases[] = {
      {"a slash", "ab/def0123456789"},
      {"a backslash", "ab\\def0123456789"},
      {"two dots", ""},
      {"a sign", "+123456789ABCDEF"},
      {"a hexadecimal prefix", "0x23456789ABCDEF"},
      {"a blank", "01234567 9ABCDEF"},
      {"a letter past F", "0123456789ABCDEG"},
      {"GBK text", "\xb0\xa1" "23456789ABCDEF"},
      {"15 digits", "0123456789ABCDE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The file the piece would name if it were one, put there after the call
    // has emptied the folder.
    const std::string planted = dir_ + "XML/" + c.piece + ".xml";
    qelm::test::SetXMLRequestHook([&] {
      if (c.piece.find('/') != std::string::npos) {
        ASSERT_TRUE(pf::MakeDirectory(dir_ + "XML/ab"));
      }
      const Bytes x = Xml(7);
      FILE* f = fopen(planted.c_str(), "wb");
      ASSERT_NE(f, nullptr);
      fwrite(x.data(), 1, x.size(), f);
      fclose(f);
    });
    camera_->SetVersion(good + "." + c.piece);
    const size_t asked = camera_->Count(0x10103);
    int count = 5;
    EXPECT_EQ(Fetch(&count, 2000), 209);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(UnwrittenFrom(0));
    EXPECT_EQ(camera_->Count(0x10103), asked + 2);  // the main file and the good id
    EXPECT_TRUE(pf::PathExists(planted));
    EXPECT_EQ(qelm::FindXMLNamespace(c.piece), nullptr);
    EXPECT_NE(qelm::FindXMLNamespace(good), nullptr);
  }
}

// One call lists at most QELM_XML_FILES_MAX paths: the main file and 29
// extension files fill the room; a version naming one more is refused at
// once, with nothing fetched and no path written.
TEST_F(XmlChannel, OneCallListsAtMostItsMaximumOfFiles) {
  std::map<std::string, int> files{{kMainIds, 4}};
  std::string version;
  for (int i = 0; i < QELM_XML_FILES_MAX; ++i) {
    char id[17];
    snprintf(id, sizeof id, "%08X%08X", i + 1, 0xA0 + i);
    files[id] = 10 + i;
    if (i < QELM_XML_FILES_MAX - 1) version += std::string(version.empty() ? "" : ".") + id;
  }
  AddFiles(files);
  camera_->SetVersion(version);
  int count = 0;
  ASSERT_EQ(Fetch(&count, 10000), 0);
  ASSERT_EQ(count, QELM_XML_FILES_MAX);
  EXPECT_EQ(Path(0), dir_ + "XML/f40.xml");
  for (int i = 1; i < QELM_XML_FILES_MAX; ++i) EXPECT_EQ(Path(i), dir_ + "XML/" + version.substr((i - 1) * 17, 16) + ".xml");
  EXPECT_TRUE(UnwrittenFrom(QELM_XML_FILES_MAX));

  char last[17];
  snprintf(last, sizeof last, "%08X%08X", QELM_XML_FILES_MAX, 0xA0 + QELM_XML_FILES_MAX - 1);
  camera_->SetVersion(version + "." + last);
  const size_t asked = camera_->Count(0x10103);
  count = 5;
  const int64_t t0 = kittest::NowMs();
  EXPECT_EQ(Fetch(&count, 5000), 209);
  EXPECT_LT(kittest::NowMs() - t0, 2000);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(UnwrittenFrom(0));
  EXPECT_EQ(camera_->Count(0x10103), asked);
}

// A path that would not fit QELM_XML_PATH_SIZE bytes is not written either:
// here the library's folder alone is nearly that long.
TEST_F(XmlChannel, APathLongerThanItsBufferIsNotListed) {
  std::string deep = dir_;
  while (deep.size() < QELM_XML_PATH_SIZE - 20) {
    deep += std::string(60, 'd') + "/";
    ASSERT_TRUE(pf::MakeDirectory(deep));
  }
  qelm::test::SetModulePath(deep);
  camera_->SetVersion("0123456789ABCDEF");
  AddFiles({{kMainIds, 4}, {"0123456789ABCDEF", 9}});
  int count = 5;
  EXPECT_EQ(Fetch(&count, 2000), 209);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(UnwrittenFrom(0));
  EXPECT_TRUE(pf::PathExists(deep + "XML/0123456789ABCDEF.xml"));  // fetched and stored all the same
}

TEST_F(XmlChannel, AnnouncedNameCannotLeaveTheFolder) {
  camera_->SetVersion("V1");
  camera_->AddFile(kMainIds, {"../../escape.xml", Xml(4), static_cast<uint32_t>(Xml(4).size()), 64});
  int count;
  Fetch(&count, 1000);
  EXPECT_FALSE(pf::PathExists(dir_ + "../escape0.xml"));
  EXPECT_TRUE(pf::PathExists(dir_ + "XML/.._.._escape0.xml"));
}

TEST_F(XmlChannel, ArgumentsHandleAndConnection) {
  ASSERT_TRUE(pf::MakeDirectory(dir_ + "XML"));
  FILE* f = fopen((dir_ + "XML/old.xml").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  int count = 3;
  EXPECT_EQ(Qelm_GetXMLFileInfo(nullptr, &count, ptrs_, 100), 1);
  EXPECT_EQ(count, 0);
  EXPECT_FALSE(pf::PathExists(dir_ + "XML/old.xml"));  // emptied even so
  EXPECT_TRUE(pf::IsDirectory(dir_ + "XML"));
  EXPECT_EQ(Qelm_GetXMLFileInfo(&handle_, nullptr, ptrs_, 100), 1);
  EXPECT_EQ(Qelm_GetXMLFileInfo(&handle_, &count, nullptr, 100), 1);
  StCameraHandle other;
  EXPECT_EQ(Qelm_GetXMLFileInfo(&other, &count, ptrs_, 100), 7);
  other.m_ip = kittest::Addr("127.0.0.9");  // nobody listens there
  {
    pf::Lock lk(qelm::Global().m_csCamera);
    qelm::Global().m_listCamera.push_back(&other);
  }
  EXPECT_EQ(Qelm_GetXMLFileInfo(&other, &count, ptrs_, 100), 2);
}

TEST_F(XmlChannel, AlgorithmFileIsStoredAtTheCallersPath) {
  FakeFileCamera alg("127.0.0.3", qelm::kAlgPort);
  Bytes content(3000);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);
  alg.AddFile("plate.bin", {"plate.bin", content, static_cast<uint32_t>(content.size()), 256});
  const std::string target = dir_ + "plate.out";
  const uint32_t ip = kittest::Addr("127.0.0.3");
  ASSERT_EQ(Qelm_GetAlgFile(ip, "plate.bin", target.c_str(), 3000), 0);
  EXPECT_EQ(kittest::ReadFile(target), std::string(content.begin(), content.end()));
  EXPECT_NE(qelm::Global().m_pParseAlg, nullptr);  // kept for the next call
  const auto reqs = alg.Requests();
  ASSERT_FALSE(reqs.empty());
  EXPECT_EQ(reqs[0].code, 0x10106u);
  EXPECT_EQ(std::string(reqs[0].data.begin(), reqs[0].data.end()), "plate.bin");
  EXPECT_EQ(Qelm_GetAlgFile(ip, "missing.bin", target.c_str(), 300), 209);
  EXPECT_EQ(Qelm_GetAlgFile(0, "plate.bin", target.c_str(), 300), 1);
  EXPECT_EQ(Qelm_GetAlgFile(ip, nullptr, target.c_str(), 300), 1);
  EXPECT_EQ(Qelm_GetAlgFile(ip, "plate.bin", nullptr, 300), 1);
  EXPECT_EQ(Qelm_GetAlgFile(kittest::Addr("127.0.0.9"), "plate.bin", target.c_str(), 300), 2);
  ASSERT_EQ(Qelm_GetAlgFile(ip, "plate.bin", target.c_str(), 3000), 0);  // works again after a time-out
}

// Calls made at once share the channel one after the other: each gets its own file.
TEST_F(XmlChannel, CallsMadeAtOnceEachGetTheirFile) {
  FakeFileCamera alg("127.0.0.3", qelm::kAlgPort);
  const Bytes a(700, 'a'), b(900, 'b');
  alg.AddFile("a.bin", {"a.bin", a, static_cast<uint32_t>(a.size()), 64});
  alg.AddFile("b.bin", {"b.bin", b, static_cast<uint32_t>(b.size()), 64});
  camera_->SetVersion("0123456789ABCDEF");
  camera_->AddFile(kMainIds, {"dev.xml", Xml(4), static_cast<uint32_t>(Xml(4).size()), 64});
  camera_->AddFile("0123456789ABCDEF", {"e", Xml(9), static_cast<uint32_t>(Xml(9).size()), 64});
  const uint32_t ip = kittest::Addr("127.0.0.3");
  std::atomic<int> results[3] = {{-1}, {-1}, {-1}};
  int count = 0;
  {
    std::thread t1([&] { results[0] = Qelm_GetAlgFile(ip, "a.bin", (dir_ + "a.out").c_str(), 5000); });
    std::thread t2([&] { results[1] = Qelm_GetAlgFile(ip, "b.bin", (dir_ + "b.out").c_str(), 5000); });
    std::thread t3([&] { results[2] = Fetch(&count, 5000); });
    t1.join();
    t2.join();
    t3.join();
  }
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], 0);
  EXPECT_EQ(results[2], 0);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(kittest::ReadFile(dir_ + "a.out"), std::string(a.begin(), a.end()));
  EXPECT_EQ(kittest::ReadFile(dir_ + "b.out"), std::string(b.begin(), b.end()));
}

void QELM_CALL Found(StCameraInfo*) {}

// Shut-down ends the XML and algorithm file downloads that wait for the
// camera at once, as at their time-outs, and then stops the channels; start-up
// and downloads work again afterwards.
TEST_F(XmlChannel, QuitEndsTheDownloadsThatWaitAndStartUpWorksAgain) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  {
    // Quit frees the listed handles: the fixture's own is not the library's.
    pf::Lock lk(qelm::Global().m_csCamera);
    qelm::Global().m_listCamera.clear();
  }
  ASSERT_EQ(Qelm_InitControl(Found), 0);
  kittest::FakeCamera control("127.0.0.2");
  StCameraHandle* h = nullptr;
  ASSERT_EQ(Qelm_OpenCamera(control.addr(), &h, nullptr, nullptr), 0);
  camera_->AnswerNothing(true);
  FakeFileCamera alg("127.0.0.3", qelm::kAlgPort);
  const uint32_t algIp = kittest::Addr("127.0.0.3");
  const std::string target = dir_ + "plate.out";
  int count = 5;
  char** room = Room();
  EXPECT_EQ(kittest::QuitWhileCallsWait(
                {[&] { return Qelm_GetXMLFileInfo(h, &count, room, 10000); },
                 [&] { return Qelm_GetAlgFile(algIp, "plate.bin", target.c_str(), 10000); }},
                [&] {
                  return kittest::WaitUntil([&] { return camera_->Count(0x10101) == 1 && alg.Count(0x10106) == 1; },
                                            5000);
                }),
            (std::vector<int>{209, 209}));
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(UnwrittenFrom(0));
  EXPECT_EQ(qelm::Global().m_pParseXML, nullptr);

  ASSERT_EQ(Qelm_InitControl(Found), 0);
  ASSERT_EQ(Qelm_OpenCamera(control.addr(), &h, nullptr, nullptr), 0);
  camera_->AnswerNothing(false);
  camera_->SetVersion("0123456789ABCDEF");
  AddFiles({{kMainIds, 4}, {"0123456789ABCDEF", 9}});
  EXPECT_EQ(Qelm_GetXMLFileInfo(h, &count, Room(), 3000), 0);
  EXPECT_EQ(count, 2);
  alg.AddFile("plate.bin", {"plate.bin", Text("abc"), 3, 256});
  EXPECT_EQ(Qelm_GetAlgFile(algIp, "plate.bin", target.c_str(), 3000), 0);
  EXPECT_EQ(kittest::ReadFile(target), "abc");
  EXPECT_EQ(Qelm_Quit(), 0);
}

TEST_F(XmlChannel, DescriptionsThatDoNotParse) {
  // A main file that does not parse is stored but not cached: the version is
  // then not found.
  camera_->SetVersion("0123456789ABCDEF");
  camera_->AddFile(kMainIds, {"dev.xml", Text("<D><x></D>"), 10, 64});
  camera_->AddFile("0123456789ABCDEF", {"e", Xml(9), static_cast<uint32_t>(Xml(9).size()), 64});
  int count = 7;
  EXPECT_EQ(Fetch(&count, 1000), 209);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(pf::PathExists(dir_ + "XML/dev0.xml"));

  // An extension that does not parse is fetched and listed, but not cached.
  camera_->AddFile(kMainIds, {"dev.xml", Xml(4), static_cast<uint32_t>(Xml(4).size()), 64});
  camera_->AddFile("0123456789ABCDEF", {"e", Text("<E><x></E>"), 10, 64});
  LogOn();
  ASSERT_EQ(Fetch(&count), 0);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(Path(1), dir_ + "XML/0123456789ABCDEF.xml");
  EXPECT_EQ(qelm::FindXMLNamespace("0123456789ABCDEF"), nullptr);
  const auto log = qelmtest::TakeQueuedLog();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
            Gbk({"命名空间0123456789ABCDEF没有加入队列中",
                 "获取XML文件" + dir_ + "XML/0123456789ABCDEF.xml，命名空间0123456789ABCDEF"}));
}

TEST_F(XmlChannel, BlocksOfAnotherIndexAreDropped) {
  camera_->SetVersion("V1");
  Bytes content = Xml(4);
  camera_->AddFile(kMainIds, {"dev.xml", content, static_cast<uint32_t>(content.size()), 16});
  camera_->SendStrayBlocks(true);
  int count;
  EXPECT_EQ(Fetch(&count, 2000), 209);  // "V1" names no extension file
  EXPECT_EQ(kittest::ReadFile(dir_ + "XML/dev0.xml"), std::string(content.begin(), content.end()));
  EXPECT_NE(qelm::FindXMLNamespace("V1.ext"), nullptr);
}

// Heads whose body never comes swallow the version reply; 5 s after the last
// of them came, the reply is found among their bytes and the call goes on,
// on the same link, however the heads nest.
TEST_F(XmlChannel, HeadsWithNoBodyDelayTheCallByTheirDeadlineOnly) {
  auto heads = [](size_t count, uint32_t length) {
    Bytes b;
    for (size_t i = 0; i < count; ++i) {
      Put32(b, 0x0FF055AA);
      Put32(b, 0x00010000);
      Put32(b, length);
    }
    return b;
  };
  struct Case {
    const char* name;
    Bytes bad;
    size_t floodPieces;  // 0: in one send; else 10 kB every 10 ms (about 1 MB/s)
  } cases[] = {
      {"head of 3 MiB before the version reply", heads(1, 3u << 20), 0},
      {"ten nested heads of 3 MiB before the version reply", heads(10, 3u << 20), 0},
      {"nested heads at the 64 MiB bound, 1 MB/s for 3 s, before the version reply", heads(250000, 64u << 20),
       300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    camera_.reset();  // a fresh camera for each case, on the same address
    camera_ = std::make_unique<FakeFileCamera>("127.0.0.2", qelm::kXmlPort);
    camera_->SetVersion("0123456789ABCDEF");
    camera_->AddFile(kMainIds, {"dev.xml", Xml(4), static_cast<uint32_t>(Xml(4).size()), 64});
    camera_->AddFile("0123456789ABCDEF", {"ext.xml", Xml(9), static_cast<uint32_t>(Xml(9).size()), 64});
    if (c.floodPieces)
      camera_->FloodBeforeVersion(c.bad, c.floodPieces, 10);
    else
      camera_->SendBeforeVersion(c.bad);
    int count = 0;
    ASSERT_EQ(Fetch(&count, 12000), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(camera_->Server().ConnectionCount(), 1u);
    // The file information was asked for once the version reply was found.
    const std::vector<Request> reqs = camera_->Requests();
    ASSERT_GE(reqs.size(), 2u);
    ASSERT_EQ(reqs[0].code, 0x10101u);
    ASSERT_EQ(reqs[1].code, 0x10103u);
    const int64_t lastBad = c.floodPieces ? camera_->FloodEndMs() : reqs[0].atMs;
    const int64_t recovery = reqs[1].atMs - lastBad;
    std::cout << "recovery xml channel, " << c.name << ": " << recovery << " ms" << std::endl;
    EXPECT_GE(recovery, 4900);
    EXPECT_LT(recovery, 6000);
  }
}

// Nothing that came before a request was sent answers it: neither a version
// the camera sent as the link came up, before the call asked, nor the items
// that ride in the frame of an earlier answer (a file's information in the
// version's frame, a block in the information's frame). The call takes the
// answers that came after each request.
TEST_F(XmlChannel, NothingThatCameBeforeARequestAnswersIt) {
  const Bytes main = Xml(4), stale = Xml(7);  // of one size
  const uint32_t size = static_cast<uint32_t>(main.size());
  struct Case {
    const char* name;
    Bytes atConnect;     // sent as the link comes up
    uint32_t answered;   // the request answered with `answer` instead (0: none)
    Bytes answer;
  } cases[] = {
      {"a version sent before the call asked", Reply(0x10101, Text("V2")), 0, {}},
      {"file information in the version's frame", {}, 0x10101,
       OneFrame({Reply(0x10101, Text("V1")), FileInfo(0x10103, "stale.xml", size, 1)})},
      {"a block in the file information's frame", {}, 0x10103,
       OneFrame({FileInfo(0x10103, "dev.xml", size, 1), Block(0, stale, size)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qelm::FreeXMLDescriptions();
    camera_.reset();  // a fresh camera for each case, on the same address
    camera_ = std::make_unique<FakeFileCamera>("127.0.0.2", qelm::kXmlPort);
    camera_->SetVersion("V1");
    camera_->AddFile(kMainIds, {"dev.xml", main, size, 1000});
    if (c.answered) camera_->AnswerWith(c.answered, c.answer);
    const Bytes early = c.atConnect;
    camera_->Server().SetOnAccept([early](kittest::FakeConn& conn) {
      if (!early.empty()) conn.Send(early);
    });
    // The call asks only once the channel has taken what came first.
    qelm::test::SetXMLRequestHook([&] {
      EXPECT_TRUE(kittest::WaitUntil(
          [&] { return qelm::Global().m_pParseXML->m_recv.Taken() >= c.atConnect.size(); }, 3000));
    });
    const uint32_t seq = qelm::Global().m_nMainXMLSeq.load();
    int count;
    EXPECT_EQ(Fetch(&count, 3000), 209);  // "V1" names no extension file
    EXPECT_EQ(kittest::ReadFile(dir_ + "XML/dev" + std::to_string(seq) + ".xml"),
              std::string(main.begin(), main.end()));
    const auto rec = qelm::FindXMLNamespace("V1.ext");
    EXPECT_EQ(rec ? rec->LayerId : -1, 4);
    EXPECT_FALSE(qelm::FindXMLNamespace("V2.ext"));
  }
}

TEST_F(XmlChannel, ALostLinkIsRetriedWhileTheCallWaitsAndNothingIsSentAgain) {
  qelm::test::SetXMLReconnectStepMs(20);
  camera_->CloseOnVersionRequest(true);
  LogOn();
  int count;
  const int64_t t0 = kittest::NowMs();
  EXPECT_EQ(Fetch(&count, 1500), 209);
  EXPECT_GE(kittest::NowMs() - t0, 1490);
  ASSERT_TRUE(camera_->Server().WaitConnections(2, 3000));  // connected again after 12 pauses
  EXPECT_TRUE(camera_->Server().Conn(1)->Received().empty());
  std::vector<std::string> lines;
  for (const auto& l : qelmtest::TakeQueuedLog())
    if (l == kittest::Gbk("XML连接网络异常") || l == kittest::Gbk("XML端口重连") ||
        l == kittest::Gbk("获取XML信息时，超时"))
      lines.push_back(l);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], kittest::Gbk("XML连接网络异常"));
  EXPECT_EQ(lines[1], kittest::Gbk("XML端口重连"));
  EXPECT_EQ(lines.back(), kittest::Gbk("获取XML信息时，超时"));
}

// A call that times out while its receive thread is connecting again ends
// at once: here the camera takes no more connections (its queue is full), so
// the connect would hang for its two seconds.
TEST_F(XmlChannel, ACallEndsAtItsTimeOutWhileItsLinkIsBeingMadeAgain) {
  qelm::test::SetXMLReconnectStepMs(20);
  const auto [lf, sa] = ListenerOfOne("127.0.0.5", qelm::kXmlPort);
  StCameraHandle h;
  h.m_ip = sa.sin_addr.s_addr;
  {
    pf::Lock lk(qelm::Global().m_csCamera);
    qelm::Global().m_listCamera.push_back(&h);
  }
  int dummy = -1;
  std::thread camera([&, lf = lf, sa = sa] {
    pollfd p{lf, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return;
    const int c = accept4(lf, nullptr, nullptr, SOCK_CLOEXEC);
    // Fills the queue with a connection of its own, then drops the call's link.
    dummy = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connect(dummy, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    close(c);
  });
  int count;
  qelm::Global().m_log.m_bLogOn.store(1);
  const int64_t t0 = kittest::NowMs();
  EXPECT_EQ(Qelm_GetXMLFileInfo(&h, &count, Room(), 1000), 209);
  EXPECT_LT(kittest::NowMs() - t0, 1000 + kMarginMs);
  camera.join();
  const auto log = qelmtest::TakeQueuedLog();
  EXPECT_NE(std::find(log.begin(), log.end(), kittest::Gbk("XML端口重连")), log.end());  // it was connecting
  close(dummy);
  close(lf);
}

// Every way a call fails before its wait: result, log line, no channel left
// where the call frees it, and no descriptor or thread left behind.
TEST_F(XmlChannel, FailuresBeforeTheWait) {
  FakeFileCamera alg("127.0.0.3", qelm::kAlgPort);
  const uint32_t algIp = kittest::Addr("127.0.0.3");
  const std::string target = dir_ + "plate.out";
  qelm::test::SetXMLReconnectStepMs(60000);
  qelm::CForGlobal& g = qelm::Global();
  auto noMemory = [] { qelm::test::FailNextChannelAllocs(1); };
  auto noThread = [] { pf::test::FailNextThreadStarts(1); };
  // Connections each camera has taken so far, one per call that connects.
  size_t xmlLinks = 0, algLinks = 0;
  // Once the call is connected, the camera resets that link; the request
  // goes out after the channel has seen the link fall.
  auto reset = [&](FakeFileCamera& cam, size_t links, qelm::StXMLChannel* const& ch) {
    qelm::test::SetXMLRequestHook([&cam, &ch, links] {
      ASSERT_TRUE(cam.Server().WaitConnections(links + 1, 5000));
      cam.Server().Conn(links)->Reset();
      ASSERT_TRUE(kittest::WaitUntil([&] { return !ch->m_bConnected; }, 5000));
    });
  };
  struct Case {
    const char* name;
    bool xml;
    std::function<void()> arrange;
    int want;
    const char* line;
    bool channelKept;
    bool connects;  // before it fails
  } cases[] = {
      {"no memory for the XML channel", true, noMemory, 10, "Qelm_GetXMLFileInfo m_pParseXML为NULL", false, true},
      {"XML thread not started", true, noThread, 11, "获取XML信息时，生成XML线程失败", false, true},
      {"XML request not sent", true, [&] { reset(*camera_, xmlLinks, g.m_pParseXML); }, 12,
       "获取XML信息时，读取XML版本失败", true, true},
      {"no memory for the algorithm channel", false, noMemory, 158, "CForGlobal::m_pParseAlg分配内存失败", false,
       false},
      {"algorithm thread not started", false, noThread, 11, "获取算法文件信息时，生成线程失败", false, true},
      {"algorithm request not sent", false, [&] { reset(alg, algLinks, g.m_pParseAlg); }, 159, "读取算法文件失败",
       false, true},
  };
  // A call of each first, so that the counts below include what a call that
  // worked leaves (the cameras' threads among them).
  int count;
  EXPECT_EQ(Fetch(&count, 100), 209);
  EXPECT_EQ(Qelm_GetAlgFile(algIp, "none", target.c_str(), 100), 209);
  xmlLinks = algLinks = 1;
  const std::set<int> threads = kittest::ThreadIds();
  const int fds = kittest::OpenDescriptorCount();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    size_t& links = c.xml ? xmlLinks : algLinks;
    ASSERT_TRUE((c.xml ? *camera_ : alg).Server().WaitConnections(links, 5000));
    if (c.want == 10 || c.want == 158) qelm::FreeXMLChannel();
    if (c.want == 158) {
      pf::Lock lk(g.m_csAlgCall);
      delete g.m_pParseAlg;
      g.m_pParseAlg = nullptr;
    }
    LogOn();
    c.arrange();
    EXPECT_EQ(c.xml ? Fetch(&count, 100) : Qelm_GetAlgFile(algIp, "plate.bin", target.c_str(), 100), c.want);
    qelm::test::SetXMLRequestHook(nullptr);
    const auto log = qelmtest::TakeQueuedLog();
    EXPECT_NE(std::find(log.begin(), log.end(), kittest::Gbk(c.line)), log.end());
    EXPECT_EQ((c.xml ? g.m_pParseXML : g.m_pParseAlg) != nullptr, c.channelKept);
    EXPECT_TRUE(kittest::WaitUntil([&] { return kittest::OpenDescriptorCount() <= fds; }, 3000));
    EXPECT_TRUE(kittest::OnlyThreadsOf(threads));
    links += c.connects;
  }
}

TEST_F(XmlChannel, AnAlgorithmFileThatCannotBeWrittenIsNoSuccess) {
  FakeFileCamera alg("127.0.0.3", qelm::kAlgPort);
  alg.AddFile("plate.bin", {"plate.bin", Text("abc"), 3, 256});
  LogOn();
  EXPECT_EQ(Qelm_GetAlgFile(kittest::Addr("127.0.0.3"), "plate.bin", (dir_ + "none/plate.out").c_str(), 500), 209);
  const auto log = qelmtest::TakeQueuedLog();
  EXPECT_NE(std::find(log.begin(), log.end(), kittest::Gbk("获取算法文件，超时")), log.end());
  EXPECT_EQ(qelm::Global().m_pParseAlg, nullptr);
  ASSERT_FALSE(alg.Requests().empty());
  EXPECT_EQ(alg.Requests()[0].frame, RequestFrame(0x10106, Text("plate.bin")));
}

// A camera that sends blocks and reads none of the requests they call for
// leaves the receive thread blocked in a send; the call still ends at its
// time-out, and takes the thread down with it. The camera is a plain socket
// here, so that it never blocks itself.
TEST_F(XmlChannel, TheCallEndsAtItsTimeOutWhileARequestCannotGoOut) {
  const int lf = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(lf, 0);
  int one = 1;
  setsockopt(lf, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = kittest::Addr("127.0.0.4");
  sa.sin_port = htons(qelm::kXmlPort);
  ASSERT_EQ(bind(lf, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  int small = 4096;  // the requests back up after a few kilobytes
  setsockopt(lf, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_EQ(listen(lf, 4), 0);
  StCameraHandle h;
  h.m_ip = kittest::Addr("127.0.0.4");
  {
    pf::Lock lk(qelm::Global().m_csCamera);
    qelm::Global().m_listCamera.push_back(&h);
  }
  const std::set<int> threads = kittest::ThreadIds();

  std::atomic<bool> backedUp{false}, callEnded{false};
  std::thread camera([&] {
    pollfd p{lf, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return;
    const int c = accept4(lf, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    Bytes pending;
    // Answers the version and the file information, reading as it goes.
    for (bool info = false; !info;) {
      pollfd q{c, POLLIN, 0};
      if (poll(&q, 1, 10000) != 1) break;
      uint8_t buf[4096];
      const ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      pending.insert(pending.end(), buf, buf + n);
      while (pending.size() >= 44 && pending.size() >= Get32(pending.data() + 8)) {
        const uint32_t code = Get32(pending.data() + 40);
        pending.erase(pending.begin(), pending.begin() + Get32(pending.data() + 8));
        const Bytes answer = code == 0x10101 ? Reply(0x10101, Text("V1"))
                                             : FileInfo(0x10103, "dev.xml", 1 << 20, 0xFFFFFFFF);
        send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
        info = code == 0x10103;
      }
    }
    // Then blocks without data, each the one awaited next (so that each
    // calls for a request), reading nothing more, until the library's side
    // stops taking them and the call has ended (or the link is gone).
    const Bytes block = Block(0, {}, 0);
    const size_t indexAt = 36 + 20;  // the index word of a block frame
    Bytes many;
    for (int k = 0; k < 1000; ++k) many.insert(many.end(), block.begin(), block.end());
    uint32_t next = 0;
    const int64_t end = kittest::NowMs() + 20000;
    for (size_t at = many.size(); kittest::NowMs() < end;) {
      if (at == many.size()) {
        for (size_t k = 0; k < 1000; ++k, ++next)
          for (int i = 0; i < 4; ++i) many[k * block.size() + indexAt + i] = static_cast<uint8_t>(next >> (8 * i));
        at = 0;
      }
      const ssize_t n = send(c, many.data() + at, many.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        at += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN) break;  // reset by the library
      backedUp = true;
      if (callEnded) break;
      pollfd q{c, POLLOUT, 0};
      poll(&q, 1, 50);
    }
    close(c);
  });
  int count;
  const int64_t t0 = kittest::NowMs();
  EXPECT_EQ(Qelm_GetXMLFileInfo(&h, &count, Room(), 3000), 209);
  EXPECT_LT(kittest::NowMs() - t0, 3000 + 3000);
  EXPECT_TRUE(backedUp.load());  // the blocks really backed up during the call
  callEnded = true;
  camera.join();
  close(lf);
  qelm::FreeXMLChannel();
  EXPECT_TRUE(kittest::OnlyThreadsOf(threads));
}

// A description whose shape no camera's has is refused before it is read:
// the call ends as soon as it came, as for a file that is missing, and the
// file is neither stored nor named by the index. At the bound it is read.
TEST_F(XmlChannel, DescriptionsOfImplausibleShapeAreNeitherStoredNorIndexed) {
  const std::string ext = "0123456789ABCDEF";
  const size_t bound = qelm::kMaxXmlAttributes;
  struct Case {
    const char* name;
    std::string version;
    Bytes main, extension;
    int want;
    bool mainStored, extStored;
  } cases[] = {
      {"a main file of 60,000 attributes in one element", "V1", WideXml(4, 60000), {}, 209, false, false},
      // The walk goes on to the extension file, as after a main file that
      // does not parse.
      {"a main file one attribute past the bound", ext, WideXml(4, bound + 1), Xml(9), 209, false, true},
      {"a main file nested past the bound", "V1", DeepXml(qelm::kMaxXmlNesting + 1), {}, 209, false, false},
      {"an extension file one attribute past the bound", ext, Xml(4), WideXml(9, bound + 1), 209, true, false},
      {"both at the bound", ext, WideXml(4, bound), WideXml(9, bound), 0, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qelm::FreeXMLDescriptions();
    camera_->SetVersion(c.version);
    camera_->AddFile(kMainIds, {"dev.xml", c.main, static_cast<uint32_t>(c.main.size()), 60000});
    camera_->AddFile(ext, {"e", c.extension, static_cast<uint32_t>(c.extension.size()), 60000});
    const uint32_t seq = qelm::Global().m_nMainXMLSeq.load();
    int count = 7;
    const int64_t t0 = kittest::NowMs();
    EXPECT_EQ(Fetch(&count, 5000), c.want);
    EXPECT_LT(kittest::NowMs() - t0, 5000);  // ended by the refusal, not by the time-out
    const std::string mainPath = dir_ + "XML/dev" + std::to_string(seq) + ".xml";
    EXPECT_EQ(pf::PathExists(mainPath), c.mainStored);
    EXPECT_EQ(pf::PathExists(dir_ + "XML/" + ext + ".xml"), c.extStored);
    const std::string ini = dir_ + "XML/xmlinfo.ini";
    EXPECT_EQ(pf::GetProfileInt("INFO", "count", 0, ini), c.mainStored ? 1 : 0);
    if (c.mainStored) {
      EXPECT_EQ(pf::GetProfileString("info1", "info", "", ini), mainPath + ";" + c.version + ".ext");
    }
    EXPECT_EQ(qelm::FindXMLNamespace(c.version + ".ext") != nullptr, c.mainStored);
    EXPECT_EQ(qelm::FindXMLNamespace(ext) != nullptr, c.extStored);
    EXPECT_EQ(count, c.want == 0 ? 2 : 0);
  }
}

// A reply frame of 10,000 file-information items, each announcing the
// largest file: only the first is taken, for which one block is asked; the
// file's buffer then holds only the blocks that came.
TEST_F(XmlChannel, AFrameOfManyFileInformationItemsAsksForOneBlockAndHoldsOnlyWhatArrived) {
  camera_->SetVersion("V1");
  camera_->AddFile(kMainIds, {"dev.xml", Bytes(3000, 'x'), 3000, 1000});  // three blocks, then none
  camera_->AnswerWith(0x10103, ManyItems(0x10103, InfoData("dev.xml", qelm::kMaxFileSize, 1000), 10000));
  int count;
  const int64_t t0 = kittest::NowMs();
  EXPECT_EQ(Fetch(&count, 1500), 209);
  EXPECT_LT(kittest::NowMs() - t0, 1500 + kMarginMs);
  std::vector<Bytes> blocks;
  for (const auto& r : camera_->Requests())
    if (r.code == 0x10104) blocks.push_back(r.data);
  EXPECT_EQ(blocks, (std::vector<Bytes>{Index(0), Index(1), Index(2), Index(3)}));
  // The call has stopped the channel's thread: its state can be read.
  const qelm::StXMLChannel* ch = qelm::Global().m_pParseXML;
  ASSERT_NE(ch, nullptr);
  EXPECT_EQ(ch->m_fileSize, qelm::kMaxFileSize);
  EXPECT_EQ(ch->m_received, 3000u);
  EXPECT_EQ(ch->m_fileBuffer.size(), 3000u);
  EXPECT_LE(ch->m_fileBuffer.capacity(), 2 * 3000u);
}

// A call whose time-out comes while its receive thread reads a description
// ends at its time-out all the same. Nothing of that read is kept, and the
// next call works on a channel of its own while the first thread ends.
TEST_F(XmlChannel, ACallEndsAtItsTimeOutWhileItsThreadReadsADescription) {
  const std::set<int> threads = kittest::ThreadIds();
  camera_->SetVersion("0123456789ABCDEF");
  AddFiles({{kMainIds, 4}, {"0123456789ABCDEF", 9}});
  std::atomic<bool> reading{false}, release{false};
  qelm::test::SetXMLReadHook([&] {
    reading = true;
    kittest::WaitUntil([&] { return release.load(); }, 20000);
  });
  int count;
  const int64_t t0 = kittest::NowMs();
  EXPECT_EQ(Fetch(&count, 800), 209);
  EXPECT_LT(kittest::NowMs() - t0, 800 + kMarginMs);
  EXPECT_TRUE(reading.load());
  EXPECT_EQ(qelm::test::RetiredXMLChannels(), 1u);
  EXPECT_EQ(qelm::Global().m_pParseXML, nullptr);
  qelm::test::SetXMLReadHook(nullptr);
  release = true;
  ASSERT_TRUE(kittest::OnlyThreadsOf(threads));  // the busy thread has ended on its own
  EXPECT_FALSE(pf::PathExists(dir_ + "XML/dev0.xml"));
  EXPECT_FALSE(pf::PathExists(dir_ + "XML/xmlinfo.ini"));
  EXPECT_EQ(qelm::FindXMLNamespace("0123456789ABCDEF.ext"), nullptr);

  ASSERT_EQ(Fetch(&count, 3000), 0);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(qelm::test::RetiredXMLChannels(), 0u);
}

// A camera that takes no connection (its queue is full) holds neither call
// past its time-out: the connect gives up with the call.
TEST_F(XmlChannel, BothCallsEndByTheirTimeOutWhileTheCameraTakesNoConnection) {
  for (const uint16_t port : {qelm::kXmlPort, qelm::kAlgPort}) {
    SCOPED_TRACE(port);
    const auto [lf, sa] = ListenerOfOne("127.0.0.6", port);
    const int queued = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(queued, reinterpret_cast<const sockaddr*>(&sa), sizeof sa), 0);  // fills the queue
    StCameraHandle h;
    h.m_ip = sa.sin_addr.s_addr;
    {
      pf::Lock lk(qelm::Global().m_csCamera);
      qelm::Global().m_listCamera.push_back(&h);
    }
    int count;
    const int64_t t0 = kittest::NowMs();
    const int got = port == qelm::kXmlPort ? Qelm_GetXMLFileInfo(&h, &count, Room(), 400)
                                           : Qelm_GetAlgFile(h.m_ip, "plate.bin", (dir_ + "p").c_str(), 400);
    EXPECT_EQ(got, 2);
    EXPECT_LT(kittest::NowMs() - t0, 400 + kMarginMs);
    {
      pf::Lock lk(qelm::Global().m_csCamera);
      qelm::Global().m_listCamera.pop_back();
    }
    close(queued);
    close(lf);
  }
}

// Two cameras at once, one on each channel: what one channel's camera sends,
// a version item or a whole file, never ends the call that waits on the
// other; that call lasts its whole time-out.
TEST_F(XmlChannel, NeitherChannelsReplyEndsTheOtherChannelsCall) {
  FakeFileCamera alg("127.0.0.3", qelm::kAlgPort);
  const uint32_t algIp = kittest::Addr("127.0.0.3");
  const std::string target = dir_ + "plate.out";
  alg.AddFile("plate.bin", {"plate.bin", Text("abc"), 3, 256});
  // More files than a call lists: a version the XML channel would refuse at
  // once, waking its call.
  std::string many;
  for (size_t i = 0; i < QELM_XML_FILES_MAX; ++i) many += "0123456789ABCDEF.";
  const Bytes versions = Reply(0x10101, Text(many + "0123456789ABCDEF"));
  auto xmlCall = [&](uint32_t timeout) {
    int count;
    return Fetch(&count, timeout);
  };
  auto algCall = [&](uint32_t timeout) { return Qelm_GetAlgFile(algIp, "plate.bin", target.c_str(), timeout); };
  struct Case {
    const char* name;
    std::function<void()> arrange;
    bool xmlWaits;  // else the algorithm call waits while the XML call runs
    int waitingWant, otherWant;
  } cases[] = {
      {"an algorithm file stored", [&] { camera_->AnswerNothing(true); }, true, 209, 0},
      {"XML files stored", [&] {
         alg.AnswerNothing(true);
         AddFiles({{kMainIds, 4}, {"0123456789ABCDEF", 9}});
         camera_->SetVersion("0123456789ABCDEF");
       }, false, 209, 0},
      {"a version item on the algorithm channel", [&] {
         camera_->AnswerNothing(true);
         alg.AnswerWith(0x10106, versions);
       }, true, 209, 209},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    FakeFileCamera& waitingCamera = c.xmlWaits ? *camera_ : alg;
    const size_t asked = waitingCamera.Requests().size();
    int waiting = -1;
    int64_t waited = 0;
    std::thread t([&] {
      const int64_t t0 = kittest::NowMs();
      waiting = c.xmlWaits ? xmlCall(1500) : algCall(1500);
      waited = kittest::NowMs() - t0;
    });
    ASSERT_TRUE(kittest::WaitUntil([&] { return waitingCamera.Requests().size() > asked; }, 3000));
    const uint32_t otherTimeout = c.otherWant == 0 ? 3000 : 500;
    EXPECT_EQ(c.xmlWaits ? algCall(otherTimeout) : xmlCall(otherTimeout), c.otherWant);
    t.join();
    EXPECT_EQ(waiting, c.waitingWant);
    EXPECT_GE(waited, 1490);
    camera_->AnswerNothing(false);
    alg.AnswerNothing(false);
  }
}

// Below the exports: the reply handler on a channel whose requests go to a
// socket pair, so that every request it sends can be read back.
class XmlReplies : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = kittest::MakeTempFolder("xmlrep");
    qelm::test::SetModulePath(dir_);
    ASSERT_TRUE(pf::MakeDirectory(dir_ + "XML"));
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ch_.m_hSocket.store(fds[0]);
    peer_ = fds[1];
    ch_.m_awaited = qelm::kXmlVersion;  // as a call leaves it once it has asked
    qelm::Global().m_evXMLFile.Reset();
    qelmtest::TakeQueuedLog();
    qelm::Global().m_log.m_bLogOn.store(1);
  }
  void TearDown() override {
    qelm::Global().m_log.m_bLogOn.store(0);
    close(peer_);
    close(ch_.m_hSocket.load());
  }
  void Feed(const Bytes& frame) {
    std::vector<uint8_t> f = frame;
    qelm::HandleXMLFrame(&ch_, f);
  }
  // The requests sent so far, frame by frame.
  std::vector<Bytes> Sent() {
    Bytes all;
    uint8_t buf[4096];
    for (ssize_t n; (n = recv(peer_, buf, sizeof buf, MSG_DONTWAIT)) > 0;) all.insert(all.end(), buf, buf + n);
    std::vector<Bytes> frames;
    for (size_t at = 0; at + 12 <= all.size();) {
      const uint32_t len = Get32(all.data() + at + 8);
      frames.emplace_back(all.begin() + at, all.begin() + at + len);
      at += len;
    }
    return frames;
  }
  std::string Put(const std::string& name, const Bytes& content) {
    const std::string path = dir_ + "XML/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
    return path;
  }
  std::string Ini() const { return dir_ + "XML/xmlinfo.ini"; }
  std::string dir_;
  qelm::StXMLChannel ch_;
  int peer_ = -1;
};

TEST_F(XmlReplies, AVersionWhoseDescriptionIsCachedLoadsOnlyWhatIsMissingFromTheCache) {
  const std::string main = Put("dev0.xml", Xml(4));
  const std::string ext = Put("0123456789ABCDEF.xml", Xml(9));
  auto rec = std::make_shared<qelm::StXMLNamespace>("0123456789ABCDEF.ext", main);
  ASSERT_TRUE(qelm::LoadNamespaceXML(*rec));
  qelm::InsertXMLNamespace(rec->name, rec);

  Feed(Reply(0x10101, Text(" 0123456789ABCDEF ")));
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(qelm::Global().m_evXMLFile.Wait(0));
  EXPECT_EQ(qelmtest::TakeQueuedLog(), Gbk({
                           "获取设备XML版本0123456789ABCDEF.ext",
                           "此版本0123456789ABCDEF.ext文件存在",
                           "xml文件" + ext + "存在",
                           "命名空间0123456789ABCDEF没有加入队列中，重新加入",
                           "存储xml文件" + ext + "，并加入列表,命名空间0123456789ABCDEF",
                       }));
  ASSERT_NE(qelm::FindXMLNamespace("0123456789ABCDEF"), nullptr);
  EXPECT_EQ(ch_.m_requestedVersion, "0123456789ABCDEF.ext");

  // A cached description whose file is gone is dropped, and fetched again.
  ASSERT_EQ(remove(main.c_str()), 0);
  ch_.m_awaited = qelm::kXmlVersion;
  Feed(Reply(0x10101, Text("0123456789ABCDEF")));
  EXPECT_EQ(qelm::FindXMLNamespace("0123456789ABCDEF.ext"), nullptr);
  EXPECT_EQ(Sent(), std::vector<Bytes>{RequestFrame(0x10103, Ids(0, 0))});
  EXPECT_EQ(qelm::CheckXMLCache("0123456789ABCDEF"), 0);
  EXPECT_EQ(qelm::CheckXMLCache("unknown"), 1);
}

TEST_F(XmlReplies, AStoredMainFileKeepsAFileOfItsNameAndIsIndexedOnce) {
  const std::string path = Put("dev0.xml", Xml(4));
  pf::WriteProfileString("INFO", "count", "1", Ini());
  pf::WriteProfileString("info1", "info", path + ";V1.ext", Ini());
  ch_.m_requestedVersion = ch_.m_workingVersion = "V1.ext";
  const Bytes other = Xml(7);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ch_.m_awaited = qelm::kXmlFileInfo;
    Feed(FileInfo(0x10103, "dev.xml", static_cast<uint32_t>(other.size()), 2));
    Feed(Block(0, Bytes(other.begin(), other.begin() + 10), 10));
    Feed(Block(1, Bytes(other.begin() + 10, other.end()), static_cast<uint32_t>(other.size() - 10)));
    EXPECT_EQ(Sent(), (std::vector<Bytes>{RequestFrame(0x10104, Index(0)), RequestFrame(0x10104, Index(1)),
                                          RequestFrame(0x10105, {})}));
    EXPECT_TRUE(qelm::Global().m_evXMLFile.Wait(0));  // "V1.ext" names no extension file
    ch_.m_workingVersion = "V1.ext";
  }
  // The first round found dev0.xml in place: its contents stay and are what
  // is cached; the index already named it. The second stored dev1.xml.
  const Bytes first = Xml(4);
  EXPECT_EQ(kittest::ReadFile(path), std::string(first.begin(), first.end()));
  EXPECT_EQ(qelm::FindXMLNamespace("V1.ext")->LayerId, 4);
  EXPECT_EQ(kittest::ReadFile(dir_ + "XML/dev1.xml"), std::string(other.begin(), other.end()));
  EXPECT_EQ(qelm::Global().m_nMainXMLSeq.load(), 2u);
  EXPECT_EQ(pf::GetProfileInt("INFO", "count", 0, Ini()), 2);
  EXPECT_EQ(pf::GetProfileString("info2", "info", "", Ini()), dir_ + "XML/dev1.xml;V1.ext");
}

TEST_F(XmlReplies, RepliesThatCannotMoveTheTransferOn) {
  struct Case {
    const char* name;
    std::vector<Bytes> frames;
    std::vector<Bytes> sent;
    uint32_t awaited = qelm::kXmlFileInfo;  // what the channel has asked for
  } cases[] = {
      {"a version with a status", {Reply(0x10101, Text("V1"), 1)}, {}, qelm::kXmlVersion},
      {"file information with a status", {Reply(0x10103, Bytes(80, 1), 2)}, {}},
      {"file information under 80 bytes", {Reply(0x10103, Bytes(79, 1))}, {}},
      {"replies that need no answer", {Reply(0x10102, Text("x")), Reply(0x10105, {})}, {}},
      {"size 0: no buffer for the blocks",
       {FileInfo(0x10103, "a", 0, 1), Block(0, Text("abc"), 3)},
       {RequestFrame(0x10104, Index(0))}},
      {"a block of another index", {FileInfo(0x10103, "a", 3, 1), Block(1, Text("abc"), 3)},
       {RequestFrame(0x10104, Index(0))}},
      {"a block longer than its item", {FileInfo(0x10103, "a", 10, 1), Block(0, Text("abc"), 4)},
       {RequestFrame(0x10104, Index(0))}},
      {"blocks beyond the announced size", {FileInfo(0x10106, "a", 4, 2), Block(0, Text("abc"), 3), Block(1, Text("de"), 2)},
       {RequestFrame(0x10104, Index(0)), RequestFrame(0x10104, Index(1))}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ch_.m_awaited = c.awaited;
    for (const auto& f : c.frames) Feed(f);
    EXPECT_EQ(Sent(), c.sent);
    EXPECT_FALSE(qelm::Global().m_evXMLFile.Wait(0));
    EXPECT_EQ(qelm::Global().m_nMainXMLSeq.load(), 0u);  // nothing stored
  }
}

// A version naming more files than a call lists is refused as it comes,
// however many it names (here many thousand, all of one file on disk): the
// call's wait ends at once, and nothing is asked for or loaded.
TEST_F(XmlReplies, AVersionNamingMoreFilesThanACallListsIsRefusedAsItComes) {
  Put("0123456789ABCDEF.xml", Xml(9));
  Put("main.xml", Xml(4));
  std::string version;
  for (int i = 0; i < 60000; ++i) version += "0123456789ABCDEF.";
  version.pop_back();
  auto rec = std::make_shared<qelm::StXMLNamespace>(version + ".ext", dir_ + "XML/main.xml");
  ASSERT_TRUE(qelm::LoadNamespaceXML(*rec));
  qelm::InsertXMLNamespace(rec->name, rec);
  qelm::Global().m_log.m_bLogOn.store(0);
  Feed(Reply(0x10101, Text(version)));
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(qelm::Global().m_evXMLFile.Wait(0));
  EXPECT_EQ(qelm::FindXMLNamespace("0123456789ABCDEF"), nullptr);
  // Nothing fetched for a version of one file too many, either.
  const std::string over = version.substr(0, 17 * QELM_XML_FILES_MAX - 1);
  ch_.m_awaited = qelm::kXmlVersion;
  Feed(Reply(0x10101, Text(over)));
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(qelm::Global().m_evXMLFile.Wait(0));
}

// A reply is taken only while the channel waits for one of its kind, and only
// one per request: unasked versions and file information are passed over,
// the algorithm channel takes no version, and of a frame of many file
// information items or versions the first is the one.
TEST_F(XmlReplies, RepliesAreTakenOnlyWhileAwaitedAndOncePerRequest) {
  std::string many;
  for (size_t i = 0; i <= QELM_XML_FILES_MAX; ++i) many += "0123456789ABCDEF.";
  const Bytes refusedVersion = Reply(0x10101, Text(many + "x"));  // would wake the call at once
  struct Case {
    const char* name;
    uint32_t awaited;
    uint8_t algMode;
    std::vector<Bytes> frames;
    std::vector<Bytes> sent;
  } cases[] = {
      {"a version nobody asked for", 0, 0, {Reply(0x10101, Text("V1")), refusedVersion}, {}},
      {"file information nobody asked for", 0, 0, {FileInfo(0x10103, "a", 3, 1)}, {}},
      {"a version while file information is awaited", qelm::kXmlFileInfo, 0, {refusedVersion}, {}},
      {"a version on the algorithm channel", qelm::kXmlFileInfo, 1, {refusedVersion, Reply(0x10101, Text("V1"))}, {}},
      {"two versions in one frame", qelm::kXmlVersion, 0,
       {ManyItems(0x10101, Text("V1"), 2)}, {RequestFrame(0x10103, Ids(0, 0))}},
      {"10,000 file information items in one frame", qelm::kXmlFileInfo, 0,
       {ManyItems(0x10103, InfoData("a", qelm::kMaxFileSize, 2), 10000)}, {RequestFrame(0x10104, Index(0))}},
      {"a second file information after the first", qelm::kXmlFileInfo, 1,
       {FileInfo(0x10106, "a", 6, 2), FileInfo(0x10106, "b", 9, 1)}, {RequestFrame(0x10104, Index(0))}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ch_.m_awaited = c.awaited;
    ch_.m_bAlgMode = c.algMode;
    ch_.m_hasFile = false;
    ch_.m_fileSize = 0;
    for (const auto& f : c.frames) Feed(f);
    EXPECT_EQ(Sent(), c.sent);
    EXPECT_FALSE(qelm::Global().m_evXMLFile.Wait(0));
    EXPECT_FALSE(qelm::Global().m_evAlgFile.Wait(0));
    EXPECT_EQ(ch_.m_fileBuffer.capacity(), 0u);  // nothing has arrived
  }
  // The information taken is the first one's.
  EXPECT_EQ(ch_.m_fileSize, 6u);
}

// A file's buffer grows with its blocks, to at most twice what has arrived
// and never past the size announced.
TEST_F(XmlReplies, AFilesBufferGrowsWithItsBlocks) {
  ch_.m_awaited = qelm::kXmlFileInfo;
  Feed(FileInfo(0x10103, "a", qelm::kMaxFileSize, 100));
  EXPECT_EQ(ch_.m_fileBuffer.capacity(), 0u);
  size_t arrived = 0;
  for (uint32_t i = 0; i < 20; ++i) {
    const uint32_t n = 1 + 97 * i;
    Feed(Block(i, Bytes(n, static_cast<uint8_t>(i)), n));
    arrived += n;
    EXPECT_EQ(ch_.m_fileBuffer.size(), arrived);
    EXPECT_LE(ch_.m_fileBuffer.capacity(), 2 * arrived);
  }
  EXPECT_EQ(Sent().size(), 21u);  // block 0, then one request per block
  // A file of 1000 bytes announced: its room stops at 1000.
  ch_.m_awaited = qelm::kXmlFileInfo;
  Feed(FileInfo(0x10103, "b", 1000, 3));
  Feed(Block(0, Bytes(600, 1), 600));
  Feed(Block(1, Bytes(400, 2), 400));
  EXPECT_EQ(ch_.m_fileBuffer.size(), 1000u);
  EXPECT_EQ(ch_.m_fileBuffer.capacity(), 1000u);
}

}  // namespace

// Fetching XML description and algorithm files from a fake camera.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "context.h"
#include "control.h"
#include "fake_peer.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "process.h"
#include "wait.h"
#include "xml_cache.h"
#include "xml_channel.h"

namespace {

using kittest::Bytes;

void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t Get32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }

struct Request {
  uint32_t code;
  uint32_t cls;
  Bytes data;
};

// One-item reply frame in the camera's own encoding.
Bytes Reply(uint32_t code, const Bytes& data) {
  Bytes f;
  Put32(f, 0x0FF055AA);
  Put32(f, 0x00010000);
  Put32(f, static_cast<uint32_t>(60 + data.size()));
  f.insert(f.end(), {8, 0, 2, 0});
  Put32(f, 0);
  Put32(f, 0);
  Put32(f, 0x8002);
  Put32(f, 0);
  Put32(f, 1);
  Put32(f, 0xAA55A55A);
  Put32(f, code);
  f.insert(f.end(), {0, 0, 0, 0});
  Put32(f, 0);  // status
  Put32(f, static_cast<uint32_t>(data.size()));
  f.insert(f.end(), data.begin(), data.end());
  Put32(f, 0x550FF0AA);
  return f;
}

struct CameraFile {
  std::string name;
  Bytes content;
  uint32_t announcedSize;  // what the file information says
  uint32_t blockSize;
};

// A camera's file port: version, file information and blocks, by its own codec.
class FakeFileCamera {
 public:
  FakeFileCamera(const std::string& ip, uint16_t port) : server_(ip, port) {
    server_.SetOnData([this](kittest::FakeConn& c, Bytes& pending) {
      while (pending.size() >= 12 && pending.size() >= Get32(pending.data() + 8)) {
        const uint32_t len = Get32(pending.data() + 8);
        Bytes f(pending.begin(), pending.begin() + len);
        pending.erase(pending.begin(), pending.begin() + len);
        const uint8_t* item = f.data() + 36;
        Request r{Get32(item + 4), Get32(f.data() + 24), Bytes(item + 20, item + 20 + Get32(item + 16))};
        Bytes answer = Answer(r);
        if (!answer.empty()) c.Send(answer);
      }
    });
  }
  void SetVersion(const std::string& v) {
    std::lock_guard<std::mutex> lk(m_);
    version_ = v;
  }
  // ids "0000000000000000" names the main file.
  void AddFile(const std::string& ids, CameraFile f) {
    std::lock_guard<std::mutex> lk(m_);
    files_[ids] = std::move(f);
  }
  std::vector<Request> Requests() {
    std::lock_guard<std::mutex> lk(m_);
    return requests_;
  }
  size_t Count(uint32_t code) {
    size_t n = 0;
    for (const auto& r : Requests()) n += r.code == code;
    return n;
  }

 private:
  Bytes Info(const CameraFile& f) {
    Bytes d(64, 0);
    memcpy(d.data(), f.name.data(), std::min<size_t>(f.name.size(), 63));
    Put32(d, f.announcedSize);
    Put32(d, 0);
    Put32(d, f.blockSize ? static_cast<uint32_t>((f.content.size() + f.blockSize - 1) / f.blockSize) : 0);
    Put32(d, 0);
    return d;
  }
  Bytes Answer(const Request& r) {
    std::lock_guard<std::mutex> lk(m_);
    requests_.push_back(r);
    if (r.code == 0x10101) return Reply(0x10101, Bytes(version_.begin(), version_.end()));
    if (r.code == 0x10103 && r.data.size() == 8) {
      char ids[17];
      snprintf(ids, sizeof ids, "%08X%08X", Get32(r.data.data()), Get32(r.data.data() + 4));
      auto it = files_.find(ids);
      if (it == files_.end()) return {};
      current_ = &it->second;
      return Reply(0x10103, Info(it->second));
    }
    if (r.code == 0x10106) {
      auto it = files_.find(std::string(r.data.begin(), r.data.end()));
      if (it == files_.end()) return {};
      current_ = &it->second;
      return Reply(0x10106, Info(it->second));
    }
    if (r.code == 0x10104 && current_) {
      const uint32_t index = Get32(r.data.data());
      const size_t at = size_t(index) * current_->blockSize;
      if (at >= current_->content.size()) return {};  // no such block
      const size_t n = std::min<size_t>(current_->blockSize, current_->content.size() - at);
      Bytes d;
      Put32(d, index);
      Put32(d, 0);
      Put32(d, static_cast<uint32_t>(n));
      Put32(d, 0);
      d.insert(d.end(), current_->content.begin() + at, current_->content.begin() + at + n);
      return Reply(0x10104, d);
    }
    return {};
  }

  std::mutex m_;
  std::string version_;
  std::map<std::string, CameraFile> files_;
  const CameraFile* current_ = nullptr;
  std::vector<Request> requests_;
  kittest::FakeTcpServer server_;  // last: stops before what its script uses
};

Bytes Xml(int layer) {
  const std::string s = "<Desc LayerId=\"" + std::to_string(layer) +
                        "\"><I Name=\"Root\"><T>P</T></I><S Comment=\"P\"><SubCommand NodeCode=\"0x10\">"
                        "<ParaType>PTUi32</ParaType></SubCommand></S></Desc>";
  return Bytes(s.begin(), s.end());
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
  }
  int Fetch(int* count, uint32_t timeout = 3000) {
    for (auto& p : paths_) p.assign(512, '\0');
    for (int i = 0; i < 4; ++i) ptrs_[i] = paths_[i].data();
    return Qelm_GetXMLFileInfo(&handle_, count, ptrs_, timeout);
  }
  std::string Path(int i) const { return paths_[i].c_str(); }
  std::string dir_;
  std::unique_ptr<FakeFileCamera> camera_;
  StCameraHandle handle_;
  std::string paths_[4];
  char* ptrs_[4];
};

TEST_F(XmlChannel, MainFileAndOneExtensionFileGiveTwoPaths) {
  camera_->SetVersion(" 0123456789ABCDEF ");
  camera_->AddFile(kMainIds, {"dev.xml", Xml(4), static_cast<uint32_t>(Xml(4).size()), 50});
  camera_->AddFile("0123456789ABCDEF", {"ext.xml", Xml(9), static_cast<uint32_t>(Xml(9).size()), 1000});
  int count = -1;
  ASSERT_EQ(Fetch(&count), 0);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(Path(0), dir_ + "XML/dev0.xml");  // ".xml" removed, the sequence number added
  EXPECT_EQ(Path(1), dir_ + "XML/0123456789ABCDEF.xml");
  const Bytes main4 = Xml(4), ext9 = Xml(9);
  EXPECT_EQ(kittest::ReadFile(Path(0)), std::string(main4.begin(), main4.end()));
  EXPECT_EQ(kittest::ReadFile(Path(1)), std::string(ext9.begin(), ext9.end()));
  // The extension file was asked for by its two 8-digit halves.
  bool asked = false;
  for (const auto& r : camera_->Requests()) {
    EXPECT_EQ(r.cls, 16u);
    if (r.code == 0x10103 && Get32(r.data.data()) == 0x01234567 && Get32(r.data.data() + 4) == 0x89ABCDEF) asked = true;
  }
  EXPECT_TRUE(asked);
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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    camera_->SetVersion(c.version);
    camera_->AddFile(kMainIds, c.main);
    int count = 5;
    EXPECT_EQ(Fetch(&count, 500), 209);
    EXPECT_EQ(count, 0);
  }
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

}  // namespace

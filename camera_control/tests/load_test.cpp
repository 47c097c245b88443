// The shared library as a process loads it, from a folder of its own: it
// finds that folder itself, makes its XML folder there at load, and keeps its
// control log beside itself; loaded from a folder it cannot write, it keeps
// the same files in the per-user folder.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <iostream>
#include <unistd.h>
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "Qelm_Control.h"
#include "fake_camera.h"
#include "fake_file_camera.h"
#include "netns.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;

template <class Fn>
Fn Symbol(void* lib, const char* name) {
  return reinterpret_cast<Fn>(dlsym(lib, name));
}

TEST(Load, TheLibraryMakesItsXMLFolderAndKeepsItsLogBesideItself) {
  const std::string dir = kittest::MakeTempFolder("load");
  const std::string copy = dir + "libQelm_Control.so";
  fs::copy_file(KIT_SHARED_LIBRARY, copy);
  ASSERT_FALSE(fs::exists(dir + "XML"));
  // Never closed: a loaded library keeps its window thread until the process ends.
  void* lib = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  EXPECT_TRUE(fs::is_directory(dir + "XML"));

  auto recordLog = Symbol<int(QELM_CALL*)(int)>(lib, "Qelm_RecordControlLog");
  auto init = Symbol<int(QELM_CALL*)(CameraFoundCallback)>(lib, "Qelm_InitControl");
  auto quit = Symbol<int(QELM_CALL*)(void)>(lib, "Qelm_Quit");
  ASSERT_TRUE(recordLog && init && quit);
  ASSERT_EQ(recordLog(1), 0);
  EXPECT_EQ(init(nullptr), 1);  // logs two lines
  EXPECT_EQ(quit(), 0);         // which are written before it returns

  std::vector<fs::path> logs;
  for (const auto& e : fs::directory_iterator(dir + "DLLLog")) logs.push_back(e.path());
  ASSERT_EQ(logs.size(), 1u);
  const std::string name = logs[0].filename().string();
  EXPECT_EQ(name.rfind("control-", 0), 0u) << name;
  EXPECT_EQ(name.size(), std::string("control-YYYYMMDD.log").size()) << name;
  const std::string text = kittest::ReadFile(logs[0].string());
  EXPECT_NE(text.find(kittest::Gbk("动态库开始初始化") + "\r\n"), std::string::npos);
  EXPECT_NE(text.find(kittest::Gbk("初始化回调函数是NULL") + "\r\n"), std::string::npos);
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

void QELM_CALL NoCamera(StCameraInfo*) {}
void QELM_CALL NoEvent(void*, StCameraHandle*, int) {}

// As an installed kit is used by an ordinary user: the library sits in a
// folder the process may not write. Its descriptions, index and log must land
// in the per-user folder, and parameters must be read through them.
TEST(Load, ALibraryInAFolderItCannotWriteKeepsItsFilesInThePerUserFolder) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  const std::string dir = kittest::MakeTempFolder("rolib");
  const std::string home = kittest::MakeTempFolder("home");
  fs::copy_file(KIT_SHARED_LIBRARY, dir + "libQelm_Control.so");
  std::string why;
  ASSERT_TRUE(kittest::MakeUnwritable(dir, &why)) << why;
  setenv("HOME", home.c_str(), 1);
  unsetenv("XDG_STATE_HOME");
  const std::string own = home + ".local/state/device-kit/";

  void* lib = dlopen((dir + "libQelm_Control.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  EXPECT_TRUE(fs::is_directory(own + "XML"));
  struct stat st {};
  ASSERT_EQ(stat(own.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

#define QELM_SYMBOL(name) auto name = Symbol<decltype(&::name)>(lib, #name)
  QELM_SYMBOL(Qelm_RecordControlLog);
  QELM_SYMBOL(Qelm_InitControl);
  QELM_SYMBOL(Qelm_OpenCamera);
  QELM_SYMBOL(Qelm_GetXMLFileInfo);
  QELM_SYMBOL(Qelm_GetParams);
  QELM_SYMBOL(Qelm_CloseCamera);
  QELM_SYMBOL(Qelm_Quit);
#undef QELM_SYMBOL
  ASSERT_TRUE(Qelm_RecordControlLog && Qelm_InitControl && Qelm_OpenCamera && Qelm_GetXMLFileInfo &&
              Qelm_GetParams && Qelm_CloseCamera && Qelm_Quit);
  ASSERT_EQ(Qelm_RecordControlLog(1), 0);
  ASSERT_EQ(Qelm_InitControl(NoCamera), 0);

  // The camera: its control port answers a get of parameter 0x10 with four
  // bytes; its file port holds a main description and one extension.
  kittest::FakeCamera control("127.0.0.2");
  control.SetAnswer([](const kittest::CamFrame& req) -> std::vector<kittest::Bytes> {
    if (req.seq == 0 || req.items.empty() || req.items[0].code != 0x10) return {};
    return {kittest::EncodeCamFrame(kittest::FakeCamera::ReplyTo(req, {kittest::CamItem{0x10, 7, 0, 0, {1, 2, 3, 4}}}))};
  });
  filecam::FakeFileCamera files("127.0.0.2", 58020);
  files.SetVersion(" 0123456789ABCDEF ");
  files.AddFile("0000000000000000", {"dev.xml", filecam::Xml(4), uint32_t(filecam::Xml(4).size()), 64});
  files.AddFile("0123456789ABCDEF", {"ext.xml", filecam::Xml(9), uint32_t(filecam::Xml(9).size()), 64});

  StCameraHandle* h = nullptr;
  ASSERT_EQ(Qelm_OpenCamera(control.addr(), &h, nullptr, NoEvent), 0);
  char room[2][QELM_XML_PATH_SIZE] = {};
  char* paths[2] = {room[0], room[1]};
  int count = 0;
  ASSERT_EQ(Qelm_GetXMLFileInfo(h, &count, paths, 3000), 0);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(std::string(room[0]), own + "XML/dev0.xml");
  EXPECT_EQ(std::string(room[1]), own + "XML/0123456789ABCDEF.xml");
  const kittest::Bytes ext = filecam::Xml(9);
  EXPECT_EQ(kittest::ReadFile(room[1]), std::string(ext.begin(), ext.end()));
  EXPECT_NE(kittest::ReadFile(own + "XML/xmlinfo.ini").find(own + "XML/dev0.xml"), std::string::npos);

  static StXMLParam param;  // 4 kB of value
  int status = -1, length = -1;
  param.handle = h;
  snprintf(param.ns, sizeof param.ns, "0123456789ABCDEF");
  snprintf(param.code, sizeof param.code, "0x10");
  param.status = &status;
  param.length = &length;
  ASSERT_EQ(Qelm_GetParams(&param, 2000), 0);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(length, 4);
  EXPECT_EQ(std::vector<uint8_t>(param.value, param.value + 4), (std::vector<uint8_t>{1, 2, 3, 4}));

  EXPECT_EQ(Qelm_CloseCamera(h), 0);
  EXPECT_EQ(Qelm_Quit(), 0);  // writes the queued log lines before it returns
  ASSERT_TRUE(fs::is_directory(own + "DLLLog"));
  const std::vector<std::string> logs = Names(own + "DLLLog");
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_NE(kittest::ReadFile(own + "DLLLog/" + logs[0]).find(kittest::Gbk("动态库开始初始化")), std::string::npos);
  EXPECT_EQ(Names(dir), std::vector<std::string>{"libQelm_Control.so"}) << "nothing beside the library";
}

// A shared state folder in which another user made "device-kit/" open to
// all, with a link "XML" to the user's documents: the library, installed
// where it cannot write beside itself, keeps no files at all. The XML wipe,
// the log and the index reach neither that folder nor the documents, nor the
// current folder.
TEST(Load, ALibraryKeepsNoFilesInAPerUserFolderOfAnotherUser) {
  KIT_REQUIRE_PRIVATE_NETWORK();
  const std::string dir = kittest::MakeTempFolder("rolib");
  const std::string shared = kittest::MakeTempFolder("shared");
  const std::string docs = kittest::MakeTempFolder("docs");
  const std::string home = kittest::MakeTempFolder("home");
  const std::string cwd = kittest::MakeTempFolder("cwd");
  fs::copy_file(KIT_SHARED_LIBRARY, dir + "libQelm_Control.so");
  std::string why;
  ASSERT_TRUE(kittest::MakeUnwritable(dir, &why)) << why;
  if (!kittest::MakeFolderOfAnotherUser(shared + "device-kit", &why)) GTEST_SKIP() << why;
  FILE* f = fopen((docs + "letter").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("the user's letter", f);
  fclose(f);
  // Where another user's folder may be written (as root), it holds the link.
  if (symlink(docs.c_str(), (shared + "device-kit/XML").c_str()) != 0) {
    std::cerr << "note: no link in the other user's folder here\n";
  }
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  ASSERT_TRUE(fs::create_directory(cwd + "XML"));  // what relative paths would reach
  setenv("XDG_STATE_HOME", shared.c_str(), 1);
  setenv("HOME", home.c_str(), 1);
  const std::vector<std::string> theirs = Names(shared + "device-kit");

  void* lib = dlopen((dir + "libQelm_Control.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto recordLog = Symbol<int(QELM_CALL*)(int)>(lib, "Qelm_RecordControlLog");
  auto init = Symbol<int(QELM_CALL*)(CameraFoundCallback)>(lib, "Qelm_InitControl");
  auto xmlInfo = Symbol<decltype(&::Qelm_GetXMLFileInfo)>(lib, "Qelm_GetXMLFileInfo");
  auto quit = Symbol<int(QELM_CALL*)(void)>(lib, "Qelm_Quit");
  ASSERT_TRUE(recordLog && init && xmlInfo && quit);
  ASSERT_EQ(recordLog(1), 0);
  EXPECT_EQ(init(NoCamera), 0);  // reads the index, logs
  int count = 5;
  EXPECT_EQ(xmlInfo(nullptr, &count, nullptr, 100), 1);  // the wipe comes first
  EXPECT_EQ(count, 0);
  EXPECT_EQ(quit(), 0);  // writes what the log holds

  EXPECT_EQ(kittest::ReadFile(docs + "letter"), "the user's letter");
  EXPECT_EQ(Names(docs), std::vector<std::string>{"letter"});
  EXPECT_EQ(Names(shared + "device-kit"), theirs);
  EXPECT_EQ(Names(shared), std::vector<std::string>{"device-kit"});
  EXPECT_TRUE(Names(cwd + "XML").empty());
  EXPECT_EQ(Names(cwd), std::vector<std::string>{"XML"});
  EXPECT_TRUE(Names(home).empty());
  EXPECT_EQ(Names(dir), std::vector<std::string>{"libQelm_Control.so"});
}

}  // namespace

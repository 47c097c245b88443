// The shared library as a process loads it, from a folder of its own: it
// finds that folder itself, makes its XML folder there at load, and keeps its
// control log beside itself.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Qelm_Control.h"
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

}  // namespace

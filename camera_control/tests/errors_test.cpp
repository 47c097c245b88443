// Result code texts, byte for byte in GBK.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Qelm_Control.h"
#include "context.h"
#include "errors.h"
#include "process.h"

namespace {

struct CodeText {
  int code;
  const char* utf8;
};
const CodeText kExpected[] = {
    {0, "执行成功"},
    {1, "参数不正确"},
    {2, "SOCKET句柄为NULL"},
    {3, "生成线程失败"},
    {4, "接收处理搜索设备信息句柄为NULL"},
    {5, "生成搜索命令失败"},
    {7, "没有发现设备"},
    {8, "设备已经初始化打开"},
    {9, "生成控制处理数据线程失败"},
    {10, "XML解析句柄为NULL"},
    {11, "生成XML处理线程失败"},
    {12, "获取XML版本失败"},
    {13, "获取扩展XML失败"},
    {14, "设备连接断开"},
    {15, "根据命名空间，没有找到对应XML文件"},
    {16, "根据参数名称，没有找到对应参数节点"},
    {17, "发送指令失败"},
    {18, "根据参数编码，没有找到对应参数节点"},
    {19, "生成指令失败"},
    {20, "未初始化"},
    {21, "网络异常，ping不通"},
    {100, "其他错误"},
    {101, "生成数据线程失败"},
    {102, "转换bmp失败"},
    {150, "打开升级文件错误"},
    {151, "升级文件不正确"},
    {152, "根据传入的参数，没有找到所有PCK文件"},
    {153, "发送文件信息失败"},
    {209, "函数执行超时"},
};

void QELM_CALL Found(StCameraInfo*) {}

TEST(ErrorMsg, EveryTextAfterInitByteForByte) {
  qelm::InitErrorTable();  // what a successful start-up does
  size_t longest = 0;
  for (const auto& e : kExpected) {
    char buf[64];
    memset(buf, 'x', sizeof buf);
    ASSERT_EQ(Qelm_GetErrorMsg(e.code, buf), 1) << e.code;
    EXPECT_EQ(std::string(buf), kittest::Gbk(e.utf8)) << e.code;
    longest = std::max(longest, strlen(buf) + 1);
  }
  EXPECT_LE(longest, 64u);
  EXPECT_EQ(longest, kittest::Gbk(kExpected[26].utf8).size() + 1);  // 152 is the longest
}

TEST(ErrorMsg, CodesWithoutTextAndNullBufferGive0AndLeaveTheBuffer) {
  qelm::InitErrorTable();
  for (int code : {6, 104, 105, 106, 107, 155, 156, 157, 158, 159, 160, -1, 210}) {
    char buf[8] = "keep";
    EXPECT_EQ(Qelm_GetErrorMsg(code, buf), 0) << code;
    EXPECT_STREQ(buf, "keep");
  }
  EXPECT_EQ(Qelm_GetErrorMsg(0, nullptr), 0);
}

TEST(ErrorMsg, NothingBeforeInitOrAfterQuit) {
  char buf[64];
  EXPECT_EQ(Qelm_GetErrorMsg(209, buf), 0);
  qelm::test::SetModulePath(kittest::MakeTempFolder("errors"));
  ASSERT_EQ(Qelm_InitControl(Found), 0);
  EXPECT_EQ(Qelm_GetErrorMsg(209, buf), 1);
  EXPECT_EQ(std::string(buf), kittest::Gbk("函数执行超时"));
  Qelm_Quit();
  EXPECT_EQ(Qelm_GetErrorMsg(209, buf), 0);
  ASSERT_EQ(Qelm_InitControl(Found), 0);  // filled again
  EXPECT_EQ(Qelm_GetErrorMsg(0, buf), 1);
  Qelm_Quit();
}

}  // namespace

// Result code texts, and the public header as C and C++ see it.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "Nardix.h"
#include "process.h"

extern "C" int nardix_header_c_check(void);

namespace {

using kittest::Gbk;

TEST(ErrorMsg, EveryCodeHasItsTextInGbk) {
  const struct {
    int code;
    const char* text;
  } cases[] = {
      {0, "执行成功"},
      {2, "未初始化"},
      {3, "参数不正确"},
      {4, "SOCKET句柄为NULL"},
      {5, "创建线程失败"},
      {6, "生成命令失败"},
      {7, "发送命令失败"},
      {8, "没有发现该设备"},
      {9, "设备已经打开"},
      {10, "和设备连接断开"},
      {12, "阻塞触发没有收到数据"},
      {100, "其他错误"},
      {209, "函数执行超时"},
      // No text of their own.
      {1, "没有找到对应的反馈值"},
      {11, "没有找到对应的反馈值"},
      {50, "没有找到对应的反馈值"},
      {-1, "没有找到对应的反馈值"},
  };
  for (const auto& c : cases) {
    char buf[64];
    memset(buf, 0x7F, sizeof buf);
    ASSERT_EQ(LPR_GetErrorMsg(c.code, buf), 0) << c.code;
    EXPECT_EQ(std::string(buf), Gbk(c.text)) << c.code;
  }
}

TEST(ErrorMsg, LongestTextWithItsTerminatorFitsTwentyOneBytes) {
  char buf[21];
  ASSERT_EQ(LPR_GetErrorMsg(11, buf), 0);
  EXPECT_EQ(strlen(buf), 20u);
}

TEST(ErrorMsg, NullBufferGives3) { EXPECT_EQ(LPR_GetErrorMsg(0, nullptr), 3); }

TEST(Header, CAndCppAgreeOnTheRecords) {
  EXPECT_EQ(nardix_header_c_check(), static_cast<int>(sizeof(StLprResult)));
  // Pointer-sized fields keep their order; the other offsets move by the
  // pointers' extra width only.
  const size_t extra = sizeof(void*) - 4;
  EXPECT_EQ(offsetof(StLprResult, resultId), 4 + extra);
  EXPECT_EQ(offsetof(StLprResult, blockText), 40 + extra);
  EXPECT_EQ(offsetof(StLprResult, blockValue176), 299 + extra);
  EXPECT_EQ(offsetof(StLprResult, infoText), 303 + extra);
  EXPECT_EQ(offsetof(StLprResult, image1Length), 328 + 2 * extra);
  EXPECT_EQ(offsetof(StLprResult, image3Width), 356 + 4 * extra);
  EXPECT_EQ(offsetof(StLprResult, debugLength), 364 + 5 * extra);
  EXPECT_EQ(offsetof(StLprConnEvent, ip), 4 + extra);
}

}  // namespace

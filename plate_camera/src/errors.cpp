// Texts of the result codes.
#include <cstring>

#include "Nardix.h"
#include "codes.h"

namespace {

const char* ErrorText(int code) {
  switch (code) {
    case 0: return "执行成功";
    case 2: return "未初始化";
    case 3: return "参数不正确";
    case 4: return "SOCKET句柄为NULL";
    case 5: return "创建线程失败";
    case 6: return "生成命令失败";
    case 7: return "发送命令失败";
    case 8: return "没有发现该设备";
    case 9: return "设备已经打开";
    case 10: return "和设备连接断开";
    case 12: return "阻塞触发没有收到数据";
    case 100: return "其他错误";
    case 209: return "函数执行超时";
    default: return "没有找到对应的反馈值";
  }
}

}  // namespace

extern "C" {

NARDIX_API int NARDIX_CALL LPR_GetErrorMsg(int code, char* text) {
  if (!text) return nardix::kBadArgument;
  const char* t = ErrorText(code);
  memcpy(text, t, strlen(t) + 1);
  return nardix::kOk;
}

}  // extern "C"

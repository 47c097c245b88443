#include "errors.h"

#include <cstring>

#include "context.h"

namespace qelm {

namespace {
struct CodeText {
  int code;
  const char* text;
};
const CodeText kTexts[] = {
    {ERR_SUCCESS, "执行成功"},
    {ERR_PARAM, "参数不正确"},
    {ERR_SOCKET_NULL, "SOCKET句柄为NULL"},
    {ERR_THREAD, "生成线程失败"},
    {ERR_SEARCH_HANDLE_NULL, "接收处理搜索设备信息句柄为NULL"},
    {ERR_SEARCH_CMD, "生成搜索命令失败"},
    {ERR_NO_DEVICE, "没有发现设备"},
    {ERR_ALREADY_OPEN, "设备已经初始化打开"},
    {ERR_CONTROL_THREAD, "生成控制处理数据线程失败"},
    {ERR_XML_PARSER_NULL, "XML解析句柄为NULL"},
    {ERR_XML_THREAD, "生成XML处理线程失败"},
    {ERR_XML_VERSION, "获取XML版本失败"},
    {ERR_XML_EXTENDED, "获取扩展XML失败"},
    {ERR_DISCONNECTED, "设备连接断开"},
    {ERR_XML_NAMESPACE, "根据命名空间，没有找到对应XML文件"},
    {ERR_PARAM_NAME, "根据参数名称，没有找到对应参数节点"},
    {ERR_SEND, "发送指令失败"},
    {ERR_PARAM_CODE, "根据参数编码，没有找到对应参数节点"},
    {ERR_BUILD_CMD, "生成指令失败"},
    {ERR_NOT_INIT, "未初始化"},
    {ERR_PING, "网络异常，ping不通"},
    {ERR_OTHER, "其他错误"},
    {ERR_DATA_THREAD, "生成数据线程失败"},
    {ERR_BMP, "转换bmp失败"},
    {ERR_UPDATE_OPEN, "打开升级文件错误"},
    {ERR_UPDATE_FILE, "升级文件不正确"},
    {ERR_PCK_MISSING, "根据传入的参数，没有找到所有PCK文件"},
    {ERR_SEND_FILE_INFO, "发送文件信息失败"},
    {ERR_TIMEOUT, "函数执行超时"},
};
static_assert(sizeof kTexts / sizeof kTexts[0] == 29, "29 codes have a text");
}  // namespace

void InitErrorTable() {
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csErrorMsg);
  for (const auto& e : kTexts) g.m_mapErrorMsg.emplace(e.code, e.text);
}

void ClearErrorTable() {
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csErrorMsg);
  g.m_mapErrorMsg.clear();
}

}  // namespace qelm

using namespace qelm;

extern "C" QELM_API int QELM_CALL Qelm_GetErrorMsg(int code, char* text) {
  if (!text) return 0;
  CForGlobal& g = Global();
  pf::Lock lk(g.m_csErrorMsg);
  auto it = g.m_mapErrorMsg.find(code);
  if (it == g.m_mapErrorMsg.end()) return 0;
  memcpy(text, it->second.c_str(), it->second.size() + 1);
  return 1;
}

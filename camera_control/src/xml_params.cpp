// Parameters named by the cached XML descriptions: the namespace text finds
// the description, the code text its parameter node, whose stored item head
// becomes the request item.
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "control.h"
#include "errors.h"
#include "log.h"
#include "platform/net.h"

namespace qelm {

namespace {

// A text field of the caller's record, read only within the field.
std::string FieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

bool SetLengthFits(const StXMLParam& param) {
  return *param.length >= 0 && *param.length <= QELM_XML_VALUE_SIZE;
}

}  // namespace

int BuildNamespaceParamRequest(const StXMLNamespace& rec, const StXMLParam& param,
                               uint32_t sequence, bool set, std::vector<uint8_t>* request) {
  auto node = rec.nodes.find(FieldText(param.code, sizeof param.code));
  if (node == rec.nodes.end() || !node->second) return ERR_PARAM_NAME;
  if (set && !SetLengthFits(param)) return ERR_PARAM;
  const uint32_t n = set ? static_cast<uint32_t>(*param.length) : 0;
  request->assign(kXMLRequestBuffer, 0);
  const size_t length = BuildParamPacket(node->second->itemHead, rec.LayerId, n, request->data(), sequence,
                                         set ? 1 : 0, set ? kClassSet : kClassGet, set ? param.value : nullptr);
  request->resize(length);
  return ERR_SUCCESS;
}

int RequestXMLParam(StXMLParam* param, bool set, uint32_t timeoutMs) {
  if (!param || !param->handle || !param->status || !param->length) return ERR_PARAM;
  // More bytes than the value field holds.
  if (set && !SetLengthFits(*param)) return ERR_PARAM;
  StCameraHandle* h = param->handle;
  HandleUse use(h);
  if (!use) return ERR_NO_DEVICE;
  if (!h->m_bConnected.load()) return ERR_DISCONNECTED;

  const std::string ns = FieldText(param->ns, sizeof param->ns);
  const std::string code = FieldText(param->code, sizeof param->code);
  bool present = false;
  // The record stays alive while it is used here, even if the cache drops it.
  const XMLNamespacePtr rec = FindXMLNamespace(ns, &present);
  WriteLogF("xml命名空间%s   指令编码0X%s", ns.c_str(), code.c_str());
  if (!present) {
    WriteLog("没有找到对应的XML文件");
    return ERR_XML_NAMESPACE;
  }
  if (!rec) {
    WriteLog("XML文件指针为NULL");
    return ERR_XML_NAMESPACE;
  }
  std::vector<uint8_t> request;
  const int built = BuildNamespaceParamRequest(*rec, *param, 0, set, &request);
  if (built != ERR_SUCCESS) return built;

  std::vector<uint8_t> reply;
  const int r = SendRequestAndWait(h, request.data(), request.size(), timeoutMs, &reply);
  if (r == ERR_BUILD_CMD || r == ERR_SEND) {
    if (r == ERR_BUILD_CMD) pf::WSASetLastError(pf::WSAENOTSOCK);
    LogSocketError();
    return ERR_SEND;
  }
  if (r != ERR_SUCCESS) return r;

  const uint32_t key = static_cast<uint32_t>(strtoul(code.c_str(), nullptr, 16));
  ItemWalker walker(reply.data(), reply.size());
  ItemView it;
  while (walker.Next(&it)) {
    if (!SameLow16(it.head.code, key)) continue;
    // The status is handed back for the caller to judge.
    if (it.head.length <= QELM_XML_VALUE_SIZE) memcpy(param->value, it.data, it.head.length);
    *param->status = static_cast<int>(it.head.status);
    *param->length = static_cast<int>(it.head.length);
    return ERR_SUCCESS;
  }
  return ERR_PARAM_CODE;
}

}  // namespace qelm

using namespace qelm;

extern "C" {

QELM_API int QELM_CALL Qelm_GetParams(StXMLParam* param, uint32_t timeoutMs) {
  return RequestXMLParam(param, false, timeoutMs);
}

QELM_API int QELM_CALL Qelm_SetParams(StXMLParam* param, uint32_t timeoutMs) {
  return RequestXMLParam(param, true, timeoutMs);
}

}  // extern "C"

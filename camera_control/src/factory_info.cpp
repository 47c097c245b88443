// The MAC of an open camera, from its enciphered factory block.
#include <cstring>
#include <vector>

#include "control.h"
#include "errors.h"
#include "factory_cipher.h"
#include "frame.h"
#include "log.h"

using namespace qelm;

namespace {
constexpr uint32_t kFactoryCode = 0x20010;
constexpr uint32_t kFactoryReplyLength = 36;  // 32 hexadecimal digits, 4 bytes not read
constexpr uint32_t kFactoryTimeoutMs = 500;   // fixed, whatever the caller's
}  // namespace

extern "C" QELM_API int QELM_CALL Qelm_GetDeviceFactoryInfo(StCameraHandle* handle, StDeviceFactoryInfo* info) {
  if (!handle || !info) return ERR_PARAM;
  const ItemSpec item{kFactoryCode, 13, 0, nullptr};
  std::vector<uint8_t> frame(CommandPacketSize(&item, 1));
  BuildCommandPacket(frame.data(), 2, 0, 0, 2, &item, 1);
  std::vector<uint8_t> reply;
  switch (const int r = SendRequestAndWait(handle, frame.data(), frame.size(), kFactoryTimeoutMs, &reply)) {
    case 0:
      break;
    case ERR_BUILD_CMD:  // the handle has no socket
      return ERR_SOCKET_NULL;
    case ERR_SEND:
      LogSocketError();
      return ERR_SEND;
    default:
      return r;
  }
  ItemWalker walk(reply.data(), reply.size());
  ItemView it;
  while (walk.Next(&it)) {
    if (it.head.status != 0 || (it.head.code & 0xFFFF) != (kFactoryCode & 0xFFFF) ||
        it.head.length != kFactoryReplyLength)
      continue;
    kit::StAesKeySchedule schedule;
    kit::AesSetKey(kit::FactoryKeyBytes(), &schedule);
    kit::FactoryMacFromHex(reinterpret_cast<const char*>(it.data), info->mac, schedule);
    return ERR_SUCCESS;
  }
  return ERR_REPLY_ITEM;
}

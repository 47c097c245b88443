#include "discovery_socket.h"

#include <cstdio>

namespace kit {

std::string SizeDiscoverySocket(pf::SOCKET s, const char* host) {
  int granted = 0;
  if (pf::SizeDiscoveryRecvBuffer(s, &granted)) return std::string();
  // Answers beyond what the buffer holds are dropped while the receiver is
  // busy: the installer must know why devices may be missing.
  char line[256];
  if (host)
    snprintf(line, sizeof line, "启用UDP时，主机 IP %s 的接收缓冲区只有%d字节，少于要求的%d字节，设备同时应答时可能丢失应答",
             host, granted, pf::kDiscoveryRecvBuffer);
  else
    snprintf(line, sizeof line, "启用UDP时，接收缓冲区只有%d字节，少于要求的%d字节，设备同时应答时可能丢失应答", granted,
             pf::kDiscoveryRecvBuffer);
  return line;
}

}  // namespace kit

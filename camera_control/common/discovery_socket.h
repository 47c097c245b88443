// The receive buffer of the libraries' discovery sockets, and the log line
// that tells when the system granted less than it.
#pragma once

#include <string>

#include "platform/net.h"

namespace kit {

// Gives a discovery socket its receive buffer (pf::SizeDiscoveryRecvBuffer).
// Returns the line to log where the system granted less, naming `host` (the
// host address the socket serves) when given; empty when it granted all.
std::string SizeDiscoverySocket(pf::SOCKET s, const char* host = nullptr);

}  // namespace kit

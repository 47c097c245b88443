#include "discovery.h"

#include "context.h"

namespace pyrn {

void CloseAllUdpContexts() {}
void JoinResendThreads() {}

}  // namespace pyrn

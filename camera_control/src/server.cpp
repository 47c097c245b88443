#include "server.h"

namespace qelm {

// Not built yet: without server mode there is no listener to stop.
void StopAllServerListeners() {}

}  // namespace qelm

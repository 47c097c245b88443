// Server mode: listeners at which cameras connect to the library.
#pragma once

namespace qelm {

// Stops and frees every listener and empties the list.
void StopAllServerListeners();

}  // namespace qelm

// Discovery and network settings by UDP broadcast: one socket and receive
// thread per host address, the search, and the repeat of every broadcast.
#pragma once

namespace pyrn {

// Closes every UDP context (its thread joined) and empties the list.
void CloseAllUdpContexts();
// Waits for the broadcast repeats that are still to come.
void JoinResendThreads();

}  // namespace pyrn

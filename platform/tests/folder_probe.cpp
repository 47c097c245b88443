// Prints whether the system counts this process's environment as untrusted
// (1) or not (0), and the per-user folder it takes; the folder tests run it
// set-user-ID and set-group-ID as another user.
#include <sys/auxv.h>
#include <unistd.h>

#include <cstdio>

#include "platform/system.h"

int main() {
  printf("%lu %s\n", getauxval(AT_SECURE), pf::PerUserFolder().c_str());
  fflush(stdout);
  // A set-ID process may neither read its own /proc files nor be traced, as
  // a sanitizer build's leak check at exit would: the probe ends before it.
  _exit(0);
}

// Prints whether the system counts this process's environment as untrusted
// (1) or not (0), and the per-user folder it takes; the folder tests run it
// set-user-ID and set-group-ID as another user.
#include <sys/auxv.h>

#include <cstdio>

#include "platform/system.h"

int main() {
  printf("%lu %s\n", getauxval(AT_SECURE), pf::PerUserFolder().c_str());
  return 0;
}

// The fuzz targets' own checks: a broken one names itself and aborts, which
// libFuzzer reports as a crash (and the corpus replay as a failed test).
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void FuzzCheckFailed(const char* file, int line, const char* what) {
  fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  abort();
}

#define FUZZ_CHECK(c)                                         \
  do {                                                        \
    if (!(c)) FuzzCheckFailed(__FILE__, __LINE__, #c);        \
  } while (0)

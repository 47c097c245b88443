// A fuzz target's own checks: a broken one names its place and aborts, so
// that libFuzzer keeps the input (and the corpus replay fails).
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void FuzzCheckFailed(const char* what, const char* file, int line) {
  fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  abort();
}

#define FUZZ_CHECK(c)                                   \
  do {                                                  \
    if (!(c)) FuzzCheckFailed(#c, __FILE__, __LINE__); \
  } while (0)

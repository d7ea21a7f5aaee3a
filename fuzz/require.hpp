// require.hpp - the fuzz targets' check: a failed one stops the run with its text.
#pragma once

#include <cstdio>

#define require(ok)                                                         \
  do {                                                                      \
    if (!(ok)) {                                                            \
      std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #ok); \
      __builtin_trap();                                                     \
    }                                                                       \
  } while (false)

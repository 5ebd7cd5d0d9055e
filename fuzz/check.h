// A property check for the fuzz targets: a failed one aborts, which libFuzzer
// reports with the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property failed: %s\n", what);
    std::abort();
  }
}

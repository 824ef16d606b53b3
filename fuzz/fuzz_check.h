// What the fuzz targets share: a failed property check names itself on
// standard error and aborts, so that libFuzzer records the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace kestrel::fuzzing {

inline void Require(bool holds, const char* property) {
  if (holds)
    return;
  std::fprintf(stderr, "property violated: %s\n", property);
  std::abort();
}

}  // namespace kestrel::fuzzing

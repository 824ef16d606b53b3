// What the fuzz targets share: a failed property check names itself on
// standard error and aborts, so that libFuzzer records the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kestrel::fuzzing {

inline void Require(bool holds, const char* property) {
  if (holds)
    return;
  std::fprintf(stderr, "property violated: %s\n", property);
  std::abort();
}

// Require(actual == expected), naming both texts when they differ.
inline void RequireEqual(const std::string& actual, const std::string& expected,
                         const char* property) {
  if (actual != expected)
    std::fprintf(stderr, "got \"%s\", expected \"%s\"\n", actual.c_str(), expected.c_str());
  Require(actual == expected, property);
}

}  // namespace kestrel::fuzzing

#include "base/format.h"

#include <cstdarg>
#include <cstdio>

namespace kestrel {

std::string Format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, pattern, measure);
  va_end(measure);
  std::string result;
  if (length > 0) {
    result.resize(static_cast<std::size_t>(length));
    std::vsnprintf(result.data(), result.size() + 1, pattern, args);
  }
  va_end(args);
  return result;
}

}  // namespace kestrel

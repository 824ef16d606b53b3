#include "platform/path.h"

namespace kestrel::platform {

std::size_t FileNameStart(std::string_view path) {
  std::size_t start = path.size();
  while (start > 0 && !IsPathSeparator(path[start - 1]))
    --start;
  return start;
}

}  // namespace kestrel::platform

#include "platform/path.h"

namespace kestrel::platform {

// "\" is an ordinary character of a file name here.
bool IsPathSeparator(char c) {
  return c == '/';
}

// Only "/" and the null byte are not file name characters here, and a
// name's part never holds either.
bool IsOrdinaryName(std::string_view) {
  return true;
}

}  // namespace kestrel::platform

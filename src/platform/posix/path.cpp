#include "platform/path.h"

namespace kestrel::platform {

// "\" is an ordinary character of a file name here.
bool IsPathSeparator(char c) {
  return c == '/';
}

}  // namespace kestrel::platform

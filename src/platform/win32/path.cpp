#include "platform/path.h"

namespace kestrel::platform {

// Windows takes either; its own paths use "\".
bool IsPathSeparator(char c) {
  return c == '/' || c == '\\';
}

}  // namespace kestrel::platform

#include "support/environment.h"

#include <stdlib.h>

namespace kestrel::testing {

void SetProcessVariable(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

void UnsetProcessVariable(const std::string& name) {
  unsetenv(name.c_str());
}

void HideDesktopFromChildren() {
  UnsetProcessVariable("DISPLAY");
  UnsetProcessVariable("WAYLAND_DISPLAY");
}

}  // namespace kestrel::testing

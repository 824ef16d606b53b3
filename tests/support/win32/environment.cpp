#include "support/environment.h"

#include <stdlib.h>

namespace kestrel::testing {

// _putenv_s changes the C runtime's copy, which getenv reads, and the
// process's own, which children inherit.
void SetProcessVariable(const std::string& name, const std::string& value) {
  _putenv_s(name.c_str(), value.c_str());
}

// An empty value removes the variable.
void UnsetProcessVariable(const std::string& name) {
  _putenv_s(name.c_str(), "");
}

// Wine's programs reach their display through DISPLAY, the hidden windows
// that receive WM_CLOSE included; the argument "console" keeps the view off it.
void HideDesktopFromChildren() {}

}  // namespace kestrel::testing

// An environment variable set for the length of a test: the process and the
// children it starts meanwhile see it; the previous state comes back after.
#pragma once

#include <optional>
#include <string>

namespace kestrel::testing {

class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(std::string name, const std::string& value);
  ~ScopedEnvironmentVariable();
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// The system's own calls, one file for each system.
void SetProcessVariable(const std::string& name, const std::string& value);
void UnsetProcessVariable(const std::string& name);
// Keeps the programs started from now on off the desktop, so that they show
// their console view, where the system tells them by the environment.
void HideDesktopFromChildren();

}  // namespace kestrel::testing

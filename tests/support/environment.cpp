#include "support/environment.h"

#include <cstdlib>
#include <utility>

namespace kestrel::testing {

ScopedEnvironmentVariable::ScopedEnvironmentVariable(std::string name, const std::string& value)
    : name_(std::move(name)) {
  if (const char* previous = std::getenv(name_.c_str()))
    previous_ = previous;
  SetProcessVariable(name_, value);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
  if (previous_)
    SetProcessVariable(name_, *previous_);
  else
    UnsetProcessVariable(name_);
}

}  // namespace kestrel::testing

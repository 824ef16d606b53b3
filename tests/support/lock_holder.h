// The build's kestrel-lock-holder (tools/lock-holder) run on one lock, its
// printed lines read as they come; it is ended with the object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/process.h"
#include "support/temp_dir.h"

namespace kestrel::testing {

class LockHolder {
 public:
  LockHolder(const std::string& folder, const std::string& name, const std::string& action,
             int milliseconds);
  ~LockHolder();
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  // The next line it printed, without its line end, waiting up to 20 s;
  // empty when none came.
  std::string ReadLine();
  // Its exit code once it has ended, waiting up to `bound_ms`.
  std::optional<std::uint32_t> Finish(int bound_ms = 20000);

 private:
  TempDir output_;
  platform::ChildProcess process_;
  std::size_t read_ = 0;
};

}  // namespace kestrel::testing

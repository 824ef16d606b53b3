// The parts of child processes common to every system.
#include "platform/process.h"

#include <utility>

namespace kestrel::platform {

ProcessCallError::ProcessCallError(int code, std::string text)
    : std::runtime_error(text), code_(code), text_(std::move(text)) {}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept {
  *this = std::move(other);
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Release();
    pid_ = std::exchange(other.pid_, 0);
    exit_handle_ = std::exchange(other.exit_handle_, -1);
    group_handle_ = std::exchange(other.group_handle_, -1);
    thread_handle_ = std::exchange(other.thread_handle_, -1);
    kill_code_ = std::exchange(other.kill_code_, std::nullopt);
  }
  return *this;
}

}  // namespace kestrel::platform

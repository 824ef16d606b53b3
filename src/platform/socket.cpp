#include "platform/socket.h"

#include <utility>

#include "platform/common.h"
#include "platform/system_error.h"

namespace kestrel::platform {

Socket::Socket(Socket&& other) noexcept {
  *this = std::move(other);
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, -1);
    last_error_ = other.last_error_;
    last_error_text_ = std::move(other.last_error_text_);
    linger_queued_ = other.linger_queued_;
    linger_enabled_ = other.linger_enabled_;
    linger_seconds_ = other.linger_seconds_;
  }
  return *this;
}

void Socket::SetSystemError(int error_number) {
  SetError(SocketCallerCode(error_number), SystemErrorText(error_number));
}

void Socket::SetError(int code, std::string text) {
  last_error_ = code;
  last_error_text_ = std::move(text);
}

void Socket::SetLinger(bool enabled, int seconds) {
  ClearError();
  if (IsOpen()) {
    ApplyLinger(enabled, seconds);
    return;
  }
  linger_queued_ = true;
  linger_enabled_ = enabled;
  linger_seconds_ = seconds;
}

}  // namespace kestrel::platform

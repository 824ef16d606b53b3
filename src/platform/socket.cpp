#include "platform/socket.h"

#include <system_error>
#include <utility>

#include "platform/system_error.h"

namespace kestrel::platform {
namespace {

// The codes that callers test stand for every system error of the same sense.
int CallerCode(int error_number) {
  switch (static_cast<std::errc>(error_number)) {
    case std::errc::timed_out:
      return kSocketTimedOut;
    case std::errc::connection_reset:
    case std::errc::broken_pipe:
      return kSocketPeerClosed;
    case std::errc::resource_unavailable_try_again:
      return kSocketWouldBlock;
    default:
      return error_number;
  }
}

}  // namespace

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
  SetError(CallerCode(error_number), SystemErrorText(error_number));
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

#include "platform/qt/display.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kestrel::platform {
namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr int kX11TcpBasePort = 6000;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0)
      close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A non-blocking connect, so that a server that never answers costs at most
// the time-out.
bool ConnectsWithin(const sockaddr* address, socklen_t length, int timeout_ms) {
  Descriptor socket_fd(socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (socket_fd.get() < 0)
    return false;
  if (connect(socket_fd.get(), address, length) == 0)
    return true;
  if (errno != EINPROGRESS && errno != EAGAIN)
    return false;
  pollfd waiter{socket_fd.get(), POLLOUT, 0};
  if (poll(&waiter, 1, timeout_ms) != 1)
    return false;
  int error = 0;
  socklen_t error_length = sizeof error;
  getsockopt(socket_fd.get(), SOL_SOCKET, SO_ERROR, &error, &error_length);
  return error == 0;
}

// A leading "\0" names a socket in Linux's abstract namespace.
bool UnixSocketAccepts(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path)
    return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() +
                                             (path.front() == '\0' ? 0 : 1));
  return ConnectsWithin(reinterpret_cast<const sockaddr*>(&address), length, kConnectTimeoutMs);
}

bool TcpServerAccepts(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
    return false;
  bool accepted = false;
  for (const addrinfo* entry = found; entry && !accepted; entry = entry->ai_next)
    accepted = ConnectsWithin(entry->ai_addr, entry->ai_addrlen, kConnectTimeoutMs);
  freeaddrinfo(found);
  return accepted;
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// DISPLAY is [host]:number[.screen]; no host (or "unix") means the local
// socket, a host that is a path names the socket itself.
bool X11DisplayUsable(const std::string& display) {
  const std::size_t colon = display.rfind(':');
  if (colon == std::string::npos)
    return false;
  const std::string host = display.substr(0, colon);
  const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
    return false;
  if (host.starts_with('/'))
    return UnixSocketAccepts(display);
  if (host.empty() || host == "unix") {
    const std::string path = "/tmp/.X11-unix/X" + number;
    return UnixSocketAccepts(path) || UnixSocketAccepts(std::string(1, '\0') + path);
  }
  return number.size() < 5 && TcpServerAccepts(host, kX11TcpBasePort + std::stoi(number));
}

bool WaylandDisplayUsable(const std::string& name) {
  if (name.empty())
    return false;
  if (name.starts_with('/'))
    return UnixSocketAccepts(name);
  const std::string runtime_dir = Environment("XDG_RUNTIME_DIR");
  return !runtime_dir.empty() && UnixSocketAccepts(runtime_dir + "/" + name);
}

}  // namespace

DisplayKind UsableDisplay() {
  if (X11DisplayUsable(Environment("DISPLAY")))
    return DisplayKind::kX11;
  if (WaylandDisplayUsable(Environment("WAYLAND_DISPLAY")))
    return DisplayKind::kWayland;
  return DisplayKind::kNone;
}

}  // namespace kestrel::platform

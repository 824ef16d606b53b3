#include "platform/socket.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <system_error>

#include "platform/clock.h"
#include "platform/common.h"
#include "platform/system_error.h"

namespace kestrel::platform {

const int kSocketAddressInUse = EADDRINUSE;
const int kSocketAddressNotAvailable = EADDRNOTAVAIL;
const int kSocketRefused = ECONNREFUSED;
namespace {

struct AddressListDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

int Fd(std::intptr_t handle) {
  return static_cast<int>(handle);
}

}  // namespace

int SocketCallerCode(int error_number) {
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

bool Socket::WaitFor(Readiness readiness, int timeout_ms) {
  const short events = readiness == Readiness::kReadable ? POLLIN : POLLOUT;
  const std::uint64_t start = MonotonicMilliseconds();
  for (;;) {
    pollfd entry{Fd(handle_), events, 0};
    const int ready = poll(&entry, 1, MillisecondsLeft(start, timeout_ms));
    if (ready > 0)
      return true;
    if (ready == 0) {
      SetSystemError(ETIMEDOUT);
      return false;
    }
    if (errno != EINTR) {
      SetSystemError(errno);
      return false;
    }
  }
}

bool Socket::ApplyLinger(bool enabled, int seconds) {
  const linger option{enabled ? 1 : 0, seconds};
  if (setsockopt(Fd(handle_), SOL_SOCKET, SO_LINGER, &option, sizeof option) == 0)
    return true;
  SetSystemError(errno);
  return false;
}

bool Socket::OpenFor(int family) {
  Close();
  handle_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (handle_ >= 0)
    return true;
  SetSystemError(errno);
  return false;
}

void Socket::Bind(const std::string& host, const std::string& port) {
  ClearError();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  const AddressList list(found);
  if (resolved != 0) {
    if (resolved == EAI_SYSTEM)
      SetSystemError(errno);
    else if (resolved == EAI_AGAIN)
      SetError(kHostTryAgain, gai_strerror(resolved));
    else
      SetError(kHostNotFound, "Host not found");
    return;
  }
  const addrinfo* address = PreferredAddress(list.get(), AF_INET);
  if (!OpenFor(address->ai_family))
    return;
  // Rebinding while connections of an earlier run linger in TIME_WAIT must
  // work; a second listener on the port is still refused.
  const int on = 1;
  setsockopt(Fd(handle_), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (linger_queued_ && !ApplyLinger(linger_enabled_, linger_seconds_))
    return;
  if (bind(Fd(handle_), address->ai_addr, address->ai_addrlen) != 0)
    SetSystemError(errno);
}

void Socket::Listen(int backlog) {
  ClearError();
  // The daemon takes every pending connection in one go and only then
  // waits, which saves a wait per connection when they come fast.
  if (listen(Fd(handle_), backlog) != 0 ||
      fcntl(Fd(handle_), F_SETFL, fcntl(Fd(handle_), F_GETFL) | O_NONBLOCK) != 0)
    SetSystemError(errno);
}

std::uint16_t Socket::LocalPort() const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(Fd(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return 0;
  if (address.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return 0;
}

std::string Socket::PeerAddress() const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (getpeername(Fd(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, service,
                  sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return "";
  return std::string(host) + ":" + service;
}

bool Socket::WaitReadable(int timeout_ms) {
  ClearError();
  return WaitFor(Readiness::kReadable, timeout_ms);
}

Socket Socket::AcceptWithin(int timeout_ms) const {
  const auto accept_one = [this] { return accept4(Fd(handle_), nullptr, nullptr, SOCK_CLOEXEC); };
  int fd = accept_one();
  if (fd < 0 && errno == EAGAIN) {
    // Whether the wait ends with a connection, its time or a signal, the
    // second try tells which; another waiter may have taken the connection.
    pollfd entry{Fd(handle_), POLLIN, 0};
    poll(&entry, 1, timeout_ms);
    fd = accept_one();
  }
  if (fd < 0) {
    Socket none;
    none.SetSystemError(errno);
    return none;
  }
  Socket connection(fd);
  // Linux hands the listener's linger on to the connection; a zero linger
  // would make the close after an answer reset the connection and discard
  // the part of the answer still unsent.
  connection.ApplyLinger(false, 0);
  return connection;
}

bool Socket::FinishConnect(int timeout_ms) {
  if (!WaitFor(Readiness::kWritable, timeout_ms))
    return false;
  int error = 0;
  socklen_t length = sizeof error;
  getsockopt(Fd(handle_), SOL_SOCKET, SO_ERROR, &error, &length);
  if (error != 0) {
    SetSystemError(error);
    return false;
  }
  return true;
}

void Socket::Connect(const std::string& host, const std::string& port, int timeout_ms) {
  ClearError();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  const AddressList list(found);
  if (resolved != 0) {
    SetError(resolved == EAI_AGAIN ? kHostTryAgain : kHostNotFound,
             resolved == EAI_AGAIN ? gai_strerror(resolved) : "Host not found");
    return;
  }
  const addrinfo* address = PreferredAddress(list.get(), AF_INET);
  if (!OpenFor(address->ai_family))
    return;
  // Connect without blocking so that the wait is bounded, then go back to
  // blocking mode.
  const int flags = fcntl(Fd(handle_), F_GETFL);
  fcntl(Fd(handle_), F_SETFL, flags | O_NONBLOCK);
  if (connect(Fd(handle_), address->ai_addr, address->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      SetSystemError(errno);
      Close();
      return;
    }
    if (!FinishConnect(timeout_ms)) {
      Close();
      return;
    }
  }
  fcntl(Fd(handle_), F_SETFL, flags);
}

// Called when the socket is readable with no bytes waiting: the peer has
// closed, or the connection failed. Always false.
bool Socket::ReportClosedOrError() {
  char probe;
  const ssize_t got = recv(Fd(handle_), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
    SetSystemError(errno);
  else
    SetSystemError(ECONNRESET);
  return false;
}

// The bytes that a receive would get at once, 0 when none, -1 on failure.
int Socket::BytesWaiting() const {
  int waiting = 0;
  return ioctl(Fd(handle_), FIONREAD, &waiting) == 0 ? waiting : -1;
}

// Reads what BytesWaiting gave; `waiting` 0 or less means closed or failed.
std::string Socket::ReadWaiting(int waiting, std::size_t max_bytes) {
  if (waiting <= 0) {
    ReportClosedOrError();
    return {};
  }
  std::string data(std::min(static_cast<std::size_t>(waiting), max_bytes), '\0');
  const ssize_t got = recv(Fd(handle_), data.data(), data.size(), MSG_DONTWAIT);
  if (got <= 0) {
    ReportClosedOrError();
    return {};
  }
  data.resize(static_cast<std::size_t>(got));
  return data;
}

std::string Socket::Receive(std::size_t max_bytes, int timeout_ms) {
  ClearError();
  if (!WaitFor(Readiness::kReadable, timeout_ms))
    return {};
  return ReadWaiting(BytesWaiting(), max_bytes);
}

std::string Socket::ReceiveWaiting(std::size_t max_bytes) {
  ClearError();
  const int waiting = BytesWaiting();
  return waiting == 0 ? std::string() : ReadWaiting(waiting, max_bytes);
}

// One receive, where a wait, a count and a look at the next byte would be
// three more calls for each connection that closes.
std::size_t Socket::DiscardWaiting() {
  ClearError();
  char discard[4096];
  const ssize_t got = recv(Fd(handle_), discard, sizeof discard, MSG_DONTWAIT);
  if (got > 0)
    return static_cast<std::size_t>(got);
  if (got == 0)
    SetSystemError(ECONNRESET);
  else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
    SetSystemError(errno);
  return 0;
}

void Socket::Send(std::string_view bytes, int stall_timeout_ms) {
  ClearError();
  while (!bytes.empty()) {
    const ssize_t sent = send(Fd(handle_), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!WaitFor(Readiness::kWritable, stall_timeout_ms))
        return;
    } else if (errno != EINTR) {
      SetSystemError(errno);
      return;
    }
  }
}

void Socket::ShutdownSending() {
  ClearError();
  if (shutdown(Fd(handle_), SHUT_WR) != 0)
    SetSystemError(errno);
}

void Socket::ShutdownReceiving() const {
  if (IsOpen())
    shutdown(Fd(handle_), SHUT_RD);
}

void Socket::Disconnect(int drain_timeout_ms, std::size_t drain_bytes) {
  if (!IsOpen())
    return;
  // Closing with unread input would reset the connection, and the reset
  // can destroy answer bytes the peer has not read yet. A peer that keeps
  // sending is reset all the same once the drain's bounds are reached.
  shutdown(Fd(handle_), SHUT_WR);
  const std::uint64_t start = MonotonicMilliseconds();
  std::size_t drained = 0;
  while (drained < drain_bytes) {
    const int remaining = MillisecondsLeft(start, drain_timeout_ms);
    if (remaining == 0)
      break;
    pollfd entry{Fd(handle_), POLLIN, 0};
    const int ready = poll(&entry, 1, remaining);
    if (ready < 0 && errno == EINTR)
      continue;
    const std::size_t got = ready <= 0 ? 0 : DiscardWaiting();
    if (got == 0)
      break;
    drained += got;
  }
  Close();
}

std::vector<std::size_t> ReadableSockets(const std::vector<Socket>& sockets, int timeout_ms) {
  std::vector<pollfd> entries;
  entries.reserve(sockets.size());
  for (const Socket& socket : sockets)
    entries.push_back({Fd(socket.NativeHandle()), POLLIN, 0});
  std::vector<std::size_t> readable;
  // An interrupted wait reports none ready; callers wait again.
  if (poll(entries.data(), entries.size(), timeout_ms) <= 0)
    return readable;
  for (std::size_t index = 0; index < entries.size(); ++index) {
    if (entries[index].revents != 0)
      readable.push_back(index);
  }
  return readable;
}

void Socket::Close() {
  if (handle_ >= 0)
    close(Fd(handle_));
  handle_ = -1;
}

std::uint64_t RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
      limit = raised;
  }
  return limit.rlim_cur;
}

void IgnoreBrokenPipes() {
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace kestrel::platform

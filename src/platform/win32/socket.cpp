#include "platform/socket.h"

// Before windows.h, which would otherwise bring in the old winsock.h.
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <utility>

#include "platform/clock.h"
#include "platform/common.h"
#include "platform/system_error.h"
#include "platform/win32/wide.h"

namespace kestrel::platform {

const int kSocketAddressInUse = WSAEADDRINUSE;
const int kSocketAddressNotAvailable = WSAEADDRNOTAVAIL;
const int kSocketRefused = WSAECONNREFUSED;

// The codes callers test are Winsock's own numbers.
static_assert(kSocketTimedOut == WSAETIMEDOUT);
static_assert(kSocketPeerClosed == WSAECONNRESET);
static_assert(kSocketWouldBlock == WSAEWOULDBLOCK);
static_assert(kHostNotFound == WSAHOST_NOT_FOUND);
static_assert(kHostTryAgain == WSATRY_AGAIN);

namespace {

// Windows never wakes a wait in progress when receiving is shut down from
// another thread, so a receive waits in slices of this length and looks
// between them.
constexpr int kShutdownCheckMilliseconds = 100;
// Windows has no limit of open sockets per process short of its handle table.
constexpr std::uint64_t kHandleTableLimit = 1u << 24;

struct AddressListDeleter {
  void operator()(ADDRINFOW* list) const { FreeAddrInfoW(list); }
};
using AddressList = std::unique_ptr<ADDRINFOW, AddressListDeleter>;

SOCKET SocketOf(std::intptr_t handle) {
  return static_cast<SOCKET>(handle);
}

// 0 once Winsock is started, else why it could not be; started once, on
// first use, and kept until the process ends, since detached connection
// threads may still close their sockets while it exits.
int WinsockStartError() {
  static const int error = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return error;
}

// Resolves `host` and `port` into `list`: 0, or the resolver's error.
int Resolve(const std::string& host, const std::string& port, int flags, AddressList& list) {
  if (const int error = WinsockStartError(); error != 0)
    return error;
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  ADDRINFOW* found = nullptr;
  const int error = GetAddrInfoW(Wide(host).c_str(), Wide(port).c_str(), &hints, &found);
  list.reset(found);
  return error;
}

struct Failure {
  int code;
  std::string text;
};

// What a failed Resolve reports: a name that the resolver could not answer
// for now, the system's own failure, or a name that does not resolve.
Failure ResolveFailure(int error) {
  if (error == WSATRY_AGAIN)
    return {kHostTryAgain, SystemErrorText(error)};
  if (WinsockStartError() != 0 || error == WSA_NOT_ENOUGH_MEMORY)
    return {SocketCallerCode(error), SystemErrorText(error)};
  return {kHostNotFound, "Host not found"};
}

// Puts `socket` into non-blocking mode or out of it; false with the error
// in WSAGetLastError.
bool SetNonBlocking(SOCKET socket, bool non_blocking) {
  u_long mode = non_blocking ? 1 : 0;
  return ioctlsocket(socket, FIONBIO, &mode) == 0;
}

// Non-blocking for the life of the object: Winsock has no per-call flag for it.
class NonBlockingScope {
 public:
  explicit NonBlockingScope(SOCKET socket) : socket_(socket) { SetNonBlocking(socket_, true); }
  ~NonBlockingScope() { SetNonBlocking(socket_, false); }
  NonBlockingScope(const NonBlockingScope&) = delete;
  NonBlockingScope& operator=(const NonBlockingScope&) = delete;

 private:
  SOCKET socket_;
};

// recv's error for a look at the next byte that does not wait: 0 when there
// is a byte or the peer has closed, WSAEWOULDBLOCK when nothing is there.
int PeekError(SOCKET socket) {
  const NonBlockingScope non_blocking(socket);
  char probe;
  return recv(socket, &probe, 1, MSG_PEEK) == SOCKET_ERROR ? WSAGetLastError() : 0;
}

timeval Interval(int milliseconds) {
  return timeval{milliseconds / 1000, (milliseconds % 1000) * 1000};
}

// 0 once `socket` is readable (or writable), WSAETIMEDOUT when `timeout_ms`
// passed first (a negative one never does), else select's error.
int Await(SOCKET socket, bool writable, int timeout_ms) {
  fd_set set{1, {socket}};
  timeval interval = Interval(timeout_ms);
  const int ready = select(0, writable ? nullptr : &set, writable ? &set : nullptr, nullptr,
                           timeout_ms < 0 ? nullptr : &interval);
  if (ready == SOCKET_ERROR)
    return WSAGetLastError();
  return ready > 0 ? 0 : WSAETIMEDOUT;
}

// Await for a receive: also ends, with 0, once receiving has been shut
// down.
int AwaitInput(SOCKET socket, int timeout_ms) {
  const std::uint64_t start = MonotonicMilliseconds();
  for (;;) {
    const int left = MillisecondsLeft(start, timeout_ms);
    const bool last_slice = left >= 0 && left <= kShutdownCheckMilliseconds;
    const int error = Await(socket, false, last_slice ? left : kShutdownCheckMilliseconds);
    if (error != WSAETIMEDOUT)
      return error;
    if (PeekError(socket) == WSAESHUTDOWN)
      return 0;
    if (last_slice)
      return WSAETIMEDOUT;
  }
}

// 0 once a connect begun without blocking has succeeded, else its error or
// WSAETIMEDOUT. A failed connect shows in the exception set, not as writable.
int AwaitConnected(SOCKET socket, int timeout_ms) {
  fd_set writable{1, {socket}};
  fd_set failed{1, {socket}};
  timeval interval = Interval(timeout_ms);
  const int ready = select(0, nullptr, &writable, &failed, timeout_ms < 0 ? nullptr : &interval);
  if (ready == SOCKET_ERROR)
    return WSAGetLastError();
  if (ready == 0)
    return WSAETIMEDOUT;
  int error = 0;
  int length = sizeof error;
  getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
  return error;
}

bool MakeUninheritable(SOCKET socket) {
  return SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0) != 0;
}

}  // namespace

// An aborted connection is closed for the caller as a reset one is; so is
// a receive after ShutdownReceiving or a send after ShutdownSending, as on
// other systems.
int SocketCallerCode(int error_number) {
  switch (error_number) {
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
      return kSocketPeerClosed;
    default:
      return error_number;
  }
}

bool Socket::WaitFor(Readiness readiness, int timeout_ms) {
  const int error = Await(SocketOf(handle_), readiness == Readiness::kWritable, timeout_ms);
  if (error != 0)
    SetSystemError(error);
  return error == 0;
}

bool Socket::ApplyLinger(bool enabled, int seconds) {
  const linger option{static_cast<u_short>(enabled ? 1 : 0),
                      static_cast<u_short>(std::clamp(seconds, 0, USHRT_MAX))};
  if (setsockopt(SocketOf(handle_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
                 sizeof option) == 0)
    return true;
  SetSystemError(WSAGetLastError());
  return false;
}

bool Socket::OpenFor(int family) {
  Close();
  SOCKET socket = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                             WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  // Windows 7 before its first service pack does not know the flag.
  if (socket == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    socket = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (socket != INVALID_SOCKET && !MakeUninheritable(socket)) {
      SetSystemError(static_cast<int>(GetLastError()));
      closesocket(socket);
      return false;
    }
  }
  if (socket == INVALID_SOCKET) {
    SetSystemError(WSAGetLastError());
    return false;
  }
  handle_ = static_cast<std::intptr_t>(socket);
  return true;
}

void Socket::Bind(const std::string& host, const std::string& port) {
  ClearError();
  AddressList list;
  if (const int error = Resolve(host, port, AI_PASSIVE, list); error != 0) {
    const Failure failure = ResolveFailure(error);
    SetError(failure.code, failure.text);
    return;
  }
  const ADDRINFOW* address = PreferredAddress(list.get(), AF_INET);
  if (!OpenFor(address->ai_family))
    return;
  // Without it another program could bind the same port with SO_REUSEADDR
  // and take connections meant for this one.
  const BOOL exclusive = TRUE;
  if (setsockopt(SocketOf(handle_), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&exclusive), sizeof exclusive) != 0) {
    SetSystemError(WSAGetLastError());
    return;
  }
  if (linger_queued_ && !ApplyLinger(linger_enabled_, linger_seconds_))
    return;
  if (bind(SocketOf(handle_), address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0)
    SetSystemError(WSAGetLastError());
}

void Socket::Listen(int backlog) {
  ClearError();
  // The daemon takes every pending connection in one go and only then
  // waits, which saves a wait per connection when they come fast.
  if (listen(SocketOf(handle_), backlog) != 0 || !SetNonBlocking(SocketOf(handle_), true))
    SetSystemError(WSAGetLastError());
}

std::uint16_t Socket::LocalPort() const {
  sockaddr_storage address{};
  int length = sizeof address;
  if (getsockname(SocketOf(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return 0;
  if (address.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return 0;
}

std::string Socket::PeerAddress() const {
  sockaddr_storage address{};
  int length = sizeof address;
  wchar_t host[NI_MAXHOST];
  wchar_t service[NI_MAXSERV];
  if (getpeername(SocketOf(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      GetNameInfoW(reinterpret_cast<const sockaddr*>(&address), length, host, NI_MAXHOST, service,
                   NI_MAXSERV, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return "";
  return Narrow(host) + ":" + Narrow(service);
}

bool Socket::WaitReadable(int timeout_ms) {
  ClearError();
  return WaitFor(Readiness::kReadable, timeout_ms);
}

Socket Socket::AcceptWithin(int timeout_ms) const {
  const auto accept_one = [this] { return accept(SocketOf(handle_), nullptr, nullptr); };
  SOCKET accepted = accept_one();
  if (accepted == INVALID_SOCKET && WSAGetLastError() == WSAEWOULDBLOCK) {
    // Another waiter may take the connection first; the second try tells.
    WSAPOLLFD entry{SocketOf(handle_), POLLRDNORM, 0};
    WSAPoll(&entry, 1, timeout_ms);
    accepted = accept_one();
  }
  if (accepted == INVALID_SOCKET) {
    Socket none;
    none.SetSystemError(WSAGetLastError());
    return none;
  }
  // The connection takes the listener's options: it is made blocking again
  // and uninheritable, and its linger is cleared, since a zero linger would
  // make the close after an answer reset the connection and discard the
  // part of the answer still unsent.
  Socket connection(static_cast<std::intptr_t>(accepted));
  MakeUninheritable(accepted);
  SetNonBlocking(accepted, false);
  connection.ApplyLinger(false, 0);
  return connection;
}

bool Socket::FinishConnect(int timeout_ms) {
  const int error = AwaitConnected(SocketOf(handle_), timeout_ms);
  if (error != 0)
    SetSystemError(error);
  return error == 0;
}

void Socket::Connect(const std::string& host, const std::string& port, int timeout_ms) {
  ClearError();
  AddressList list;
  if (const int error = Resolve(host, port, 0, list); error != 0) {
    const Failure failure = ResolveFailure(error);
    SetError(failure.code, failure.text);
    return;
  }
  const ADDRINFOW* address = PreferredAddress(list.get(), AF_INET);
  if (!OpenFor(address->ai_family))
    return;
  // Connect without blocking so that the wait is bounded; the scope puts
  // the socket back into blocking mode.
  bool connected = false;
  {
    const NonBlockingScope non_blocking(SocketOf(handle_));
    if (connect(SocketOf(handle_), address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0)
      connected = true;
    else if (const int error = WSAGetLastError(); error != WSAEWOULDBLOCK)
      SetSystemError(error);
    else
      connected = FinishConnect(timeout_ms);
  }
  if (!connected)
    Close();
}

// Called when the socket is readable with no bytes waiting: the peer has
// closed, or the connection failed. Always false.
bool Socket::ReportClosedOrError() {
  const int error = PeekError(SocketOf(handle_));
  SetSystemError(error != 0 && error != WSAEWOULDBLOCK ? error : WSAECONNRESET);
  return false;
}

// The bytes that a receive would get at once, 0 when none, -1 on failure.
int Socket::BytesWaiting() const {
  u_long waiting = 0;
  if (ioctlsocket(SocketOf(handle_), FIONREAD, &waiting) != 0)
    return -1;
  return static_cast<int>(std::min<u_long>(waiting, INT_MAX));
}

// Reads what BytesWaiting gave; `waiting` 0 or less means closed or failed.
// Only this thread receives, so a receive of bytes already waiting does not
// block.
std::string Socket::ReadWaiting(int waiting, std::size_t max_bytes) {
  if (waiting <= 0) {
    ReportClosedOrError();
    return {};
  }
  std::string data(std::min(static_cast<std::size_t>(waiting), max_bytes), '\0');
  const int got = recv(SocketOf(handle_), data.data(), static_cast<int>(data.size()), 0);
  if (got <= 0) {
    ReportClosedOrError();
    return {};
  }
  data.resize(static_cast<std::size_t>(got));
  return data;
}

std::string Socket::Receive(std::size_t max_bytes, int timeout_ms) {
  ClearError();
  if (const int error = AwaitInput(SocketOf(handle_), timeout_ms); error != 0) {
    SetSystemError(error);
    return {};
  }
  return ReadWaiting(BytesWaiting(), max_bytes);
}

std::string Socket::ReceiveWaiting(std::size_t max_bytes) {
  ClearError();
  const int waiting = BytesWaiting();
  return waiting == 0 ? std::string() : ReadWaiting(waiting, max_bytes);
}

std::size_t Socket::DiscardWaiting() {
  ClearError();
  char discard[4096];
  const NonBlockingScope non_blocking(SocketOf(handle_));
  const int got = recv(SocketOf(handle_), discard, sizeof discard, 0);
  if (got > 0)
    return static_cast<std::size_t>(got);
  if (got == 0)
    SetSystemError(WSAECONNRESET);
  else if (const int error = WSAGetLastError(); error != WSAEWOULDBLOCK)
    SetSystemError(error);
  return 0;
}

void Socket::Send(std::string_view bytes, int stall_timeout_ms) {
  ClearError();
  const NonBlockingScope non_blocking(SocketOf(handle_));
  while (!bytes.empty()) {
    const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
    const int sent = send(SocketOf(handle_), bytes.data(), chunk, 0);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    } else if (const int error = WSAGetLastError(); error != WSAEWOULDBLOCK) {
      SetSystemError(error);
      return;
    } else if (!WaitFor(Readiness::kWritable, stall_timeout_ms)) {
      return;
    }
  }
}

void Socket::ShutdownSending() {
  ClearError();
  if (shutdown(SocketOf(handle_), SD_SEND) != 0)
    SetSystemError(WSAGetLastError());
}

void Socket::ShutdownReceiving() const {
  if (IsOpen())
    shutdown(SocketOf(handle_), SD_RECEIVE);
}

void Socket::Disconnect(int drain_timeout_ms, std::size_t drain_bytes) {
  if (!IsOpen())
    return;
  // Closing with unread input would reset the connection, and the reset
  // can destroy answer bytes the peer has not read yet. A peer that keeps
  // sending is reset all the same once the drain's bounds are reached.
  shutdown(SocketOf(handle_), SD_SEND);
  const std::uint64_t start = MonotonicMilliseconds();
  std::size_t drained = 0;
  while (drained < drain_bytes) {
    const int remaining = MillisecondsLeft(start, drain_timeout_ms);
    if (remaining == 0 || AwaitInput(SocketOf(handle_), remaining) != 0)
      break;
    const std::size_t got = DiscardWaiting();
    if (got == 0)
      break;
    drained += got;
  }
  Close();
}

std::vector<std::size_t> ReadableSockets(const std::vector<Socket>& sockets, int timeout_ms) {
  std::vector<WSAPOLLFD> entries;
  entries.reserve(sockets.size());
  for (const Socket& socket : sockets)
    entries.push_back({SocketOf(socket.NativeHandle()), POLLRDNORM, 0});
  std::vector<std::size_t> readable;
  if (WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), timeout_ms) <= 0)
    return readable;
  for (std::size_t index = 0; index < entries.size(); ++index) {
    if (entries[index].revents != 0)
      readable.push_back(index);
  }
  return readable;
}

void Socket::Close() {
  if (handle_ >= 0)
    closesocket(SocketOf(handle_));
  handle_ = -1;
}

std::uint64_t RaiseOpenFileLimit() {
  return kHandleTableLimit;
}

// Windows raises no signal for a write to a closed connection or pipe: the
// write fails with an error (WSAECONNRESET, ERROR_NO_DATA), so there is
// nothing to ignore.
void IgnoreBrokenPipes() {}

}  // namespace kestrel::platform

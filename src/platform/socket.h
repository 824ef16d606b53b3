// TCP sockets in blocking mode with timed waits, for the server and its
// clients. No operation throws: each one leaves a last error code and its
// English text on the socket object, and callers test the code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::platform {

// The codes that callers test. Every other non-zero code is the system's
// error number with the system's English text ("Address already in use").
inline constexpr int kSocketTimedOut = 10060;    // a wait ran out
inline constexpr int kSocketPeerClosed = 10054;  // the peer closed or reset the connection
inline constexpr int kSocketWouldBlock = 10035;  // no connection is pending
inline constexpr int kHostNotFound = 11001;      // the name does not resolve
inline constexpr int kHostTryAgain = 11002;      // the resolver could not answer now
// The system's own numbers for three refusals that are reported as they are.
extern const int kSocketAddressInUse;         // the port is taken
extern const int kSocketAddressNotAvailable;  // the address is not this machine's
extern const int kSocketRefused;              // nothing listens at the address

// One TCP socket, owned: move-only, closed by the destructor. Sockets are
// close-on-exec, so child processes never inherit a connection.
class Socket {
 public:
  Socket() = default;
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool IsOpen() const { return handle_ >= 0; }
  // The system's handle, or -1; for diagnostics only.
  std::intptr_t NativeHandle() const { return handle_; }
  // 0 after a successful operation.
  int LastError() const { return last_error_; }
  const std::string& LastErrorText() const { return last_error_text_; }
  void ClearError() {
    last_error_ = 0;
    last_error_text_.clear();
  }

  // Listening role. A linger request made before the socket exists is held
  // and applied by Bind, after the socket is made and before it is bound.
  void SetLinger(bool enabled, int seconds);
  // Resolves `host` ("0.0.0.0": every interface; a name: IPv4 preferred) and
  // the decimal `port`, makes a socket of that family and binds it.
  void Bind(const std::string& host, const std::string& port);
  // Listens without blocking: Accept never waits, WaitReadable does.
  void Listen(int backlog);
  // The bound local port, or 0.
  std::uint16_t LocalPort() const;
  // The connected peer as numeric "address:port", or "" when unknown.
  std::string PeerAddress() const;
  // True when a connection or data is pending; false with kSocketTimedOut
  // when `timeout_ms` passed first, or with the system's error.
  bool WaitReadable(int timeout_ms);
  // The next connection, waiting up to `timeout_ms` for one, or an empty
  // socket carrying the error (kSocketWouldBlock when none came). It leaves
  // this socket as it is, so several threads may wait on one listener at
  // once; each connection goes to one of them. The connection closes
  // gracefully whatever linger this listening socket has, so an answer
  // handed to it reaches the peer whole.
  Socket AcceptWithin(int timeout_ms) const;

  // Connected role.
  void Connect(const std::string& host, const std::string& port, int timeout_ms);
  // Up to `max_bytes` that are waiting or arrive within `timeout_ms`. Empty
  // with kSocketTimedOut when nothing came, kSocketPeerClosed when the peer
  // has closed, or the system's error.
  std::string Receive(std::size_t max_bytes, int timeout_ms);
  // Up to `max_bytes` of what is waiting now, without a wait: empty, with
  // no error, when nothing is.
  std::string ReceiveWaiting(std::size_t max_bytes);
  // Throws away up to a few KiB of what is waiting now, without a wait, and
  // says how many bytes: 0 when nothing is, with kSocketPeerClosed when the
  // peer has closed, or with the system's error.
  std::size_t DiscardWaiting();
  // Sends every byte; stops with kSocketTimedOut when the peer takes nothing
  // for `stall_timeout_ms`, or with the error of the failing send.
  void Send(std::string_view bytes, int stall_timeout_ms);
  // Sends the end of the stream; the peer's receives then report it closed.
  void ShutdownSending();
  // Wakes a receive that waits on this socket, which then reports the peer
  // closed. Safe from another thread while the socket stays open; leaves
  // the last error alone.
  void ShutdownReceiving() const;
  // Closes so that everything sent reaches the peer: ends the sending side,
  // discards what the peer still sends until it closes, `drain_timeout_ms`
  // has passed or `drain_bytes` have been discarded, then closes.
  void Disconnect(int drain_timeout_ms, std::size_t drain_bytes);
  void Close();

 private:
  enum class Readiness { kReadable, kWritable };

  explicit Socket(std::intptr_t handle) : handle_(handle) {}
  void SetSystemError(int error_number);
  void SetError(int code, std::string text);
  // Waits until the socket is ready; false with the error set when the wait
  // ran out or failed.
  bool WaitFor(Readiness readiness, int timeout_ms);
  bool ApplyLinger(bool enabled, int seconds);
  bool ReportClosedOrError();
  int BytesWaiting() const;
  std::string ReadWaiting(int waiting, std::size_t max_bytes);
  bool OpenFor(int family);
  bool FinishConnect(int timeout_ms);

  std::intptr_t handle_ = -1;
  int last_error_ = 0;
  std::string last_error_text_;
  bool linger_queued_ = false;
  bool linger_enabled_ = false;
  int linger_seconds_ = 0;
};

// The indexes of those of `sockets` that have input, a peer's close or an
// error waiting, after at most `timeout_ms` of waiting for the first; empty
// when none came in time. Closed sockets in the list are passed over.
std::vector<std::size_t> ReadableSockets(const std::vector<Socket>& sockets, int timeout_ms);

// Raises this process's soft limit of open descriptors to its hard limit, so
// that the server can hold as many connections as it has threads for.
// Returns the soft limit in effect afterwards.
std::uint64_t RaiseOpenFileLimit();

// Makes a write to a closed pipe or connection fail with an error instead
// of ending the process: a log on a pipe that its reader closed must not
// take the server down.
void IgnoreBrokenPipes();

}  // namespace kestrel::platform

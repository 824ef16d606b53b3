// Helpers for end-to-end tests of the server over loopback TCP: a free
// port, a client that sends a request and reads the answer until the
// server closes, a thread-safe log collector and a bounded wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/socket.h"

namespace kestrel::testing {

// A loopback port that nothing listens on at the moment of the call.
std::uint16_t FreePort();

// A connected client socket, or an empty one with the failure in LastError.
platform::Socket ConnectLoopback(std::uint16_t port);

// Everything the peer sends until it closes, or until `bound_ms` passed;
// `closed` tells which.
std::string ReceiveUntilClosed(platform::Socket& socket, int bound_ms, bool* closed = nullptr);

// Connects, sends `request` and returns the answer read until the server
// closes the connection.
std::string Exchange(std::uint16_t port, const std::string& request, int bound_ms = 10000);

// A POST with the binary content type and `body`, as the sending servers
// post their requests.
std::string HttpPost(const std::string& body);
// The body of an HTTP answer, or "<no answer>" without a header end.
std::string HttpBody(const std::string& answer);

// True when `condition` held within `bound_ms`.
bool WaitUntil(const std::function<bool()>& condition, int bound_ms);

// Log lines from any thread, in the order of the calls.
class LogCapture {
 public:
  void Add(const std::string& line);
  std::vector<std::string> Lines() const;
  bool Contains(const std::string& line) const;
  bool WaitFor(const std::string& line, int bound_ms) const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace kestrel::testing

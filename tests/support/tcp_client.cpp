#include "support/tcp_client.h"

#include <algorithm>
#include <thread>

#include "platform/clock.h"

namespace kestrel::testing {

std::uint16_t FreePort() {
  platform::Socket probe;
  probe.Bind("127.0.0.1", "0");
  return probe.LocalPort();
}

platform::Socket ConnectLoopback(std::uint16_t port) {
  platform::Socket client;
  client.Connect("127.0.0.1", std::to_string(port), 5000);
  return client;
}

std::string ReceiveUntilClosed(platform::Socket& socket, int bound_ms, bool* closed) {
  const std::uint64_t start = platform::MonotonicMilliseconds();
  std::string all;
  bool peer_closed = false;
  while (!peer_closed && platform::MonotonicMilliseconds() - start < std::uint64_t(bound_ms)) {
    all += socket.Receive(65536, 50);
    peer_closed = socket.LastError() != 0 && socket.LastError() != platform::kSocketTimedOut;
  }
  if (closed != nullptr)
    *closed = peer_closed;
  return all;
}

std::string Exchange(std::uint16_t port, const std::string& request, int bound_ms) {
  platform::Socket client = ConnectLoopback(port);
  if (!client.IsOpen())
    return "connect failed: " + client.LastErrorText();
  client.Send(request, bound_ms);
  return ReceiveUntilClosed(client, bound_ms);
}

bool WaitUntil(const std::function<bool()>& condition, int bound_ms) {
  const std::uint64_t start = platform::MonotonicMilliseconds();
  while (!condition()) {
    if (platform::MonotonicMilliseconds() - start > std::uint64_t(bound_ms))
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void LogCapture::Add(const std::string& line) {
  const std::lock_guard lock(mutex_);
  lines_.push_back(line);
}

std::vector<std::string> LogCapture::Lines() const {
  const std::lock_guard lock(mutex_);
  return lines_;
}

bool LogCapture::Contains(const std::string& line) const {
  const std::lock_guard lock(mutex_);
  return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

bool LogCapture::WaitFor(const std::string& line, int bound_ms) const {
  return WaitUntil([&] { return Contains(line); }, bound_ms);
}

void LogCapture::Clear() {
  const std::lock_guard lock(mutex_);
  lines_.clear();
}

std::string HttpPost(const std::string& body) {
  return "POST / HTTP/1.1\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string HttpBody(const std::string& answer) {
  const std::size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "<no answer>" : answer.substr(end + 4);
}

}  // namespace kestrel::testing

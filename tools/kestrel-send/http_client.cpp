#include "http_client.h"

#include <charconv>

#include "base/ascii.h"
#include "base/exception.h"
#include "platform/socket.h"

namespace kestrel::tools {
namespace {

constexpr std::size_t kReceiveChunk = 65536;
// Every answer of the protocol is small; a server that sends more is not
// one to keep in memory.
constexpr std::size_t kLargestAnswer = 64 * 1024 * 1024;
constexpr std::size_t kLargestAnswerHeader = 65536;

[[noreturn]] void RaiseAnswerTooLarge() {
  throw Exception("Answer larger than " + std::to_string(kLargestAnswer) + " bytes: not read");
}

int ParsePort(std::string_view text) {
  int port = 0;
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), port);
  if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size() || port < 1 ||
      port > 65535)
    throw Exception("Invalid server port: " + std::string(text));
  return port;
}

std::string RequestBytes(const ServerAddress& server, std::string_view body) {
  return "POST / HTTP/1.1\r\nHost: " + server.host + ":" + server.port +
         "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + std::string(body);
}

// The Content-Length of a complete header, or -1 when it has none.
long long ContentLength(std::string_view header) {
  const std::string lower = LowerAscii(header);
  const std::size_t at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos)
    return -1;
  std::size_t pos = at + 17;
  while (pos < lower.size() && lower[pos] == ' ')
    ++pos;
  long long length = 0;
  const auto parsed = std::from_chars(lower.data() + pos, lower.data() + lower.size(), length);
  if (parsed.ec != std::errc() || length < 0)
    throw Exception("Malformed answer: bad Content-Length");
  return length;
}

// The body once `response` holds the whole answer; false while more must come.
bool TakeBody(const std::string& response, bool peer_closed, std::string& body) {
  const std::size_t header_end = response.find("\r\n\r\n");
  if (header_end == std::string::npos && response.size() > kLargestAnswerHeader)
    throw Exception("Malformed answer: no end of header");
  if (header_end == std::string::npos)
    return false;
  const std::string_view header(response.data(), header_end);
  if (header.substr(0, 9) != "HTTP/1.1 " && header.substr(0, 9) != "HTTP/1.0 ")
    throw Exception("Malformed answer: not HTTP");
  if (header.substr(9, 3) != "200")
    throw Exception("Server answered " + std::string(header.substr(0, header.find("\r\n"))));
  const long long length = ContentLength(header);
  if (length > static_cast<long long>(kLargestAnswer))
    RaiseAnswerTooLarge();
  const std::size_t available = response.size() - header_end - 4;
  if (length < 0 ? !peer_closed : available < static_cast<unsigned long long>(length))
    return false;
  body = response.substr(header_end + 4, length < 0 ? available : length);
  return true;
}

}  // namespace

ServerAddress ParseServerAddress(std::string_view text) {
  ServerAddress address;
  const std::size_t colon = text.rfind(':');
  const std::string_view host = text.substr(0, colon);
  if (colon != std::string_view::npos) {
    ParsePort(text.substr(colon + 1));
    address.port = std::string(text.substr(colon + 1));
  }
  if (!host.empty())
    address.host = std::string(host);
  else if (colon == std::string_view::npos)
    throw Exception("Invalid server address: empty");
  return address;
}

std::string PostRequest(const ServerAddress& server, std::string_view body, int timeout_ms) {
  platform::Socket socket;
  socket.Connect(server.host, server.port, timeout_ms);
  if (socket.LastError() != 0)
    throw Exception("Cannot connect to " + server.host + ":" + server.port + ": " +
                    socket.LastErrorText());
  socket.Send(RequestBytes(server, body), timeout_ms);
  if (socket.LastError() != 0)
    throw Exception("Cannot send the request: " + socket.LastErrorText());
  std::string response;
  std::string answer;
  while (true) {
    const std::string chunk = socket.Receive(kReceiveChunk, timeout_ms);
    const bool closed = socket.LastError() == platform::kSocketPeerClosed;
    response += chunk;
    if (TakeBody(response, closed, answer))
      return answer;
    if (response.size() > kLargestAnswer + kReceiveChunk)
      RaiseAnswerTooLarge();
    if (closed)
      throw Exception(response.empty() ? "Server closed the connection without an answer"
                                       : "Server closed the connection before the whole answer");
    if (socket.LastError() != 0)
      throw Exception("No answer: " + socket.LastErrorText());
  }
}

}  // namespace kestrel::tools

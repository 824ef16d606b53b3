// One request of the Kestrel wire protocol: an HTTP/1.1 POST whose body is
// the request document, answered by one HTTP 200 whose body is the answer.
#pragma once

#include <string>
#include <string_view>

namespace kestrel::tools {

struct ServerAddress {
  std::string host = "127.0.0.1";
  std::string port = "8080";
};

// "host:port", "host" or ":port"; the missing part keeps its default.
// Raises Exception for an empty host or a port that is not 1-65535.
ServerAddress ParseServerAddress(std::string_view text);

// Posts `body` as application/octet-stream and returns the answer's body.
// `timeout_ms` bounds the connect and every wait for answer bytes. Raises
// Exception when the server cannot be reached, closes without a whole
// answer, answers with something other than HTTP 200, or announces or
// sends an answer of more than 64 MiB.
std::string PostRequest(const ServerAddress& server, std::string_view body, int timeout_ms);

}  // namespace kestrel::tools

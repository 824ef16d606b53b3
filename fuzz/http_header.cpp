// Feeds one input to the request-header parses as the bytes received so far
// on a connection, under the default limit and under the connection's own
// (the largest 32-bit length), and checks what the connection relies on: an
// accepted length within the limit, a body that lies inside the buffer when
// it is declared ready, upper-cased fields, and the gathering rule agreeing
// with the parse. A header of plain lines is also read here the simple way,
// and its method, content type and decimal length must come out the same.
// The same bytes are also parsed as header lines, and are wrapped as an
// answer body, whose header lines must parse back to them. What follows the
// header is decoded as a chunked body, which must come out the same
// whether it arrives at once, split in two or byte by byte, stay within its
// limit, and re-encoded as one chunk decode back to itself.
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "server/chunked_body.h"
#include "server/http_header.h"

namespace kestrel {
namespace {

using fuzzing::Require;
using fuzzing::RequireEqual;

constexpr std::int32_t kDefaultMaxReadLen = 262144;
constexpr std::int32_t kConnectionMaxReadLen = std::numeric_limits<std::int32_t>::max();
constexpr std::string_view kHeaderEnd = "\r\n\r\n";

bool IsUpperCased(std::string_view text) {
  for (const char c : text) {
    if ((c >= 'a' && c <= 'z') || c == '\r' || c == '\n')
      return false;
  }
  return true;
}

bool IsEmptyRecord(const THTTPHeader& header) {
  return header.HeaderError && header.Method.empty() && header.Params.empty() &&
         header.HTTPver.empty() && header.ContentType.empty() && header.ContentLength == 0 &&
         header.DataStart == 0 && !header.BinaryData && !header.DataIsReady;
}

void CheckTextFields(const THTTPHeader& header) {
  Require(IsUpperCased(header.Method) && IsUpperCased(header.Params) &&
              IsUpperCased(header.HTTPver) && IsUpperCased(header.ContentType),
          "text fields are upper-cased single lines");
  Require(header.BinaryData == (header.ContentType == "APPLICATION/OCTET-STREAM"),
          "BinaryData means exactly the octet-stream content type");
}

void CheckBufferParse(const std::string& buf, std::int32_t max_read_len) {
  const THTTPHeader header = ParseHTTPHeader(buf, max_read_len);
  CheckTextFields(header);
  const std::size_t end = buf.find(kHeaderEnd);
  if (end == std::string::npos) {
    Require(IsEmptyRecord(header), "an incomplete header gives the empty record");
    return;
  }
  if (header.HeaderError) {
    Require(!header.DataIsReady, "a refused header has no body ready");
    return;
  }
  Require(header.ContentLength >= 0 && header.ContentLength <= max_read_len,
          "an accepted Content-Length lies within the limit");
  if (!header.BinaryData) {
    Require(!header.DataIsReady, "only a binary body is ever ready");
    return;
  }
  const std::size_t header_length = end + kHeaderEnd.size();
  Require(static_cast<std::size_t>(header.DataStart) == header_length + 1,
          "the body starts right after the empty line");
  const std::size_t body_end = header_length + static_cast<std::size_t>(header.ContentLength);
  Require(header.DataIsReady == (body_end <= buf.size()),
          "the body is ready exactly when all of it is in the buffer");
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The lines of `text` split at CR LF; false when it holds another line break
// or a byte that a header may not hold, which the simple reading leaves alone.
bool PlainLines(std::string_view text, std::vector<std::string>& lines) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      start = ++i + 1;
    } else if (byte < 32 || byte > 127) {
      return false;
    }
  }
  lines.emplace_back(text.substr(start));
  return true;
}

// The request line of a simple header: POST or GET, a blank, and a last
// token "HTTP/1." with one more character.
bool IsSimpleRequestLine(const std::string& upper) {
  return (upper.starts_with("POST ") || upper.starts_with("GET ")) && upper.size() >= 12 &&
         upper.compare(upper.size() - 9, 8, " HTTP/1.") == 0 && upper.back() != ' ';
}

// The upper-cased values of the lines that begin with `prefix`.
std::vector<std::string> ValuesOf(const std::vector<std::string>& lines, std::string_view prefix) {
  std::vector<std::string> values;
  for (const std::string& line : lines) {
    const std::string upper = Upper(line);
    if (upper.starts_with(prefix))
      values.push_back(upper.substr(prefix.size()));
  }
  return values;
}

bool IsShortDecimal(const std::string& text) {
  return !text.empty() && text.size() <= 9 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

void CheckSimpleHeader(const std::string& buf) {
  const std::size_t end = buf.find(kHeaderEnd);
  std::vector<std::string> lines;
  if (end == std::string::npos || !PlainLines(std::string_view(buf).substr(0, end), lines))
    return;
  const std::string request_line = Upper(lines[0]);
  if (!IsSimpleRequestLine(request_line))
    return;
  const THTTPHeader header = ParseHTTPHeader(buf, kConnectionMaxReadLen);
  RequireEqual(header.Method, request_line.starts_with("POST") ? "POST" : "GET",
               "the method is the request line's first token");
  const std::vector<std::string> types = ValuesOf(lines, "CONTENT-TYPE: ");
  if (types.size() <= 1) {
    RequireEqual(header.ContentType, types.empty() ? "" : types[0],
                 "the one Content-Type line gives the content type");
  }
  const std::vector<std::string> lengths = ValuesOf(lines, "CONTENT-LENGTH: ");
  if (lengths.empty())
    Require(header.ContentLength == 0, "without a Content-Length line the length is 0");
  if (lengths.size() == 1 && IsShortDecimal(lengths[0])) {
    Require(header.ContentLength == std::stoi(lengths[0]) && !header.HeaderError,
            "the one decimal Content-Length line gives the length");
  }
}

// The server keeps gathering only what may still become a header, which
// the parse then cannot have accepted yet.
void CheckGathering(const std::string& buf) {
  if (!HeaderMayStillArrive(buf))
    return;
  Require(buf.find(kHeaderEnd) == std::string::npos, "a gathered header is not complete yet");
  Require(ParseHTTPHeader(buf, kConnectionMaxReadLen).HeaderError,
          "a header still arriving is not accepted");
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (const char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else if (c != '\r') {
      line += c;
    }
  }
  lines.push_back(line);
  return lines;
}

void CheckLineParse(const std::string& text) {
  const std::vector<std::string> lines = SplitLines(text);
  const THTTPHeader header = ParseHTTPHeader(lines);
  CheckTextFields(header);
  Require(!header.DataIsReady, "the line parse never declares a body ready");
  Require(header.DataStart >= 0 && static_cast<std::size_t>(header.DataStart) <= lines.size(),
          "the line parse's DataStart is a line index");
  if (header.HeaderError)
    return;
  Require(header.Method == "POST" || header.Method == "GET", "an accepted method is POST or GET");
  Require(header.HTTPver.size() == 8 && header.HTTPver.starts_with("HTTP/1."),
          "an accepted version is HTTP/1. and one character");
}

// The header lines of an answer carrying `body` as an octet stream, under a
// request line, parse back to `body`.
void CheckAnswerRoundTrip(const std::string& body) {
  const std::string answer = AddHTTPHeader(body, true);
  const std::string request = "POST / HTTP/1.1\r\n" + answer.substr(answer.find("\r\n") + 2);
  const THTTPHeader header = ParseHTTPHeader(request, kConnectionMaxReadLen);
  Require(!header.HeaderError && header.BinaryData && header.DataIsReady,
          "an answer's header lines are accepted with its body");
  Require(static_cast<std::size_t>(header.ContentLength) == body.size(),
          "an answer declares its body's length");
  Require(
      request.compare(static_cast<std::size_t>(header.DataStart) - 1, std::string::npos, body) == 0,
      "an answer's body follows its header byte for byte");
}

// The framing lines are only ever found where their names stand, and the
// header parse for a coded body refuses only what is incomplete or holds a
// refused byte.
void CheckFraming(const std::string& buf) {
  const std::size_t end = buf.find(kHeaderEnd);
  if (end == std::string::npos)
    return;
  const std::string header = buf.substr(0, end + kHeaderEnd.size());
  const TBodyFraming framing = ParseBodyFraming(header);
  const std::string upper = Upper(header);
  if (framing.coding != TTransferCoding::None)
    Require(upper.find("TRANSFER-ENCODING") != std::string::npos, "a coding comes from its line");
  if (framing.expects_continue)
    Require(upper.find("100-CONTINUE") != std::string::npos, "the go-ahead is asked for");
  const THTTPHeader coded = ParseCodedHTTPHeader(buf);
  Require(coded.HeaderError == !OnlyHeaderBytes(header), "a coded body ignores the length");
  Require(coded.ContentLength == 0 && !coded.DataIsReady, "a coded body has no length yet");
}

constexpr std::uint64_t kChunkedLimit = 4096;

TChunkedDecoder::TState DecodeInPieces(std::string_view bytes, std::size_t piece,
                                       std::string& body) {
  TChunkedDecoder decoder(kChunkedLimit);
  for (std::size_t at = 0; at < bytes.size(); at += piece)
    decoder.Add(bytes.substr(at, piece), body);
  return decoder.State();
}

void CheckChunkedBody(const std::string& buf) {
  const std::size_t end = buf.find(kHeaderEnd);
  const std::string_view bytes =
      std::string_view(buf).substr(end == std::string::npos ? 0 : end + kHeaderEnd.size());
  std::string whole;
  TChunkedDecoder decoder(kChunkedLimit);
  const TChunkedDecoder::TState state = decoder.Add(bytes, whole);
  Require(whole.size() <= kChunkedLimit, "a chunked body stays within its limit");
  const std::size_t split = bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]) % bytes.size();
  std::string halves;
  TChunkedDecoder halves_decoder(kChunkedLimit);
  halves_decoder.Add(bytes.substr(0, split), halves);
  Require(halves_decoder.Add(bytes.substr(split), halves) == state && halves == whole,
          "a chunked body split in two decodes the same");
  std::string bytewise;
  Require(DecodeInPieces(bytes, 1, bytewise) == state && bytewise == whole,
          "a chunked body byte by byte decodes the same");
  if (state != TChunkedDecoder::TState::Complete || whole.empty())
    return;
  char size[32];
  std::snprintf(size, sizeof size, "%zx", whole.size());
  std::string again;
  Require(DecodeInPieces(std::string(size) + "\r\n" + whole + "\r\n0\r\n\r\n", 7, again) ==
                  TChunkedDecoder::TState::Complete &&
              again == whole,
          "a decoded body sent as one chunk decodes back to itself");
}

}  // namespace
}  // namespace kestrel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel;
  const std::string buf(reinterpret_cast<const char*>(data), size);
  CheckBufferParse(buf, kDefaultMaxReadLen);
  CheckBufferParse(buf, kConnectionMaxReadLen);
  CheckGathering(buf);
  CheckSimpleHeader(buf);
  CheckLineParse(buf);
  CheckAnswerRoundTrip(buf);
  CheckFraming(buf);
  CheckChunkedBody(buf);
  return 0;
}

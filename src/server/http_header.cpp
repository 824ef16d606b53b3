#include "server/http_header.h"

#include <algorithm>
#include <limits>
#include <span>
#include <string_view>
#include <utility>

#include "base/ascii.h"

namespace kestrel {
namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::string_view kContentTypePrefix = "CONTENT-TYPE: ";
constexpr std::string_view kContentLengthPrefix = "CONTENT-LENGTH: ";

// What the parse needs of the request line's blank-separated tokens:
// blanks in a row give empty tokens, a blank at the end gives none.
struct TRequestLineTokens {
  std::size_t count = 0;
  std::string_view first;
  std::string_view second;
  std::string_view last;
};

TRequestLineTokens RequestLineTokens(std::string_view line) {
  TRequestLineTokens tokens;
  std::size_t start = 0;
  while (start < line.size()) {
    const std::size_t blank = std::min(line.find(' ', start), line.size());
    const std::string_view token = line.substr(start, blank - start);
    if (tokens.count == 0)
      tokens.first = token;
    else if (tokens.count == 1)
      tokens.second = token;
    tokens.last = token;
    ++tokens.count;
    start = blank + 1;
  }
  return tokens;
}

// Splits at CR, LF or CR LF; the final line break adds no line.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  lines.reserve(16);  // room for a usual request's header at once
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n')
      continue;
    lines.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
      ++i;
    start = i + 1;
  }
  if (start < text.size())
    lines.emplace_back(text.substr(start));
  return lines;
}

// Skips the prefix of a hexadecimal number ("$", "X" or "0X") and gives
// its base.
int NumberBase(std::string_view text, std::size_t& i) {
  if (i < text.size() && (text[i] == '$' || text[i] == 'X')) {
    ++i;
    return 16;
  }
  if (i + 1 < text.size() && text[i] == '0' && text[i + 1] == 'X') {
    i += 2;
    return 16;
  }
  return 10;
}

// Converts upper-cased `text` to a 32-bit integer: leading blanks, an
// optional sign, decimal or hexadecimal digits, nothing after them. On
// failure `value` holds what the digits before the failing place gave.
bool ToInt32(std::string_view text, std::int32_t& value) {
  std::size_t i = text.find_first_not_of(' ');
  i = i == std::string_view::npos ? text.size() : i;
  const bool negative = i < text.size() && text[i] == '-';
  if (i < text.size() && (text[i] == '-' || text[i] == '+'))
    ++i;
  const int base = NumberBase(text, i);
  const std::int64_t limit = negative ? std::int64_t{1} << 31 : (std::int64_t{1} << 31) - 1;
  std::int64_t magnitude = 0;
  std::size_t digits = 0;
  bool overflow = false;
  for (; i < text.size(); ++i, ++digits) {
    const int digit = DigitValue(text[i], base);
    if (digit < 0 || magnitude * base + digit > limit) {
      overflow = digit >= 0;
      break;
    }
    magnitude = magnitude * base + digit;
  }
  value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  return digits > 0 && i == text.size() && !overflow;
}

std::string_view TrimBlanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos)
    return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool IsHeaderByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte == '\n' || byte == '\r' || (byte >= 32 && byte <= 127);
}

// Accepts the request line into `header`; false when it is refused.
bool ParseRequestLine(std::string_view line, THTTPHeader& header) {
  const TRequestLineTokens tokens = RequestLineTokens(line);
  if (tokens.count < 2)
    return false;
  header.Method = UpperAscii(tokens.first);
  if (header.Method != "POST" && header.Method != "GET")
    return false;
  header.HTTPver = UpperAscii(tokens.last);
  const std::string_view version = header.HTTPver;
  if (version.substr(0, version.empty() ? 0 : version.size() - 1) != "HTTP/1.")
    return false;
  header.Params = tokens.second.empty() ? "" : UpperAscii(tokens.second.substr(1));
  header.Target = tokens.second;
  return true;
}

void ParseContentType(std::string_view line, THTTPHeader& header) {
  if (!header.ContentType.empty()) {
    header.HeaderError = true;
    return;
  }
  header.ContentType = UpperAscii(line.substr(kContentTypePrefix.size()));
  header.BinaryData = header.ContentType == "APPLICATION/OCTET-STREAM";
}

void ParseContentLength(std::string_view line, THTTPHeader& header) {
  if (header.ContentLength != 0) {
    header.HeaderError = true;
    return;
  }
  header.HeaderError =
      !ToInt32(UpperAscii(line.substr(kContentLengthPrefix.size())), header.ContentLength);
}

// Names and values are compared without copying the lines: the header is
// parsed on every request.
THTTPHeader ParseHeaderLines(std::span<const std::string_view> lines) {
  THTTPHeader header;
  if (lines.empty() || !ParseRequestLine(lines[0], header))
    return header;
  header.HeaderError = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (StartsWithIgnoringAsciiCase(line, kContentTypePrefix))
      ParseContentType(line, header);
    if (StartsWithIgnoringAsciiCase(line, kContentLengthPrefix))
      ParseContentLength(line, header);
    if (line.empty()) {
      header.DataStart = static_cast<std::int32_t>(i + 1);
      break;
    }
  }
  return header;
}

}  // namespace

bool OnlyHeaderBytes(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), IsHeaderByte);
}

THTTPHeader ParseHTTPHeader(const std::vector<std::string>& lines) {
  const std::vector<std::string_view> views(lines.begin(), lines.end());
  return ParseHeaderLines(views);
}

namespace {

// The complete header at the start of `buf` split into lines, its length
// in `header_length`; no lines (and no length) when the header is
// incomplete or holds a refused byte.
std::vector<std::string_view> HeaderLines(const std::string& buf, std::size_t& header_length) {
  const std::size_t end = buf.find(kHeaderEnd);
  if (end == std::string::npos || end >= std::numeric_limits<std::int32_t>::max() - 8u)
    return {};
  const std::string_view header_bytes(buf.data(), end + kHeaderEnd.size());
  if (!OnlyHeaderBytes(header_bytes))
    return {};
  header_length = header_bytes.size();
  return Lines(header_bytes);
}

// A body framed by its Content-Length: negative or above `max_read_len` is
// an error.
THTTPHeader WithContentLength(THTTPHeader header, std::size_t header_length, std::size_t buf_size,
                              std::int32_t max_read_len) {
  header.HeaderError = header.ContentLength < 0 || header.ContentLength > max_read_len;
  if (!header.HeaderError && header.BinaryData) {
    header.DataStart = static_cast<std::int32_t>(header_length + 1);
    header.DataIsReady = buf_size - header_length >= static_cast<std::size_t>(header.ContentLength);
  }
  return header;
}

// A body with a transfer coding: its Content-Length is not looked at.
THTTPHeader WithTransferCoding(THTTPHeader header, std::size_t header_length) {
  header.HeaderError = false;
  header.ContentLength = 0;
  if (header.BinaryData)
    header.DataStart = static_cast<std::int32_t>(header_length + 1);
  return header;
}

TBodyFraming BodyFramingOf(std::span<const std::string_view> lines) {
  if (lines.empty())
    return {};
  const bool http10 = EqualIgnoringAsciiCase(RequestLineTokens(lines[0]).last, "HTTP/1.0");
  std::size_t codings = 0;
  std::string_view coding;
  bool expects_continue = false;
  for (std::size_t i = 1; i < lines.size() && !lines[i].empty(); ++i) {
    const std::string_view line = lines[i];
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
      continue;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (EqualIgnoringAsciiCase(name, "TRANSFER-ENCODING")) {
      ++codings;
      coding = value;
    }
    if (EqualIgnoringAsciiCase(name, "EXPECT") && EqualIgnoringAsciiCase(value, "100-CONTINUE"))
      expects_continue = true;
  }
  TBodyFraming framing;
  if (codings > 0)
    framing.coding = codings == 1 && EqualIgnoringAsciiCase(coding, "CHUNKED") && !http10
                         ? TTransferCoding::Chunked
                         : TTransferCoding::Other;
  framing.expects_continue = expects_continue && !http10;
  return framing;
}

}  // namespace

THTTPHeader ParseHTTPHeader(const std::string& buf, std::int32_t max_read_len) {
  std::size_t header_length = 0;
  const std::vector<std::string_view> lines = HeaderLines(buf, header_length);
  if (header_length == 0)
    return THTTPHeader{};
  return WithContentLength(ParseHeaderLines(lines), header_length, buf.size(), max_read_len);
}

THTTPHeader ParseCodedHTTPHeader(const std::string& buf) {
  std::size_t header_length = 0;
  const std::vector<std::string_view> lines = HeaderLines(buf, header_length);
  if (header_length == 0)
    return THTTPHeader{};
  return WithTransferCoding(ParseHeaderLines(lines), header_length);
}

TBodyFraming ParseBodyFraming(std::string_view header) {
  return BodyFramingOf(Lines(header));
}

THTTPHeader ParseHTTPHeader(const std::string& buf, std::int32_t max_read_len,
                            TBodyFraming& framing) {
  std::size_t header_length = 0;
  const std::vector<std::string_view> lines = HeaderLines(buf, header_length);
  framing = BodyFramingOf(lines);
  if (header_length == 0)
    return THTTPHeader{};
  THTTPHeader header = ParseHeaderLines(lines);
  return framing.coding == TTransferCoding::None
             ? WithContentLength(std::move(header), header_length, buf.size(), max_read_len)
             : WithTransferCoding(std::move(header), header_length);
}

bool HeaderMayStillArrive(const std::string& buf) {
  return buf.size() < kMaxGatheredHeader && buf.find(kHeaderEnd) == std::string::npos &&
         OnlyHeaderBytes(buf);
}

std::string AddHTTPHeader(const std::string& answ, bool binary) {
  std::string response = "HTTP/1.1 200 OK\r\n";
  response += binary ? "Content-Type: application/octet-stream\r\n" : "Content-Type: text/html\r\n";
  response += "Content-Length: " + std::to_string(answ.size()) + "\r\n\r\n";
  response += answ;
  return response;
}

namespace {

std::string_view ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 404:
      return "Not Found";
    case 503:
      return "Service Unavailable";
    default:
      return "Unknown";
  }
}

}  // namespace

// The connection closes after every answer, and the pages change with
// every request: a client must neither wait for more nor keep a copy.
std::string HTTPResponse(int status, std::string_view content_type, const std::string& body) {
  std::string response = "HTTP/1.1 " + std::to_string(status) + " ";
  response.append(ReasonPhrase(status)).append("\r\nContent-Type: ").append(content_type);
  response += "\r\nContent-Length: " + std::to_string(body.size()) +
              "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
  response += body;
  return response;
}

}  // namespace kestrel

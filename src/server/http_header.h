// The HTTP framing of the server: the parse of a request header and the
// bytes of the one response it ever gives (status 200).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

struct THTTPHeader {
  std::string Method;       // upper-cased; "POST" or "GET" when the request line was accepted
  std::string Params;       // the request target upper-cased, without its first character
  std::string Target;       // the request target as sent, letter case kept
  std::string HTTPver;      // the last token of the request line, upper-cased
  std::string ContentType;  // the Content-Type value, upper-cased
  std::int32_t ContentLength = 0;
  // Buffer parse: the 1-based position of the first body byte; line parse:
  // the index of the first line after the empty line.
  std::int32_t DataStart = 0;
  bool HeaderError = true;
  bool BinaryData = false;   // ContentType is exactly "APPLICATION/OCTET-STREAM"
  bool DataIsReady = false;  // the whole body is in the buffer
};

// The largest request header that the server gathers over several packets.
inline constexpr std::size_t kMaxGatheredHeader = 65536;

// Parses header lines (the request line first). HeaderError is false when
// the request line holds a POST or GET and an "HTTP/1." version and neither
// header line is repeated or malformed.
THTTPHeader ParseHTTPHeader(const std::vector<std::string>& lines);

// Parses the header at the start of `buf`, which must end in CR LF CR LF
// and hold only LF, CR and bytes 32 to 127. HeaderError then depends only on
// the Content-Length: negative or above `max_read_len` is an error.
THTTPHeader ParseHTTPHeader(const std::string& buf, std::int32_t max_read_len);

// The header at the start of `buf` of a request whose body has a transfer
// coding: as the buffer parse, but the Content-Length is not looked at
// (ContentLength 0), so only an incomplete header or a refused byte is an
// error.
THTTPHeader ParseCodedHTTPHeader(const std::string& buf);

enum class TTransferCoding {
  None,     // the body, if any, has its Content-Length
  Chunked,  // the one coding "chunked"
  Other,    // any other coding or list of codings, or a coding sent by HTTP/1.0
};

// How a request's body is framed, and whether its sender waits for the
// go-ahead before it sends the body.
struct TBodyFraming {
  TTransferCoding coding = TTransferCoding::None;
  bool expects_continue = false;  // "Expect: 100-continue" on an HTTP/1.1 request
};

// Reads the Transfer-Encoding and Expect lines of a complete header: names
// and values in any letter case, blanks around a value ignored.
TBodyFraming ParseBodyFraming(std::string_view header);

// The framer's parse of the header at the start of `buf`: the header is
// split into lines once for its framing and its fields, then read as the
// buffer parse or the coded one, whichever its framing asks for.
THTTPHeader ParseHTTPHeader(const std::string& buf, std::int32_t max_read_len,
                            TBodyFraming& framing);

// True when every byte may stand in a header: LF, CR and 32 to 127.
bool OnlyHeaderBytes(std::string_view bytes);

// True while `buf` may still become a complete header: no CR LF CR LF yet,
// fewer than kMaxGatheredHeader bytes, and no byte that the parse refuses.
bool HeaderMayStillArrive(const std::string& buf);

// The complete response for the body `answ`: status 200, the content type
// (application/octet-stream when `binary`, else text/html) and the length.
std::string AddHTTPHeader(const std::string& answ, bool binary);

// A complete response with any status (200, 404, 503), content type and
// body, for a listener whose clients are browsers and monitoring systems.
std::string HTTPResponse(int status, std::string_view content_type, const std::string& body);

}  // namespace kestrel

#include "server/http_header.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel {
namespace {

constexpr std::int32_t kDefaultMaxReadLen = 262144;

const std::string kBinaryHeader =
    "POST / HTTP/1.1\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Content-Length: 5\r\n"
    "\r\n";

THTTPHeader Parse(const std::string& buf) {
  return ParseHTTPHeader(buf, kDefaultMaxReadLen);
}

void ExpectEmpty(const THTTPHeader& header) {
  EXPECT_TRUE(header.HeaderError);
  EXPECT_EQ(header.Method, "");
  EXPECT_EQ(header.Params, "");
  EXPECT_EQ(header.HTTPver, "");
  EXPECT_EQ(header.ContentType, "");
  EXPECT_EQ(header.ContentLength, 0);
  EXPECT_EQ(header.DataStart, 0);
  EXPECT_FALSE(header.BinaryData);
  EXPECT_FALSE(header.DataIsReady);
}

TEST(BufferParse, CompleteBinaryRequest) {
  const THTTPHeader header = Parse(kBinaryHeader + "abcde");
  EXPECT_FALSE(header.HeaderError);
  EXPECT_TRUE(header.BinaryData);
  EXPECT_EQ(header.Method, "POST");
  EXPECT_EQ(header.Params, "");
  EXPECT_EQ(header.HTTPver, "HTTP/1.1");
  EXPECT_EQ(header.ContentType, "APPLICATION/OCTET-STREAM");
  EXPECT_EQ(header.ContentLength, 5);
  EXPECT_EQ(header.DataStart, static_cast<std::int32_t>(kBinaryHeader.size() + 1));
  EXPECT_TRUE(header.DataIsReady);
}

TEST(BufferParse, BodyOneByteShortIsNotReady) {
  const THTTPHeader header = Parse(kBinaryHeader + "abcd");
  EXPECT_FALSE(header.HeaderError);
  EXPECT_FALSE(header.DataIsReady);
}

TEST(BufferParse, NamesAndValuesInOtherLetterCases) {
  const THTTPHeader header = Parse(
      "post /Path HTTP/1.0\r\ncontent-type: Application/Octet-Stream\r\n"
      "CONTENT-length: 2\r\n\r\nab");
  EXPECT_FALSE(header.HeaderError);
  EXPECT_TRUE(header.BinaryData);
  EXPECT_TRUE(header.DataIsReady);
  EXPECT_EQ(header.Params, "PATH");
}

TEST(BufferParse, ContentTypeWithoutBlankAfterColonIsIgnored) {
  const THTTPHeader header = Parse(
      "POST / HTTP/1.1\r\nContent-Type:application/octet-stream\r\nContent-Length: 0\r\n\r\n");
  EXPECT_FALSE(header.HeaderError);
  EXPECT_FALSE(header.BinaryData);
  EXPECT_EQ(header.ContentType, "");
}

TEST(BufferParse, ContentTypeMustMatchExactly) {
  EXPECT_FALSE(
      Parse("POST / HTTP/1.1\r\nContent-Type: application/octet-stream; x=1\r\n\r\n").BinaryData);
  const THTTPHeader two_blanks =
      Parse("POST / HTTP/1.1\r\nContent-Type:  application/octet-stream\r\n\r\n");
  EXPECT_FALSE(two_blanks.BinaryData);
  EXPECT_EQ(two_blanks.ContentType, " APPLICATION/OCTET-STREAM");
}

TEST(BufferParse, LengthOutsideTheLimitsIsAnError) {
  const std::string start = "POST / HTTP/1.1\r\nContent-Type: application/octet-stream\r\n";
  EXPECT_TRUE(Parse(start + "Content-Length: -1\r\n\r\n").HeaderError);
  EXPECT_TRUE(Parse(start + "Content-Length: 262145\r\n\r\n").HeaderError);
  EXPECT_FALSE(Parse(start + "Content-Length: 262144\r\n\r\n").HeaderError);
  EXPECT_FALSE(
      ParseHTTPHeader(start + "Content-Length: 2147483647\r\n\r\n", 2147483647).HeaderError);
}

TEST(BufferParse, WithoutBlankLineEverythingIsEmpty) {
  ExpectEmpty(Parse("POST / HTTP/1.1\r\nContent-Length: 5\r\n"));
  ExpectEmpty(Parse(""));
  ExpectEmpty(Parse("GET / HTTP/1.1\n\n"));
}

TEST(BufferParse, ForbiddenByteInTheHeaderIsAnError) {
  ExpectEmpty(Parse("POST / HTTP/1.1\r\nContent-Length:\t5\r\n\r\n"));
  ExpectEmpty(Parse("POST /\x01 HTTP/1.1\r\n\r\n"));
  ExpectEmpty(Parse("POST /\xC3\xA9 HTTP/1.1\r\n\r\n"));
}

TEST(BufferParse, BytesAfterTheHeaderMayBeAnything) {
  const THTTPHeader header = Parse(kBinaryHeader + std::string("\t\x01\xFF\x80\x00", 5));
  EXPECT_FALSE(header.HeaderError);
  EXPECT_TRUE(header.DataIsReady);
}

TEST(BufferParse, OtherMethodIsNoErrorButStopsTheParse) {
  const THTTPHeader header = Parse(
      "PUT / HTTP/1.1\r\nContent-Type: application/octet-stream\r\nContent-Length: 5\r\n\r\n");
  EXPECT_FALSE(header.HeaderError);
  EXPECT_EQ(header.Method, "PUT");
  EXPECT_EQ(header.ContentType, "");
  EXPECT_EQ(header.ContentLength, 0);
  EXPECT_FALSE(header.BinaryData);
  EXPECT_EQ(header.DataStart, 0);
}

TEST(BufferParse, DuplicateOrMalformedLinesAreNoError) {
  EXPECT_FALSE(Parse("POST / HTTP/1.1\r\nContent-Length: 12ab\r\n\r\n").HeaderError);
  EXPECT_FALSE(Parse("POST / HTTP/1.1\r\nContent-Type: a\r\nContent-Type: b\r\n\r\n").HeaderError);
}

TEST(BufferParse, NonBinaryRequestKeepsTheLineIndex) {
  const THTTPHeader header = Parse("GET /x HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_FALSE(header.HeaderError);
  EXPECT_EQ(header.Method, "GET");
  EXPECT_EQ(header.Params, "X");
  EXPECT_EQ(header.DataStart, 3);
  EXPECT_FALSE(header.DataIsReady);
}

TEST(BufferParse, LoneCarriageReturnsAndLineFeedsSplitLines) {
  const THTTPHeader header =
      Parse("POST / HTTP/1.1\rContent-Type: application/octet-stream\nContent-Length: 1\r\n\r\nz");
  EXPECT_TRUE(header.BinaryData);
  EXPECT_EQ(header.ContentLength, 1);
  EXPECT_TRUE(header.DataIsReady);
}

TEST(LineParse, EmptyListIsAnError) {
  ExpectEmpty(ParseHTTPHeader(std::vector<std::string>{}));
}

TEST(LineParse, RequestLineRules) {
  EXPECT_TRUE(ParseHTTPHeader({"GET"}).HeaderError);
  EXPECT_TRUE(ParseHTTPHeader({"PUT / HTTP/1.1"}).HeaderError);
  EXPECT_TRUE(ParseHTTPHeader({"GET / HTTP/2.0"}).HeaderError);
  EXPECT_TRUE(ParseHTTPHeader({"GET / HTTP/1."}).HeaderError);
  EXPECT_TRUE(ParseHTTPHeader({" GET / HTTP/1.1"}).HeaderError);
  EXPECT_FALSE(ParseHTTPHeader({"GET / HTTP/1.0"}).HeaderError);
  EXPECT_FALSE(ParseHTTPHeader({"get / http/1.9"}).HeaderError);
  EXPECT_FALSE(ParseHTTPHeader({"GET HTTP/1.1"}).HeaderError);
}

TEST(LineParse, TwoBlanksAfterTheMethodGiveAnEmptyTarget) {
  const THTTPHeader header = ParseHTTPHeader({"GET  /abc HTTP/1.1"});
  EXPECT_FALSE(header.HeaderError);
  EXPECT_EQ(header.Params, "");
  EXPECT_EQ(header.HTTPver, "HTTP/1.1");
}

TEST(LineParse, TrailingBlankAddsNoToken) {
  const THTTPHeader header = ParseHTTPHeader({"GET / HTTP/1.1 "});
  EXPECT_FALSE(header.HeaderError);
  EXPECT_EQ(header.HTTPver, "HTTP/1.1");
}

TEST(LineParse, ContentLengthConversion) {
  const auto length = [](const std::string& value) {
    return ParseHTTPHeader({"POST / HTTP/1.1", "Content-Length: " + value, ""});
  };
  EXPECT_EQ(length("12").ContentLength, 12);
  EXPECT_FALSE(length("12").HeaderError);
  EXPECT_EQ(length("12ab").ContentLength, 12);
  EXPECT_TRUE(length("12ab").HeaderError);
  EXPECT_EQ(length("  +7").ContentLength, 7);
  EXPECT_EQ(length("-3").ContentLength, -3);
  EXPECT_EQ(length("$1F").ContentLength, 31);
  EXPECT_EQ(length("x1f").ContentLength, 31);
  EXPECT_EQ(length("0x10").ContentLength, 16);
  EXPECT_FALSE(length("0x10").HeaderError);
  EXPECT_TRUE(length("").HeaderError);
  EXPECT_TRUE(length("-").HeaderError);
  EXPECT_TRUE(length("7 ").HeaderError);
  EXPECT_FALSE(length("-2147483648").HeaderError);
  EXPECT_EQ(length("2147483647").ContentLength, 2147483647);
  EXPECT_TRUE(length("2147483648").HeaderError);
  EXPECT_EQ(length("2147483648").ContentLength, 214748364);
}

TEST(LineParse, RepeatedHeaderLineIsAnError) {
  EXPECT_TRUE(
      ParseHTTPHeader({"POST / HTTP/1.1", "Content-Type: a", "Content-Type: b", ""}).HeaderError);
  const THTTPHeader lengths =
      ParseHTTPHeader({"POST / HTTP/1.1", "Content-Length: 4", "Content-Length: 5"});
  EXPECT_TRUE(lengths.HeaderError);
  EXPECT_EQ(lengths.ContentLength, 4);
}

TEST(LineParse, DataStartIsTheLineAfterTheEmptyLine) {
  const THTTPHeader header =
      ParseHTTPHeader({"POST / HTTP/1.1", "Host: x", "", "Content-Length: 9", "body"});
  EXPECT_EQ(header.DataStart, 3);
  EXPECT_EQ(header.ContentLength, 0);
}

TEST(HeaderGathering, IncompleteCleanHeaderMayStillArrive) {
  EXPECT_TRUE(HeaderMayStillArrive(""));
  EXPECT_TRUE(HeaderMayStillArrive("POST / HTTP/1.1\r\nContent-Le"));
  EXPECT_TRUE(HeaderMayStillArrive("POST / HTTP/1.1\r\n\r"));
}

TEST(HeaderGathering, CompleteForbiddenOrOversizedHeaderStops) {
  EXPECT_FALSE(HeaderMayStillArrive("POST / HTTP/1.1\r\n\r\n"));
  EXPECT_FALSE(HeaderMayStillArrive("POST / HTTP/1.1\r\nX:\t"));
  EXPECT_FALSE(HeaderMayStillArrive(std::string(kMaxGatheredHeader, 'a')));
  EXPECT_TRUE(HeaderMayStillArrive(std::string(kMaxGatheredHeader - 1, 'a')));
}

TEST(AddHTTPHeader, EmptyTextAnswerIsExactly63Bytes) {
  const std::string answer = AddHTTPHeader("", false);
  EXPECT_EQ(answer, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(answer.size(), 63u);
}

TEST(AddHTTPHeader, BinaryAnswerOfFiveBytes) {
  const std::string answer = AddHTTPHeader(std::string("a\0b\xFF"
                                                       "c",
                                                       5),
                                           true);
  EXPECT_EQ(answer, std::string("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                "Content-Length: 5\r\n\r\na\0b\xFF"
                                "c",
                                83));
}

TEST(AddHTTPHeader, LengthInDecimalWithoutLeadingZeros) {
  const std::string body(1234567, 'x');
  const std::string answer = AddHTTPHeader(body, false);
  EXPECT_NE(answer.find("\r\nContent-Length: 1234567\r\n\r\n"), std::string::npos);
  EXPECT_EQ(answer.size(), 63u - 1u + 7u + body.size());
}

}  // namespace
}  // namespace kestrel

#include "messages/byte_stream.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "base/exception.h"

namespace kestrel {
namespace {

const std::string kTenBytes("0123456789");

TEST(ByteStream, CreateCopiesTheContentAtPositionZero) {
  std::string source = kTenBytes;
  TRawByteStringStream stream(source);
  source[0] = 'x';
  EXPECT_EQ(stream.Data(), kTenBytes);
  EXPECT_EQ(stream.Position(), 0);
  EXPECT_EQ(stream.Size(), 10);
}

TEST(ByteStream, SeekFromEachOriginIsClamped) {
  TRawByteStringStream stream(kTenBytes);
  EXPECT_EQ(stream.Seek(3, SeekOrigin::End), 7);
  EXPECT_EQ(stream.Seek(-3, SeekOrigin::End), 10);
  EXPECT_EQ(stream.Seek(20, SeekOrigin::Beginning), 10);
  EXPECT_EQ(stream.Seek(-1, SeekOrigin::Beginning), 0);
  stream.SetPosition(2);
  EXPECT_EQ(stream.Seek(-5, SeekOrigin::Current), 0);
  EXPECT_EQ(stream.Seek(4, SeekOrigin::Current), 4);
  EXPECT_EQ(stream.Seek(0, SeekOrigin::End), 10);
}

TEST(ByteStream, SeekWithUnknownOriginKeepsThePosition) {
  TRawByteStringStream stream(kTenBytes);
  stream.SetPosition(4);
  EXPECT_EQ(stream.Seek(1, static_cast<SeekOrigin>(3)), 4);
}

TEST(ByteStream, SeekAtTheLimitsOfTheOffsetDoesNotOverflow) {
  constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  TRawByteStringStream stream(kTenBytes);
  EXPECT_EQ(stream.Seek(kMin, SeekOrigin::End), 10);
  EXPECT_EQ(stream.Seek(kMax, SeekOrigin::Current), 10);
  EXPECT_EQ(stream.Seek(kMin, SeekOrigin::Current), 0);
}

TEST(ByteStream, ReadStopsAtTheEndThenRaises) {
  TRawByteStringStream stream(kTenBytes);
  stream.SetPosition(8);
  char buffer[100] = {};
  EXPECT_EQ(stream.Read(buffer, 100), 2);
  EXPECT_EQ(std::string(buffer, 2), "89");
  EXPECT_EQ(stream.Position(), 10);
  try {
    stream.Read(buffer, 1);
    FAIL() << "no exception";
  } catch (const ERangeError& e) {
    EXPECT_EQ(e.Message(), "Range check error");
  }
  EXPECT_EQ(stream.Position(), 10);
}

TEST(ByteStream, ReadOfAnEmptyStreamRaisesEvenForZeroBytes) {
  TRawByteStringStream stream;
  char byte = 0;
  EXPECT_THROW(stream.Read(&byte, 0), ERangeError);
  EXPECT_THROW(stream.ReadString(1), ERangeError);
}

TEST(ByteStream, ReadStringFollowsTheReadRules) {
  TRawByteStringStream stream(kTenBytes);
  EXPECT_EQ(stream.ReadString(3), "012");
  EXPECT_EQ(stream.ReadString(0), "");
  EXPECT_EQ(stream.ReadString(100), "3456789");
  EXPECT_EQ(stream.Position(), 10);
  EXPECT_THROW(stream.ReadString(1), ERangeError);
}

TEST(ByteStream, NegativeCountsAreRefused) {
  TRawByteStringStream stream(kTenBytes);
  char byte = 0;
  EXPECT_THROW(stream.Read(&byte, -1), ERangeError);
  EXPECT_THROW(stream.ReadString(-1), ERangeError);
  EXPECT_THROW(stream.Write(&byte, -1), ERangeError);
  EXPECT_THROW(stream.SetSize(-1), ERangeError);
  EXPECT_EQ(stream.Position(), 0);
  EXPECT_EQ(stream.Data(), kTenBytes);
}

TEST(ByteStream, WritePastTheEndLengthensTheContent) {
  TRawByteStringStream stream(kTenBytes);
  stream.SetPosition(8);
  EXPECT_EQ(stream.Write("abcde", 5), 5);
  EXPECT_EQ(stream.Size(), 13);
  EXPECT_EQ(stream.Position(), 13);
  EXPECT_EQ(stream.Data(), "01234567abcde");
}

TEST(ByteStream, WriteInsideOverwritesWithoutChangingTheSize) {
  TRawByteStringStream stream(kTenBytes);
  stream.SetPosition(2);
  stream.WriteString("xy");
  EXPECT_EQ(stream.Data(), "01xy456789");
  EXPECT_EQ(stream.Position(), 4);
  EXPECT_EQ(stream.Write(nullptr, 0), 0);
  EXPECT_EQ(stream.Size(), 10);
}

TEST(ByteStream, WriteIntoAnEmptyStreamGivesExactlyThoseBytes) {
  TRawByteStringStream stream((std::string()));
  EXPECT_EQ(stream.Size(), 0);
  stream.WriteString(std::string("\0\x01\xFF\x7F", 4));
  EXPECT_EQ(stream.Data(), std::string("\0\x01\xFF\x7F", 4));
  EXPECT_EQ(stream.Position(), 4);
}

TEST(ByteStream, ShrinkingMovesThePositionBack) {
  TRawByteStringStream stream(kTenBytes);
  stream.Seek(0, SeekOrigin::End);
  stream.SetSize(4);
  EXPECT_EQ(stream.Size(), 4);
  EXPECT_EQ(stream.Position(), 4);
  EXPECT_EQ(stream.Data(), "0123");
}

TEST(ByteStream, GrowingKeepsThePrefixAndThePosition) {
  TRawByteStringStream stream(kTenBytes);
  stream.SetPosition(3);
  stream.SetSize(12);
  EXPECT_EQ(stream.Size(), 12);
  EXPECT_EQ(stream.Position(), 3);
  EXPECT_EQ(stream.Data().substr(0, 10), kTenBytes);
}

TEST(ByteStream, SizeThroughTheBaseKeepsThePosition) {
  TRawByteStringStream concrete(kTenBytes);
  TStream& stream = concrete;
  stream.SetPosition(6);
  EXPECT_EQ(stream.Size(), 10);
  EXPECT_EQ(stream.Position(), 6);
}

}  // namespace
}  // namespace kestrel

#include "files/pack.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>

#include "files/crc32.h"
#include "raised.h"

// The largest single allocation since the last reset, to show that forged
// lengths are not allocated up front.
std::atomic<std::size_t> largest_allocation{0};

void* operator new(std::size_t size) {
  std::size_t seen = largest_allocation.load();
  while (size > seen && !largest_allocation.compare_exchange_weak(seen, size)) {
  }
  if (void* block = std::malloc(size == 0 ? 1 : size))
    return block;
  throw std::bad_alloc();
}
// GCC takes the free() below for a mismatch once it inlines this replacement.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
#pragma GCC diagnostic pop

namespace kestrel {
namespace {

std::string Bytes(std::initializer_list<unsigned> values) {
  std::string bytes;
  for (const unsigned value : values)
    bytes.push_back(static_cast<char>(value));
  return bytes;
}

std::string Int32Bytes(std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  return Bytes({bits & 0xFF, (bits >> 8) & 0xFF, (bits >> 16) & 0xFF, bits >> 24});
}

// A packed string around any header and stream, with a correct trailer.
std::string WithTrailer(const std::string& header_and_stream) {
  return header_and_stream + Int32Bytes(CalcCRC32(header_and_stream));
}

std::string Header(std::int32_t length, std::int32_t crc) {
  return Int32Bytes(length) + Int32Bytes(crc);
}

std::string ReceiptText(std::size_t size) {
  std::string text;
  for (int line = 0; text.size() < size; ++line)
    text += "Item " + std::to_string(line) + " Coffee 1 x 150.00 = 150.00 VAT 20%\r\n";
  text.resize(size);
  return text;
}

std::string RandomBytes(std::size_t size) {
  std::mt19937 generator(42);
  std::string bytes(size, '\0');
  for (char& c : bytes)
    c = static_cast<char>(generator());
  return bytes;
}

TEST(PackString, EmptyStringIsTwelveBytesWithTheCrcOfEightZeros) {
  const std::string packed = PackString("");
  EXPECT_EQ(packed, Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0x69, 0xDF, 0x22, 0x65}));
  EXPECT_EQ(UnpackString(packed), "");
}

TEST(PackString, AbcHasTheExactLayout) {
  const std::string expected =
      Bytes({0x03, 0x00, 0x00, 0x00, 0xC2, 0x41, 0x24, 0x35, 0x78, 0xDA, 0x4B, 0x4C,
             0x4A, 0x06, 0x00, 0x02, 0x4D, 0x01, 0x27, 0x37, 0x7E, 0x00, 0x00});
  EXPECT_EQ(PackString("abc"), expected);
  EXPECT_EQ(UnpackString(expected), "abc");
}

TEST(PackString, RoundTripsTextAndBinary) {
  for (const std::string& data : {ReceiptText(200000), RandomBytes(200000), std::string(1, '\0')}) {
    const std::string packed = PackString(data);
    EXPECT_EQ(packed.substr(8, 2), Bytes({0x78, 0xDA}));
    EXPECT_EQ(UnpackString(packed), data);
  }
}

TEST(UnpackString, ElevenBytesAreNoStream) {
  const std::string packed = PackString("");
  EXPECT_EQ(testing::MessageRaisedBy<EZIPerror>([&] { UnpackString(packed.substr(0, 11)); }),
            "Error ZIP stream");
  EXPECT_EQ(testing::MessageRaisedBy<EZIPerror>([] { UnpackString(""); }), "Error ZIP stream");
}

TEST(UnpackString, ChangingAnyByteBreaksTheTrailerCrc) {
  const std::string packed = PackString("abc");
  for (std::size_t i = 0; i < packed.size(); ++i) {
    std::string damaged = packed;
    damaged[i] = static_cast<char>(damaged[i] ^ 0x01);
    EXPECT_EQ(testing::MessageRaisedBy<EZIPerror>([&] { UnpackString(damaged); }),
              "Error ZIP stream CRC")
        << "byte " << i;
  }
}

TEST(UnpackString, ZeroOrNegativeLengthWithACrcIsAnUnpackingError) {
  EXPECT_EQ(testing::MessageRaisedBy<EZIPerror>([] { UnpackString(WithTrailer(Header(0, 1))); }),
            "Error ZIP unpacking");
  EXPECT_EQ(testing::MessageRaisedBy<EZIPerror>([] { UnpackString(WithTrailer(Header(-3, 7))); }),
            "Error ZIP unpacking");
  EXPECT_EQ(UnpackString(WithTrailer(Header(-3, 0))), "");
}

TEST(UnpackString, BrokenZlibStreamIsAGeneralDecompressionError) {
  const std::string packed = WithTrailer(Header(3, CalcCRC32("abc")) + "not a zlib stream");
  const auto unpack = [&] { UnpackString(packed); };
  EXPECT_EQ(testing::MessageRaisedBy(unpack), "Error ZIP decompression");
  EXPECT_EQ(testing::MessageRaisedBy<EZIPerror>([&] {
              try {
                unpack();
              } catch (const EZIPerror&) {
                throw;
              } catch (const Exception&) {
              }
            }),
            "(nothing raised)");
}

TEST(UnpackString, BadZlibHeaderIsADecompressionError) {
  // Wrong check bits, method 9, a 64 KiB window, a preset dictionary, one byte only.
  const std::string stream = PackString("abc").substr(8, 11);
  for (const std::string& header : {Bytes({0x78, 0xDB}), Bytes({0x79, 0xDA}), Bytes({0x88, 0x98}),
                                    Bytes({0x78, 0xBB}), Bytes({0x78})}) {
    const std::string forged = header + (header.size() == 2 ? stream.substr(2) : "");
    EXPECT_EQ(testing::MessageRaisedBy(
                  [&] { UnpackString(WithTrailer(Header(3, CalcCRC32("abc")) + forged)); }),
              "Error ZIP decompression")
        << ::testing::PrintToString(header);
  }
}

TEST(UnpackString, StreamCutShortIsADecompressionError) {
  const std::string data = RandomBytes(100000);
  const std::string stream = PackString(data).substr(8);
  const std::string cut = Header(100000, CalcCRC32(data)) + stream.substr(0, stream.size() / 2);
  EXPECT_EQ(testing::MessageRaisedBy([&] { UnpackString(WithTrailer(cut)); }),
            "Error ZIP decompression");
}

TEST(UnpackString, HugeLengthBeforeGarbageFailsFastWithoutAllocatingIt) {
  const std::string garbage = WithTrailer(Header(kMaxUnpackedSize, 1) + RandomBytes(1000));
  const std::string short_stream =
      WithTrailer(Header(kMaxUnpackedSize, 1) + PackString("abc").substr(8, 11));
  largest_allocation = 0;
  EXPECT_EQ(testing::MessageRaisedBy([&] { UnpackString(garbage); }), "Error ZIP decompression");
  EXPECT_EQ(testing::MessageRaisedBy([&] { UnpackString(short_stream); }), "Error ZIP unpacking");
  EXPECT_LT(largest_allocation.load(), 1u << 20);
}

TEST(UnpackString, OutputGrowsNoLargerThanTheLength) {
  // Text compresses far beyond the room reserved up front, so the output grows.
  const std::string data = ReceiptText(1000001);
  const std::string packed = PackString(data);
  largest_allocation = 0;
  EXPECT_EQ(UnpackString(packed), data);
  EXPECT_LE(largest_allocation.load(), data.size() + 1);
}

TEST(UnpackString, StreamEndingBeforeTheLengthIsAnUnpackingError) {
  const std::string stream = PackString("abc").substr(8, 11);
  EXPECT_EQ(testing::MessageRaisedBy<EZIPerror>(
                [&] { UnpackString(WithTrailer(Header(4, CalcCRC32("abcd")) + stream)); }),
            "Error ZIP unpacking");
}

TEST(UnpackString, DataCrcMismatchIsAnUnpackingError) {
  const std::string stream = PackString("abc").substr(8, 11);
  EXPECT_EQ(testing::MessageRaisedBy<EZIPerror>(
                [&] { UnpackString(WithTrailer(Header(3, CalcCRC32("abd")) + stream)); }),
            "Error ZIP unpacking");
}

TEST(UnpackString, BytesBeyondTheLengthAreNotExamined) {
  // Asking for fewer bytes than the stream holds: its rest and Adler-32 do not matter.
  std::string stream = PackString("abcdef").substr(8);
  stream.resize(stream.size() - 4);
  stream += "XXXX";
  EXPECT_EQ(UnpackString(WithTrailer(Header(6, CalcCRC32("abcdef")) + stream)), "abcdef");
  EXPECT_EQ(UnpackString(WithTrailer(Header(2, CalcCRC32("ab")) + stream)), "ab");
}

}  // namespace
}  // namespace kestrel

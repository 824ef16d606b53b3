#include "files/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "raised.h"
#include "support/error_texts.h"
#include "support/temp_dir.h"

namespace kestrel {
namespace {

// Bit by bit, straight from the polynomial, independent of any table.
std::uint32_t BitwiseCrc32(const std::string& data) {
  std::uint32_t reg = 0xFFFFFFFFu;
  for (const unsigned char byte : data) {
    reg ^= byte;
    for (int bit = 0; bit < 8; ++bit)
      reg = (reg >> 1) ^ ((reg & 1u) ? 0xEDB88320u : 0u);
  }
  return ~reg;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes)
    c = static_cast<char>(generator());
  return bytes;
}

TEST(CalcCRC32, NineDigitsGiveTheCheckValueAsNegativeInteger) {
  const std::int32_t crc = CalcCRC32("123456789");
  EXPECT_EQ(static_cast<std::uint32_t>(crc), 0xCBF43926u);
  EXPECT_LT(crc, 0);
}

TEST(CalcCRC32, NoBytesGiveZero) {
  EXPECT_EQ(CalcCRC32(""), 0);
  EXPECT_EQ(CalcCRC32(nullptr, 0), 0);
}

TEST(CalcCRC32, MatchesThePolynomialForEveryLengthAndAlignment) {
  // Long buffers take a folding path 64 and 16 bytes at a time; the lengths
  // and offsets cover each way its head and tail can fall.
  const std::string data = RandomBytes(1200, 5);
  for (std::size_t offset = 0; offset < 4; ++offset) {
    for (std::size_t len = 0; len + offset <= data.size(); len += len < 300 ? 1 : 37) {
      const std::string piece = data.substr(offset, len);
      ASSERT_EQ(static_cast<std::uint32_t>(CalcCRC32(data.data() + offset, len)),
                BitwiseCrc32(piece))
          << "offset " << offset << " length " << len;
    }
  }
}

TEST(UpdateCRC32, ContinuesCorrectlyOverLongBuffers) {
  const std::string data = RandomBytes(1 << 20, 6);
  for (const std::size_t split : {0u, 1u, 63u, 64u, 65u, 1000u, 524288u}) {
    std::int32_t crc = CalcCRC32(data.substr(0, split));
    UpdateCRC32(crc, data.data() + split, data.size() - split);
    EXPECT_EQ(static_cast<std::uint32_t>(crc), BitwiseCrc32(data)) << split;
  }
}

TEST(UpdateCRC32, NoBytesLeaveTheCrcUnchanged) {
  std::int32_t crc = 0x12345678;
  EXPECT_EQ(UpdateCRC32(crc, nullptr, 0), 0x12345678);
  EXPECT_EQ(crc, 0x12345678);
}

TEST(UpdateCRC32, ChainingTwoHalvesGivesTheCrcOfTheWhole) {
  const std::string data = RandomBytes(1000, 1);
  std::int32_t crc = CalcCRC32(data.substr(0, 333));
  const std::int32_t returned = UpdateCRC32(crc, data.data() + 333, data.size() - 333);
  EXPECT_EQ(returned, CalcCRC32(data));
  EXPECT_EQ(crc, returned);
}

TEST(FileCRC32, EqualsTheCrcOfTheContentAroundTheChunkSize) {
  testing::TempDir dir;
  for (const std::size_t size : {65535u, 65536u, 65537u, 3u * 65536u + 11u}) {
    const std::string content = RandomBytes(size, static_cast<unsigned>(size));
    const std::string name = dir.Write("file" + std::to_string(size), content);
    EXPECT_EQ(FileCRC32(name), CalcCRC32(content)) << size;
  }
}

TEST(FileCRC32, EmptyFileGivesZero) {
  testing::TempDir dir;
  EXPECT_EQ(FileCRC32(dir.Write("empty", "")), 0);
}

TEST(FileCRC32, MissingFileRaisesTheOpenError) {
  testing::TempDir dir;
  const std::string name = dir.Folder() + "missing.bin";
  EXPECT_EQ(testing::MessageRaisedBy([&] { FileCRC32(name); }),
            "Cannot open file \"" + name + "\". " + testing::NoSuchFileText());
}

TEST(FileCRC32, FolderCannotBeOpenedAsAFile) {
  testing::TempDir dir;
  const std::string name = dir.Path().string();
  EXPECT_EQ(testing::MessageRaisedBy([&] { FileCRC32(name); }),
            "Cannot open file \"" + name + "\". " + testing::FolderOpenedAsFileText());
}

}  // namespace
}  // namespace kestrel

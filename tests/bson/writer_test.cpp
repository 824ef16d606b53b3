#include <gtest/gtest.h>

#include "support/bson_bytes.h"

#include <cstring>
#include <limits>

#include "bson/document.h"

namespace kestrel {
namespace {

using testing::Bytes;
using testing::Document;

std::uint32_t Header(std::string_view buffer) {
  std::uint32_t value;
  std::memcpy(&value, buffer.data(), 4);
  return value;
}

TEST(Writer, NewBuilderIsTheEmptyDocument) {
  TBSONDocBulder doc;
  EXPECT_TRUE(doc.IsEmpty());
  EXPECT_EQ(doc.AsString(), Bytes({5, 0, 0, 0, 0}));
  EXPECT_TRUE(doc.IgnoreUnknownProperties());
  EXPECT_FALSE(doc.DateTimeAsFloat());
  EXPECT_FALSE(doc.ClearObjectBeforeRead());
}

TEST(Writer, Int32ElementBytes) {
  TBSONDocBulder doc;
  doc.WriteInt32("a", 1);
  EXPECT_FALSE(doc.IsEmpty());
  EXPECT_EQ(doc.AsString(), Bytes({0x0C, 0, 0, 0, 0x10, 0x61, 0, 1, 0, 0, 0, 0}));
}

TEST(Writer, FirstWriteGrowsToFifteenBytesOfSpareFF) {
  TBSONDocBulder doc;
  doc.WriteNull("n");
  const std::string_view buffer = doc.Buffer();
  ASSERT_EQ(buffer.size(), 15u);
  EXPECT_EQ(Header(buffer), 8u);
  for (std::size_t i = 7; i < buffer.size(); ++i)
    EXPECT_EQ(static_cast<unsigned char>(buffer[i]), 0xFF) << i;
}

TEST(Writer, BufferTriplesWhileSmallThenGrowsByPages) {
  TBSONDocBulder doc;
  std::vector<std::size_t> sizes;
  for (int i = 0; i < 4000; ++i) {
    doc.WriteBool("b", true);
    if (sizes.empty() || sizes.back() != doc.Buffer().size())
      sizes.push_back(doc.Buffer().size());
    ASSERT_EQ(Header(doc.Buffer()), 5u + 4u * (i + 1));
  }
  const std::vector<std::size_t> expected = {15, 45, 135, 405, 1215, 3645, 10935, 15031, 19127};
  EXPECT_EQ(sizes, expected);
}

TEST(Writer, PieceLargerThanTheStepGrowsByItsOwnSize) {
  TBSONDocBulder doc;
  doc.WriteBin("x", std::string(5000, 'z'));
  EXPECT_EQ(doc.Buffer().size(), 15u + 5000u);
  doc.WriteBin("y", std::string(9000, 'z'));
  EXPECT_EQ(doc.Buffer().size(), 15u + 5000u + 4096u + 9000u);
  EXPECT_TRUE(TBSONDocBulder::IsBSON(doc.AsString()));
}

TEST(Writer, AsStringCutsAndTerminatesAndWritingGoesOn) {
  TBSONDocBulder doc;
  doc.WriteInt32("a", 1);
  const TBSON first = doc.AsString();
  doc.WriteInt32("b", 2);
  const TBSON second = doc.AsString();
  EXPECT_EQ(first, Bytes({0x0C, 0, 0, 0, 0x10, 'a', 0, 1, 0, 0, 0, 0}));
  EXPECT_EQ(second, Bytes({0x13, 0, 0, 0, 0x10, 'a', 0, 1, 0, 0, 0, 0x10, 'b', 0, 2, 0, 0, 0, 0}));
  EXPECT_TRUE(TBSONDocBulder::IsBSON(second));
}

TEST(Writer, ClearKeepsOptions) {
  TBSONDocBulder doc;
  doc.SetDateTimeAsFloat(true);
  doc.SetIgnoreUnknownProperties(false);
  doc.WriteInt32("a", 1);
  doc.Clear();
  EXPECT_EQ(doc.AsString(), Bytes({5, 0, 0, 0, 0}));
  EXPECT_TRUE(doc.DateTimeAsFloat());
  EXPECT_FALSE(doc.IgnoreUnknownProperties());
  EXPECT_EQ(doc.Options().Bits(), 1u);
}

TEST(Writer, PrimitiveElementPayloads) {
  TBSONDocBulder doc;
  doc.WriteBool("t", true);
  EXPECT_EQ(doc.AsString(), Document(Bytes({8, 't', 0, 1})));
  doc.Clear();
  doc.WriteNull("n");
  EXPECT_EQ(doc.AsString(), Document(Bytes({0x0A, 'n', 0})));
  doc.Clear();
  doc.WriteInt64("l", -2);
  EXPECT_EQ(doc.AsString(),
            Document(Bytes({0x12, 'l', 0, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})));
  doc.Clear();
  doc.WriteDouble("d", 1.0);
  EXPECT_EQ(doc.AsString(), Document(Bytes({1, 'd', 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F})));
  doc.Clear();
  doc.WriteTimestamp("s", {1, 2});
  EXPECT_EQ(doc.AsString(), Document(Bytes({0x11, 's', 0, 1, 0, 0, 0, 2, 0, 0, 0})));
  doc.Clear();
  doc.WriteRegex("r", "^a", "i");
  EXPECT_EQ(doc.AsString(), Document(Bytes({0x0B, 'r', 0, '^', 'a', 0, 'i', 0})));
}

TEST(Writer, StringElementsKeepTheirBytes) {
  TBSONDocBulder doc;
  doc.WriteString("s", "\xC0\xFF");
  EXPECT_EQ(doc.AsString(), Document(Bytes({0x0E, 's', 0, 3, 0, 0, 0, 0xC0, 0xFF, 0})));
  doc.Clear();
  doc.WriteUFT8("u", "\xD0\xAF");  // Я
  EXPECT_EQ(doc.AsString(), Document(Bytes({0x02, 'u', 0, 3, 0, 0, 0, 0xD0, 0xAF, 0})));
  doc.Clear();
  doc.WriteUFT8("e", "");
  EXPECT_EQ(doc.AsString(), Document(Bytes({0x02, 'e', 0, 1, 0, 0, 0, 0})));
}

TEST(Writer, NamesAreWrittenUnchecked) {
  TBSONDocBulder doc;
  doc.WriteNull(std::string_view("a\0b", 3));
  EXPECT_EQ(doc.AsString(), Document(Bytes({0x0A, 'a', 0, 'b', 0})));
}

TEST(Writer, BinaryElements) {
  TBSONDocBulder doc;
  doc.WriteBin("b", std::string());
  EXPECT_EQ(doc.AsString(), Document(Bytes({5, 'b', 0, 0, 0, 0, 0, 0})));
  doc.Clear();
  doc.WriteBin("b", std::string("\x00\x01", 2));
  EXPECT_EQ(doc.AsString(), Document(Bytes({5, 'b', 0, 2, 0, 0, 0, 0, 0, 1})));
  doc.Clear();
  doc.WriteBin("p", "xyz", -3);
  EXPECT_EQ(doc.AsString(), Document(Bytes({5, 'p', 0, 0xFD, 0xFF, 0xFF, 0xFF, 0})));
}

TEST(Writer, DocumentsAreCopiedWhole) {
  TBSONDocBulder inner;
  inner.WriteInt32("0", 7);
  const TBSON inner_doc = inner.AsString();
  TBSONDocBulder doc;
  doc.WriteDoc("o", false, inner_doc);
  doc.WriteDoc("a", true, inner_doc);
  const TBSON outer = doc.AsString();
  EXPECT_EQ(outer, Document(Bytes({3, 'o', 0}) + inner_doc + Bytes({4, 'a', 0}) + inner_doc));
}

TEST(Writer, ObjectIdZeroOrEmptyWritesNothing) {
  TBSONDocBulder doc;
  doc.WriteObjectID("_id", std::int64_t{0});
  doc.WriteObjectID("_id", std::string_view());
  EXPECT_EQ(doc.AsString(), Bytes({5, 0, 0, 0, 0}));
}

TEST(Writer, ObjectIdIsBigEndianOnTheWire) {
  const std::string one = Document(Bytes({7, 'i', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
  for (const char* text : {"1", "01"}) {
    TBSONDocBulder doc;
    doc.WriteObjectID("i", std::string_view(text));
    EXPECT_EQ(doc.AsString(), one) << text;
  }
  TBSONDocBulder doc;
  doc.WriteObjectID("i", std::int64_t{1});
  EXPECT_EQ(doc.AsString(), one);
  doc.Clear();
  doc.WriteObjectID("i", std::int64_t{-1});
  EXPECT_EQ(
      doc.AsString(),
      Document(Bytes({7, 'i', 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})));
}

TEST(Writer, ObjectIdTextThatIsNotHexWritesNothingAndRaises) {
  TBSONDocBulder doc;
  EXPECT_THROW(doc.WriteObjectID("i", std::string_view("zz")), EConvertError);
  EXPECT_TRUE(doc.IsEmpty());
}

TEST(ObjectId, HexTextToBytesAndBack) {
  const TBSONoid12 id = TBSONDocBulder::HexOIDToMem("a1B2");
  EXPECT_EQ(id.bytes[0], 0xB2);
  EXPECT_EQ(id.bytes[1], 0xA1);
  EXPECT_EQ(id.bytes[2], 0);
  EXPECT_EQ(TBSONDocBulder::MemToHexOID(id), "00000000000000000000A1B2");
  const std::string full = "0123456789ABCDEF01234567";
  EXPECT_EQ(TBSONDocBulder::MemToHexOID(TBSONDocBulder::HexOIDToMem(full)), full);
}

TEST(ObjectId, OneDigitTextAndLongText) {
  TBSONoid12 one;
  one.bytes[0] = 1;
  EXPECT_EQ(TBSONDocBulder::MemToHexOID(one), std::string(23, '0') + "1");
  // Characters beyond 24 digits are ignored, even when they are not hex.
  const TBSONoid12 id = TBSONDocBulder::HexOIDToMem("zz0123456789ABCDEF01234567");
  EXPECT_EQ(TBSONDocBulder::MemToHexOID(id), "0123456789ABCDEF01234567");
}

TEST(ObjectId, ShortIdIsPaddedWithZeroHighBytes) {
  TBSONoid12 id;
  id.bytes.fill(0xAB);
  id.length = 2;
  EXPECT_EQ(TBSONDocBulder::MemToHexOID(id), std::string(20, '0') + "ABAB");
}

TEST(ObjectId, PairThatIsNotHexRaisesConversionError) {
  try {
    TBSONDocBulder::HexOIDToMem("1g");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'$1g' is not a valid integer value");
  }
  EXPECT_THROW(TBSONDocBulder::HexOIDToMem("+1"), EConvertError);
}

TEST(DateTimeConversion, MillisecondsSince1970) {
  EXPECT_EQ(DateTimeToBSONTime(25569.5), 43200000);
  EXPECT_EQ(DateTimeToBSONTime(25569.0), 0);
  EXPECT_EQ(DateTimeToBSONTime(25568.9), 0);
  EXPECT_EQ(DateTimeToBSONTime(-1.0), 0);
  EXPECT_EQ(DateTimeToBSONTime(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(DateTimeToBSONTime(41093.5), 1341316800000);
}

TEST(DateTimeConversion, RoundsHalfToEven) {
  // 1/2048 and 3/2048 of a day are 42187.5 and 126562.5 ms exactly.
  EXPECT_EQ(DateTimeToBSONTime(25569.0 + 1.0 / 2048), 42188);
  EXPECT_EQ(DateTimeToBSONTime(25569.0 + 3.0 / 2048), 126562);
  EXPECT_EQ(DateTimeToBSONTime(25569.0 + 0.75 / 86400000.0), 1);
  EXPECT_EQ(DateTimeToBSONTime(25569.0 + 0.25 / 86400000.0), 0);
}

TEST(DateTimeConversion, OutOfRangeRaisesRangeError) {
  EXPECT_THROW(DateTimeToBSONTime(1e300), ERangeError);
  EXPECT_THROW(DateTimeToBSONTime(std::numeric_limits<double>::infinity()), ERangeError);
  TBSONDocBulder doc;
  EXPECT_THROW(doc.WriteDateTime("d", 1e300), ERangeError);
  EXPECT_TRUE(doc.IsEmpty());
}

TEST(Writer, DateTimeElement) {
  TBSONDocBulder doc;
  doc.WriteDateTime("d", 25569.5);
  EXPECT_EQ(doc.AsString(),
            Document(Bytes({9, 'd', 0, 0x00, 0x2E, 0x93, 0x02, 0, 0, 0, 0})));  // 43200000
  doc.Clear();
  doc.WriteDateTime("d", 100.0);
  EXPECT_EQ(doc.AsString(), Document(Bytes({9, 'd', 0, 0, 0, 0, 0, 0, 0, 0, 0})));
}

}  // namespace
}  // namespace kestrel

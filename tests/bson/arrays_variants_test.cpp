#include <gtest/gtest.h>

#include "support/bson_bytes.h"

#include <type_traits>

#include "bson/document.h"
#include "bson/item_list.h"
#include "bson/variant.h"

namespace kestrel {
namespace {

using testing::Bytes;
using testing::Document;
using testing::ErrorOf;

const std::string kPrivet = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";  // Привет
const std::string kPrivet1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";

// The type byte of the first element of a document.
int FirstType(const TBSON& doc) {
  return static_cast<unsigned char>(doc[4]);
}

TEST(Arrays, IntegerArrayBytesAndReadBack) {
  TBSONDocBulder writer;
  writer.WriteArray("a", std::vector<std::int32_t>{7, 9});
  const TBSON doc = writer.AsString();
  const std::string inner = Document(Bytes({0x10, '0', 0, 7, 0, 0, 0, 0x10, '1', 0, 9, 0, 0, 0}));
  EXPECT_EQ(doc, Document(Bytes({4, 'a', 0}) + inner));
  TBSONDocBulder reader(doc);
  EXPECT_EQ(reader.ReadIntArray(), (std::vector<std::int32_t>{7, 9}));
  EXPECT_EQ(reader.LastReadName(), "a");
}

TEST(Arrays, EmptyArraysAreEmptyDocuments) {
  TBSONDocBulder writer;
  writer.WriteArray("s", std::vector<std::string>{});
  writer.WriteArray("i", std::vector<std::int32_t>{});
  const TBSON doc = writer.AsString();
  EXPECT_EQ(doc, Document(Bytes({4, 's', 0, 5, 0, 0, 0, 0, 4, 'i', 0, 5, 0, 0, 0, 0})));
  TBSONDocBulder reader(doc);
  EXPECT_TRUE(reader.ReadStrArray().empty());
  EXPECT_TRUE(reader.ReadIntArray().empty());
}

TEST(Arrays, StringArrayIsWrittenAsSymbolsOfSingleByteText) {
  TBSONDocBulder writer;
  writer.WriteArray("s", std::vector<std::string>{kPrivet});
  const TBSON doc = writer.AsString();
  const std::string inner =
      Document(Bytes({0x0E, '0', 0, 7, 0, 0, 0}) + kPrivet1251 + std::string(1, '\0'));
  EXPECT_EQ(doc, Document(Bytes({4, 's', 0}) + inner));
  // The reader expects UTF-8 elements, so this array does not read back.
  EXPECT_EQ(ErrorOf([&] { TBSONDocBulder(doc).ReadStrArray(); }),
            "Stream read error - invalid item type 14 instead 2 for 0");
}

TEST(Arrays, StringArrayOfUtf8Elements) {
  TBSONDocBulder inner;
  inner.WriteUFT8("0", kPrivet);
  inner.WriteUFT8("1", "b");
  TBSONDocBulder writer;
  writer.WriteDoc("s", true, inner.AsString());
  EXPECT_EQ(TBSONDocBulder(writer.AsString()).ReadStrArray(),
            (std::vector<std::string>{kPrivet, "b"}));
}

TEST(Arrays, ElementNamedOtherThanItsIndexIsRefused) {
  TBSONDocBulder inner;
  inner.WriteInt32("0", 1);
  inner.WriteInt32("2", 2);
  TBSONDocBulder writer;
  writer.WriteDoc("a", true, inner.AsString());
  EXPECT_EQ(ErrorOf([&] { TBSONDocBulder(writer.AsString()).ReadIntArray(); }),
            "Invalid array index");
}

TEST(Arrays, EmbeddedArrayMustBeADocument) {
  // Length 6 with the last byte not zero.
  const TBSON doc = Document(Bytes({4, 'a', 0, 6, 0, 0, 0, 0, 1}));
  EXPECT_EQ(ErrorOf([&] { TBSONDocBulder(doc).ReadIntArray(); }),
            "Invalid BSON document (AnsiString)");
  EXPECT_EQ(ErrorOf([&] {
              TBSONDocBulder(Document(Bytes({3, 'a', 0, 5, 0, 0, 0, 0}))).ReadIntArray();
            }),
            "Stream read error - invalid item type 3 instead 4 for ");
}

// Writes one variant and returns the document.
TBSON WithVariant(const Variant& value) {
  TBSONDocBulder doc;
  doc.WriteVariant("v", value);
  return doc.AsString();
}

TEST(Variants, KindsAndTheElementsTheyBecome) {
  EXPECT_EQ(WithVariant(Variant::Null()), Document(Bytes({0x0A, 'v', 0})));
  EXPECT_EQ(WithVariant(Variant()), Document(Bytes({0x0A, 'v', 0})));
  EXPECT_EQ(WithVariant(Variant::Int16(-2)),
            Document(Bytes({0x10, 'v', 0, 0xFE, 0xFF, 0xFF, 0xFF})));
  EXPECT_EQ(WithVariant(Variant::UInt8(200)), Document(Bytes({0x10, 'v', 0, 200, 0, 0, 0})));
  EXPECT_EQ(WithVariant(Variant::Date(25569.5)),
            Document(Bytes({9, 'v', 0, 0x00, 0x2E, 0x93, 0x02, 0, 0, 0, 0})));
  EXPECT_EQ(WithVariant(Variant::Boolean(true)), Document(Bytes({8, 'v', 0, 1})));
  EXPECT_EQ(WithVariant(Variant::Int64(5)),
            Document(Bytes({0x12, 'v', 0, 5, 0, 0, 0, 0, 0, 0, 0})));
  EXPECT_EQ(WithVariant(Variant::UInt32(7)),
            Document(Bytes({0x12, 'v', 0, 7, 0, 0, 0, 0, 0, 0, 0})));
  EXPECT_EQ(WithVariant(Variant::Double(1.0)),
            Document(Bytes({1, 'v', 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F})));
  EXPECT_EQ(WithVariant(Variant::Single(1.0f)), WithVariant(Variant::Double(1.0)));
  EXPECT_EQ(WithVariant(Variant::FromCurrency(Currency::FromRaw(10000))),
            WithVariant(Variant::Double(1.0)));
}

TEST(Variants, TextBecomesUtf8UnlessItIsADocument) {
  const std::string utf8 = Document(Bytes({2, 'v', 0, 13, 0, 0, 0}) + kPrivet + '\0');
  EXPECT_EQ(WithVariant(Variant::UString(kPrivet)), utf8);
  EXPECT_EQ(WithVariant(Variant::OleStr(kPrivet)), utf8);
  EXPECT_EQ(WithVariant(Variant::ByteString(kPrivet1251)), utf8);
  const std::string inner = Document(Bytes({0x10, 'x', 0, 1, 0, 0, 0}));
  EXPECT_EQ(WithVariant(Variant::ByteString(inner)), Document(Bytes({3, 'v', 0}) + inner));
  EXPECT_EQ(WithVariant(Variant::UString(inner)), Document(Bytes({3, 'v', 0}) + inner));
}

TEST(Variants, ArraysAndWideValuesAreRefused) {
  TBSONDocBulder doc;
  EXPECT_EQ(ErrorOf([&] { doc.WriteVariant("v", Variant::Array({Variant::Int32(1)})); }),
            "Variant arrays not supported");
  EXPECT_THROW(doc.WriteVariant("v", Variant::Int64(std::int64_t{1} << 40)), ERangeError);
  EXPECT_THROW(doc.WriteVariant("v", Variant::UInt32(3000000000u)), ERangeError);
  EXPECT_TRUE(doc.IsEmpty());
}

TEST(Variants, ReadEveryTakenType) {
  TBSONDocBulder writer;
  const std::string inner = Document(Bytes({0x0A, 'z', 0}));
  writer.WriteDouble("d", 2.5);
  writer.WriteUFT8("u", kPrivet);
  writer.WriteDoc("o", false, inner);
  writer.WriteDoc("a", true, inner);
  writer.WriteObjectID("i", std::int64_t{255});
  writer.WriteBool("b", true);
  writer.WriteDateTime("w", 25570.0);
  writer.WriteNull("n");
  writer.WriteString("s", kPrivet1251);
  writer.WriteInt32("l", -3);
  writer.WriteInt64("q", std::int64_t{1} << 40);
  TBSONDocBulder doc(writer.AsString());
  EXPECT_EQ(doc.ReadVariant(), Variant::Double(2.5));
  EXPECT_EQ(doc.ReadVariant(), Variant::UString(kPrivet));
  EXPECT_EQ(doc.ReadVariant(), Variant::ByteString(inner));
  EXPECT_EQ(doc.ReadVariant(), Variant::ByteString(inner));
  EXPECT_EQ(doc.ReadVariant(), Variant::ByteString("0000000000000000000000FF"));
  EXPECT_EQ(doc.ReadVariant(), Variant::Boolean(true));
  EXPECT_EQ(doc.ReadVariant(), Variant::Date(25570.0));
  EXPECT_EQ(doc.ReadVariant(), Variant::Null());
  EXPECT_EQ(doc.ReadVariant(), Variant::ByteString(kPrivet1251));
  EXPECT_EQ(doc.ReadVariant(), Variant::Int32(-3));
  EXPECT_EQ(doc.ReadVariant(), Variant::Int64(std::int64_t{1} << 40));
  EXPECT_EQ(doc.GetNextType(), bson_eoo);
}

TEST(Variants, ReadRefusesTimestampsBinaryAndUnknownTypes) {
  TBSONDocBulder writer;
  writer.WriteTimestamp("t", {1, 2});
  EXPECT_EQ(ErrorOf([&] { TBSONDocBulder(writer.AsString()).ReadVariant(); }),
            "Mongo timestamp can't convert to variant");
  writer.Clear();
  writer.WriteBin("b", "x");
  EXPECT_EQ(ErrorOf([&] { TBSONDocBulder(writer.AsString()).ReadVariant(); }),
            "Not supported item type");
  EXPECT_EQ(ErrorOf([&] {
              TBSONDocBulder(Document(Bytes({0x06, 'u', 0}))).ReadVariant();
            }),
            "Not supported item type");
  // A high bit selects the reader of the low bits, which then refuses the byte.
  TBSONDocBulder high(Document(Bytes({0x0A, 'a', 0, 0x90, 'u', 0, 1, 0, 0, 0})));
  high.ReadNull();
  EXPECT_EQ(ErrorOf([&] { high.ReadVariant(); }),
            "Stream read error - invalid item type 144 instead 16 for a");
}

TEST(Variants, EmbeddedDocumentSurvivesReadAndWrite) {
  TBSONDocBulder inner;
  inner.WriteUFT8("k", kPrivet);
  TBSONDocBulder writer;
  writer.WriteDoc("v", false, inner.AsString());
  const TBSON original = writer.AsString();
  EXPECT_EQ(WithVariant(TBSONDocBulder(original).ReadVariant()), original);
}

TEST(ItemList, ValuesByTag) {
  const Variant var = Variant::Int16(4);
  TBSONDocBulder doc{"i", 5,   "l", std::int64_t{6},          "b", true, "c", '\xC0',
                     "x", 1.5, "m", Currency::FromRaw(25000), "v", var};
  TBSONDocBulder reader(doc.AsString());
  EXPECT_TRUE(doc.Options() == TBSONSerializationOptions{});
  EXPECT_EQ(reader.ReadInt32(), 5);
  EXPECT_EQ(reader.ReadInt64(), 6);
  EXPECT_TRUE(reader.ReadBool());
  EXPECT_EQ(reader.ReadUTF8(), "\xD0\x90");  // А
  EXPECT_EQ(reader.ReadDouble(), 1.5);
  EXPECT_EQ(reader.ReadDouble(), 2.5);
  EXPECT_EQ(reader.ReadInt32(), 4);
}

TEST(ItemList, RegexAndDateSuffixes) {
  TBSONDocBulder regex{"q:regex", "^a", "i"};
  EXPECT_EQ(regex.AsString(), Document(Bytes({0x0B, 'q', 0, '^', 'a', 0, 'i', 0})));
  TBSONDocBulder date{"when:dt", 25569.0L};
  EXPECT_EQ(date.AsString(), Document(Bytes({9, 'w', 'h', 'e', 'n', 0, 0, 0, 0, 0, 0, 0, 0, 0})));
  TBSONDocBulder plain{"x", 1.5L};
  EXPECT_EQ(FirstType(plain.AsString()), 1);
}

TEST(ItemList, NamesMayBeAnyByteStringTag) {
  TBSONDocBulder doc{'a', 1, TBSONItem::ShortString("b"), 2, std::string_view("c"), 3};
  TBSONDocBulder reader(doc.AsString());
  EXPECT_EQ(reader.ItemCount(), 3);
  reader.ReadInt32();
  EXPECT_EQ(reader.LastReadName(), "a");
  reader.ReadInt32();
  EXPECT_EQ(reader.LastReadName(), "b");
}

TEST(ItemList, ByteStringsThatAreDocumentsAreEmbedded) {
  const std::string object = Document(Bytes({0x10, 'x', 0, 1, 0, 0, 0}));
  const std::string array = Document(Bytes({0x10, '0', 0, 1, 0, 0, 0}));
  TBSONDocBulder doc{"o", std::string_view(object),     "a", std::string_view(array),
                     "t", std::string_view(kPrivet1251)};
  const TBSON bytes = doc.AsString();
  EXPECT_EQ(bytes, Document(Bytes({3, 'o', 0}) + object + Bytes({4, 'a', 0}) + array +
                            Bytes({2, 't', 0, 13, 0, 0, 0}) + kPrivet + '\0'));
}

TEST(ItemList, ObjectIds) {
  const std::string one =
      Document(Bytes({7, '_', 'i', 'd', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ((TBSONDocBulder{"_id", 1}.AsString()), one);
  EXPECT_EQ((TBSONDocBulder{"_id", std::int64_t{1}}.AsString()), one);
  EXPECT_EQ((TBSONDocBulder{"_id", "01"}.AsString()), one);
  EXPECT_EQ((TBSONDocBulder{"_id", Variant::UInt8(1)}.AsString()), one);
  EXPECT_EQ((TBSONDocBulder{"_id", Variant::OleStr("1")}.AsString()), one);
  EXPECT_EQ((TBSONDocBulder{"_id", Variant::Int64(1)}.AsString()), one);
  EXPECT_THROW((TBSONDocBulder{"_id", Variant::Int64(std::int64_t{1} << 40)}), ERangeError);
  EXPECT_EQ(ErrorOf([] {
              TBSONDocBulder{"_id", true};
            }),
            "Item \"_id\" - not supported type (allowed: integer, int64, AnsiString, variant)");
  EXPECT_EQ(ErrorOf([] {
              TBSONDocBulder{"_id", Variant::UString("1")};
            }),
            "Item \"_id\" - not supported variant type kind (allowed: integer, int64, "
            "AnsiString)");
}

TEST(ItemList, MalformedListsAreRefused) {
  EXPECT_EQ(ErrorOf([] {
              TBSONDocBulder{"a", 1, "last"};
            }),
            "Invalid bson. Expected value for item last");
  EXPECT_EQ(ErrorOf([] {
              TBSONDocBulder{TBSONItem::UnicodeString("a"), 1};
            }),
            "Item 0 - invalid type. Expected AnsiString");
  EXPECT_EQ(ErrorOf([] {
              TBSONDocBulder{"a", 1, 2, 3};
            }),
            "Item 2 - invalid type. Expected AnsiString");
  EXPECT_EQ(ErrorOf([] { TBSONDocBulder{"r:regex"}; }),
            "Invalid bson. Expected pattern for regexp item r");
  EXPECT_EQ(ErrorOf([] {
              TBSONDocBulder{"r:regex", "^a"};
            }),
            "Invalid bson. Expected options for regexp item r");
  EXPECT_EQ(ErrorOf([] {
              TBSONDocBulder{"r:regex", "^a", 5};
            }),
            "Item 2 - invalid type. Expected AnsiString");
  static const int target = 0;
  EXPECT_EQ(ErrorOf([] {
              TBSONDocBulder{"p", static_cast<const void*>(&target)};
            }),
            "Not supported item type");
  EXPECT_EQ(ErrorOf([] { TBSONDocBulder{"w", u'x'}; }), "Not supported item type");
  EXPECT_EQ(ErrorOf([] {
              TBSONDocBulder{"u", TBSONItem::UnicodeString("x")};
            }),
            "Not supported item type");
}

TEST(ItemList, ADocumentInBracesStillLoads) {
  static_assert(!std::is_convertible_v<std::string, TBSONItem>);
  const TBSON data = Document(Bytes({0x10, 'a', 0, 1, 0, 0, 0}));
  TBSONDocBulder doc{data};
  EXPECT_EQ(doc.AsString(), data);
  EXPECT_TRUE(doc.IgnoreUnknownProperties());
}

}  // namespace
}  // namespace kestrel

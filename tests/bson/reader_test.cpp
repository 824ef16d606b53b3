#include <gtest/gtest.h>

#include "support/bson_bytes.h"

#include "base/text.h"
#include "bson/document.h"

namespace kestrel {
namespace {

using testing::Bytes;
using testing::Document;
using testing::ErrorOf;

const std::string kEmpty = Bytes({5, 0, 0, 0, 0});

TEST(Loading, ShortValuesBecomeTheEmptyDocument) {
  for (const std::string& value : {std::string(), std::string("\x01"), std::string("abcd")}) {
    TBSONDocBulder doc(value);
    EXPECT_EQ(doc.AsString(), kEmpty);
    EXPECT_EQ(doc.ItemCount(), 0);
  }
}

TEST(Loading, DocumentsThatFailTheCheckAreRefused) {
  EXPECT_TRUE(TBSONDocBulder::IsBSON(kEmpty));
  EXPECT_FALSE(TBSONDocBulder::IsBSON(Bytes({5, 0, 0, 0, 1})));
  EXPECT_FALSE(TBSONDocBulder::IsBSON(Bytes({6, 0, 0, 0, 0})));
  EXPECT_FALSE(TBSONDocBulder::IsBSON(Document(Bytes({0x13, 'a', 0}))));
  EXPECT_TRUE(TBSONDocBulder::IsBSON(Document(Bytes({0x12, 'a', 0}))));
  EXPECT_FALSE(TBSONDocBulder::IsBSON(Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0})));
  for (const std::string& bad : {Bytes({5, 0, 0, 0, 1}), Bytes({6, 0, 0, 0, 0})}) {
    EXPECT_EQ(ErrorOf([&] { TBSONDocBulder doc(bad); }), "Invalid BSON document (AnsiString)");
  }
}

TEST(Loading, RefusedContentLeavesTheBuilderAsItWas) {
  TBSONDocBulder doc(Document(Bytes({0x10, 'a', 0, 7, 0, 0, 0})));
  EXPECT_THROW(doc.SetAsString(Bytes({5, 0, 0, 0, 1})), EBSONError);
  EXPECT_EQ(doc.ReadInt32(), 7);
}

TEST(Loading, OptionsAndAppendingAfterLoad) {
  TBSONDocBulder doc(Document(Bytes({0x10, 'a', 0, 1, 0, 0, 0})), {bsoDateTimeAsFloat});
  EXPECT_TRUE(doc.DateTimeAsFloat());
  EXPECT_FALSE(doc.IgnoreUnknownProperties());
  doc.WriteBool("b", true);
  EXPECT_EQ(doc.AsString(), Document(Bytes({0x10, 'a', 0, 1, 0, 0, 0, 8, 'b', 0, 1})));
  EXPECT_EQ(doc.ReadInt32(), 1);
  EXPECT_TRUE(doc.ReadBool());
}

TEST(Loading, ArrayItemsCheck) {
  EXPECT_FALSE(TBSONDocBulder::IsBSONarrayitems(kEmpty));
  EXPECT_TRUE(TBSONDocBulder::IsBSONarrayitems(Document(Bytes({0x0A, '0', 0}))));
  EXPECT_FALSE(TBSONDocBulder::IsBSONarrayitems(Document(Bytes({0x0A, '1', 0}))));
  EXPECT_FALSE(TBSONDocBulder::IsBSONarrayitems(Document(Bytes({0x0A, '0', '1', 0}))));
}

TEST(Reader, TypeMismatchNamesTheLastReadElementAndKeepsTheCursor) {
  TBSONDocBulder doc(Document(Bytes({0x10, 'n', 0, 5, 0, 0, 0}) +
                              Bytes({1, 'd', 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F})));
  EXPECT_EQ(doc.ReadInt32(), 5);
  EXPECT_EQ(ErrorOf([&] { doc.ReadInt32(); }),
            "Stream read error - invalid item type 1 instead 16 for n");
  EXPECT_EQ(doc.GetNextType(), bson_double);
  EXPECT_EQ(doc.ReadDouble(), 1.0);
  EXPECT_EQ(doc.LastReadName(), "d");
  EXPECT_EQ(doc.GetNextType(), bson_eoo);
}

TEST(Reader, ReadingBeyondTheLastElementMeetsTheTerminator) {
  TBSONDocBulder doc;
  EXPECT_EQ(ErrorOf([&] { doc.ReadInt32(); }),
            "Stream read error - invalid item type 0 instead 16 for ");
}

TEST(Reader, PrimitiveValues) {
  TBSONDocBulder writer;
  writer.WriteInt64("l", -5);
  writer.WriteTimestamp("t", {7, 9});
  writer.WriteNull("z");
  writer.WriteString("s", "\xC0\x01");
  writer.WriteUFT8("u", "\xD0\x9F\xD1\x80\xD0\xB8");  // При
  writer.WriteDateTime("w", 41093.5);
  TBSONDocBulder doc(writer.AsString());
  EXPECT_EQ(doc.ReadInt64(), -5);
  EXPECT_EQ(doc.ReadTimestamp(), (TBSONTimestamp{7, 9}));
  doc.ReadNull();
  EXPECT_EQ(doc.LastReadName(), "z");
  EXPECT_EQ(doc.ReadString(), "\xC0\x01");
  EXPECT_EQ(doc.ReadUTF8(), "\xD0\x9F\xD1\x80\xD0\xB8");
  EXPECT_EQ(doc.ReadDateTime(), 41093.5);
}

TEST(Reader, AnyNonZeroBoolByteIsTrue) {
  TBSONDocBulder doc(Document(Bytes({8, 'a', 0, 0, 8, 'b', 0, 2})));
  EXPECT_FALSE(doc.ReadBool());
  EXPECT_TRUE(doc.ReadBool());
}

TEST(Reader, DateTimesFromMilliseconds) {
  EXPECT_EQ(BSONTimeToDateTime(0), 25569.0);
  EXPECT_EQ(BSONTimeToDateTime(-86400000), 25568.0);
  EXPECT_EQ(BSONTimeToDateTime(43200000), 25569.5);
}

TEST(Reader, MalformedUtf8BecomesReplacementCharacters) {
  TBSONDocBulder doc(Document(Bytes({2, 'u', 0, 5, 0, 0, 0, 'a', 0xFF, 0xC3, 'b', 0})));
  EXPECT_EQ(doc.ReadUTF8(),
            "a\xEF\xBF\xBD\xEF\xBF\xBD"
            "b");
}

TEST(Reader, Utf8IsKeptOnlyWhenWellFormed) {
  const std::vector<std::string> texts = {
      "plain ascii text, longer than eight",
      "\xD0\x9F\xD1\x80\xD0\xB8\xE2\x84\x96\xF0\x9F\x98\x80",  // Cyrillic, №, an emoji
      "\xC0\x80",                                              // overlong NUL
      "\xE0\x80\xAF",                                          // overlong slash
      "\xED\xA0\x80",                                          // a surrogate
      "\xF4\x90\x80\x80",                                      // beyond U+10FFFF
      "\xF0\x9F\x98",                                          // truncated at the end
      "abcdefg\xE2\x84",                                       // truncated after ASCII
      "\x80\xBF",                                              // lone continuation bytes
      "\xEF\xBF\xBF\xF4\x8F\xBF\xBF",                          // the highest code points
  };
  for (const std::string& text : texts) {
    TBSONDocBulder writer;
    writer.WriteUFT8("u", text);
    EXPECT_EQ(TBSONDocBulder(writer.AsString()).ReadUTF8(), SanitizeUtf8(text)) << text;
  }
}

TEST(Reader, StringBodyChecks) {
  const auto read = [](const std::string& element) {
    return ErrorOf([&] { TBSONDocBulder(Document(element)).ReadUTF8(); });
  };
  EXPECT_EQ(read(Bytes({2, 'u', 0, 3, 0, 0, 0, 'a', 'b', 'c'})),
            "Stream read error - invalid format");
  EXPECT_EQ(read(Bytes({2, 'u', 0, 0, 0, 0, 0})), "Stream read error - invalid format");
  EXPECT_EQ(read(Bytes({2, 'u', 0, 0xFF, 0xFF, 0xFF, 0xFF})), "Stream read error - invalid format");
  EXPECT_EQ(read(Bytes({2, 'u', 0, 0xFF, 0xFF, 0xFF, 0x7F, 0})), "End of doc");
  EXPECT_EQ(read(Bytes({2, 'u', 0, 9, 0, 0, 0, 'a', 0})), "End of doc");
  EXPECT_EQ(read(Bytes({2, 'u', 0, 1})), "End of doc");
}

TEST(Reader, NameThatRunsIntoTheTerminatorIsEndOfDoc) {
  std::string doc = Document(Bytes({0x10, 'a', 'b'}));
  doc.pop_back();
  doc.back() = '\0';  // the name's zero byte is the document's terminator
  doc[0] = static_cast<char>(doc.size());
  TBSONDocBulder ok(doc);
  EXPECT_EQ(ErrorOf([&] { ok.ReadInt32(); }), "End of doc");
  EXPECT_EQ(ErrorOf([&] { ok.ItemCount(); }), "End of doc");
}

TEST(Reader, EmbeddedDocuments) {
  TBSONDocBulder inner;
  inner.WriteInt32("0", 3);
  const TBSON inner_doc = inner.AsString();
  TBSONDocBulder writer;
  writer.WriteDoc("o", false, inner_doc);
  writer.WriteDoc("a", true, inner_doc);
  TBSONDocBulder doc(writer.AsString());
  EXPECT_EQ(ErrorOf([&] { doc.ReadDoc(true); }),
            "Stream read error - invalid item type 3 instead 4 for ");
  EXPECT_EQ(doc.ReadDoc(false), inner_doc);
  EXPECT_EQ(doc.ReadDoc(true), inner_doc);
}

TEST(Reader, ViewsAreReadInPlaceAndCheckedLikeCopies) {
  const std::string inner = Document(Bytes({0x10, 'n', 0, 5, 0, 0, 0}));
  const std::string outer = Document(Bytes({3, 'o', 0}) + inner);
  TBSONDocBulder doc;
  doc.ViewDocument(outer);
  EXPECT_FALSE(doc.AtEnd());
  const std::string_view view = doc.ReadDocView(false);
  EXPECT_EQ(view, inner);
  EXPECT_EQ(view.data(), outer.data() + 7);
  EXPECT_TRUE(doc.AtEnd());
  // A terminator before the end leaves bytes that no element holds.
  const std::string early_end = Document(Bytes({0, 'x'}));
  doc.ViewDocument(early_end);
  EXPECT_EQ(doc.GetNextType(), bson_eoo);
  EXPECT_FALSE(doc.AtEnd());
  EXPECT_THROW(doc.ViewDocument(Bytes({6, 0, 0, 0, 0})), EBSONError);
}

TEST(Reader, EmbeddedDocumentLengthChecks) {
  const auto read = [](const std::string& element) {
    return ErrorOf([&] { TBSONDocBulder(Document(element)).ReadDoc(false); });
  };
  EXPECT_EQ(read(Bytes({3, 'o', 0, 4, 0, 0, 0})), "Stream read error - invalid format");
  EXPECT_EQ(read(Bytes({3, 'o', 0, 0, 0, 0, 0x80})), "Stream read error - invalid format");
  EXPECT_EQ(read(Bytes({3, 'o', 0, 9, 0, 0, 0, 0})), "End of doc");
  EXPECT_EQ(read(Bytes({3, 'o', 0, 5})), "End of doc");
}

TEST(Reader, BinaryDataWithAnySubtype) {
  TBSONDocBulder doc(Document(Bytes({5, 'b', 0, 2, 0, 0, 0, 0x80, 'x', 0})));
  EXPECT_EQ(doc.ReadBin(), std::string("x\0", 2));
  const auto read = [](const std::string& element) {
    return ErrorOf([&] { TBSONDocBulder(Document(element)).ReadBin(); });
  };
  EXPECT_EQ(read(Bytes({5, 'b', 0, 0xFF, 0xFF, 0xFF, 0xFF, 0})),
            "Stream read error - invalid format");
  EXPECT_EQ(read(Bytes({5, 'b', 0, 3, 0, 0, 0, 0, 'x'})), "End of doc");
  EXPECT_EQ(read(Bytes({5, 'b', 0, 0xFF, 0xFF, 0xFF, 0x7F, 0})), "End of doc");
}

TEST(Reader, ObjectIdsInTheirThreeForms) {
  TBSONDocBulder writer;
  writer.WriteObjectID("_id", std::int64_t{-1});
  const TBSON minus_one = writer.AsString();
  EXPECT_EQ(ErrorOf([&] { TBSONDocBulder(minus_one).ReadObjectID32(); }), "_id out of range 32");
  EXPECT_EQ(TBSONDocBulder(minus_one).ReadObjectID64(), -1);
  EXPECT_EQ(TBSONDocBulder(minus_one).ReadObjectID(), "00000000FFFFFFFFFFFFFFFF");

  writer.Clear();
  writer.WriteObjectID("_id", std::string_view("0123456789abcdef01234567"));
  const TBSON wide = writer.AsString();
  EXPECT_EQ(TBSONDocBulder(wide).ReadObjectID(), "0123456789ABCDEF01234567");
  EXPECT_EQ(ErrorOf([&] { TBSONDocBulder(wide).ReadObjectID64(); }), "_id out of range 64");

  writer.Clear();
  writer.WriteObjectID("_id", std::int64_t{-2147483647 - 1} & 0xFFFFFFFF);
  EXPECT_EQ(TBSONDocBulder(writer.AsString()).ReadObjectID32(), -2147483647 - 1);
  EXPECT_EQ(ErrorOf([&] {
              TBSONDocBulder(Document(Bytes({7, 'i', 0, 0, 0}))).ReadObjectID();
            }),
            "End of doc");
}

TEST(ItemIndex, CountsElementsWithoutMovingTheCursor) {
  TBSONDocBulder writer;
  writer.WriteInt32("a", 1);
  writer.WriteUFT8("b", "x");
  TBSONDocBulder doc(writer.AsString());
  EXPECT_EQ(doc.ReadInt32(), 1);
  EXPECT_EQ(doc.ItemCount(), 2);
  EXPECT_EQ(doc.ReadUTF8(), "x");
  EXPECT_EQ(doc.ItemCount(), 2);
}

TEST(ItemIndex, StepsOverEveryReadableType) {
  TBSONDocBulder inner;
  TBSONDocBulder writer;
  writer.WriteDouble("d", 1);
  writer.WriteUFT8("u", "x");
  writer.WriteDoc("o", false, inner.AsString());
  writer.WriteDoc("a", true, inner.AsString());
  writer.WriteBin("b", "xy");
  writer.WriteObjectID("i", std::int64_t{5});
  writer.WriteBool("t", true);
  writer.WriteDateTime("w", 30000);
  writer.WriteNull("n");
  writer.WriteString("s", "y");
  writer.WriteInt32("l", 3);
  writer.WriteTimestamp("p", {1, 2});
  writer.WriteInt64("q", 4);
  EXPECT_EQ(TBSONDocBulder(writer.AsString()).ItemCount(), 13);
}

TEST(ItemIndex, TypesThatCannotBeSteppedOverAreRefused) {
  for (const int type : {0x06, 0x0B, 0x0C, 0x0D, 0x0F, 0x13, 0x80}) {
    TBSONDocBulder doc(Document(Bytes({0x10, 'a', 0, 1, 0, 0, 0})));
    std::string bytes = doc.AsString();
    bytes.insert(bytes.size() - 1, Bytes({type, 'r', 0, 'x', 0, 0}));
    bytes[0] = static_cast<char>(bytes.size());
    TBSONDocBulder bad(bytes);
    EXPECT_EQ(ErrorOf([&] { bad.ItemCount(); }), "Stream read error - not supported item type")
        << type;
    EXPECT_EQ(bad.ReadInt32(), 1);  // the cursor is back where it was
    EXPECT_THROW(bad.ItemCount(), EBSONError);
  }
}

TEST(ItemIndex, TruncatedElementInsideTheDocument) {
  // The int32 takes the terminator's byte, so no type byte is left after it.
  TBSONDocBulder doc(Bytes({11, 0, 0, 0, 0x10, 'a', 0, 1, 0, 0, 0}));
  EXPECT_EQ(ErrorOf([&] { doc.ItemCount(); }), "End of doc");
}

}  // namespace
}  // namespace kestrel

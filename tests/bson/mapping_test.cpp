#include <gtest/gtest.h>

#include "support/bson_bytes.h"

#include "base/text.h"
#include "bson/document.h"
#include "bson/item_list.h"
#include "bson/mapping.h"
#include "bson/variant.h"
#include "messages/containers.h"
#include "messages/persistent.h"

namespace kestrel {
namespace {

using testing::Bytes;
using testing::ErrorOf;

// The names and types of a document's elements, in order.
std::vector<std::pair<std::string, int>> Elements(const TBSON& doc) {
  TBSONDocBulder reader(doc);
  std::vector<std::pair<std::string, int>> elements;
  while (reader.GetNextType() != bson_eoo) {
    const int type = reader.GetNextType();
    if (type == bson_bindata)
      reader.ReadBin();
    else
      reader.ReadVariant();
    elements.emplace_back(reader.LastReadName(), type);
  }
  return elements;
}

const std::string kPrivet = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";  // Привет

class TValues : public TPersistentObj {
  KESTREL_PUBLISHED(TValues)
 public:
  std::int32_t FCount = 0;
  std::uint16_t FPort = 0;
  bool FFlag = false;
  std::int64_t FBig = 0;
  Currency FSumm;
  TDateTime FWhen = 0;
  double FRatio = 0;
  std::string FText;   // UTF-8
  std::string FAnsi;   // Windows-1251
  std::string FBytes;  // raw
  std::string FNote;   // written only when not empty
};

const PropertyTable& TValues::Table() {
  using C = TValues;
  static const PropertyTable table(
      TPersistentObj::Table(),
      {props::Integer<&C::FCount>("Count"), props::Word<&C::FPort>("Port"),
       props::Boolean<&C::FFlag>("Flag"), props::Int64<&C::FBig>("Big"),
       props::Currency<&C::FSumm>("Summ"), props::DateTime<&C::FWhen>("When"),
       props::Double<&C::FRatio>("Ratio"), props::String<&C::FText>("Text"),
       props::AnsiString<&C::FAnsi>("Ansi"), props::RawByteString<&C::FBytes>("Bytes"),
       props::String<&C::FNote>("Note", props::NonEmpty<&C::FNote>)});
  return table;
}

void Fill(TValues& v) {
  v.FCount = -7;
  v.FPort = 65535;
  v.FFlag = true;
  v.FBig = std::int64_t{1} << 40;
  v.FSumm = Currency::FromRaw(123400);
  v.FWhen = 41093.5;
  v.FRatio = 0.25;
  v.FText = kPrivet;
  v.FAnsi = "\xCF\xF0\xE8";  // При in Windows-1251
  v.FBytes = std::string("\x00\xFF\x01", 3);
  v.FNote = "n";
}

void ExpectSame(const TValues& a, const TValues& b) {
  EXPECT_EQ(a.FCount, b.FCount);
  EXPECT_EQ(a.FPort, b.FPort);
  EXPECT_EQ(a.FFlag, b.FFlag);
  EXPECT_EQ(a.FBig, b.FBig);
  EXPECT_EQ(a.FSumm, b.FSumm);
  EXPECT_EQ(a.FWhen, b.FWhen);
  EXPECT_EQ(a.FRatio, b.FRatio);
  EXPECT_EQ(a.FText, b.FText);
  EXPECT_EQ(a.FAnsi, b.FAnsi);
  EXPECT_EQ(a.FBytes, b.FBytes);
  EXPECT_EQ(a.FNote, b.FNote);
}

class TValuesList : public TPersistentObjArray {
 public:
  TValuesList() : TPersistentObjArray(TPersistentObjClass::Of<TValues>()) {}
};

class TOwner : public TPersistent {
  KESTREL_PUBLISHED(TOwner)
 public:
  std::string FName;
  TValues FInner;
  TValues* FLink = nullptr;  // a reference the owner may drop
  TValuesList FList;
  TPersistentStrArray FStrings;
  TPersistentIntArray FNumbers;
  Variant FAny;
  void SetLink(TPersistent* value) { FLink = static_cast<TValues*>(value); }
};

const PropertyTable& TOwner::Table() {
  using C = TOwner;
  static const PropertyTable table(
      TPersistent::Table(),
      {props::String<&C::FName>("Name"), props::Object<&C::FInner>("Inner", "TValues"),
       props::Object<&C::FLink, &C::SetLink>("Link", "TValues"),
       props::Object<&C::FList>("List", "TPersistentObjArray"),
       props::Object<&C::FStrings>("Strings", "TPersistentStrArray"),
       props::Object<&C::FNumbers>("Numbers", "TPersistentIntArray"),
       props::VariantField<&C::FAny>("Any")});
  return table;
}

TEST(MappingWrite, PropertiesInTableOrderWithTheirElementTypes) {
  TValues v;
  Fill(v);
  const std::vector<std::pair<std::string, int>> expected = {
      {"Count", 0x10}, {"Port", 0x10},  {"Flag", 0x08},  {"Big", 0x12},
      {"Summ", 0x01},  {"When", 0x09},  {"Ratio", 0x01}, {"Text", 0x02},
      {"Ansi", 0x02},  {"Bytes", 0x05}, {"Note", 0x02}};
  EXPECT_EQ(Elements(ObjToBSON(v)), expected);
  v.FNote.clear();
  auto without_note = expected;
  without_note.pop_back();
  EXPECT_EQ(Elements(ObjToBSON(v)), without_note);
}

TEST(MappingWrite, ValuesAsTheyTravel) {
  TValues v;
  Fill(v);
  TBSONDocBulder doc(ObjToBSON(v));
  EXPECT_EQ(doc.ReadInt32(), -7);
  EXPECT_EQ(doc.ReadInt32(), 65535);
  EXPECT_TRUE(doc.ReadBool());
  EXPECT_EQ(doc.ReadInt64(), std::int64_t{1} << 40);
  EXPECT_EQ(doc.ReadDouble(), 12.34);
  EXPECT_EQ(doc.ReadDateTime(), 41093.5);
  EXPECT_EQ(doc.ReadDouble(), 0.25);
  EXPECT_EQ(doc.ReadUTF8(), kPrivet);
  EXPECT_EQ(doc.ReadUTF8(), "\xD0\x9F\xD1\x80\xD0\xB8");
  EXPECT_EQ(doc.ReadBin(), std::string("\x00\xFF\x01", 3));
}

TEST(MappingRoundTrip, EveryValueKindComesBack) {
  TValues v;
  Fill(v);
  TValues back;
  BSONToObj(ObjToBSON(v), back);
  ExpectSame(v, back);
}

TEST(MappingRoundTrip, DateTimeAsFloatTravelsAsADayCount) {
  TValues v;
  v.FWhen = 41093.25;
  const TBSON doc = ObjToBSON(v, {bsoDateTimeAsFloat});
  EXPECT_EQ(Elements(doc)[5], (std::pair<std::string, int>{"When", 0x01}));
  TValues back;
  BSONToObj(doc, back, {bsoDateTimeAsFloat});
  EXPECT_EQ(back.FWhen, 41093.25);
  EXPECT_EQ(ErrorOf([&] { BSONToObj(doc, back); }),
            "Stream read error - invalid item type 1 instead 9 for When");
}

TEST(MappingRead, CurrencyIsRoundedToFourPlaces) {
  TValues v;
  BSONToObj(TBSONDocBulder{"Summ", 12.345678}.AsString(), v);
  EXPECT_EQ(v.FSumm.Raw(), 123457);
  EXPECT_THROW(BSONToObj(TBSONDocBulder{"Summ", 1e300}.AsString(), v), ERangeError);
}

TEST(MappingRead, ElementsInAnyOrderAndMissingOnesKeepTheirValues) {
  TValues v;
  v.FRatio = 9;
  BSONToObj(TBSONDocBulder{"Text", "b", "Count", 3, "Flag", true}.AsString(), v);
  EXPECT_EQ(v.FText, "b");
  EXPECT_EQ(v.FCount, 3);
  EXPECT_TRUE(v.FFlag);
  EXPECT_EQ(v.FRatio, 9);
}

TEST(MappingRead, NameMatchingOnlyWithoutCaseIsRefused) {
  TValues v;
  EXPECT_EQ(ErrorOf([&] {
              BSONToObj(TBSONDocBulder{"count", 3}.AsString(), v);
            }),
            "Stream read error - invalid item name");
}

TEST(MappingRead, WrongElementTypeNamesTheElement) {
  TValues v;
  EXPECT_EQ(ErrorOf([&] {
              BSONToObj(TBSONDocBulder{"Count", 1.5}.AsString(), v);
            }),
            "Stream read error - invalid item type 1 instead 16 for Count");
}

// The text is long enough for a fault to meet every place within the
// eight-byte words the check works through.
TEST(MappingRead, TextIsRepairedWhereverAFaultStands) {
  const std::string cyrillic = kPrivet + kPrivet + "ab" + kPrivet;
  const std::vector<std::string> inserts = {
      "\x80",              // lone continuation byte
      "\xC1\xBF",          // overlong
      "\xD0",              // lead without its continuation
      "\xE2\x84",          // truncated three-byte sequence
      "\xED\xA0\x80",      // surrogate
      "\xF4\x90\x80\x80",  // beyond U+10FFFF
      "\xE2\x84\x96",      // well-formed: No sign
      "\xF0\x9F\x98\x80",  // well-formed: emoji
  };
  for (std::size_t at = 0; at <= cyrillic.size(); at += 2) {
    for (const std::string& insert : inserts) {
      const std::string text = cyrillic.substr(0, at) + insert + cyrillic.substr(at);
      TBSONDocBulder doc;
      doc.WriteUFT8("Text", text);
      doc.WriteUFT8("Ansi", text);
      TValues v;
      BSONToObj(doc.AsString(), v);
      EXPECT_EQ(v.FText, SanitizeUtf8(text)) << "at " << at << ": " << text;
      EXPECT_EQ(v.FAnsi, Utf8ToWin1251(SanitizeUtf8(text))) << "at " << at << ": " << text;
    }
  }
}

TEST(MappingRead, CutShortValuesAreReportedAsByTheReaders) {
  const auto read = [](const std::string& elements) {
    TValues v;
    return ErrorOf([&] { BSONToObj(testing::Document(elements), v); });
  };
  EXPECT_EQ(read(Bytes({0x10, 'C', 'o', 'u', 'n', 't', 0, 1, 0})), "End of doc");
  EXPECT_EQ(read(Bytes({0x12, 'B', 'i', 'g', 0, 1, 0, 0, 0})), "End of doc");
  EXPECT_EQ(read(Bytes({0x02, 'T', 'e', 'x', 't', 0, 100, 0, 0, 0, 'a'})), "End of doc");
  EXPECT_EQ(read(Bytes({0x02, 'T', 'e', 'x', 't', 0, 0, 0, 0, 0})),
            "Stream read error - invalid format");
  EXPECT_EQ(read(Bytes({0x02, 'T', 'e', 'x', 't', 0, 3, 0, 0, 0, 'a', 'b', 'c'})),
            "Stream read error - invalid format");
  EXPECT_EQ(read(Bytes({0x02, 'T', 'e', 'x', 't', 0, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 0})),
            "Stream read error - invalid format");
}

TEST(MappingRead, UnknownElements) {
  TValues v;
  const TBSON doc = TBSONDocBulder{"Other", 1, "Count", 3}.AsString();
  BSONToObj(doc, v);
  EXPECT_EQ(v.FCount, 3);
  EXPECT_EQ(ErrorOf([&] { BSONToObj(doc, v, {}); }), "Property \"Other\" not found");
  TBSONDocBulder binary;
  binary.WriteBin("Other", "x");
  EXPECT_EQ(ErrorOf([&] { BSONToObj(binary.AsString(), v); }), "Not supported item type");
}

TEST(MappingRead, ElementNamedZeroIsAnUnknownElementForAPlainObject) {
  TBSONDocBulder doc;
  doc.WriteDoc("0", false, TBSONDocBulder().AsString());
  doc.WriteInt32("Count", 4);
  TValues v;
  BSONToObj(doc.AsString(), v);
  EXPECT_EQ(v.FCount, 4);
  EXPECT_EQ(ErrorOf([&] { BSONToObj(doc.AsString(), v, {}); }), "Property \"0\" not found");
}

TEST(MappingRead, TopLevelObjectArrayMeetsItsElementsAsDocuments) {
  TValuesList list;
  Fill(static_cast<TValues&>(*list.Add()));
  const TBSON doc = ObjToBSON(list);
  EXPECT_EQ(Elements(doc), (std::vector<std::pair<std::string, int>>{{"0", 0x03}}));
  TValuesList back;
  EXPECT_EQ(ErrorOf([&] { BSONToObj(doc, back); }),
            "Stream read error - invalid item type 3 instead 4 for 0");
}

TEST(MappingRead, NullElements) {
  TValues linked;
  TOwner owner;
  owner.FName = "keep";
  owner.FLink = &linked;
  TBSONDocBulder doc;
  doc.WriteNull("Name");
  doc.WriteNull("Link");
  doc.WriteNull("List");
  BSONToObj(doc.AsString(), owner);
  EXPECT_EQ(owner.FName, "keep");
  EXPECT_EQ(owner.FLink, nullptr);
  EXPECT_EQ(Elements(ObjToBSON(owner))[2], (std::pair<std::string, int>{"Link", 0x0A}));
  TBSONDocBulder link;
  link.WriteDoc("Link", false, TBSONDocBulder().AsString());
  EXPECT_EQ(ErrorOf([&] { BSONToObj(link.AsString(), owner); }),
            "Subobject property must be TPersistent type");
}

TEST(MappingRead, InvalidDocumentIsRefused) {
  TValues v;
  EXPECT_EQ(ErrorOf([&] {
              BSONToObj(Bytes({6, 0, 0, 0, 0}), v);
            }),
            "Invalid BSON document (AnsiString)");
  TBSONDocBulder doc;
  doc.WriteDoc("Inner", false, Bytes({6, 0, 0, 0, 0, 0x10}));
  TOwner owner;
  EXPECT_EQ(ErrorOf([&] { BSONToObj(doc.AsString(), owner); }),
            "Invalid BSON document (AnsiString)");
}

TEST(MappingSubObjects, NestedObjectsArraysAndVariantRoundTrip) {
  TOwner owner;
  owner.FName = kPrivet;
  Fill(owner.FInner);
  Fill(static_cast<TValues&>(*owner.FList.Add()));
  owner.FList.Add();
  owner.FStrings.Items = {"a"};
  owner.FNumbers.Items = {7, 9};
  owner.FAny = Variant::Int64(5);
  const TBSON doc = ObjToBSON(owner);
  const std::vector<std::pair<std::string, int>> expected = {
      {"Name", 0x02},    {"Inner", 0x03},   {"Link", 0x0A}, {"List", 0x04},
      {"Strings", 0x04}, {"Numbers", 0x04}, {"Any", 0x12}};
  EXPECT_EQ(Elements(doc), expected);

  // A string array goes out as symbols, which only an empty one reads back.
  owner.FStrings.Items.clear();
  TOwner back;
  back.FList.Add();
  back.FList.Add();
  back.FList.Add();
  back.FStrings.Items = {"old"};
  BSONToObj(ObjToBSON(owner), back);
  EXPECT_EQ(back.FName, kPrivet);
  ExpectSame(back.FInner, owner.FInner);
  ASSERT_EQ(back.FList.Count(), 2);
  ExpectSame(static_cast<TValues&>(*back.FList.Items(0)),
             static_cast<TValues&>(*owner.FList.Items(0)));
  EXPECT_EQ(static_cast<TValues&>(*back.FList.Items(1)).FCount, 0);
  EXPECT_EQ(back.FNumbers.Items, (std::vector<std::int32_t>{7, 9}));
  EXPECT_TRUE(back.FStrings.Items.empty());
  EXPECT_EQ(back.FAny, Variant::Int64(5));
}

TEST(MappingSubObjects, StringArrayReadsUtf8ElementsOnly) {
  TOwner owner;
  owner.FStrings.Items = {kPrivet};
  TOwner back;
  EXPECT_EQ(ErrorOf([&] { BSONToObj(ObjToBSON(owner), back); }),
            "Stream read error - invalid item type 14 instead 2 for 0");
  TBSONDocBulder items;
  items.WriteUFT8("0", kPrivet);
  items.WriteUFT8("1", "b");
  TBSONDocBulder doc;
  doc.WriteDoc("Strings", true, items.AsString());
  BSONToObj(doc.AsString(), back);
  EXPECT_EQ(back.FStrings.Items, (std::vector<std::string>{kPrivet, "b"}));
}

TEST(MappingSubObjects, SubObjectsInheritOptionsButArrayElementsDoNot) {
  TOwner owner;
  owner.FInner.FWhen = 2.5;
  static_cast<TValues&>(*owner.FList.Add()).FWhen = 3.5;
  const TBSON doc = ObjToBSON(owner, {bsoDateTimeAsFloat});
  TOwner back;
  // The array's elements are read with the default options, which expect a
  // date-time element where the writer put a float.
  EXPECT_EQ(ErrorOf([&] { BSONToObj(doc, back, {bsoDateTimeAsFloat}); }),
            "Stream read error - invalid item type 1 instead 9 for When");
  EXPECT_EQ(back.FInner.FWhen, 2.5);

  TBSONDocBulder element;
  element.WriteInt32("Unknown", 1);
  TBSONDocBulder elements;
  elements.WriteDoc("0", false, element.AsString());
  TBSONDocBulder list_doc;
  list_doc.WriteDoc("List", true, elements.AsString());
  BSONToObj(list_doc.AsString(), back, {});
  EXPECT_EQ(back.FList.Count(), 1);
  TBSONDocBulder inner_doc;
  inner_doc.WriteDoc("Inner", false, element.AsString());
  EXPECT_EQ(ErrorOf([&] { BSONToObj(inner_doc.AsString(), back, {}); }),
            "Property \"Unknown\" not found");
}

TEST(MappingSubObjects, ObjectArrayElementNamedOtherThanItsIndex) {
  TBSONDocBulder elements;
  elements.WriteDoc("1", false, TBSONDocBulder().AsString());
  TBSONDocBulder doc;
  doc.WriteDoc("List", true, elements.AsString());
  TOwner owner;
  EXPECT_EQ(ErrorOf([&] { BSONToObj(doc.AsString(), owner); }), "Invalid array index");
}

TEST(MappingClear, ClearObjectBeforeReadEmptiesObjectAndSubObjects) {
  TOwner owner;
  owner.FName = "x";
  Fill(owner.FInner);
  owner.FAny = Variant::UString("v");
  owner.FList.Add();
  owner.FNumbers.Items = {1};
  BSONToObj(TBSONDocBulder{}.AsString(), owner, {bsoClearObjectBeforeRead});
  EXPECT_EQ(owner.FName, "");
  ExpectSame(owner.FInner, TValues());
  EXPECT_EQ(owner.FAny, Variant::Int32(0));
  EXPECT_EQ(owner.FList.Count(), 1);  // the items of arrays stay
  EXPECT_EQ(owner.FNumbers.Items.size(), 1u);
}

class TIdInteger : public TPersistent {
  KESTREL_PUBLISHED(TIdInteger)
 public:
  std::int32_t FId = 0;
};
const PropertyTable& TIdInteger::Table() {
  static const PropertyTable table(TPersistent::Table(), {props::Integer<&TIdInteger::FId>("_id")});
  return table;
}

class TIdText : public TPersistent {
  KESTREL_PUBLISHED(TIdText)
 public:
  std::string FId;
};
const PropertyTable& TIdText::Table() {
  static const PropertyTable table(TPersistent::Table(), {props::AnsiString<&TIdText::FId>("_id")});
  return table;
}

class TIdWide : public TPersistent {
  KESTREL_PUBLISHED(TIdWide)
 public:
  std::int64_t FId = 0;
  std::string FText;
};
const PropertyTable& TIdWide::Table() {
  static const PropertyTable table(TPersistent::Table(), {props::Int64<&TIdWide::FId>("_id")});
  return table;
}

class TIdUtf8 : public TPersistent {
  KESTREL_PUBLISHED(TIdUtf8)
 public:
  std::string FId;
};
const PropertyTable& TIdUtf8::Table() {
  static const PropertyTable table(TPersistent::Table(), {props::String<&TIdUtf8::FId>("_id")});
  return table;
}

TEST(MappingIds, IntegerTextAndInt64Ids) {
  TIdInteger integer;
  EXPECT_EQ(ObjToBSON(integer), Bytes({5, 0, 0, 0, 0}));
  integer.FId = -1;
  const TBSON minus_one = ObjToBSON(integer);
  EXPECT_EQ(Elements(minus_one), (std::vector<std::pair<std::string, int>>{{"_id", 7}}));
  EXPECT_EQ(TBSONDocBulder(minus_one).ReadObjectID(), "00000000FFFFFFFFFFFFFFFF");
  TIdInteger back;
  EXPECT_EQ(ErrorOf([&] { BSONToObj(minus_one, back); }), "_id out of range 32");
  integer.FId = 77;
  BSONToObj(ObjToBSON(integer), back);
  EXPECT_EQ(back.FId, 77);

  TIdText text;
  text.FId = "abc";
  TIdText text_back;
  BSONToObj(ObjToBSON(text), text_back);
  EXPECT_EQ(text_back.FId, "000000000000000000000ABC");

  TIdWide wide;
  wide.FId = std::int64_t{1} << 40;
  TIdWide wide_back;
  BSONToObj(ObjToBSON(wide), wide_back);
  EXPECT_EQ(wide_back.FId, std::int64_t{1} << 40);
}

TEST(MappingIds, OtherKindsAreRefused) {
  TIdUtf8 utf8;
  const std::string message = "Property \"_id\" must be type of Integer, Int64 or AnsiString";
  EXPECT_EQ(ErrorOf([&] { ObjToBSON(utf8); }), message);
  EXPECT_EQ(ErrorOf([&] { BSONToObj(TBSONDocBulder{"_id", 1}.AsString(), utf8); }), message);
}

class TWithDocument : public TPersistent {
  KESTREL_PUBLISHED(TWithDocument)
 public:
  TBSON FDoc;
};
const PropertyTable& TWithDocument::Table() {
  static const PropertyTable table(TPersistent::Table(),
                                   {props::Bson<&TWithDocument::FDoc>("Doc")});
  return table;
}

TEST(MappingDocuments, DocumentPropertyIsEmbeddedAndReadBack) {
  TWithDocument holder;
  holder.FDoc = TBSONDocBulder{"k", 1}.AsString();
  const TBSON doc = ObjToBSON(holder);
  EXPECT_EQ(Elements(doc), (std::vector<std::pair<std::string, int>>{{"Doc", 3}}));
  TWithDocument back;
  BSONToObj(doc, back);
  EXPECT_EQ(back.FDoc, holder.FDoc);
  BSONToObj(TBSONDocBulder{"Doc", "text"}.AsString(), back);
  EXPECT_EQ(back.FDoc, "text");
  holder.FDoc = "not a document";
  EXPECT_EQ(ErrorOf([&] { ObjToBSON(holder); }), "Invalid BSON document (AnsiString)");
}

// A class declaring the kinds that the mapping refuses or passes over.
class TOddKinds : public TPersistent {
  KESTREL_PUBLISHED(TOddKinds)
 public:
  std::string FWide;
};

PropInfo Odd(std::string_view name, PropKind kind) {
  return PropInfo{.name = name, .kind = kind, .type_name = "TOdd"};
}

const PropertyTable& TOddKinds::Table() {
  static const PropertyTable table(
      TPersistent::Table(),
      {props::Text<&TOddKinds::FWide>("Wide", PropKind::WString, "WideString", nullptr),
       Odd("Method", PropKind::Method), Odd("ClassRef", PropKind::ClassRef),
       Odd("Pointer", PropKind::Pointer), Odd("Procedure", PropKind::Procedure)});
  return table;
}

// A class with one property of a refused kind.
template <PropKind Kind>
class TRefused : public TPersistent {
 public:
  const PropertyTable& Properties() const override {
    static const PropertyTable table({Odd("Odd", Kind)});
    return table;
  }
};

template <PropKind Kind>
void ExpectRefusedEverywhere() {
  TRefused<Kind> refused;
  EXPECT_EQ(ErrorOf([&] { ObjToBSON(refused); }), "Not supported property type");
  EXPECT_EQ(ErrorOf([&] {
              BSONToObj(TBSONDocBulder{"Odd", 1}.AsString(), refused);
            }),
            "Not supported property type");
  EXPECT_EQ(ErrorOf([&] { TBSONDocBulder::ClearObject(refused); }), "Not supported property type");
  // A null element is read over before the kind matters.
  TBSONDocBulder null;
  null.WriteNull("Odd");
  BSONToObj(null.AsString(), refused);
}

TEST(MappingKinds, PassedOverKindsWriteNothingAndCannotBeRead) {
  TOddKinds odd;
  odd.FWide = "w";
  EXPECT_EQ(ObjToBSON(odd), Bytes({5, 0, 0, 0, 0}));
  for (const char* name : {"Wide", "Method", "Pointer"}) {
    EXPECT_EQ(ErrorOf([&] {
                BSONToObj(TBSONDocBulder{name, 1}.AsString(), odd);
              }),
              "Not supported property type")
        << name;
  }
  TBSONDocBulder::ClearObject(odd);
  EXPECT_EQ(odd.FWide, "");
}

TEST(MappingKinds, RefusedKindsRaiseEverywhere) {
  ExpectRefusedEverywhere<PropKind::Record>();
  ExpectRefusedEverywhere<PropKind::StaticArray>();
  ExpectRefusedEverywhere<PropKind::Interface>();
  ExpectRefusedEverywhere<PropKind::DynArray>();
}

}  // namespace
}  // namespace kestrel

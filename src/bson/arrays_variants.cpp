// The TBSONDocBulder operations for values that are more than one element
// but not objects: string and integer arrays, variants, and the document
// built from a flat item list.
#include "base/format.h"
#include "base/text.h"
#include "bson/document.h"
#include "bson/index_name.h"
#include "bson/item_list.h"
#include "bson/variant.h"

namespace kestrel {
namespace {

using detail::IndexName;

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// A 64-bit variant value goes out as a 32-bit one; ERangeError outside it.
std::int32_t NarrowToInt32(std::int64_t value) {
  if (value < INT32_MIN || value > INT32_MAX)
    throw ERangeError();
  return static_cast<std::int32_t>(value);
}

bool IsSmallIntegerKind(std::uint16_t kind) {
  return kind == Variant::varShortInt || kind == Variant::varByte || kind == Variant::varSmallint ||
         kind == Variant::varWord || kind == Variant::varInteger;
}

std::string ItemName(const TBSONItem& item, std::size_t position) {
  if (item.tag() == TBSONItem::Tag::Char || item.IsByteText())
    return item.Text();
  throw EBSONError(
      Format("Item %d - invalid type. Expected AnsiString", static_cast<int>(position)));
}

}  // namespace

void TBSONDocBulder::CheckArrayIndexName(int index) const {
  if (LastReadName() != IndexName(static_cast<std::size_t>(index)).View())
    throw EBSONError("Invalid array index");
}

void TBSONDocBulder::WriteArray(std::string_view name, const std::vector<std::string>& items) {
  TBSONDocBulder array;
  for (std::size_t i = 0; i < items.size(); ++i)
    array.WriteString(IndexName(i).View(), Utf8ToWin1251(items[i]));
  WriteArrayDoc(name, array.TakeDocument());
}

void TBSONDocBulder::WriteArray(std::string_view name, const std::vector<std::int32_t>& items) {
  TBSONDocBulder array;
  for (std::size_t i = 0; i < items.size(); ++i)
    array.WriteInt32(IndexName(i).View(), items[i]);
  WriteArrayDoc(name, array.TakeDocument());
}

// The elements are taken in order after one checking pass, and the result
// grows as they are read: an array of elements of the wrong type fails at its
// first element, before anything is set aside for the others.
std::vector<std::string> TBSONDocBulder::ReadStrArray() {
  TBSONDocBulder array;
  array.ViewDocument(ReadDocView(true));
  const int count = array.CountItems();
  std::vector<std::string> items;
  for (int i = 0; i < count; ++i) {
    items.push_back(array.ReadUTF8());
    array.CheckArrayIndexName(i);
  }
  return items;
}

std::vector<std::int32_t> TBSONDocBulder::ReadIntArray() {
  TBSONDocBulder array;
  array.ViewDocument(ReadDocView(true));
  const int count = array.CountItems();
  std::vector<std::int32_t> items;
  for (int i = 0; i < count; ++i) {
    items.push_back(array.ReadInt32());
    array.CheckArrayIndexName(i);
  }
  return items;
}

// Text that is, byte for byte, a document travels as that document.
void TBSONDocBulder::WriteTextOrDocument(std::string_view name, std::string_view bytes,
                                         std::string_view utf8) {
  if (IsBSON(bytes))
    WriteDoc(name, false, bytes);
  else
    WriteUFT8(name, utf8);
}

void TBSONDocBulder::WriteVariant(std::string_view name, const Variant& value) {
  if (value.IsArray())
    throw EBSONError("Variant arrays not supported");
  const std::uint16_t kind = value.Kind();
  if (IsSmallIntegerKind(kind)) {
    WriteInt32(name, static_cast<std::int32_t>(value.Integer()));
    return;
  }
  switch (kind) {
    case Variant::varEmpty:
    case Variant::varNull:
      WriteNull(name);
      return;
    case Variant::varSingle:
    case Variant::varDouble:
      WriteDouble(name, value.Real());
      return;
    case Variant::varCurrency:
      WriteDouble(name, value.AsCurrency().Amount());
      return;
    case Variant::varDate:
      WriteDateTime(name, value.Real());
      return;
    case Variant::varOleStr:
    case Variant::varUString:
      WriteTextOrDocument(name, Utf8ToWin1251(value.Text()), value.Text());
      return;
    case Variant::varString:
      WriteTextOrDocument(name, value.Text(), Win1251ToUtf8(value.Text()));
      return;
    case Variant::varBoolean:
      WriteBool(name, value.AsBoolean());
      return;
    case Variant::varLongWord:
    case Variant::varInt64:
      WriteInt64(name, NarrowToInt32(value.Integer()));
      return;
    default:
      return;
  }
}

Variant TBSONDocBulder::ReadVariant() {
  switch (GetNextType() & 0x7F) {
    case bson_double:
      return Variant::Double(ReadDouble());
    case bson_string:
      return Variant::UString(ReadUTF8());
    case bson_object:
      return Variant::ByteString(ReadDoc(false));
    case bson_array:
      return Variant::ByteString(ReadDoc(true));
    case bson_oid:
      return Variant::ByteString(ReadObjectID());
    case bson_bool:
      return Variant::Boolean(ReadBool());
    case bson_date:
      return Variant::Date(ReadDateTime());
    case bson_null:
      ReadNull();
      return Variant::Null();
    case bson_symbol:
      return Variant::ByteString(ReadString());
    case bson_int:
      return Variant::Int32(ReadInt32());
    case bson_timestamp:
      throw EBSONError("Mongo timestamp can't convert to variant");
    case bson_long:
      return Variant::Int64(ReadInt64());
    default:
      throw EBSONError("Not supported item type");
  }
}

TBSONDocBulder::TBSONDocBulder(std::initializer_list<TBSONItem> items) : TBSONDocBulder() {
  options_ = {};
  const TBSONItem* const list = items.begin();
  const std::size_t count = items.size();
  std::size_t i = 0;
  while (i < count) {
    std::string name = ItemName(list[i], i);
    ++i;
    if (EndsWith(name, ":regex")) {
      name.resize(name.size() - 6);
      if (i >= count)
        throw EBSONError(Format("Invalid bson. Expected pattern for regexp item %s",
                                Win1251ToUtf8(name).c_str()));
      const std::string pattern = ItemName(list[i], i);
      ++i;
      if (i >= count)
        throw EBSONError(Format("Invalid bson. Expected options for regexp item %s",
                                Win1251ToUtf8(name).c_str()));
      const std::string options = ItemName(list[i], i);
      ++i;
      WriteRegex(name, pattern, options);
      continue;
    }
    if (i >= count)
      throw EBSONError(
          Format("Invalid bson. Expected value for item %s", Win1251ToUtf8(name).c_str()));
    WriteItem(name, list[i]);
    ++i;
  }
}

void TBSONDocBulder::WriteItem(std::string_view name, const TBSONItem& item) {
  if (name == "_id") {
    WriteItemId(item);
    return;
  }
  switch (item.tag()) {
    case TBSONItem::Tag::Integer:
      WriteInt32(name, static_cast<std::int32_t>(item.Integer()));
      return;
    case TBSONItem::Tag::Boolean:
      WriteBool(name, item.Integer() != 0);
      return;
    case TBSONItem::Tag::Char:
      WriteUFT8(name, Win1251ToUtf8(item.Text()));
      return;
    case TBSONItem::Tag::Extended:
      if (EndsWith(name, ":dt"))
        WriteDateTime(name.substr(0, name.size() - 3), static_cast<double>(item.Extended()));
      else
        WriteDouble(name, static_cast<double>(item.Extended()));
      return;
    case TBSONItem::Tag::ShortString:
    case TBSONItem::Tag::PChar:
    case TBSONItem::Tag::AnsiString:
      WriteItemBytes(name, item.Text());
      return;
    case TBSONItem::Tag::Currency:
      WriteDouble(name, Currency::FromRaw(item.Integer()).Amount());
      return;
    case TBSONItem::Tag::Variant:
      WriteVariant(name, item.AsVariant());
      return;
    case TBSONItem::Tag::Int64:
      WriteInt64(name, item.Integer());
      return;
    default:
      throw EBSONError("Not supported item type");
  }
}

// Bytes that form a document go in as that document (an array when its
// first element is "0"), any other bytes as Windows-1251 text.
void TBSONDocBulder::WriteItemBytes(std::string_view name, std::string_view bytes) {
  if (!IsBSON(bytes))
    WriteUFT8(name, Win1251ToUtf8(bytes));
  else if (IsBSONarrayitems(bytes))
    WriteArrayDoc(name, bytes);
  else
    WriteDoc(name, false, bytes);
}

void TBSONDocBulder::WriteItemId(const TBSONItem& item) {
  switch (item.tag()) {
    case TBSONItem::Tag::Integer:
    case TBSONItem::Tag::Int64:
      WriteObjectID("_id", item.Integer());
      return;
    case TBSONItem::Tag::ShortString:
    case TBSONItem::Tag::PChar:
    case TBSONItem::Tag::AnsiString:
      WriteObjectID("_id", std::string_view(item.Text()));
      return;
    case TBSONItem::Tag::Variant:
      WriteVariantId("_id", item.AsVariant());
      return;
    default:
      throw EBSONError(
          "Item \"_id\" - not supported type (allowed: integer, int64, AnsiString, variant)");
  }
}

void TBSONDocBulder::WriteVariantId(std::string_view name, const Variant& value) {
  const std::uint16_t kind = value.Kind();
  if (IsSmallIntegerKind(kind)) {
    WriteObjectID(name, value.Integer());
  } else if (kind == Variant::varOleStr) {
    WriteObjectID(name, std::string_view(Utf8ToWin1251(value.Text())));
  } else if (kind == Variant::varString) {
    WriteObjectID(name, std::string_view(value.Text()));
  } else if (kind == Variant::varLongWord || kind == Variant::varInt64) {
    WriteObjectID(name, std::int64_t{NarrowToInt32(value.Integer())});
  } else {
    throw EBSONError(
        Format("Item \"%s\" - not supported variant type kind (allowed: integer, "
               "int64, AnsiString)",
               Win1251ToUtf8(name).c_str()));
  }
}

}  // namespace kestrel

// The object mapping of TBSONDocBulder: writing the published properties of
// an object as elements, filling an object from a document, and clearing an
// object before it is read.
#include "bson/mapping.h"

#include <cstring>
#include <optional>

#include "base/ascii.h"
#include "base/format.h"
#include "base/text.h"
#include "bson/index_name.h"
#include "bson/variant.h"
#include "messages/containers.h"
#include "messages/persistent.h"

namespace kestrel {
namespace {

constexpr std::string_view kIdName = "_id";

// The buffer's length after four growths from the empty document: room for
// most messages, while a result with long texts grows once more.
constexpr std::size_t kObjectCapacity = 405;

[[noreturn]] void ThrowUnsupportedKind() {
  throw EBSONError("Not supported property type");
}

[[noreturn]] void ThrowBadIdKind() {
  throw EBSONError("Property \"_id\" must be type of Integer, Int64 or AnsiString");
}

// Against a literal the compiler compares in line, once the sizes agree.
bool Same(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

bool IsIntegerOrdinal(const PropInfo& prop) {
  return prop.kind == PropKind::Ordinal && prop.ordinal_kind == OrdinalKind::Integer;
}

bool IsRefusedKind(PropKind kind) {
  return kind == PropKind::StaticArray || kind == PropKind::Record || kind == PropKind::Interface ||
         kind == PropKind::DynArray;
}

// Hands a value read by one of the Try readers to `store`; whether there was one.
template <class Value, class Store>
bool StoreRead(const std::optional<Value>& value, Store store) {
  if (value)
    store(*value);
  return value.has_value();
}

}  // namespace

TBSON ObjToBSON(const TPersistent& Obj, TBSONSerializationOptions Options) {
  TBSONDocBulder builder(Obj, Options);
  return builder.TakeDocument();
}

void BSONToObj(const TBSON& Data, TPersistent& Obj, TBSONSerializationOptions Options) {
  TBSONDocBulder builder;
  builder.options_ = Options;
  builder.ViewDocument(Data);
  builder.ReadObject(Obj);
}

TBSONDocBulder::TBSONDocBulder(const TPersistent& obj) : TBSONDocBulder() {
  WriteObjectProps(obj);
}

TBSONDocBulder::TBSONDocBulder(const TPersistent& obj, TBSONSerializationOptions options)
    : TBSONDocBulder() {
  options_ = options;
  WriteObjectProps(obj);
}

void TBSONDocBulder::WriteObjectProps(const TPersistent& obj) {
  // Room for a whole message at once: growing through every length the
  // growth rule passes would allocate and copy at each step.
  buf_.reserve(kObjectCapacity);
  for (const PropInfo& prop : obj.Properties().All()) {
    if (prop.IsStored(obj))
      WriteProperty(obj, prop);
  }
  const auto* array = dynamic_cast<const TPersistentObjArray*>(&obj);
  if (array == nullptr)
    return;
  for (std::int32_t i = 0; i < array->Count(); ++i) {
    const TPersistentObj* element = array->Items(i);
    const detail::IndexName name(static_cast<std::size_t>(i));
    if (element == nullptr)
      WriteNull(name.View());
    else
      WriteSubObject(name.View(), *element);
  }
}

void TBSONDocBulder::WriteProperty(const TPersistent& obj, const PropInfo& prop) {
  const std::string_view name = prop.name;
  if (Same(name, kIdName)) {
    WriteIdProperty(obj, prop);
    return;
  }
  switch (prop.kind) {
    case PropKind::Ordinal:
      if (Same(prop.type_name, "Boolean"))
        WriteBool(name, prop.get_ordinal(obj) != 0);
      else
        WriteInt32(name, prop.get_ordinal(obj));
      return;
    case PropKind::Floating:
      if (Same(prop.type_name, "TDateTime") && !DateTimeAsFloat())
        WriteDateTime(name, prop.get_float(obj));
      else
        WriteDouble(name, prop.get_float(obj));
      return;
    case PropKind::ByteString:
      WriteByteStringProperty(name, prop.type_name, prop.get_string(obj));
      return;
    case PropKind::Class:
      WriteObjectProperty(obj, prop);
      return;
    case PropKind::Variant: {
      Variant value;
      prop.get_variant(obj, value);
      WriteVariant(name, value);
      return;
    }
    case PropKind::Int64:
      WriteInt64(name, prop.get_int64(obj));
      return;
    case PropKind::UString:
      WriteUFT8(name, prop.get_string(obj));
      return;
    default:
      if (IsRefusedKind(prop.kind))
        ThrowUnsupportedKind();
      return;  // wide strings, methods, class references, pointers, procedures
  }
}

void TBSONDocBulder::WriteByteStringProperty(std::string_view name, std::string_view type_name,
                                             const std::string& value) {
  if (Same(type_name, "RawByteString")) {
    WriteBin(name, value);
  } else if (Same(type_name, "TBSON")) {
    if (!IsBSON(value))
      throw EBSONError("Invalid BSON document (AnsiString)");
    WriteDoc(name, false, value);
  } else {
    WriteUFT8(name, Win1251ToUtf8(value));
  }
}

// Zero and empty ids write no element.
void TBSONDocBulder::WriteIdProperty(const TPersistent& obj, const PropInfo& prop) {
  if (IsIntegerOrdinal(prop))
    WriteObjectID(prop.name, std::int64_t{prop.get_ordinal(obj)});
  else if (prop.kind == PropKind::ByteString)
    WriteObjectID(prop.name, std::string_view(prop.get_string(obj)));
  else if (prop.kind == PropKind::Int64)
    WriteObjectID(prop.name, prop.get_int64(obj));
  else
    ThrowBadIdKind();
}

void TBSONDocBulder::WriteObjectProperty(const TPersistent& obj, const PropInfo& prop) {
  const TPersistent* value = prop.get_object(obj);
  if (value == nullptr)
    WriteNull(prop.name);
  else if (const auto* strings = dynamic_cast<const TPersistentStrArray*>(value))
    WriteArray(prop.name, strings->Items);
  else if (const auto* integers = dynamic_cast<const TPersistentIntArray*>(value))
    WriteArray(prop.name, integers->Items);
  else
    WriteSubObject(prop.name, *value);
}

void TBSONDocBulder::WriteSubObject(std::string_view name, const TPersistent& value) {
  TBSONDocBulder sub;
  sub.options_ = options_;
  sub.WriteObjectProps(value);
  const bool is_array = dynamic_cast<const TPersistentObjArray*>(&value) != nullptr;
  WriteDoc(name, is_array, sub.TakeDocument());
}

void TBSONDocBulder::ReadObject(TPersistent& obj) {
  if (ClearObjectBeforeRead())
    ClearObject(obj);
  ReadObjectProps(obj);
}

// Elements may come in any order; the look-up starts after the previous
// match, so elements in table order cost one comparison each.
void TBSONDocBulder::ReadObjectProps(TPersistent& obj) {
  const auto all = obj.Properties().All();
  std::size_t hint = 0;
  for (;;) {
    const auto type = GetNextType();
    if (type == bson_eoo) {
      ++rd_pos_;
      return;
    }
    bool exact = true;
    const PropInfo* prop = MatchHint(all, hint);
    if (prop != nullptr)
      ++hint;
    else
      prop = FindProperty(all, hint, exact);
    named_header_ = rd_pos_;
    if (prop != nullptr) {
      if (!exact || !ReadPlainProperty(obj, *prop))
        ReadProperty(obj, *prop, type, exact);
    } else {
      ReadUnknownElement(obj, type);
    }
  }
}

// The common cases of ReadProperty for an element named exactly like the
// property: a value of the type the property expects, whole and well-formed.
// Anything else returns false with nothing read, and ReadProperty takes it.
bool TBSONDocBulder::ReadPlainProperty(TPersistent& obj, const PropInfo& prop) {
  if (Same(prop.name, kIdName))
    return false;
  switch (prop.kind) {
    case PropKind::Ordinal:
      if (Same(prop.type_name, "Boolean"))
        return StoreRead(TryReadBool(), [&](bool v) { prop.set_ordinal(obj, v ? 1 : 0); });
      return StoreRead(TryReadInt32(), [&](std::int32_t v) { prop.set_ordinal(obj, v); });
    case PropKind::Floating:
      return StoreRead(Same(prop.type_name, "TDateTime") && !DateTimeAsFloat() ? TryReadDateTime()
                                                                               : TryReadDouble(),
                       [&](double v) { prop.set_float(obj, v); });
    case PropKind::Int64:
      return StoreRead(TryReadInt64(), [&](std::int64_t v) { prop.set_int64(obj, v); });
    case PropKind::UString:
      return StoreRead(TryReadUTF8(),
                       [&](std::string_view v) { prop.set_string(obj, std::string(v)); });
    case PropKind::ByteString:
      if (Same(prop.type_name, "RawByteString") || Same(prop.type_name, "TBSON"))
        return false;
      return StoreRead(TryReadUTF8(),
                       [&](std::string_view v) { prop.set_string(obj, Utf8ToWin1251(v)); });
    default:
      return false;
  }
}

// The property at the hint when the element at the cursor bears exactly its
// name, which takes no scan for the name's end; null otherwise. Property
// names hold no zero byte.
const PropInfo* TBSONDocBulder::MatchHint(std::span<const PropInfo> all, std::size_t hint) {
  const std::string_view content = Content();
  const std::size_t start = rd_pos_ + 1;
  if (hint >= all.size() || start >= content.size())
    return nullptr;
  const std::string_view name = all[hint].name;
  if (content.size() - start <= name.size() || content[start + name.size()] != '\0' ||
      std::memcmp(content.data() + start, name.data(), name.size()) != 0)
    return nullptr;
  matched_name_ = name;
  return &all[hint];
}

// The property named like the element at the cursor, ignoring case, found
// from the hint on, whose name it stores as the last read; `exact` tells
// whether the case agrees too, so that the element can go the common way.
// Properties left out of the document (not stored) make the hint miss.
const PropInfo* TBSONDocBulder::FindProperty(std::span<const PropInfo> all, std::size_t& hint,
                                             bool& exact) {
  SetLastReadName(PeekName());
  const std::size_t count = all.size();
  for (std::size_t step = 0; step < count; ++step) {
    const std::size_t index = (hint + step) % count;
    const std::string_view name = all[index].name;
    if (name.size() != read_name_.size())
      continue;
    exact = Same(name, read_name_);
    if (exact || EqualIgnoringAsciiCase(name, read_name_)) {
      hint = index + 1;
      return &all[index];
    }
  }
  return nullptr;
}

// Every branch reads the element or raises, so the loop above always moves on.
void TBSONDocBulder::ReadUnknownElement(TPersistent& obj, bson_type type) {
  if (type == bson_object && Same(LastReadName(), "0")) {
    if (auto* array = dynamic_cast<TPersistentObjArray*>(&obj)) {
      ReadPersistentObjArray(*array);
      return;
    }
  }
  if (!IgnoreUnknownProperties()) {
    throw EBSONError(Format("Property \"%s\" not found", Win1251ToUtf8(LastReadName()).c_str()));
  }
  ReadVariant();
}

// `exact`: the element's name is known to equal the property's. The readers
// leave LastReadName() as the element's name, so the check can be skipped.
void TBSONDocBulder::ReadProperty(TPersistent& obj, const PropInfo& prop, bson_type type,
                                  bool exact) {
  if (Same(prop.name, kIdName)) {
    ReadIdProperty(obj, prop);
  } else if (type == bson_null) {
    ReadNull();
    if (prop.kind == PropKind::Class && prop.set_object != nullptr)
      prop.set_object(obj, nullptr);
  } else {
    ReadValueProperty(obj, prop, type);
  }
  if (!exact && !Same(LastReadName(), prop.name))
    throw EBSONError("Stream read error - invalid item name");
}

void TBSONDocBulder::ReadIdProperty(TPersistent& obj, const PropInfo& prop) {
  if (IsIntegerOrdinal(prop))
    prop.set_ordinal(obj, ReadObjectID32());
  else if (prop.kind == PropKind::ByteString)
    prop.set_string(obj, ReadObjectID());
  else if (prop.kind == PropKind::Int64)
    prop.set_int64(obj, ReadObjectID64());
  else
    ThrowBadIdKind();
}

void TBSONDocBulder::ReadValueProperty(TPersistent& obj, const PropInfo& prop, bson_type type) {
  switch (prop.kind) {
    case PropKind::Ordinal:
      if (Same(prop.type_name, "Boolean"))
        prop.set_ordinal(obj, ReadBool() ? 1 : 0);
      else
        prop.set_ordinal(obj, ReadInt32());
      return;
    case PropKind::Floating:
      if (Same(prop.type_name, "TDateTime") && !DateTimeAsFloat())
        prop.set_float(obj, ReadDateTime());
      else
        prop.set_float(obj, ReadDouble());
      return;
    case PropKind::ByteString:
      prop.set_string(obj, ReadByteStringProperty(prop.type_name, type));
      return;
    case PropKind::Class:
      ReadObjectProperty(obj, prop);
      return;
    case PropKind::Variant:
      prop.set_variant(obj, ReadVariant());
      return;
    case PropKind::Int64:
      prop.set_int64(obj, ReadInt64());
      return;
    case PropKind::UString:
      prop.set_string(obj, ReadUTF8());
      return;
    default:
      ThrowUnsupportedKind();
  }
}

// A "TBSON" property is written as an embedded document, so it is read back
// from one; from a UTF-8 string element it is taken as text like the others.
std::string TBSONDocBulder::ReadByteStringProperty(std::string_view type_name, bson_type type) {
  if (Same(type_name, "RawByteString"))
    return ReadBin();
  if (Same(type_name, "TBSON") && type == bson_object) {
    TBSON document = ReadDoc(false);
    if (!IsBSON(document))
      throw EBSONError("Invalid BSON document (AnsiString)");
    return document;
  }
  return Utf8ToWin1251(ReadUTF8());
}

void TBSONDocBulder::ReadObjectProperty(TPersistent& obj, const PropInfo& prop) {
  TPersistent* value = prop.get_object(obj);
  if (value == nullptr)
    throw EBSONError("Subobject property must be TPersistent type");
  if (auto* strings = dynamic_cast<TPersistentStrArray*>(value))
    strings->Items = ReadStrArray();
  else if (auto* integers = dynamic_cast<TPersistentIntArray*>(value))
    integers->Items = ReadIntArray();
  else if (auto* objects = dynamic_cast<TPersistentObjArray*>(value))
    ReadPersistentObjArray(*objects);
  else
    ReadSubObject(*value);
}

void TBSONDocBulder::ReadSubObject(TPersistent& obj) {
  ReadObjectFrom(ReadDocView(false), obj);
}

void TBSONDocBulder::ReadObjectFrom(std::string_view document, TPersistent& obj) const {
  TBSONDocBulder sub;
  sub.ViewDocument(document);
  sub.options_ = options_;
  sub.ReadObjectProps(obj);
}

// The elements are read with the default options, whatever this builder's
// are. The array's size is checked against its MaxCount before any element
// is made, and each element's type before its object is made, so that a
// forged array costs no more than the objects it may hold.
void TBSONDocBulder::ReadPersistentObjArray(TPersistentObjArray& array) {
  TBSONDocBulder sub;
  sub.ViewDocument(ReadDocView(true));
  array.Clear();
  const int count = sub.CountItems();
  if (count > array.MaxCount()) {
    throw EBSONError(Format("Array \"%s\" holds %d items, more than %d",
                            Win1251ToUtf8(LastReadName()).c_str(), count, array.MaxCount()));
  }
  for (int i = 0; i < count; ++i) {
    const std::string_view element = sub.ReadDocView(false);
    sub.ReadObjectFrom(element, *array.Add());
    sub.CheckArrayIndexName(i);
  }
}

void TBSONDocBulder::ClearObject(TPersistent& obj) {
  for (const PropInfo& prop : obj.Properties().All())
    ClearProperty(obj, prop);
}

void TBSONDocBulder::ClearProperty(TPersistent& obj, const PropInfo& prop) {
  switch (prop.kind) {
    case PropKind::Ordinal:
      prop.set_ordinal(obj, 0);
      return;
    case PropKind::Floating:
      prop.set_float(obj, 0.0);
      return;
    case PropKind::ByteString:
    case PropKind::UString:
    case PropKind::WString:
      prop.set_string(obj, std::string());
      return;
    case PropKind::Variant:
      prop.set_variant(obj, Variant::Int32(0));
      return;
    case PropKind::Int64:
      prop.set_int64(obj, 0);
      return;
    case PropKind::Class:
      if (TPersistent* value = prop.get_object(obj))
        ClearObject(*value);
      return;
    default:
      if (IsRefusedKind(prop.kind))
        ThrowUnsupportedKind();
      return;
  }
}

}  // namespace kestrel

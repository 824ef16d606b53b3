// TBSONItem: one tagged value of the flat name/value list from which
// TBSONDocBulder can build a document, e.g.
//   TBSONDocBulder doc{"Name", "COM1", "Count", 3, "when:dt", 41093.5};
// A braced list of them is the list. Names are byte strings (a C string, a
// std::string_view, a short string or one character); the tags the builder
// refuses (pointer, wide character, UTF-16 text) exist so that callers get
// the builder's error rather than a compile-time surprise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/currency.h"
#include "bson/variant.h"

namespace kestrel {

class TBSONItem {
 public:
  enum class Tag {
    Integer,
    Boolean,
    Char,  // one single-byte character
    Extended,
    ShortString,
    PChar,       // a zero-terminated byte string
    AnsiString,  // a byte string
    Currency,
    Variant,
    Int64,
    Pointer,
    WideChar,
    UnicodeString,
  };

  TBSONItem(std::int32_t value) : tag_(Tag::Integer), integer_(value) {}
  TBSONItem(std::int64_t value) : tag_(Tag::Int64), integer_(value) {}
  TBSONItem(bool value) : tag_(Tag::Boolean), integer_(value ? 1 : 0) {}
  TBSONItem(char value) : tag_(Tag::Char), text_(1, value) {}
  TBSONItem(long double value) : tag_(Tag::Extended), extended_(value) {}
  TBSONItem(double value) : tag_(Tag::Extended), extended_(value) {}
  TBSONItem(const char* value) : tag_(Tag::PChar), text_(value == nullptr ? "" : value) {}
  TBSONItem(std::string_view value) : tag_(Tag::AnsiString), text_(value) {}
  TBSONItem(::kestrel::Currency value) : tag_(Tag::Currency), integer_(value.Raw()) {}
  TBSONItem(::kestrel::Variant value) : tag_(Tag::Variant), variant_(std::move(value)) {}
  TBSONItem(const void* value) : tag_(Tag::Pointer), pointer_(value) {}
  TBSONItem(char16_t value) : tag_(Tag::WideChar), integer_(value) {}
  // A short string keeps at most 255 bytes.
  static TBSONItem ShortString(std::string_view bytes) {
    TBSONItem item(bytes.substr(0, 255));
    item.tag_ = Tag::ShortString;
    return item;
  }
  static TBSONItem UnicodeString(std::string utf8) {
    TBSONItem item(std::string_view{});
    item.tag_ = Tag::UnicodeString;
    item.text_ = std::move(utf8);
    return item;
  }

  Tag tag() const { return tag_; }
  // Integer, Int64, Boolean (0 or 1), Currency (the raw count), WideChar.
  std::int64_t Integer() const { return integer_; }
  long double Extended() const { return extended_; }
  // The bytes of Char, ShortString, PChar and AnsiString; UTF-8 of UnicodeString.
  const std::string& Text() const { return text_; }
  const ::kestrel::Variant& AsVariant() const { return variant_; }
  const void* Pointer() const { return pointer_; }
  bool IsByteText() const {
    return tag_ == Tag::ShortString || tag_ == Tag::PChar || tag_ == Tag::AnsiString;
  }

 private:
  Tag tag_;
  std::int64_t integer_ = 0;
  long double extended_ = 0;
  std::string text_;
  ::kestrel::Variant variant_;
  const void* pointer_ = nullptr;
};

}  // namespace kestrel

// Variant: the small tagged value that the codec reads unknown elements into
// and writes variant properties from. The type codes are the wire-compatible
// ones of the Windows variant, so a code read or logged means the same thing
// on both sides; the array flag exists so that arrays can be refused.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/currency.h"
#include "base/datetime.h"
#include "messages/persistent.h"

namespace kestrel {

class Variant {
 public:
  enum TypeCode : std::uint16_t {
    varEmpty = 0,
    varNull = 1,
    varSmallint = 2,  // 16-bit signed
    varInteger = 3,   // 32-bit signed
    varSingle = 4,
    varDouble = 5,
    varCurrency = 6,
    varDate = 7,
    varOleStr = 8,  // wide text, held as UTF-8
    varBoolean = 11,
    varVariant = 12,   // element type of an array of variants
    varShortInt = 16,  // 8-bit signed
    varByte = 17,
    varWord = 18,
    varLongWord = 19,
    varInt64 = 20,
    varString = 256,   // bytes (Windows-1251 text or a document)
    varUString = 258,  // text, held as UTF-8
  };
  static constexpr std::uint16_t kArrayFlag = 0x2000;
  static constexpr std::uint16_t kByRefFlag = 0x4000;

  Variant() = default;  // empty
  static Variant Null() { return Variant(varNull); }
  static Variant Int8(std::int8_t v) { return MakeIntegral(varShortInt, v); }
  static Variant UInt8(std::uint8_t v) { return MakeIntegral(varByte, v); }
  static Variant Int16(std::int16_t v) { return MakeIntegral(varSmallint, v); }
  static Variant UInt16(std::uint16_t v) { return MakeIntegral(varWord, v); }
  static Variant Int32(std::int32_t v) { return MakeIntegral(varInteger, v); }
  static Variant UInt32(std::uint32_t v) { return MakeIntegral(varLongWord, v); }
  static Variant Int64(std::int64_t v) { return MakeIntegral(varInt64, v); }
  static Variant Boolean(bool v) { return MakeIntegral(varBoolean, v ? 1 : 0); }
  static Variant Single(float v) { return MakeReal(varSingle, v); }
  static Variant Double(double v) { return MakeReal(varDouble, v); }
  static Variant Date(TDateTime v) { return MakeReal(varDate, v); }
  static Variant FromCurrency(Currency v) { return MakeIntegral(varCurrency, v.Raw()); }
  static Variant OleStr(std::string utf8) { return MakeText(varOleStr, std::move(utf8)); }
  static Variant UString(std::string utf8) { return MakeText(varUString, std::move(utf8)); }
  static Variant ByteString(std::string bytes) { return MakeText(varString, std::move(bytes)); }
  // An array of variants: it can be held but not written.
  static Variant Array(std::vector<Variant> elements);

  // The type code with its flags.
  std::uint16_t VType() const { return vtype_; }
  // The type code without the by-reference flag, the array flag kept.
  std::uint16_t Kind() const { return static_cast<std::uint16_t>(vtype_ & ~kByRefFlag); }
  bool IsArray() const { return (vtype_ & kArrayFlag) != 0; }

  // The value of an integral kind (Boolean 0 or 1, Currency its raw count).
  std::int64_t Integer() const { return integer_; }
  // The value of Single, Double and Date.
  double Real() const { return real_; }
  ::kestrel::Currency AsCurrency() const { return ::kestrel::Currency::FromRaw(integer_); }
  bool AsBoolean() const { return integer_ != 0; }
  // The text of OleStr and UString (UTF-8), the bytes of String.
  const std::string& Text() const { return text_; }
  const std::vector<Variant>& Elements() const { return elements_; }

  friend bool operator==(const Variant&, const Variant&) = default;

 private:
  explicit Variant(std::uint16_t vtype) : vtype_(vtype) {}
  static Variant MakeIntegral(std::uint16_t vtype, std::int64_t value);
  static Variant MakeReal(std::uint16_t vtype, double value);
  static Variant MakeText(std::uint16_t vtype, std::string text);

  std::uint16_t vtype_ = varEmpty;
  std::int64_t integer_ = 0;
  double real_ = 0;
  std::string text_;
  std::vector<Variant> elements_;
};

namespace props {

// A Variant field, e.g. props::VariantField<&C::FValue>("Value").
template <auto Field, auto Setter = nullptr>
PropInfo VariantField(std::string_view name, PropInfo::StoredTest stored = nullptr) {
  PropInfo p{.name = name, .kind = PropKind::Variant, .type_name = "Variant"};
  p.stored = stored;
  p.get_variant = [](const TPersistent& o, Variant& out) { out = detail::Ref<Field>(o); };
  p.set_variant = [](TPersistent& o, const Variant& v) { detail::Assign<Field, Setter>(o, v); };
  return p;
}

}  // namespace props
}  // namespace kestrel

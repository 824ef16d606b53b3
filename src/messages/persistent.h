// TPersistent and its published-property model: each class declares one
// table of properties (inherited ones first, then its own in declaration
// order), and the BSON mapping walks that table to encode and decode objects.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/currency.h"
#include "base/datetime.h"

namespace kestrel {

class TPersistent;
class Variant;  // the tagged value of the BSON codec

// The kinds the mapping tells apart. The last eight exist so that a class may
// declare them: the first four of those are refused, the rest passed over.
enum class PropKind {
  Ordinal,     // integers up to 32 bits, characters, enumerations, Boolean, sets
  Floating,    // Double, Single, TDateTime, Currency
  ByteString,  // AnsiString, RawByteString, TBSON, short strings
  UString,     // UTF-16 text in the original, UTF-8 here
  WString,
  Int64,
  Class,  // an object reference
  Variant,
  StaticArray,
  Record,
  Interface,
  DynArray,
  Method,
  ClassRef,
  Pointer,
  Procedure,
};

// What an ordinal property holds; only integers may carry an "_id".
enum class OrdinalKind { Integer, Char, Enumeration, Set };

// Which floating type; Currency travels as its amount.
enum class FloatKind { Double, Single, Currency };

struct PropInfo {
  using StoredTest = bool (*)(const TPersistent&);

  std::string_view name;
  PropKind kind = PropKind::Ordinal;
  // The type's name; the mapping looks at "Boolean", "TDateTime", "RawByteString", "TBSON".
  std::string_view type_name;
  OrdinalKind ordinal_kind = OrdinalKind::Integer;
  FloatKind float_kind = FloatKind::Double;
  // Written only when this holds; null means always. `never_stored` wins over it.
  StoredTest stored = nullptr;
  bool never_stored = false;

  // The accessors of the property's kind; the others stay null. String
  // accessors serve ByteString (bytes), UString and WString (UTF-8 text).
  std::int32_t (*get_ordinal)(const TPersistent&) = nullptr;
  void (*set_ordinal)(TPersistent&, std::int32_t) = nullptr;
  double (*get_float)(const TPersistent&) = nullptr;
  void (*set_float)(TPersistent&, double) = nullptr;
  const std::string& (*get_string)(const TPersistent&) = nullptr;
  void (*set_string)(TPersistent&, std::string) = nullptr;
  std::int64_t (*get_int64)(const TPersistent&) = nullptr;
  void (*set_int64)(TPersistent&, std::int64_t) = nullptr;
  TPersistent* (*get_object)(const TPersistent&) = nullptr;
  void (*set_object)(TPersistent&, TPersistent*) = nullptr;
  void (*get_variant)(const TPersistent&, Variant&) = nullptr;
  void (*set_variant)(TPersistent&, const Variant&) = nullptr;

  bool IsStored(const TPersistent& object) const {
    return !never_stored && (stored == nullptr || stored(object));
  }
};

// The ordered published properties of one class.
class PropertyTable {
 public:
  PropertyTable(std::initializer_list<PropInfo> own);
  PropertyTable(const PropertyTable& inherited, std::initializer_list<PropInfo> own);

  std::span<const PropInfo> All() const { return properties_; }
  std::size_t Size() const { return properties_.size(); }
  // The property whose name equals `name` ignoring the case of ASCII
  // letters; null when there is none. `hint` is where to look first (the
  // index after the previous match, since elements usually come in order)
  // and is updated to the index after the one found.
  const PropInfo* FindIgnoringCase(std::string_view name, std::size_t& hint) const;
  const PropInfo* FindIgnoringCase(std::string_view name) const;

 private:
  std::vector<PropInfo> properties_;
};

// The root of every class that has published properties.
class TPersistent {
 public:
  TPersistent() = default;
  TPersistent(const TPersistent&) = delete;
  TPersistent& operator=(const TPersistent&) = delete;
  virtual ~TPersistent() = default;

  static const PropertyTable& Table();
  virtual const PropertyTable& Properties() const { return Table(); }
  virtual std::string_view ClassName() const { return "TPersistent"; }
};

// Declares what each published class provides: its table and its name.
#define KESTREL_PUBLISHED(ClassType)                            \
 public:                                                        \
  static const ::kestrel::PropertyTable& Table();               \
  const ::kestrel::PropertyTable& Properties() const override { \
    return Table();                                             \
  }                                                             \
  std::string_view ClassName() const override {                 \
    return #ClassType;                                          \
  }

// Builders of table entries from a field (a pointer to data member) and an
// optional setter (a pointer to member function taking the value), e.g.
//   props::Integer<&TPrintCmd::FTimeOut, &TPrintCmd::SetTimeOut>("TimeOut")
namespace props {
namespace detail {

template <auto Field>
struct FieldOf;
template <class C, class T, T C::*Field>
struct FieldOf<Field> {
  using Class = C;
  using Type = T;
};

template <auto Field>
using ClassOf = typename FieldOf<Field>::Class;

template <auto Field>
auto& Ref(const TPersistent& object) {
  return static_cast<const ClassOf<Field>&>(object).*Field;
}

// Forwards the value, so that a string read from a document is moved once
// into its field rather than copied through temporaries.
template <auto Field, auto Setter, class Value>
void Assign(TPersistent& object, Value&& value) {
  auto& target = static_cast<ClassOf<Field>&>(object);
  using Type = typename FieldOf<Field>::Type;
  if constexpr (!std::is_null_pointer_v<decltype(Setter)>) {
    (target.*Setter)(std::forward<Value>(value));
  } else if constexpr (std::is_same_v<std::remove_cvref_t<Value>, Type>) {
    target.*Field = std::forward<Value>(value);
  } else {
    target.*Field = static_cast<Type>(std::forward<Value>(value));
  }
}

}  // namespace detail

// Stored predicates for the common cases.
template <auto Field>
bool NonEmpty(const TPersistent& object) {
  return !detail::Ref<Field>(object).empty();
}
template <auto Field>
bool NonZero(const TPersistent& object) {
  const auto& value = detail::Ref<Field>(object);
  if constexpr (std::is_same_v<std::remove_cvref_t<decltype(value)>, Currency>) {
    return value.Raw() != 0;
  } else {
    return value != 0;
  }
}

template <auto Field, auto Setter = nullptr>
PropInfo Ordinal(std::string_view name, std::string_view type_name, OrdinalKind ordinal_kind,
                 PropInfo::StoredTest stored = nullptr) {
  PropInfo p{.name = name, .kind = PropKind::Ordinal, .type_name = type_name};
  p.ordinal_kind = ordinal_kind;
  p.stored = stored;
  p.get_ordinal = [](const TPersistent& o) {
    return static_cast<std::int32_t>(detail::Ref<Field>(o));
  };
  p.set_ordinal = [](TPersistent& o, std::int32_t v) { detail::Assign<Field, Setter>(o, v); };
  return p;
}

template <auto Field, auto Setter = nullptr>
PropInfo Integer(std::string_view name, PropInfo::StoredTest stored = nullptr) {
  return Ordinal<Field, Setter>(name, "Integer", OrdinalKind::Integer, stored);
}
template <auto Field, auto Setter = nullptr>
PropInfo Word(std::string_view name, PropInfo::StoredTest stored = nullptr) {
  return Ordinal<Field, Setter>(name, "Word", OrdinalKind::Integer, stored);
}
template <auto Field, auto Setter = nullptr>
PropInfo Boolean(std::string_view name, PropInfo::StoredTest stored = nullptr) {
  PropInfo p = Ordinal<Field, Setter>(name, "Boolean", OrdinalKind::Enumeration, stored);
  // Any non-zero value read back is true, as the ordinal 1.
  p.set_ordinal = [](TPersistent& o, std::int32_t v) { detail::Assign<Field, Setter>(o, v != 0); };
  return p;
}

template <auto Field, auto Setter = nullptr>
PropInfo Int64(std::string_view name, PropInfo::StoredTest stored = nullptr) {
  PropInfo p{.name = name, .kind = PropKind::Int64, .type_name = "Int64"};
  p.stored = stored;
  p.get_int64 = [](const TPersistent& o) {
    return static_cast<std::int64_t>(detail::Ref<Field>(o));
  };
  p.set_int64 = [](TPersistent& o, std::int64_t v) { detail::Assign<Field, Setter>(o, v); };
  return p;
}

template <auto Field, auto Setter = nullptr>
PropInfo Double(std::string_view name, PropInfo::StoredTest stored = nullptr,
                std::string_view type_name = "Double") {
  PropInfo p{.name = name, .kind = PropKind::Floating, .type_name = type_name};
  p.stored = stored;
  p.get_float = [](const TPersistent& o) { return static_cast<double>(detail::Ref<Field>(o)); };
  p.set_float = [](TPersistent& o, double v) { detail::Assign<Field, Setter>(o, v); };
  return p;
}

template <auto Field, auto Setter = nullptr>
PropInfo DateTime(std::string_view name, PropInfo::StoredTest stored = nullptr) {
  return Double<Field, Setter>(name, stored, "TDateTime");
}

// A Currency field travels as its amount; setting it rounds to four places
// (ERangeError when the amount does not fit).
template <auto Field, auto Setter = nullptr>
PropInfo Currency(std::string_view name, PropInfo::StoredTest stored = nullptr) {
  PropInfo p{.name = name, .kind = PropKind::Floating, .type_name = "Currency"};
  p.float_kind = FloatKind::Currency;
  p.stored = stored;
  p.get_float = [](const TPersistent& o) { return detail::Ref<Field>(o).Amount(); };
  p.set_float = [](TPersistent& o, double v) {
    detail::Assign<Field, Setter>(o, ::kestrel::Currency::FromAmount(v));
  };
  return p;
}

template <auto Field, auto Setter = nullptr>
PropInfo Text(std::string_view name, PropKind kind, std::string_view type_name,
              PropInfo::StoredTest stored) {
  PropInfo p{.name = name, .kind = kind, .type_name = type_name};
  p.stored = stored;
  p.get_string = [](const TPersistent& o) -> const std::string& { return detail::Ref<Field>(o); };
  p.set_string = [](TPersistent& o, std::string v) {
    detail::Assign<Field, Setter>(o, std::move(v));
  };
  return p;
}

// UTF-8 text (a "string" property).
template <auto Field, auto Setter = nullptr>
PropInfo String(std::string_view name, PropInfo::StoredTest stored = nullptr) {
  return Text<Field, Setter>(name, PropKind::UString, "string", stored);
}
// Single-byte text in the ANSI code page (an "AnsiString" property).
template <auto Field, auto Setter = nullptr>
PropInfo AnsiString(std::string_view name, PropInfo::StoredTest stored = nullptr) {
  return Text<Field, Setter>(name, PropKind::ByteString, "AnsiString", stored);
}
// Arbitrary bytes (a binary element on the wire).
template <auto Field, auto Setter = nullptr>
PropInfo RawByteString(std::string_view name, PropInfo::StoredTest stored = nullptr) {
  return Text<Field, Setter>(name, PropKind::ByteString, "RawByteString", stored);
}
// One whole BSON document held as bytes.
template <auto Field, auto Setter = nullptr>
PropInfo Bson(std::string_view name, PropInfo::StoredTest stored = nullptr) {
  return Text<Field, Setter>(name, PropKind::ByteString, "TBSON", stored);
}

// A sub-object owned by the class: the field is the object itself or a
// std::unique_ptr to it. Without a setter the property is read-only for
// assignment (the mapping fills the existing object instead).
template <auto Field, auto Setter = nullptr>
PropInfo Object(std::string_view name, std::string_view type_name,
                PropInfo::StoredTest stored = nullptr) {
  PropInfo p{.name = name, .kind = PropKind::Class, .type_name = type_name};
  p.stored = stored;
  p.get_object = [](const TPersistent& o) -> TPersistent* {
    auto& field =
        const_cast<std::remove_cvref_t<decltype(detail::Ref<Field>(o))>&>(detail::Ref<Field>(o));
    if constexpr (std::is_pointer_v<std::remove_cvref_t<decltype(field)>>) {
      return field;
    } else if constexpr (requires { field.get(); }) {
      return field.get();
    } else {
      return &field;
    }
  };
  if constexpr (!std::is_null_pointer_v<decltype(Setter)>) {
    p.set_object = [](TPersistent& o, TPersistent* v) {
      (static_cast<detail::ClassOf<Field>&>(o).*Setter)(v);
    };
  }
  return p;
}

}  // namespace props
}  // namespace kestrel

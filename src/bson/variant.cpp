#include "bson/variant.h"

namespace kestrel {

Variant Variant::Array(std::vector<Variant> elements) {
  Variant v(kArrayFlag | varVariant);
  v.elements_ = std::move(elements);
  return v;
}

Variant Variant::MakeIntegral(std::uint16_t vtype, std::int64_t value) {
  Variant v(vtype);
  v.integer_ = value;
  return v;
}

Variant Variant::MakeReal(std::uint16_t vtype, double value) {
  Variant v(vtype);
  v.real_ = value;
  return v;
}

Variant Variant::MakeText(std::uint16_t vtype, std::string text) {
  Variant v(vtype);
  v.text_ = std::move(text);
  return v;
}

}  // namespace kestrel

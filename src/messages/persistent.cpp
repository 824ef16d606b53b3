#include "messages/persistent.h"

#include "base/ascii.h"

namespace kestrel {
PropertyTable::PropertyTable(std::initializer_list<PropInfo> own) : properties_(own) {}

PropertyTable::PropertyTable(const PropertyTable& inherited, std::initializer_list<PropInfo> own)
    : properties_(inherited.properties_) {
  properties_.insert(properties_.end(), own.begin(), own.end());
}

const PropInfo* PropertyTable::FindIgnoringCase(std::string_view name, std::size_t& hint) const {
  const std::size_t count = properties_.size();
  for (std::size_t step = 0; step < count; ++step) {
    const std::size_t index = (hint + step) % count;
    if (EqualIgnoringAsciiCase(properties_[index].name, name)) {
      hint = index + 1;
      return &properties_[index];
    }
  }
  return nullptr;
}

const PropInfo* PropertyTable::FindIgnoringCase(std::string_view name) const {
  std::size_t hint = 0;
  return FindIgnoringCase(name, hint);
}

const PropertyTable& TPersistent::Table() {
  static const PropertyTable table{};
  return table;
}

}  // namespace kestrel

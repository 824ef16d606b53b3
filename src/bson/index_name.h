// The decimal element names "0", "1", … of array documents, built without
// allocating.
#pragma once

#include <charconv>
#include <cstddef>
#include <string_view>

namespace kestrel::detail {

class IndexName {
 public:
  explicit IndexName(std::size_t index)
      : length_(static_cast<std::size_t>(
            std::to_chars(digits_, digits_ + sizeof digits_, index).ptr - digits_)) {}
  std::string_view View() const { return std::string_view(digits_, length_); }

 private:
  char digits_[24];
  std::size_t length_;
};

}  // namespace kestrel::detail

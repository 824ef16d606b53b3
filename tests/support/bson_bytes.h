// Helpers for tests that spell BSON documents byte by byte.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "bson/document.h"

namespace kestrel::testing {

inline std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (const int v : values)
    bytes += static_cast<char>(v);
  return bytes;
}

// The document made of `elements` (each: type, name, payload).
inline std::string Document(const std::string& elements) {
  const auto length = static_cast<std::uint32_t>(elements.size() + 5);
  std::string doc;
  for (int i = 0; i < 4; ++i)
    doc += static_cast<char>(length >> (8 * i));
  return doc + elements + '\0';
}

// Runs `action` and returns the EBSONError message it raises, or "no error".
template <class Action>
std::string ErrorOf(Action action) {
  try {
    action();
  } catch (const EBSONError& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace kestrel::testing

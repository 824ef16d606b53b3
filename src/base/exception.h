// The exceptions that carry the system's message texts, and the range check
// that every array, string and slot index goes through.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kestrel {

// The general failure: its message is UTF-8 text that may end up in a log
// line or in the Error of an answer.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

// An index outside its bounds; the message is always "Range check error".
class ERangeError : public Exception {
 public:
  ERangeError() : Exception("Range check error") {}
};

// A text that does not convert to the value wanted (a date, a number).
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// Raises ERangeError unless 0 <= index < bound.
inline void CheckIndex(std::int64_t index, std::int64_t bound) {
  if (index < 0 || index >= bound)
    throw ERangeError();
}

}  // namespace kestrel

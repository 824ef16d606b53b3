// TDateTime: a double day count since 1899-12-30 00:00 whose fraction is the
// time of day, with conversions to and from calendar fields.
#pragma once

#include <cstdint>

namespace kestrel {

using TDateTime = double;

struct DateTimeParts {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  friend bool operator==(const DateTimeParts&, const DateTimeParts&) = default;
};

// Days from 1899-12-30 to 1970-01-01.
inline constexpr double kUnixEpochDays = 25569.0;
inline constexpr double kMillisecondsPerDay = 86400000.0;

// False when a field is out of range (month 13, 31 February, hour 24...).
bool TryEncodeDateTime(const DateTimeParts& parts, TDateTime& result);
// EConvertError when a field is out of range.
TDateTime EncodeDateTime(const DateTimeParts& parts);
// Splits a date-time into fields, rounded to the millisecond; negative values
// count back from 1899-12-30 with a positive time of day as usual.
DateTimeParts DecodeDateTime(TDateTime value);

}  // namespace kestrel

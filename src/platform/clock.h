// Clocks: the monotonic millisecond tick count and local civil time.
#pragma once

#include <cstdint>

#include "base/datetime.h"

namespace kestrel::platform {

// Milliseconds since an arbitrary start; never goes back.
std::uint64_t MonotonicMilliseconds();
// What is left of a wait of `timeout_ms` begun at the tick count `start`: 0
// once it has run out.
int MillisecondsLeft(std::uint64_t start, int timeout_ms);

struct CivilTime {
  int year, month, day, hour, minute, second, millisecond;
};

CivilTime LocalNow();
// A Unix time (UTC seconds and nanoseconds) in the machine's time zone.
CivilTime LocalFromUnix(std::int64_t seconds, std::int32_t nanoseconds);

// The same two as date-times.
TDateTime Now();
TDateTime UnixToLocalDateTime(std::int64_t seconds, std::int32_t nanoseconds);

}  // namespace kestrel::platform

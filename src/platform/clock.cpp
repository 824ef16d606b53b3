// The parts of the clock common to every system.
#include "platform/clock.h"

namespace kestrel::platform {
namespace {

TDateTime FromCivilTime(const CivilTime& t) {
  return EncodeDateTime({t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond});
}

}  // namespace

int MillisecondsLeft(std::uint64_t start, int timeout_ms) {
  const std::uint64_t spent = MonotonicMilliseconds() - start;
  return spent >= static_cast<std::uint64_t>(timeout_ms) ? 0 : timeout_ms - static_cast<int>(spent);
}

TDateTime Now() {
  return FromCivilTime(LocalNow());
}

TDateTime UnixToLocalDateTime(std::int64_t seconds, std::int32_t nanoseconds) {
  return FromCivilTime(LocalFromUnix(seconds, nanoseconds));
}

}  // namespace kestrel::platform

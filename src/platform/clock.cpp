// The date-time forms of the clock, common to every system.
#include "platform/clock.h"

namespace kestrel::platform {
namespace {

TDateTime FromCivilTime(const CivilTime& t) {
  return EncodeDateTime({t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond});
}

}  // namespace

TDateTime Now() {
  return FromCivilTime(LocalNow());
}

TDateTime UnixToLocalDateTime(std::int64_t seconds, std::int32_t nanoseconds) {
  return FromCivilTime(LocalFromUnix(seconds, nanoseconds));
}

}  // namespace kestrel::platform

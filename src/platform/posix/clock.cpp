#include "platform/clock.h"

#include <time.h>

namespace kestrel::platform {

std::uint64_t MonotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

CivilTime LocalFromUnix(std::int64_t seconds, std::int32_t nanoseconds) {
  const time_t whole = static_cast<time_t>(seconds);
  tm local{};
  localtime_r(&whole, &local);
  return CivilTime{local.tm_year + 1900,
                   local.tm_mon + 1,
                   local.tm_mday,
                   local.tm_hour,
                   local.tm_min,
                   local.tm_sec,
                   static_cast<int>(nanoseconds / 1000000)};
}

CivilTime LocalNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return LocalFromUnix(now.tv_sec, static_cast<std::int32_t>(now.tv_nsec));
}

}  // namespace kestrel::platform

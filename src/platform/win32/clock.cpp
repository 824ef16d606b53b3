#include "platform/clock.h"

#include <windows.h>

namespace kestrel::platform {
namespace {

// 100-nanosecond intervals between 1601-01-01 (the FILETIME epoch) and
// 1970-01-01 (the Unix one).
constexpr std::int64_t kUnixEpochIn100ns = 116444736000000000;
constexpr std::int64_t k100nsPerSecond = 10000000;

CivilTime FromSystemTime(const SYSTEMTIME& time) {
  return CivilTime{time.wYear,   time.wMonth,  time.wDay,         time.wHour,
                   time.wMinute, time.wSecond, time.wMilliseconds};
}

}  // namespace

std::uint64_t MonotonicMilliseconds() {
  return GetTickCount64();
}

// The zone's rules of the year in question, not this year's, decide whether
// summer time applied. A moment before 1601 or past 30828, which no file of
// this system carries, reads as the nearest moment that Windows can show.
CivilTime LocalFromUnix(std::int64_t seconds, std::int32_t nanoseconds) {
  constexpr std::int64_t kEarliest = -kUnixEpochIn100ns / k100nsPerSecond;
  constexpr std::int64_t kLatest = 910692730084;  // 30828-09-14 02:48:04 UTC
  const std::int64_t clamped = seconds < kEarliest ? kEarliest
                               : seconds > kLatest ? kLatest
                                                   : seconds;
  const std::uint64_t ticks =
      static_cast<std::uint64_t>(clamped * k100nsPerSecond + kUnixEpochIn100ns + nanoseconds / 100);
  FILETIME utc_file_time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME utc{};
  SYSTEMTIME local{};
  TIME_ZONE_INFORMATION zone{};
  if (!FileTimeToSystemTime(&utc_file_time, &utc))
    return CivilTime{1601, 1, 1, 0, 0, 0, 0};
  if (!GetTimeZoneInformationForYear(utc.wYear, nullptr, &zone) ||
      !SystemTimeToTzSpecificLocalTime(&zone, &utc, &local))
    return FromSystemTime(utc);
  return FromSystemTime(local);
}

CivilTime LocalNow() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  return FromSystemTime(local);
}

}  // namespace kestrel::platform

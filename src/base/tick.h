// The 32-bit millisecond tick count. It wraps after about 49 days, so callers
// compare ticks by unsigned difference, never by order.
#pragma once

#include <cstdint>

namespace kestrel {

std::uint32_t GetTickCount();

// Milliseconds from `start` to now, correct across one wrap of the count.
inline std::uint32_t TicksSince(std::uint32_t start) {
  return GetTickCount() - start;
}

}  // namespace kestrel

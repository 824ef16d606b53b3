#include "base/tick.h"

#include "platform/clock.h"

namespace kestrel {

std::uint32_t GetTickCount() {
  return static_cast<std::uint32_t>(platform::MonotonicMilliseconds());
}

}  // namespace kestrel

#include "base/currency.h"

#include <cfenv>
#include <cmath>

#include "base/exception.h"

namespace kestrel {

Currency Currency::FromAmount(double amount) {
  const long double scaled = static_cast<long double>(amount) * 10000.0L;
  // 2^63 is exactly representable; anything at or beyond it cannot be held.
  constexpr long double kLimit = 9223372036854775808.0L;
  if (!(scaled > -kLimit && scaled < kLimit))
    throw ERangeError();
  // nearbyint follows the current rounding mode, which is to-nearest-even
  // unless someone changed it; say so explicitly rather than rely on it.
  const int previous = std::fegetround();
  std::fesetround(FE_TONEAREST);
  const long double rounded = std::nearbyintl(scaled);
  std::fesetround(previous);
  if (!(rounded > -kLimit && rounded < kLimit))
    throw ERangeError();
  return Currency(static_cast<std::int64_t>(rounded));
}

}  // namespace kestrel

#include "base/currency.h"

#include "base/exception.h"

namespace kestrel {

Currency Currency::FromAmount(double amount) {
  const long double scaled = static_cast<long double>(amount) * 10000.0L;
  // 2^63 is exactly representable; anything at or beyond it cannot be held.
  constexpr long double kLimit = 9223372036854775808.0L;
  if (!(scaled > -kLimit && scaled < kLimit))
    throw ERangeError();
  // Halves to even by hand: independent of the rounding mode and much cheaper
  // than switching the mode around nearbyint. The fraction left after
  // truncation is exact, and near the limits there is none.
  std::int64_t rounded = static_cast<std::int64_t>(scaled);
  const long double fraction = scaled - static_cast<long double>(rounded);
  const bool odd = (rounded & 1) != 0;
  if (fraction > 0.5L || (fraction == 0.5L && odd))
    ++rounded;
  else if (fraction < -0.5L || (fraction == -0.5L && odd))
    --rounded;
  return Currency(rounded);
}

}  // namespace kestrel

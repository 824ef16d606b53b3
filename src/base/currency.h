// Currency: a fixed-point amount held as a 64-bit integer of ten-thousandths.
#pragma once

#include <cstdint>

namespace kestrel {

class Currency {
 public:
  constexpr Currency() = default;
  static constexpr Currency FromRaw(std::int64_t raw) { return Currency(raw); }
  // Amount × 10000 rounded to the nearest, halves to even; ERangeError when
  // the amount does not fit (or is not a number).
  static Currency FromAmount(double amount);

  constexpr std::int64_t Raw() const { return raw_; }
  double Amount() const { return static_cast<double>(raw_) / 10000.0; }

  friend constexpr bool operator==(Currency, Currency) = default;

 private:
  constexpr explicit Currency(std::int64_t raw) : raw_(raw) {}
  std::int64_t raw_ = 0;
};

}  // namespace kestrel

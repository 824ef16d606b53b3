#include "app/params.h"

#include <limits>

#include "base/ascii.h"

namespace kestrel {
namespace {

// Accumulates negatively so that the most negative value fits as well.
std::optional<std::int64_t> ParseDigits(std::string_view digits, bool negative) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  if (digits.empty())
    return std::nullopt;
  std::int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9')
      return std::nullopt;
    const int digit = c - '0';
    if (value < (kMin + digit) / 10)
      return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative && value == kMin)
    return std::nullopt;
  return negative ? value : -value;
}

}  // namespace

std::optional<std::int64_t> ParseInt64(std::string_view text) {
  const bool negative = text.starts_with('-');
  if (negative || text.starts_with('+'))
    text.remove_prefix(1);
  return ParseDigits(text, negative);
}

std::string InvalidParamMessage(std::string_view name, std::string_view value) {
  return "Неверное значение параметра " + std::string(name) + ": " + std::string(value);
}

std::string GetFromParamStr(const std::vector<std::string>& args, std::string_view name,
                            const std::string& def, bool must_be_int, const LogFunction& log) {
  const std::string prefix = std::string(name) + ":";
  for (const std::string& arg : args) {
    const std::string lowered = LowerAscii(arg);
    if (!lowered.starts_with(prefix))
      continue;
    const std::string value(TrimBlanksAndControls(std::string_view(lowered).substr(prefix.size())));
    if (must_be_int && !ParseInt64(value)) {
      log(InvalidParamMessage(name, value));
      return def;
    }
    return value;
  }
  return def;
}

}  // namespace kestrel

#include "app/params.h"

#include <limits>

namespace kestrel {
namespace {

std::string AsciiLowerCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

// Blanks and control characters are the bytes up to and including " ".
bool IsTrimmed(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsTrimmed(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsTrimmed(text.back()))
    text.remove_suffix(1);
  return text;
}

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
    const std::string lowered = AsciiLowerCase(arg);
    if (!lowered.starts_with(prefix))
      continue;
    const std::string value(Trim(std::string_view(lowered).substr(prefix.size())));
    if (must_be_int && !ParseInt64(value)) {
      log(InvalidParamMessage(name, value));
      return def;
    }
    return value;
  }
  return def;
}

}  // namespace kestrel

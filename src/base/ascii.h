// ASCII-only byte helpers: they never depend on the process's locale, and
// leave every byte outside ASCII as it is.
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// Without the blanks and control characters (the bytes up to and including
// " ") at either end.
std::string_view TrimBlanksAndControls(std::string_view text);

// The value of the digit `c` in `base` (10, or 16 with either case of
// letter), or -1 when it is not one.
int DigitValue(char c, int base);

constexpr bool IsAsciiAlnum(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

constexpr char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string LowerAscii(std::string_view text);
std::string UpperAscii(std::string_view text);
bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b);
bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix);

// `text` with every byte that `kept` refuses written as "%" and two
// upper-case hexadecimal digits.
template <class Kept>
std::string PercentEncoded(std::string_view text, Kept kept) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (const unsigned char c : text) {
    if (kept(c)) {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 0xF];
    }
  }
  return encoded;
}

}  // namespace kestrel

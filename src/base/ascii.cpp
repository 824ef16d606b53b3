#include "base/ascii.h"

namespace kestrel {
namespace {

bool IsBlankOrControl(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

}  // namespace

std::string_view TrimBlanksAndControls(std::string_view text) {
  while (!text.empty() && IsBlankOrControl(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsBlankOrControl(text.back()))
    text.remove_suffix(1);
  return text;
}

int DigitValue(char c, int base) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (base == 16 && c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (base == 16 && c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

std::string LowerAscii(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    c = LowerAscii(c);
  return result;
}

std::string UpperAscii(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i]))
      return false;
  }
  return true;
}

bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  return EqualIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace kestrel

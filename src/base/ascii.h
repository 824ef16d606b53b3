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

char LowerAscii(char c);
std::string LowerAscii(std::string_view text);
std::string UpperAscii(std::string_view text);

}  // namespace kestrel

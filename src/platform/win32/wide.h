// Text at the W calls of the Windows API: UTF-8 inside the program, UTF-16
// only where the system takes or gives it.
#pragma once

#include <string>
#include <string_view>

namespace kestrel::platform {

// UTF-8 to UTF-16; a byte that is not valid UTF-8 becomes U+FFFD.
std::wstring Wide(std::string_view utf8);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Narrow(std::wstring_view utf16);

}  // namespace kestrel::platform

// Paths as this system writes them.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestrel::platform {

// True for a character that ends a folder's name in a path: "/", and on
// Windows "\" as well.
bool IsPathSeparator(char c);

// Where the file name of `path` starts: just past its last separator, or 0
// when it has none.
std::size_t FileNameStart(std::string_view path);

}  // namespace kestrel::platform

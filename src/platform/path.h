// Paths as this system writes them.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestrel::platform {

// True for a character that ends a folder's name in a path: "/", and on
// Windows "\" as well.
bool IsPathSeparator(char c);

// True when `part`, one name between separators, names an ordinary file or
// folder inside its folder. Everything is on Linux; Windows takes a device
// ("NUL", "COM1.txt" in any folder), a drive or a stream (anything with ":"),
// a wildcard, and a name ending in "." or " " (which it drops) for
// something else.
bool IsOrdinaryName(std::string_view part);

// Where the file name of `path` starts: just past its last separator, or 0
// when it has none.
std::size_t FileNameStart(std::string_view path);

}  // namespace kestrel::platform

// printf-style formatting into std::string, for the system's message
// patterns ("%s", "%d") which are given in that notation.
#pragma once

#include <string>

namespace kestrel {

std::string Format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kestrel

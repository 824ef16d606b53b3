// A program's arguments as the one command line that Windows hands a new
// process.
#pragma once

#include <string>
#include <vector>

namespace kestrel::platform {

// `program` and `arguments` as one command line that a program's C runtime
// (or CommandLineToArgvW) splits back into exactly these words: blanks,
// quotes and backslashes survive. The program name is quoted but never
// escaped, as it is read by its own rule and a path holds no quotes.
std::string QuotedCommandLine(const std::string& program,
                              const std::vector<std::string>& arguments);

}  // namespace kestrel::platform

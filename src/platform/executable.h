// The running program's own executable file.
#pragma once

#include <string>
#include <vector>

namespace kestrel::platform {

// The absolute path of the file this process was started from, as it was
// named when the process started; empty when the system cannot tell.
std::string RunningExecutablePath();

// The command line in UTF-8, the program path first; `argc` and `argv` are
// main's own, which already are that where the system passes bytes.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace kestrel::platform

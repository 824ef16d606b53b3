// The running program's own executable file.
#pragma once

#include <string>

namespace kestrel::platform {

// The absolute path of the file this process was started from, as it was
// named when the process started; empty when the system cannot tell.
std::string RunningExecutablePath();

}  // namespace kestrel::platform

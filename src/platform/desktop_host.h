// The main window on the desktop this process runs in.
#pragma once

#include <memory>

#include "platform/window_host.h"

namespace kestrel::platform {

// The desktop view; null when this process has no desktop to show it on, so
// that the console view takes its place. On Windows, where a session without
// a display cannot be told from its environment, the argument "console" asks
// for the console view too. `argc` and `argv` (the program path first) must
// outlive the host. One host at a time, created on the thread that becomes
// the UI thread.
std::unique_ptr<WindowHost> CreateDesktopHost(int& argc, char** argv);

}  // namespace kestrel::platform

// The program as it is assembled for the real executable: the TCP daemon
// with the printer connection class, its services and the log.
#pragma once

#include <string>
#include <vector>

#include "app/main_window.h"

namespace kestrel {

// The hooks of the program entry: a daemon that serves the version query,
// the serial-port listing, print commands and updates (driver, parameter and
// update files in the folder of `executable_path`), logging into the main
// window, and the update steps of start-up and exit. `arguments` is the
// command line without the program path, passed on when an update restarts
// the program.
KestrelHooks MakeProgramHooks(const std::string& executable_path,
                              std::vector<std::string> arguments);

}  // namespace kestrel

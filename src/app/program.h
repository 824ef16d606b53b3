// The program as it is assembled for the real executable: the TCP daemon
// with the printer connection class, its services and the log.
#pragma once

#include <string>

#include "app/main_window.h"

namespace kestrel {

// The folder of the running executable, with its trailing "/": the driver,
// the parameter files and the update files live there.
std::string ProgramFolder();

// The hooks of the program entry: a daemon that serves the version query,
// the serial-port listing and print commands (driver and parameter files in
// `program_folder`), logging into the main window.
KestrelHooks MakeProgramHooks(const std::string& program_folder);

}  // namespace kestrel

// What running a Windows program takes on this system: nothing where the
// system is Windows, Wine elsewhere; and the few calls that Wine's prefix
// folder needs (the account's data folder, programs on the search path,
// symbolic links for its devices).
#pragma once

#include <string>

#include "platform/file_system.h"

namespace kestrel::platform {

// True where a Windows program is started like any other program.
bool RunsWindowsProgramsNatively();

// The full path of the program `name` in the first folder of the search
// path that holds it as a runnable file; "" when none does.
std::string FindProgramOnPath(const std::string& name);

// The folder for the account's own data: $XDG_DATA_HOME, else
// $HOME/.local/share (on Windows %LOCALAPPDATA%); "" when none is known.
std::string UserDataFolder();

// Makes `link` a symbolic link to `target`; a link already there is replaced.
bool ReplaceSymbolicLink(const std::string& target, const std::string& link, SystemError& error);

}  // namespace kestrel::platform

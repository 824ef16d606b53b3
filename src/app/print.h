// Print command execution: a print request body is decoded, version-checked,
// queued for its printer port, carried out by the driver executable and
// answered with the driver's result; every failure ends up in the answer's
// Error. The tables below are the program's fixed knowledge about commands
// and printer models.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace kestrel {

// The program's own version; senders must have the same one or "flex".
inline constexpr std::string_view kProgramVersion = "2012.07.03 14:00";
inline constexpr std::string_view kAnyVersion = "flex";

// The driver executable's file name in the program folder.
inline constexpr std::string_view kDriverExeName = "corvid.exe";

// The driver time-out in seconds for a command (exact, case-sensitive);
// commands not listed get 19 s.
std::uint16_t CommandTimeout(std::string_view cmd);

// True for the commands answered with a Z-report result.
bool IsZReportCommand(std::string_view cmd);

// The model name given to the driver: the name with leading and trailing
// blanks and control characters removed, looked up exactly; a name that
// matches no known model is returned unchanged, blanks included.
std::string MapModelName(const std::string& name);

// The port text as it may appear inside a file name: every character other
// than A-Z, a-z, 0-9, "_", "-" and "." becomes "_", so no port can place the
// parameter file outside the program folder. COM1 or ttyUSB0 stay as they are.
std::string PortForFileName(std::string_view port);

// program_folder (with its trailing separator) + "P" + the time as
// "yymmddhhnnsszzz" + the port made safe + ".dat".
std::string ParamsFileName(const std::string& program_folder, std::string_view port,
                           const platform::CivilTime& now);

}  // namespace kestrel

// The build's programs as tests find them, and the stand-in program
// (tools/stand-in) put wherever a test needs a child program of its own.
#pragma once

#include <filesystem>
#include <string>

namespace kestrel::testing {

// The path of the build's program `name`, with the system's suffix for
// programs unless the name carries it already.
std::string BuiltProgram(const std::string& name);

// Copies the stand-in into `folder` as `name`, to do `steps` (see
// tools/stand-in/main.cpp) when run; returns its path.
std::string InstallStandIn(const std::filesystem::path& folder, const std::string& name,
                           const std::string& steps);

}  // namespace kestrel::testing

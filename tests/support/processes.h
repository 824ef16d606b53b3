// Processes that a test knows only by their id (a driver the server started,
// the server itself): the system's own calls, one file for each system.
#pragma once

#include <cstdint>

namespace kestrel::testing {

// Ends the process at once, and it alone; true when it was done.
bool KillProcess(std::int32_t pid);
// True while the process runs.
bool ProcessRuns(std::int32_t pid);
// Asks the process to close as its user or the system would (SIGTERM; on
// Windows WM_CLOSE to its windows); true when the request was delivered.
bool AskProcessToClose(std::int32_t pid);

}  // namespace kestrel::testing

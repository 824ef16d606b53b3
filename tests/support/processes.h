// Processes that a test knows only by their id (a driver the server started,
// the server itself): the system's own calls, one file for each system.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrel::testing {

// Ends the process at once, and it alone; true when it was done.
bool KillProcess(std::int32_t pid);
// True while the process runs, or on Linux while it waits to be collected.
bool ProcessRuns(std::int32_t pid);
// True once the process has ended, collected by its parent or not.
bool ProcessEnded(std::int32_t pid);
// Asks the process to close as its user or the system would (SIGTERM; on
// Windows WM_CLOSE to its windows); true when the request was delivered.
bool AskProcessToClose(std::int32_t pid);

// The ways the system asks a program to close, numbered from 0: SIGINT and
// SIGTERM on Linux, WM_CLOSE to its windows on Windows.
int CloseRequestKinds();
// Has the system ask this process to close in the way numbered `kind`.
void RequestOwnClose(int kind);

// The processes running from an executable that lies directly in `folder`.
std::vector<std::int32_t> ProcessesRunningFrom(const std::filesystem::path& folder);
// The command line of a process, the program path first; empty when it
// cannot be read.
std::vector<std::string> CommandLineOf(std::int32_t pid);
// The bytes of the executable a process runs (where the system keeps it,
// even once its file is gone).
std::string ImageOf(std::int32_t pid);

// How the system ranks a process for the processor: the nice value and the
// main thread's scheduling policy on Linux, the priority class and the main
// thread's priority on Windows.
struct Priority {
  int process = 0;
  int main_thread = 0;
};
Priority PriorityOf(std::int32_t pid);
// What an idle priority class and an idle main thread read as.
Priority IdlePriority();

// True when programs this process starts would get the handle (on Linux:
// the descriptor lacks close-on-exec).
bool ChildrenInherit(std::intptr_t handle);
// Writes to the file `listing` the files that a child started as the C
// library starts one (std::system: every inheritable handle passed on)
// would hold, one a line: on Linux the shell's own `ls -l /proc/self/fd`,
// on Windows the names of this process's inheritable file handles. The
// listing file itself is among them. True when the listing was written.
bool ListFilesAChildInherits(const std::string& listing);

}  // namespace kestrel::testing

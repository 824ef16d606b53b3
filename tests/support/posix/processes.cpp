#include "support/processes.h"

#include <signal.h>

namespace kestrel::testing {

bool KillProcess(std::int32_t pid) {
  return pid > 0 && kill(pid, SIGKILL) == 0;
}

bool ProcessRuns(std::int32_t pid) {
  return pid > 0 && kill(pid, 0) == 0;
}

bool AskProcessToClose(std::int32_t pid) {
  return pid > 0 && kill(pid, SIGTERM) == 0;
}

}  // namespace kestrel::testing

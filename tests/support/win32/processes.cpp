#include "support/processes.h"

#include <windows.h>

namespace kestrel::testing {
namespace {

class ProcessHandle {
 public:
  ProcessHandle(std::int32_t pid, DWORD access)
      : handle_(OpenProcess(access, FALSE, static_cast<DWORD>(pid))) {}
  ~ProcessHandle() {
    if (handle_ != nullptr)
      CloseHandle(handle_);
  }
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

struct CloseRequest {
  DWORD pid;
  bool delivered;
};

BOOL CALLBACK PostCloseToOwnWindow(HWND window, LPARAM request_address) {
  auto& request = *reinterpret_cast<CloseRequest*>(request_address);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == request.pid && PostMessageW(window, WM_CLOSE, 0, 0))
    request.delivered = true;
  return TRUE;
}

}  // namespace

bool KillProcess(std::int32_t pid) {
  const ProcessHandle process(pid, PROCESS_TERMINATE);
  return process.Get() != nullptr && TerminateProcess(process.Get(), 137);
}

// A process that has ended but whose handles are still open elsewhere can
// still be opened; only its exit code tells.
bool ProcessRuns(std::int32_t pid) {
  const ProcessHandle process(pid, PROCESS_QUERY_LIMITED_INFORMATION);
  DWORD code = 0;
  return process.Get() != nullptr && GetExitCodeProcess(process.Get(), &code) &&
         code == STILL_ACTIVE;
}

bool AskProcessToClose(std::int32_t pid) {
  CloseRequest request{static_cast<DWORD>(pid), false};
  EnumWindows(PostCloseToOwnWindow, reinterpret_cast<LPARAM>(&request));
  return request.delivered;
}

}  // namespace kestrel::testing

#include "platform/thread.h"

#include <windows.h>
// After windows.h, which it needs.
#include <process.h>

#include <limits>
#include <memory>

#include "base/exception.h"
#include "platform/common.h"
#include "platform/system_error.h"

namespace kestrel::platform {
namespace {

using Body = std::function<void()>;

// The start of every thread that CreateThread makes; frees its start record first.
unsigned __stdcall RunStart(void* argument) {
  const Body body = std::move(*std::unique_ptr<Body>(static_cast<Body*>(argument)));
  body();
  return 0;
}

[[noreturn]] void RaiseCreationError(DWORD code) {
  throw Exception("Thread creation error: " + SystemErrorText(static_cast<int>(code)));
}

}  // namespace

// _beginthreadex rather than the API's own CreateThread, so that the C
// runtime sets up and frees its per-thread data. The size is the stack's
// reservation: Windows commits its pages only as the thread reaches them, as
// Linux does, so thousands of small connection threads cost little memory.
void CreateThread(std::function<void()> body, std::size_t stack_bytes) {
  if (stack_bytes > std::numeric_limits<unsigned>::max())
    RaiseCreationError(ERROR_INVALID_PARAMETER);
  auto start = std::make_unique<Body>(std::move(body));
  SetLastError(ERROR_SUCCESS);
  const std::uintptr_t thread =
      _beginthreadex(nullptr, static_cast<unsigned>(stack_bytes), RunStart, start.get(),
                     stack_bytes != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
  if (thread == 0) {
    const DWORD refused = GetLastError();
    throw Exception("Thread creation error: " + SystemErrorText(refused != ERROR_SUCCESS
                                                                    ? static_cast<int>(refused)
                                                                    : ERROR_NOT_ENOUGH_MEMORY));
  }
  start.release();
  CloseHandle(reinterpret_cast<HANDLE>(thread));
}

// Windows sets no number of threads per process or per user: only memory
// and the address space for their stacks bound them.
std::uint64_t ThreadLimit() {
  return std::numeric_limits<std::uint64_t>::max();
}

}  // namespace kestrel::platform

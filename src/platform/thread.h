// Detached threads with a chosen stack size: std::thread cannot set one, and
// the server keeps thousands of small connection threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kestrel::platform {

// Runs `body` on a detached thread of its own with a stack of `stack_bytes`
// (0 for the system's default): a thread whose last body has ended and that
// waits for the next, or a new one. Throws kestrel::Exception "Thread creation error: "
// + the system's text when the system refuses the thread; `body` is then
// not run.
void StartDetachedThread(std::function<void()> body, std::size_t stack_bytes);

// The most threads this process may have: the smaller of RLIMIT_NPROC and
// the pids.max of its control group, the largest value when neither sets one.
std::uint64_t ThreadLimit();

}  // namespace kestrel::platform

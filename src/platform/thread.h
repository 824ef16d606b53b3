// Detached threads with a chosen stack size: std::thread cannot set one, and
// the server keeps thousands of small connection threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace kestrel::platform {

// Threads whose last body has ended wait here a while for the next one:
// creating a thread costs more than the whole of a short request. Its
// threads keep the pool's state, so destroying the pool ends the waiting
// ones at once and leaves the busy ones to end with their bodies.
class ThreadPool {
 public:
  ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  ~ThreadPool();

  // Runs `body` on a detached thread of its own with a stack of
  // `stack_bytes` (0 for the system's default): a waiting thread of the
  // pool, or a new one. Throws kestrel::Exception "Thread creation error: "
  // + the system's text when the system refuses the thread; `body` is then
  // not run.
  void StartDetached(std::function<void()> body, std::size_t stack_bytes);

 private:
  class Shared;
  std::shared_ptr<Shared> shared_;
};

// The most threads this process may have: the smaller of RLIMIT_NPROC and
// the pids.max of its control group, the largest value when neither sets one.
std::uint64_t ThreadLimit();

}  // namespace kestrel::platform

// Thread objects: `Execute` runs on a thread of its own, which starts only
// once the whole object is constructed (StartThread), so every field of every
// class in the chain is set before `Execute` sees it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>

namespace kestrel {
namespace platform {
class ThreadPool;
}

class TThread {
 public:
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  virtual ~TThread() = default;

  // Only sets `Terminated`; the running `Execute` polls it. Any thread may call it.
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }

  // With FreeOnTerminate the object deletes itself after `Execute` returns;
  // without it the owner calls WaitFor and then deletes the object.
  bool FreeOnTerminate() const { return free_on_terminate_.load(); }
  void SetFreeOnTerminate(bool free) { free_on_terminate_.store(free); }
  void WaitFor();

 protected:
  // `stack_bytes` 0 gives the system's default stack. The thread comes from
  // `pool`, which must outlive the start; without one it is a thread of its
  // own that ends with `Execute`.
  explicit TThread(std::size_t stack_bytes = 0, platform::ThreadPool* pool = nullptr)
      : stack_bytes_(stack_bytes), pool_(pool) {}
  virtual void Execute() = 0;

 private:
  template <class T, class... Args>
  friend T* StartThread(Args&&... args);
  template <class T, class... Args>
  friend T* RunThread(Args&&... args);

  void Start();
  void Run();

  const std::size_t stack_bytes_;
  platform::ThreadPool* const pool_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> free_on_terminate_{false};
  std::mutex finish_mutex_;
  std::condition_variable finish_signal_;
  bool finished_ = false;
};

namespace detail {

// Opens the protected constructors of a thread class to StartThread.
template <class T>
class Started final : public T {
 public:
  template <class... Args>
  explicit Started(Args&&... args) : T(std::forward<Args>(args)...) {}
};

}  // namespace detail

// Constructs a T from `args`, then starts its thread. Throws, with nothing
// left behind, when construction fails or the system refuses the thread.
// With FreeOnTerminate the object may be gone by the time this returns, so
// only a thread without it may be used through the result.
template <class T, class... Args>
T* StartThread(Args&&... args) {
  auto thread = std::make_unique<detail::Started<T>>(std::forward<Args>(args)...);
  thread->Start();
  return thread.release();
}

// Constructs a T from `args` and runs its `Execute` on the calling thread,
// for a caller that is itself a thread ready to take the work on. Throws,
// with nothing left behind, when construction fails. With FreeOnTerminate
// the object is gone when this returns.
template <class T, class... Args>
T* RunThread(Args&&... args) {
  auto thread = std::make_unique<detail::Started<T>>(std::forward<Args>(args)...);
  T* const running = thread.release();
  running->Run();
  return running;
}

}  // namespace kestrel

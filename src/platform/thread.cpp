#include "platform/thread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/common.h"
#include "platform/named_lock.h"

namespace kestrel::platform {
namespace {

// A thread that has run its body waits this long for the next one before
// it ends.
constexpr auto kIdleWait = std::chrono::seconds(2);
// More waiting threads than this end at once; a burst of connections
// leaves no lasting crowd of idle threads behind.
constexpr std::size_t kMostIdle = 64;

// A thread between two bodies. Shared, so that the thread handing over a
// body can still signal after the waiter has taken it and moved on.
struct IdleThread {
  explicit IdleThread(std::size_t stack) : stack_bytes(stack) {}
  const std::size_t stack_bytes;
  std::condition_variable handed;
  std::function<void()> body;
};

}  // namespace

// The threads waiting for a body, the last one to finish first: its stack
// is the most likely to be in the cache. A waiting thread is woken after
// the lock is given up, so that it does not wait for the lock on waking.
class ThreadPool::Shared {
 public:
  // Gives `body` to a waiting thread with a stack of `stack_bytes`; false,
  // with `body` untouched, when there is none.
  bool HandOver(std::function<void()>& body, std::size_t stack_bytes) {
    std::shared_ptr<IdleThread> idle;
    {
      const std::lock_guard lock(mutex_);
      const auto found = std::find_if(idle_.rbegin(), idle_.rend(), [&](const auto& waiting) {
        return waiting->stack_bytes == stack_bytes;
      });
      if (found == idle_.rend())
        return false;
      idle = std::move(*found);
      idle_.erase(std::next(found).base());
      idle->body = std::move(body);
    }
    idle->handed.notify_one();
    return true;
  }

  // Runs `body` on the calling thread, then each one handed to it while it
  // waits.
  void RunBodies(std::function<void()> body, std::size_t stack_bytes) {
    const auto self = std::make_shared<IdleThread>(stack_bytes);
    do {
      body();
      body = nullptr;
    } while (!CurrentThreadHoldsNamedLocks() && AwaitNext(self, body));
  }

  // Ends the wait of every waiting thread, and of every later one at once.
  void Close() {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    for (const auto& idle : idle_)
      idle->handed.notify_one();
  }

 private:
  // Waits a while for the next body of the calling thread, `self`; false
  // when none came and the thread is to end.
  bool AwaitNext(const std::shared_ptr<IdleThread>& self, std::function<void()>& body) {
    std::unique_lock lock(mutex_);
    if (closed_ || idle_.size() >= kMostIdle)
      return false;
    idle_.push_back(self);
    self->handed.wait_for(lock, kIdleWait, [&] { return self->body || closed_; });
    std::erase(idle_, self);
    body = std::move(self->body);
    return static_cast<bool>(body);
  }

  std::mutex mutex_;
  std::vector<std::shared_ptr<IdleThread>> idle_;
  bool closed_ = false;
};

ThreadPool::ThreadPool() : shared_(std::make_shared<Shared>()) {}

ThreadPool::~ThreadPool() {
  shared_->Close();
}

void ThreadPool::StartDetached(std::function<void()> body, std::size_t stack_bytes) {
  if (shared_->HandOver(body, stack_bytes))
    return;
  // The new thread keeps the pool's state for as long as it runs.
  CreateThread([shared = shared_, body = std::move(body),
                stack_bytes]() mutable { shared->RunBodies(std::move(body), stack_bytes); },
               stack_bytes);
}

}  // namespace kestrel::platform

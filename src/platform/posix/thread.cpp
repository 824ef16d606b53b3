#include "platform/thread.h"

#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "base/exception.h"
#include "platform/posix/held_locks.h"

namespace kestrel::platform {
namespace {

// A thread that has run its body waits this long for the next one before
// it ends: creating a thread costs more than the whole of a short request.
constexpr auto kIdleWait = std::chrono::seconds(2);
// More waiting threads than this end at once; a burst of connections
// leaves no lasting crowd of idle threads behind.
constexpr std::size_t kMostIdle = 64;

// A thread between two bodies. Shared, so that the thread handing over a
// body can still signal after the waiter has taken it and moved on.
struct IdleThread {
  explicit IdleThread(std::size_t stack) : stack_bytes(stack) {}
  const std::size_t stack_bytes;
  std::mutex mutex;
  std::condition_variable handed;
  std::function<void()> body;
};

// The threads waiting for a body, the last one to finish first: its stack
// is the most likely to be in the cache. The list's lock is never held
// while a thread is woken, so the woken thread does not wait for it.
class IdleThreads {
 public:
  // Gives `body` to a waiting thread with a stack of `stack_bytes`; false,
  // with `body` untouched, when there is none.
  bool HandOver(std::function<void()>& body, std::size_t stack_bytes) {
    const std::shared_ptr<IdleThread> idle = TakeWaiting(stack_bytes);
    if (!idle)
      return false;
    {
      const std::lock_guard lock(idle->mutex);
      idle->body = std::move(body);
    }
    idle->handed.notify_one();
    return true;
  }

  // Waits a while for the next body of the calling thread, `self`; false
  // when none came and the thread is to end.
  bool AwaitNext(const std::shared_ptr<IdleThread>& self, std::function<void()>& body) {
    {
      const std::lock_guard lock(mutex_);
      if (idle_.size() >= kMostIdle)
        return false;
      idle_.push_back(self);
    }
    if (!WaitForBody(*self, kIdleWait) && Withdraw(self))
      return false;
    // Not withdrawn: a body was handed over, or is being handed over now.
    WaitForBody(*self, std::chrono::hours(24));
    body = std::move(self->body);
    return static_cast<bool>(body);
  }

 private:
  std::shared_ptr<IdleThread> TakeWaiting(std::size_t stack_bytes) {
    const std::lock_guard lock(mutex_);
    const auto found = std::find_if(idle_.rbegin(), idle_.rend(), [&](const auto& idle) {
      return idle->stack_bytes == stack_bytes;
    });
    if (found == idle_.rend())
      return nullptr;
    std::shared_ptr<IdleThread> idle = std::move(*found);
    idle_.erase(std::next(found).base());
    return idle;
  }

  static bool WaitForBody(IdleThread& self, std::chrono::milliseconds timeout) {
    std::unique_lock lock(self.mutex);
    return self.handed.wait_for(lock, timeout, [&] { return static_cast<bool>(self.body); });
  }

  // True when `self` was still on the list, which no one can take it from now.
  bool Withdraw(const std::shared_ptr<IdleThread>& self) {
    const std::lock_guard lock(mutex_);
    const auto found = std::find(idle_.begin(), idle_.end(), self);
    if (found == idle_.end())
      return false;
    idle_.erase(found);
    return true;
  }

  std::mutex mutex_;
  std::vector<std::shared_ptr<IdleThread>> idle_;
};

// Never destroyed: waiting threads may still use it while the process ends.
IdleThreads& TheIdleThreads() {
  static IdleThreads* const idle = new IdleThreads;
  return *idle;
}

struct Start {
  std::function<void()> body;
  std::size_t stack_bytes;
};

// Runs bodies one after another. A thread that still holds named locks
// ends, so that they pass on as abandoned, as they do when a thread ends.
void* RunBodies(void* argument) {
  std::function<void()> body;
  std::shared_ptr<IdleThread> self;
  {
    const std::unique_ptr<Start> start(static_cast<Start*>(argument));
    body = std::move(start->body);
    self = std::make_shared<IdleThread>(start->stack_bytes);
  }
  do {
    body();
    body = nullptr;
  } while (!CurrentThreadHoldsNamedLocks() && TheIdleThreads().AwaitNext(self, body));
  return nullptr;
}

[[noreturn]] void RaiseCreationError(int error_number) {
  char buffer[256];
  throw Exception(std::string("Thread creation error: ") +
                  strerror_r(error_number, buffer, sizeof buffer));
}

struct Attributes {
  pthread_attr_t value;
  Attributes() { pthread_attr_init(&value); }
  ~Attributes() { pthread_attr_destroy(&value); }
};

void CreateThread(std::function<void()> body, std::size_t stack_bytes) {
  Attributes attributes;
  pthread_attr_setdetachstate(&attributes.value, PTHREAD_CREATE_DETACHED);
  if (stack_bytes != 0) {
    const int refused = pthread_attr_setstacksize(&attributes.value, stack_bytes);
    if (refused != 0)
      RaiseCreationError(refused);
  }
  auto start = std::make_unique<Start>(Start{std::move(body), stack_bytes});
  pthread_t thread;
  const int refused = pthread_create(&thread, &attributes.value, RunBodies, start.get());
  if (refused != 0)
    RaiseCreationError(refused);
  start.release();
}

}  // namespace

void StartDetachedThread(std::function<void()> body, std::size_t stack_bytes) {
  if (!TheIdleThreads().HandOver(body, stack_bytes))
    CreateThread(std::move(body), stack_bytes);
}

}  // namespace kestrel::platform

#include "platform/thread.h"

#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/exception.h"
#include "platform/posix/held_locks.h"
#include "platform/system_error.h"

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
  std::condition_variable handed;
  std::function<void()> body;
};

// The threads waiting for a body, the last one to finish first: its stack
// is the most likely to be in the cache. A waiting thread is woken after
// the lock is given up, so that it does not wait for the lock on waking.
class IdleThreads {
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

  // Waits a while for the next body of the calling thread, `self`; false
  // when none came and the thread is to end.
  bool AwaitNext(const std::shared_ptr<IdleThread>& self, std::function<void()>& body) {
    std::unique_lock lock(mutex_);
    if (idle_.size() >= kMostIdle)
      return false;
    idle_.push_back(self);
    if (!self->handed.wait_for(lock, kIdleWait, [&] { return static_cast<bool>(self->body); })) {
      idle_.erase(std::find(idle_.begin(), idle_.end(), self));
      return false;
    }
    body = std::move(self->body);
    return true;
  }

 private:
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
  throw Exception("Thread creation error: " + SystemErrorText(error_number));
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

namespace {

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

std::uint64_t ProcessLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NPROC, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return kNoLimit;
  return limit.rlim_cur;
}

// The number in a pids.max file; "max" or an unreadable file sets none.
std::uint64_t PidsMaxIn(const std::string& path) {
  std::ifstream file(path);
  std::uint64_t value = 0;
  return file >> value ? value : kNoLimit;
}

// The pids controller's limit of this process's group, in the unified
// hierarchy ("0::/path") or in the pids hierarchy of version 1
// ("N:pids:/path"). A limit set on a parent group is not seen.
std::uint64_t ControlGroupLimit() {
  std::ifstream groups("/proc/self/cgroup");
  std::string line;
  std::uint64_t limit = kNoLimit;
  while (std::getline(groups, line)) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos)
      continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (controllers.empty() && line.starts_with("0:"))
      limit = std::min(limit, PidsMaxIn("/sys/fs/cgroup" + path + "/pids.max"));
    else if (controllers == "pids")
      limit = std::min(limit, PidsMaxIn("/sys/fs/cgroup/pids" + path + "/pids.max"));
  }
  return limit;
}

}  // namespace

std::uint64_t ThreadLimit() {
  return std::min(ProcessLimit(), ControlGroupLimit());
}

}  // namespace kestrel::platform

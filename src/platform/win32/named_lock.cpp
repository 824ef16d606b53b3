// Each lock is a named mutex of the system, in the session's namespace, so
// that the programs of one desktop share it. The system hands a mutex whose
// owner thread ended on to the next waiter as abandoned, also across
// processes.
//
// A mutex is owned by a thread, and the thread that owns it gets it again at
// once through any handle of the same name. So the threads of this process
// first take turns per name here, in the order they came, and only the thread
// whose turn it is waits for the mutex itself: then two lock objects of one
// name exclude each other in one thread too, as they would in two processes,
// and a thread that releases and waits again queues behind those that wait.
#include "platform/named_lock.h"

#include <windows.h>

#include <algorithm>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "base/ascii.h"
#include "base/exception.h"
#include "platform/common.h"
#include "platform/system_error.h"
#include "platform/win32/wide.h"

namespace kestrel::platform {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void RaiseSystemError(DWORD code, const std::string& name) {
  const int number = static_cast<int>(code);
  throw Exception(SystemErrorMessage(number, SystemErrorText(number) + " (" + name + ")"));
}

// Object names may hold any character but "\", which would name another
// namespace, and end at a zero. Those two and "%" are percent-encoded, so
// distinct names stay distinct; the names of printer ports come through
// unchanged.
std::string EncodedName(std::string_view name) {
  return PercentEncoded(name, [](unsigned char c) { return c != '\\' && c != '%' && c != '\0'; });
}

// An encoded name never holds "%/", so a folder's names cannot meet those of
// the default (empty) folder nor those of another folder.
std::string MutexName(std::string_view name, const std::string& folder) {
  if (folder.empty())
    return EncodedName(name);
  return EncodedName(folder) + "%/" + EncodedName(name);
}

DWORD MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<DWORD>(std::clamp<std::int64_t>(left.count(), 0, INFINITE - 1));
}

// One name's turns among the threads of this process. Threads are told apart
// by the system's ids, and the turns use the system's own lock and condition:
// a thread gives its locks up as it ends, when the threads library may
// already have let go of it.
struct Turns {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE released = CONDITION_VARIABLE_INIT;
  DWORD owner = 0;               // no thread has id 0
  const void* holder = nullptr;  // the lock object through which `owner` holds it
  unsigned depth = 0;
  bool acquiring = false;   // a thread of this process waits for the mutex itself
  std::deque<DWORD> queue;  // the threads waiting for a turn, in the order they came
};

// Holds a Turns' lock while in scope, or while not let go early.
class TurnsGuard {
 public:
  explicit TurnsGuard(Turns& turns) : turns_(turns) { AcquireSRWLockExclusive(&turns_.lock); }
  ~TurnsGuard() {
    if (held_)
      ReleaseSRWLockExclusive(&turns_.lock);
  }
  TurnsGuard(const TurnsGuard&) = delete;
  TurnsGuard& operator=(const TurnsGuard&) = delete;
  void Unlock() {
    ReleaseSRWLockExclusive(&turns_.lock);
    held_ = false;
  }
  void Lock() {
    AcquireSRWLockExclusive(&turns_.lock);
    held_ = true;
  }
  // False once the deadline has passed; may wake early.
  bool SleepUntil(Clock::time_point deadline) {
    const DWORD milliseconds = MillisecondsUntil(deadline);
    return milliseconds > 0 &&
           (SleepConditionVariableSRW(&turns_.released, &turns_.lock, milliseconds, 0) ||
            GetLastError() != ERROR_TIMEOUT);
  }

 private:
  Turns& turns_;
  bool held_ = true;
};

// The turns of every name that a lock object of this process has open.
class TurnsByName {
 public:
  static TurnsByName& Instance() {
    // Never destroyed: threads that end after the program's statics may still
    // give their locks up.
    static TurnsByName* const instance = new TurnsByName;
    return *instance;
  }

  std::shared_ptr<Turns> For(const std::string& name) {
    std::lock_guard lock(mutex_);
    std::erase_if(turns_, [](const auto& entry) { return entry.second.expired(); });
    auto& slot = turns_[name];
    std::shared_ptr<Turns> turns = slot.lock();
    if (!turns) {
      turns = std::make_shared<Turns>();
      slot = turns;
    }
    return turns;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::weak_ptr<Turns>> turns_;
};

}  // namespace

class NamedLock::State : public std::enable_shared_from_this<State> {
 public:
  explicit State(const std::string& mutex_name)
      : turns_(TurnsByName::Instance().For(mutex_name)), mutex_(CreateOrOpen(mutex_name)) {}
  ~State() { CloseHandle(mutex_); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  LockWait Wait(std::chrono::milliseconds timeout);
  bool Release();
  static bool CurrentThreadHoldsAny() {
    const Held* held = ThreadHoldings(false);
    return held != nullptr && !held->empty();
  }

 private:
  using Held = std::vector<std::shared_ptr<State>>;

  // Not owned by anybody when it is new. A mutex that another account made
  // may refuse all rights but those a waiter needs, so those are asked for
  // when all are refused.
  static HANDLE CreateOrOpen(const std::string& mutex_name) {
    const std::wstring name = Wide(mutex_name);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (mutex == nullptr && GetLastError() == ERROR_ACCESS_DENIED)
      mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    if (mutex == nullptr)
      RaiseSystemError(GetLastError(), mutex_name);
    return mutex;
  }
  // The locks the current thread owns (made when `create` is set), kept in
  // fiber-local storage: the system calls GiveUp with them as the thread
  // ends. The C++ runtime here may free a thread's own variables before
  // their destructors run, so thread_local cannot carry them.
  static Held* ThreadHoldings(bool create);
  static void WINAPI GiveUp(void* held);
  bool HeldByThisThread() const {
    return turns_->owner == GetCurrentThreadId() && turns_->holder == this;
  }
  LockWait AcquireAsLeader(TurnsGuard& guard, Clock::time_point deadline);
  LockWait WaitForMutex(Clock::time_point deadline);
  void ReleaseForEndedThread() noexcept;

  const std::shared_ptr<Turns> turns_;
  const HANDLE mutex_;
};

NamedLock::State::Held* NamedLock::State::ThreadHoldings(bool create) {
  static const DWORD slot = FlsAlloc(&GiveUp);
  if (slot == FLS_OUT_OF_INDEXES)
    RaiseSystemError(GetLastError(), "FlsAlloc");
  auto* held = static_cast<Held*>(FlsGetValue(slot));
  if (held != nullptr || !create)
    return held;
  auto made = std::make_unique<Held>();
  if (!FlsSetValue(slot, made.get()))
    RaiseSystemError(GetLastError(), "FlsSetValue");
  return made.release();
}

void WINAPI NamedLock::State::GiveUp(void* held) {
  const std::unique_ptr<Held> ended(static_cast<Held*>(held));
  for (const auto& state : *ended)
    state->ReleaseForEndedThread();
}

LockWait NamedLock::State::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
  Turns& turns = *turns_;
  TurnsGuard guard(turns);
  if (HeldByThisThread()) {
    ++turns.depth;
    return LockWait::Acquired;
  }
  // A thread waits for one lock at a time, so its id stands for it in the queue.
  const DWORD self = GetCurrentThreadId();
  turns.queue.push_back(self);
  const auto my_turn = [&] {
    return turns.owner == 0 && !turns.acquiring && turns.queue.front() == self;
  };
  for (;;) {
    if (my_turn()) {
      turns.queue.pop_front();
      return AcquireAsLeader(guard, deadline);
    }
    if (!guard.SleepUntil(deadline) && !my_turn()) {
      const bool was_first = turns.queue.front() == self;
      turns.queue.erase(std::find(turns.queue.begin(), turns.queue.end(), self));
      if (was_first)
        WakeAllConditionVariable(&turns.released);  // the next in line may go
      return LockWait::TimedOut;
    }
  }
}

// One thread of the process at a time waits for the mutex, without the
// turns' lock; the others wait for their turn on the condition. The thread's
// record of holdings exists before it waits, so that a lock it gets is
// always given up when it ends.
LockWait NamedLock::State::AcquireAsLeader(TurnsGuard& guard, Clock::time_point deadline) {
  Held& held = *ThreadHoldings(true);
  held.reserve(held.size() + 1);
  Turns& turns = *turns_;
  turns.acquiring = true;
  guard.Unlock();
  LockWait result = LockWait::TimedOut;
  std::exception_ptr failure;
  try {
    result = WaitForMutex(deadline);
  } catch (...) {
    failure = std::current_exception();
  }
  guard.Lock();
  turns.acquiring = false;
  if (failure || result == LockWait::TimedOut) {
    WakeAllConditionVariable(&turns.released);  // another waiter may have time left
    if (failure)
      std::rethrow_exception(failure);
    return result;
  }
  turns.owner = GetCurrentThreadId();
  turns.holder = this;
  turns.depth = 1;
  held.push_back(shared_from_this());
  return result;
}

LockWait NamedLock::State::WaitForMutex(Clock::time_point deadline) {
  switch (WaitForSingleObject(mutex_, MillisecondsUntil(deadline))) {
    case WAIT_OBJECT_0:
      return LockWait::Acquired;
    case WAIT_ABANDONED:
      return LockWait::Abandoned;
    case WAIT_TIMEOUT:
      return LockWait::TimedOut;
    default:
      RaiseSystemError(GetLastError(), "WaitForSingleObject");
  }
}

bool NamedLock::State::Release() {
  Turns& turns = *turns_;
  TurnsGuard guard(turns);
  if (!HeldByThisThread())
    return false;
  if (--turns.depth > 0)
    return true;
  ReleaseMutex(mutex_);
  turns.owner = 0;
  turns.holder = nullptr;
  guard.Unlock();
  WakeAllConditionVariable(&turns.released);
  Held& held = *ThreadHoldings(false);
  const auto self = std::find_if(held.begin(), held.end(),
                                 [this](const auto& state) { return state.get() == this; });
  if (self != held.end())
    held.erase(self);  // may end this object: nothing may follow
  return true;
}

// The mutex stays owned until the thread is gone; the system then passes it
// on as abandoned, to this process's next waiter as to any other.
void NamedLock::State::ReleaseForEndedThread() noexcept {
  Turns& turns = *turns_;
  const TurnsGuard guard(turns);
  if (!HeldByThisThread())
    return;
  turns.owner = 0;
  turns.holder = nullptr;
  turns.depth = 0;
  WakeAllConditionVariable(&turns.released);
}

bool CurrentThreadHoldsNamedLocks() {
  return NamedLock::State::CurrentThreadHoldsAny();
}

std::string DefaultLockFolder() {
  return std::string();
}

NamedLock::NamedLock(std::string_view name, const std::string& folder) {
  state_ = std::make_shared<State>(MutexName(name, folder));
}

NamedLock::~NamedLock() = default;
NamedLock::NamedLock(NamedLock&&) noexcept = default;
NamedLock& NamedLock::operator=(NamedLock&&) noexcept = default;

LockWait NamedLock::Wait(std::chrono::milliseconds timeout) {
  if (!state_)
    throw Exception("The lock has been moved away");
  return state_->Wait(timeout);
}

bool NamedLock::Release() {
  return state_ && state_->Release();
}

}  // namespace kestrel::platform

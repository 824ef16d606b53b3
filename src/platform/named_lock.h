// A machine-wide lock known by name: every process that opens the same name
// in the same folder shares one lock. It is owned by the thread that acquired
// it and released by that thread; when the holder thread or its process ends
// without releasing (also when killed), the lock passes to the next waiter.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace kestrel::platform {

enum class LockWait {
  Acquired,
  Abandoned,  // acquired, but the previous holder ended without releasing
  TimedOut,
};

// The folder that holds the locks of every process of the machine:
// /run/lock/kestrel, or /tmp/kestrel-locks where there is no /run/lock; empty
// where locks are the system's named objects, which then bear the lock's
// name itself. Any other folder keeps its names apart from everyone else's.
std::string DefaultLockFolder();

class NamedLock {
 public:
  // Creates the lock `name` in `folder` (and the folder), or opens the lock
  // when it exists; nobody owns it afterwards. Any two distinct names are
  // distinct locks, and no name reaches outside `folder`. Raises Exception
  // with the system's error text when the lock can be neither created nor
  // opened, and with a text naming the file when the lock found there may
  // have been planted by a user outside the folder's circle: a lock file is
  // used only when it is a plain file with one name that belongs to this
  // user or root, or to the folder's group while the folder is closed to
  // others and the file grants others nothing. A folder that every user may
  // change needs the sticky bit. Never follows a link.
  explicit NamedLock(std::string_view name, const std::string& folder = DefaultLockFolder());
  // A thread that still holds the lock keeps it until that thread ends.
  ~NamedLock();
  NamedLock(NamedLock&&) noexcept;
  NamedLock& operator=(NamedLock&&) noexcept;

  // Waits at most `timeout` until the calling thread owns the lock; wakes as
  // soon as a thread of this process releases it, and within milliseconds of
  // a release or end in another process. A holder waiting again on the same object
  // gets it at once and owes one more Release; two objects of one name
  // exclude each other like two processes. Any thread may call it. Raises Exception when the
  // wait fails for a reason other than the time-out (or the lock was moved from).
  LockWait Wait(std::chrono::milliseconds timeout);
  // Gives back one successful Wait of the calling thread; false (and nothing
  // changes) when the calling thread does not own the lock.
  bool Release();

 private:
  class State;
  // The thread layer asks it before it gives a finished thread a new body.
  friend bool CurrentThreadHoldsNamedLocks();
  std::shared_ptr<State> state_;
};

// Whether the calling thread holds a named lock. Such a thread takes on no
// new work: its end is what hands the lock on, abandoned, to the next waiter.
bool CurrentThreadHoldsNamedLocks();

}  // namespace kestrel::platform

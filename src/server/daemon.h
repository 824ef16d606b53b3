// Server threads that tell their owner when they have gone: the owner keeps
// a DaemonSlot, which the daemon fills when it is created and empties as the
// very last step of its end.
#pragma once

#include <atomic>
#include <mutex>

#include "server/thread.h"

namespace kestrel {

class TDaemon;

// The owner's variable that refers to its daemon. It must outlive the
// daemon: the owner terminates it and waits until Empty() before the slot
// goes away.
class DaemonSlot {
 public:
  DaemonSlot() = default;
  DaemonSlot(const DaemonSlot&) = delete;
  DaemonSlot& operator=(const DaemonSlot&) = delete;

  // True when no daemon refers here: none was made, or it has ended.
  bool Empty() const;
  // Asks the daemon to stop; nothing happens when it has already ended.
  void Terminate();
  // True while the daemon says it accepts connections; false before, after,
  // and once it has ended.
  bool Listening() const { return listening_.load(); }

 private:
  friend class TDaemon;
  void Set(TDaemon* daemon);

  mutable std::mutex mutex_;
  TDaemon* daemon_ = nullptr;
  std::atomic<bool> listening_{false};
};

// A thread with FreeOnTerminate set that writes itself into its owner's
// slot on construction and clears the slot when it is destroyed, so the
// slot empties exactly when the daemon has ended.
class TDaemon : public TThread {
 protected:
  explicit TDaemon(DaemonSlot* self_addr);
  ~TDaemon() override;
  // Tells the owner, through its slot, whether connections are accepted.
  void SetListening(bool listening) { FSelfAddr->listening_.store(listening); }

 private:
  DaemonSlot* FSelfAddr;
};

}  // namespace kestrel

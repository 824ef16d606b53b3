#include "server/daemon.h"

namespace kestrel {

bool DaemonSlot::Empty() const {
  const std::lock_guard lock(mutex_);
  return daemon_ == nullptr;
}

void DaemonSlot::Terminate() {
  const std::lock_guard lock(mutex_);
  if (daemon_ != nullptr)
    daemon_->Terminate();
}

void DaemonSlot::Set(TDaemon* daemon) {
  const std::lock_guard lock(mutex_);
  daemon_ = daemon;
  if (daemon == nullptr)
    listening_.store(false);
}

TDaemon::TDaemon(DaemonSlot* self_addr) : FSelfAddr(self_addr) {
  FSelfAddr->Set(this);
  SetFreeOnTerminate(true);
}

TDaemon::~TDaemon() {
  FSelfAddr->Set(nullptr);
}

}  // namespace kestrel

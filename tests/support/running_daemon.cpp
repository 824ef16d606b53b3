#include "support/running_daemon.h"

#include <gtest/gtest.h>

namespace kestrel::testing {

RunningDaemon::RunningDaemon(TTCPThreadClass thread_class, const LogCapture& log)
    : RunningDaemon(
          [thread_class](std::uint16_t port, DaemonSlot* slot) {
            TTCPDaemon::Create("127.0.0.1", port, thread_class, slot);
          },
          log) {}

// A free port can be taken by someone else before the daemon binds it, so
// a few ports are tried.
RunningDaemon::RunningDaemon(Creator create, const LogCapture& log) {
  for (int attempt = 0; attempt < 5 && !listening_; ++attempt) {
    port_ = FreePort();
    create(port_, slot_.get());
    listening_ = log.WaitFor("Started at 127.0.0.1:" + std::to_string(port_), 5000);
    if (!listening_ && !Stop())
      return;
  }
}

RunningDaemon::~RunningDaemon() {
  if (!Stop())
    ADD_FAILURE() << "the daemon on port " << port_ << " did not end";
}

bool RunningDaemon::Stop(int bound_ms) {
  slot_->Terminate();
  if (WaitUntil([this] { return slot_->Empty(); }, bound_ms))
    return true;
  // A daemon that did not end still refers to its slot, which must stay.
  slot_.release();
  slot_ = std::make_unique<DaemonSlot>();
  return false;
}

}  // namespace kestrel::testing

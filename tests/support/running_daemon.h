// A TCP daemon on a free loopback port for the length of one test: started
// and found listening by its "Started at" log line, terminated and awaited
// (bounded) at the end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "server/tcp_daemon.h"
#include "support/tcp_client.h"

namespace kestrel::testing {

class RunningDaemon {
 public:
  // Makes the daemon on `port` with `slot`; TTCPDaemon::Create by default.
  using Creator = std::function<void(std::uint16_t port, DaemonSlot* slot)>;

  // `log` is where the connection class of the daemon logs.
  RunningDaemon(TTCPThreadClass thread_class, const LogCapture& log);
  RunningDaemon(Creator create, const LogCapture& log);
  ~RunningDaemon();
  RunningDaemon(const RunningDaemon&) = delete;
  RunningDaemon& operator=(const RunningDaemon&) = delete;

  bool Listening() const { return listening_; }
  std::uint16_t Port() const { return port_; }
  DaemonSlot& Slot() { return *slot_; }
  // Terminates the daemon; true when it ended within `bound_ms`.
  bool Stop(int bound_ms = 10000);

 private:
  std::unique_ptr<DaemonSlot> slot_ = std::make_unique<DaemonSlot>();
  std::uint16_t port_ = 0;
  bool listening_ = false;
};

}  // namespace kestrel::testing

// What the serving threads count for the status page and the metrics:
// requests by route, open connections, print commands by port slot,
// command and outcome, and how long the commands held their port. Every
// count is an atomic that its thread adds to without a lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "app/duration_histogram.h"
#include "app/port_queue.h"

namespace kestrel {

// The two listeners of the program.
enum class TListener { Main, Status };
inline constexpr int kListeners = 2;

// What a request was served as, on either listener.
enum class TRequestRoute {
  Version,        // main: "DrvVer"
  SerialPorts,    // main: "EnumCO"
  Update,         // main: "EXEver"
  CommandResult,  // main: "CmdRes"
  Print,          // main: any other body
  Empty,          // main: no body to route, answered empty
  Dropped,        // main: closed without an answer
  Page,           // status: GET /
  Metrics,        // status: GET /metrics
  Health,         // status: GET /healthz
  Journal,        // status: GET /journal
  NotFound,       // status: anything else
  StatusDropped,  // status: closed without an answer
};
inline constexpr int kRequestRoutes = 13;

TListener ListenerOf(TRequestRoute route);
// The route's label in the metrics.
std::string_view RouteName(TRequestRoute route);

// The commands of the command table, then "other" for the rest: Cmd is
// free text from the senders, and a label must stay within a known set.
inline constexpr int kCommandLabels = 11;
int CommandLabelIndex(std::string_view cmd);
std::string_view CommandLabel(int index);

class TStatusCounters {
 public:
  // Commands that took no slot in the port table are counted here.
  static constexpr int kNoSlot = kPortSlots;

  // Notes the start: now, as a Unix time and on the monotonic clock.
  TStatusCounters();
  TStatusCounters(const TStatusCounters&) = delete;
  TStatusCounters& operator=(const TStatusCounters&) = delete;

  void CountRequest(TRequestRoute route) {
    requests_[static_cast<int>(route)].fetch_add(1, std::memory_order_relaxed);
  }
  std::uint64_t Requests(TRequestRoute route) const {
    return requests_[static_cast<int>(route)].load(std::memory_order_relaxed);
  }

  void ConnectionOpened(TListener listener) { ++open_[static_cast<int>(listener)]; }
  void ConnectionClosed(TListener listener) { --open_[static_cast<int>(listener)]; }
  std::int64_t OpenConnections(TListener listener) const {
    return open_[static_cast<int>(listener)].load();
  }

  // One print command answered; `slot` is its port's place in the port
  // table, or kNoSlot.
  void CountCommand(int slot, int command, bool ok) {
    commands_[CommandCell(slot, command, ok)].fetch_add(1, std::memory_order_relaxed);
  }
  std::uint64_t Commands(int slot, int command, bool ok) const {
    return commands_[CommandCell(slot, command, ok)].load(std::memory_order_relaxed);
  }
  // How long a command held its port.
  void CommandRan(int command, std::uint64_t ms) { durations_[command].Observe(ms); }
  TDurationHistogram::TCounts Durations(int command) const { return durations_[command].Read(); }

  std::int64_t StartUnixSeconds() const { return start_unix_seconds_; }
  std::uint64_t UptimeSeconds() const;

 private:
  static constexpr int kCommandCells = (kPortSlots + 1) * kCommandLabels * 2;
  static int CommandCell(int slot, int command, bool ok) {
    return (slot * kCommandLabels + command) * 2 + (ok ? 1 : 0);
  }

  const std::int64_t start_unix_seconds_;
  const std::uint64_t start_ms_;
  std::array<std::atomic<std::uint64_t>, kRequestRoutes> requests_{};
  std::array<std::atomic<std::int64_t>, kListeners> open_{};
  std::array<std::atomic<std::uint64_t>, kCommandCells> commands_{};
  std::array<TDurationHistogram, kCommandLabels> durations_{};
};

}  // namespace kestrel

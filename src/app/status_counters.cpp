#include "app/status_counters.h"

#include <chrono>
#include <type_traits>

#include "app/print.h"
#include "platform/clock.h"

namespace kestrel {
namespace {

constexpr std::array<std::string_view, kRequestRoutes> kRouteNames = {
    "version", "serial_ports", "update", "command_result", "print",     "empty",  "dropped",
    "page",    "metrics",      "health", "journal",        "not_found", "dropped"};

std::int64_t UnixSecondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

static_assert(std::tuple_size_v<std::remove_cvref_t<decltype(TimedCommands())>> + 1 ==
              kCommandLabels);

}  // namespace

TListener ListenerOf(TRequestRoute route) {
  return route >= TRequestRoute::Page ? TListener::Status : TListener::Main;
}

std::string_view RouteName(TRequestRoute route) {
  return kRouteNames[static_cast<int>(route)];
}

int CommandLabelIndex(std::string_view cmd) {
  const auto& commands = TimedCommands();
  for (std::size_t i = 0; i < commands.size(); ++i) {
    if (commands[i] == cmd)
      return static_cast<int>(i);
  }
  return kCommandLabels - 1;
}

std::string_view CommandLabel(int index) {
  const auto& commands = TimedCommands();
  return index < static_cast<int>(commands.size()) ? commands[index] : "other";
}

TStatusCounters::TStatusCounters()
    : start_unix_seconds_(UnixSecondsNow()), start_ms_(platform::MonotonicMilliseconds()) {}

std::uint64_t TStatusCounters::UptimeSeconds() const {
  return (platform::MonotonicMilliseconds() - start_ms_) / 1000;
}

}  // namespace kestrel

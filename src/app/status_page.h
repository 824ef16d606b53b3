// What the status listener answers with: the HTML status page, the
// journal page of a port and the metrics in the Prometheus text format,
// each made from a snapshot of the program's state. Everything that came
// from a request (ports, commands, errors, log lines) is escaped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/port_queue.h"
#include "app/self_update.h"
#include "app/status_counters.h"
#include "journal/journal.h"

namespace kestrel {

// The newest log lines the page shows.
inline constexpr std::size_t kPageLogLines = 50;
// The newest journal rows the journal page shows.
inline constexpr std::int64_t kPageJournalRows = 50;
// How often the page reloads itself, in seconds.
inline constexpr int kPageRefreshSeconds = 5;
// A port name in a metric label is cut to this many characters.
inline constexpr std::size_t kLabelCharacters = 64;

struct TStatusSnapshot {
  std::string listen_address;  // "ip:port" of the main listener
  bool main_listening = false;
  std::string driver_version;  // the last one a result carried; empty before any
  std::int64_t now_unix_ms = 0;
  std::vector<TPortStatus> ports;
  std::vector<std::string> log_lines;  // newest first
  std::optional<TUpdateOutcome> update;
  bool restart_pending = false;
  bool journal = false;  // the journal file exists: the ports link to it
  std::int64_t connection_threads = 0;
  const TStatusCounters* counters = nullptr;  // never null once gathered
};

// "ok", or why the driver version is not: "outdated" below the lowest
// accepted version, "unknown" before any result carried one.
std::string_view DriverCheck(const std::string& driver_version);

std::string StatusPage(const TStatusSnapshot& snapshot);
std::string JournalPage(const std::string& port, const std::vector<JournalRow>& rows);
std::string MetricsText(const TStatusSnapshot& snapshot);

// `text` safe inside HTML text and quoted attribute values; malformed
// UTF-8 becomes U+FFFD.
std::string EscapeHtml(std::string_view text);
// `text` as one query value: every byte but letters, digits and "-._~"
// as "%" and two hex digits.
std::string PercentEncode(std::string_view text);
// The reverse; "+" is a blank, a "%" without two hex digits stays as it is.
std::string PercentDecode(std::string_view text);

}  // namespace kestrel

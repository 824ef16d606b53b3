#include "app/status_page.h"

#include "app/driver_call.h"
#include "app/log.h"
#include "app/tcp_printer.h"
#include "base/ascii.h"
#include "base/format.h"
#include "base/text.h"

namespace kestrel {
namespace {

constexpr char kStyle[] =
    "body{font-family:sans-serif;margin:1em 2em;color:#222}"
    "table{border-collapse:collapse;margin-bottom:1.5em}"
    "th,td{border:1px solid #bbb;padding:.25em .6em;text-align:left;vertical-align:top}"
    "td{white-space:nowrap}th{background:#eee}.error{color:#b00;white-space:normal}.ok{color:#070}"
    "ol{font-family:monospace;padding-left:2.5em}";

std::string TimeText(std::int64_t unix_ms) {
  return JournalTime(unix_ms / 1000).substr(0, 19);
}

// "1 d 02:03:04", or "02:03:04" within the first day.
std::string DurationText(std::uint64_t seconds) {
  const std::uint64_t days = seconds / 86400;
  const std::string clock =
      Format("%02llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600 % 24),
             static_cast<unsigned long long>(seconds / 60 % 60),
             static_cast<unsigned long long>(seconds % 60));
  return days == 0 ? clock : std::to_string(days) + " d " + clock;
}

std::string MillisecondsText(std::uint64_t ms) {
  return Format("%.3f s", static_cast<double>(ms) / 1000);
}

std::string Cell(std::string_view html) {
  return "<td>" + std::string(html) + "</td>";
}

std::string Fact(std::string_view name, std::string_view html) {
  return "<tr><th>" + std::string(name) + "</th>" + Cell(html) + "</tr>\n";
}

std::string Outcome(const std::string& error) {
  return error.empty() ? "<span class=\"ok\">ok</span>"
                       : "<span class=\"error\">" + EscapeHtml(error) + "</span>";
}

std::string PageHead(std::string_view title, bool refresh) {
  std::string head = "<!DOCTYPE html>\n<html lang=\"ru\"><head><meta charset=\"utf-8\">";
  if (refresh)
    head += "<meta http-equiv=\"refresh\" content=\"" + std::to_string(kPageRefreshSeconds) + "\">";
  return head + "<title>" + EscapeHtml(title) + "</title><style>" + kStyle +
         "</style></head>\n<body>\n<h1>" + EscapeHtml(title) + "</h1>\n";
}

std::string UpdateText(const TStatusSnapshot& snapshot) {
  std::string text;
  if (!snapshot.update)
    text = "no update received since the start";
  else
    text =
        EscapeHtml(snapshot.update->received.substr(0, 19)) + ": version " +
        EscapeHtml(snapshot.update->version) + ", " +
        (snapshot.update->error.empty() ? std::string("stored") : Outcome(snapshot.update->error));
  if (snapshot.restart_pending)
    text += "; restarting into the update";
  return text;
}

std::string Facts(const TStatusSnapshot& snapshot) {
  const std::string driver = snapshot.driver_version.empty()
                                 ? std::string("none reported yet")
                                 : EscapeHtml(snapshot.driver_version) + ", " +
                                       std::string(DriverCheck(snapshot.driver_version));
  return "<table id=\"facts\">\n" + Fact("Program version", ProgramVersion) +
         Fact("Driver version", driver) +
         Fact("Listening on", EscapeHtml(snapshot.listen_address) +
                                  (snapshot.main_listening ? " (accepting)" : " (not accepting)")) +
         Fact("Up for", DurationText(snapshot.counters->UptimeSeconds())) +
         Fact("Update", UpdateText(snapshot)) + "</table>\n";
}

std::string PortState(const TStatusSnapshot& snapshot, const TPortStatus& port) {
  if (!port.held_ms)
    return "idle";
  return "printing since " +
         TimeText(snapshot.now_unix_ms - static_cast<std::int64_t>(*port.held_ms));
}

std::string PortRow(const TStatusSnapshot& snapshot, const TPortStatus& port) {
  std::string row = "<tr>" + Cell(EscapeHtml(CutText(port.port, TLog::kMaxFieldCharacters))) +
                    Cell(PortState(snapshot, port)) + Cell(std::to_string(port.waiting)) +
                    Cell(std::to_string(port.served));
  if (port.last)
    row += Cell(EscapeHtml(port.last->cmd)) + Cell(TimeText(port.last->started_unix_ms)) +
           Cell(MillisecondsText(port.last->held_ms)) + Cell(Outcome(port.last->error));
  else
    row += Cell("") + Cell("") + Cell("") + Cell("");
  if (snapshot.journal)
    row += Cell("<a href=\"/journal?port=" + EscapeHtml(PercentEncode(port.port)) +
                "\">last commands</a>");
  return row + "</tr>\n";
}

std::string PortTable(const TStatusSnapshot& snapshot) {
  std::string table =
      "<h2>Ports</h2>\n<table id=\"ports\">\n<thead><tr><th>Port</th><th>State</th>"
      "<th>Waiting</th><th>Served</th><th>Last command</th><th>At</th><th>Took</th>"
      "<th>Result</th>";
  if (snapshot.journal)
    table += "<th>Journal</th>";
  table += "</tr></thead>\n<tbody>\n";
  for (const TPortStatus& port : snapshot.ports)
    table += PortRow(snapshot, port);
  return table + "</tbody>\n</table>\n";
}

std::string LogList(const TStatusSnapshot& snapshot) {
  std::string list = "<h2>Log, newest first</h2>\n<ol id=\"log\">\n";
  for (std::size_t i = 0; i < snapshot.log_lines.size() && i < kPageLogLines; ++i)
    list += "<li>" + EscapeHtml(snapshot.log_lines[i]) + "</li>\n";
  return list + "</ol>\n";
}

// A label value: backslash, double quote and line feed escaped.
std::string LabelValue(std::string_view text) {
  std::string value;
  for (const char c : SanitizeUtf8(text)) {
    if (c == '\\')
      value += "\\\\";
    else if (c == '"')
      value += "\\\"";
    else if (c == '\n')
      value += "\\n";
    else
      value += c;
  }
  return value;
}

std::string PortLabels(const TPortStatus& port) {
  return "port=\"" + LabelValue(CutText(port.port, kLabelCharacters)) + "\",slot=\"" +
         std::to_string(port.slot) + "\"";
}

void Family(std::string& text, std::string_view name, std::string_view type,
            std::string_view help) {
  text.append("# HELP ").append(name).append(" ").append(help).append("\n");
  text.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void Sample(std::string& text, std::string_view name, const std::string& labels,
            const std::string& value) {
  text.append(name);
  if (!labels.empty())
    text.append("{").append(labels).append("}");
  text.append(" ").append(value).append("\n");
}

std::string Seconds(std::uint64_t ms) {
  return Format("%.3f", static_cast<double>(ms) / 1000);
}

void Histogram(std::string& text, std::string_view name, const std::string& labels,
               const TDurationHistogram::TCounts& counts) {
  const std::string prefix = labels.empty() ? "" : labels + ",";
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < TDurationHistogram::kBuckets; ++i) {
    cumulative += counts.buckets[i];
    const std::string bound = i < TDurationHistogram::kBoundsMs.size()
                                  ? Seconds(TDurationHistogram::kBoundsMs[i])
                                  : std::string("+Inf");
    Sample(text, std::string(name) + "_bucket", prefix + "le=\"" + bound + "\"",
           std::to_string(cumulative));
  }
  Sample(text, std::string(name) + "_sum", labels, Seconds(counts.sum_ms));
  Sample(text, std::string(name) + "_count", labels, std::to_string(cumulative));
}

void ProgramMetrics(std::string& text, const TStatusSnapshot& snapshot) {
  Family(text, "kestrel_info", "gauge", "The program's and the driver's versions.");
  Sample(text, "kestrel_info",
         "version=\"" + LabelValue(ProgramVersion) + "\",driver_version=\"" +
             LabelValue(snapshot.driver_version) + "\",driver_check=\"" +
             std::string(DriverCheck(snapshot.driver_version)) + "\"",
         "1");
  Family(text, "kestrel_start_time_seconds", "gauge", "When the program started, as a Unix time.");
  Sample(text, "kestrel_start_time_seconds", "",
         std::to_string(snapshot.counters->StartUnixSeconds()));
  Family(text, "kestrel_listening", "gauge", "1 while the main listener accepts connections.");
  Sample(text, "kestrel_listening", "", snapshot.main_listening ? "1" : "0");
}

void ServerMetrics(std::string& text, const TStatusSnapshot& snapshot) {
  const TStatusCounters& counters = *snapshot.counters;
  Family(text, "kestrel_requests_total", "counter", "Requests by listener and route.");
  for (int i = 0; i < kRequestRoutes; ++i) {
    const auto route = static_cast<TRequestRoute>(i);
    Sample(text, "kestrel_requests_total",
           std::string("listener=\"") + (ListenerOf(route) == TListener::Main ? "main" : "status") +
               "\",route=\"" + std::string(RouteName(route)) + "\"",
           std::to_string(counters.Requests(route)));
  }
  Family(text, "kestrel_open_connections", "gauge", "Connections being served, by listener.");
  Sample(text, "kestrel_open_connections", "listener=\"main\"",
         std::to_string(counters.OpenConnections(TListener::Main)));
  Sample(text, "kestrel_open_connections", "listener=\"status\"",
         std::to_string(counters.OpenConnections(TListener::Status)));
  Family(text, "kestrel_connection_threads", "gauge",
         "Connection threads created and not yet finished.");
  Sample(text, "kestrel_connection_threads", "", std::to_string(snapshot.connection_threads));
}

void CommandCounts(std::string& text, const TStatusCounters& counters, int slot,
                   const std::string& port_labels) {
  for (int command = 0; command < kCommandLabels; ++command) {
    for (const bool ok : {true, false}) {
      const std::uint64_t count = counters.Commands(slot, command, ok);
      if (count != 0)
        Sample(text, "kestrel_print_commands_total",
               port_labels + ",command=\"" + std::string(CommandLabel(command)) + "\",outcome=\"" +
                   (ok ? "ok" : "error") + "\"",
               std::to_string(count));
    }
  }
}

void PrintMetrics(std::string& text, const TStatusSnapshot& snapshot) {
  const TStatusCounters& counters = *snapshot.counters;
  Family(text, "kestrel_print_commands_total", "counter",
         "Print commands answered, by port, command and outcome; commands that took no "
         "place in the port table have the slot none.");
  for (const TPortStatus& port : snapshot.ports)
    CommandCounts(text, counters, port.slot, PortLabels(port));
  CommandCounts(text, counters, TStatusCounters::kNoSlot, "port=\"\",slot=\"none\"");
  Family(text, "kestrel_print_command_duration_seconds", "histogram",
         "How long commands held their port, by command.");
  for (int command = 0; command < kCommandLabels; ++command)
    Histogram(text, "kestrel_print_command_duration_seconds",
              "command=\"" + std::string(CommandLabel(command)) + "\"",
              counters.Durations(command));
  Family(text, "kestrel_port_wait_seconds", "histogram",
         "How long commands waited for their port.");
  for (const TPortStatus& port : snapshot.ports)
    Histogram(text, "kestrel_port_wait_seconds", PortLabels(port), port.wait);
  Family(text, "kestrel_port_waiting", "gauge", "Commands waiting for the port now.");
  for (const TPortStatus& port : snapshot.ports)
    Sample(text, "kestrel_port_waiting", PortLabels(port), std::to_string(port.waiting));
  Family(text, "kestrel_port_printing", "gauge",
         "1 while a command of this program holds the port.");
  for (const TPortStatus& port : snapshot.ports)
    Sample(text, "kestrel_port_printing", PortLabels(port), port.held_ms ? "1" : "0");
}

}  // namespace

std::string_view DriverCheck(const std::string& driver_version) {
  if (driver_version.empty())
    return "unknown";
  return driver_version < kMinDriverVersion ? "outdated" : "ok";
}

std::string EscapeHtml(std::string_view text) {
  std::string escaped;
  for (const char c : SanitizeUtf8(text)) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string PercentEncode(std::string_view text) {
  return PercentEncoded(text, [](unsigned char c) {
    return IsAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
  });
}

std::string PercentDecode(std::string_view text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      decoded += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && DigitValue(text[i + 1], 16) >= 0 &&
               DigitValue(text[i + 2], 16) >= 0) {
      decoded += static_cast<char>(DigitValue(text[i + 1], 16) * 16 + DigitValue(text[i + 2], 16));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

std::string StatusPage(const TStatusSnapshot& snapshot) {
  return PageHead("Kestrel", true) + Facts(snapshot) + PortTable(snapshot) + LogList(snapshot) +
         "</body></html>\n";
}

std::string JournalPage(const std::string& port, const std::vector<JournalRow>& rows) {
  std::string page =
      PageHead("Kestrel: last commands on " + CutText(port, TLog::kMaxFieldCharacters), false) +
      "<p><a href=\"/\">Status</a></p>\n<table id=\"journal\">\n<thead><tr>"
      "<th>No.</th><th>Received</th><th>Started</th><th>Ended</th><th>Command</th>"
      "<th>Model</th><th>Id</th><th>Sender</th><th>Outcome</th><th>Error</th>"
      "</tr></thead>\n<tbody>\n";
  for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
    page += "<tr>" + Cell(std::to_string(row->seq)) + Cell(EscapeHtml(row->received)) +
            Cell(EscapeHtml(row->started)) + Cell(EscapeHtml(row->ended)) +
            Cell(EscapeHtml(CutText(row->cmd, TLog::kMaxFieldCharacters))) +
            Cell(EscapeHtml(CutText(row->model, TLog::kMaxFieldCharacters))) +
            Cell(EscapeHtml(row->id)) + Cell(EscapeHtml(row->sender)) +
            Cell(EscapeHtml(row->outcome)) +
            Cell(EscapeHtml(CutText(row->error, TLog::kMaxFieldCharacters))) + "</tr>\n";
  }
  return page + "</tbody>\n</table>\n</body></html>\n";
}

std::string MetricsText(const TStatusSnapshot& snapshot) {
  std::string text;
  ProgramMetrics(text, snapshot);
  ServerMetrics(text, snapshot);
  PrintMetrics(text, snapshot);
  return text;
}

}  // namespace kestrel

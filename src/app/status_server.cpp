#include "app/status_server.h"

#include <chrono>

#include "files/file_utils.h"
#include "server/tcp_thread.h"

namespace kestrel {
namespace {

constexpr std::string_view kHtml = "text/html; charset=utf-8";
constexpr std::string_view kPlain = "text/plain; charset=utf-8";
constexpr std::string_view kMetrics = "text/plain; version=0.0.4; charset=utf-8";
constexpr std::string_view kJournalPath = "/journal";
constexpr std::string_view kPortParameter = "port=";

std::int64_t UnixMillisecondsNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The value of the query parameter "port", decoded; empty when absent.
std::string PortParameter(std::string_view query) {
  while (!query.empty()) {
    const std::size_t end = std::min(query.find('&'), query.size());
    const std::string_view pair = query.substr(0, end);
    if (pair.starts_with(kPortParameter))
      return PercentDecode(pair.substr(kPortParameter.size()));
    query.remove_prefix(end == query.size() ? end : end + 1);
  }
  return "";
}

class TTCP_Status : public TTCPThread {
 protected:
  TTCP_Status(TTCPDaemon& owner, platform::Socket connection,
              std::shared_ptr<const TStatusService> service)
      : TTCPThread(owner, std::move(connection)), service_(std::move(service)) {
    service_->Sources().counters->ConnectionOpened(TListener::Status);
  }
  ~TTCP_Status() override { service_->Sources().counters->ConnectionClosed(TListener::Status); }

  // One request, as on the main listener: the same waits and caps.
  void Treat() override {
    SetMaxReadLen(kMaxRequestBody);
    TRequest request = ReceiveRequest(service_->Sources().timings);
    if (request.outcome == TRequestOutcome::Answered) {
      request.reservation.reset();
      Send(service_->Answer(request.header));
    } else {
      service_->Sources().counters->CountRequest(TRequestRoute::StatusDropped);
    }
    Terminate();
  }

 private:
  const std::shared_ptr<const TStatusService> service_;
};

}  // namespace

TStatusSnapshot TStatusService::Snapshot() const {
  TStatusSnapshot snapshot;
  snapshot.listen_address = sources_.listen_address;
  snapshot.main_listening = sources_.main_listening && sources_.main_listening();
  snapshot.driver_version = sources_.driver_versions.Last();
  snapshot.now_unix_ms = UnixMillisecondsNow();
  snapshot.ports = sources_.queue.Status();
  snapshot.log_lines = sources_.log.Lines();
  if (snapshot.log_lines.size() > kPageLogLines)
    snapshot.log_lines.resize(kPageLogLines);
  if (sources_.last_update)
    snapshot.update = sources_.last_update();
  snapshot.restart_pending = sources_.restart_pending.load();
  snapshot.journal = !sources_.journal_file.empty() && FileExists(sources_.journal_file);
  snapshot.connection_threads = LiveConnectionThreads();
  snapshot.counters = sources_.counters.get();
  return snapshot;
}

std::string TStatusService::Answer(const THTTPHeader& header) const {
  TStatusCounters& counters = *sources_.counters;
  const std::string_view target = header.Target;
  const std::size_t question = target.find('?');
  const std::string_view path = target.substr(0, question);
  const std::string_view query =
      question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
  if (header.Method == "GET") {
    if (path == "/") {
      counters.CountRequest(TRequestRoute::Page);
      return HTTPResponse(200, kHtml, StatusPage(Snapshot()));
    }
    if (path == "/metrics") {
      counters.CountRequest(TRequestRoute::Metrics);
      return HTTPResponse(200, kMetrics, MetricsText(Snapshot()));
    }
    if (path == "/healthz") {
      counters.CountRequest(TRequestRoute::Health);
      const bool listening = sources_.main_listening && sources_.main_listening();
      return HTTPResponse(listening ? 200 : 503, kPlain, listening ? "ok" : "not accepting");
    }
    if (path == kJournalPath && !sources_.journal_file.empty() &&
        FileExists(sources_.journal_file)) {
      counters.CountRequest(TRequestRoute::Journal);
      return Journal(std::string(query));
    }
  }
  counters.CountRequest(TRequestRoute::NotFound);
  return HTTPResponse(404, kPlain, "not found");
}

std::string TStatusService::Journal(const std::string& query) const {
  const std::string port = PortParameter(query);
  try {
    JournalQuery selection;
    selection.port = port;
    selection.newest = kPageJournalRows;
    return HTTPResponse(200, kHtml,
                        JournalPage(port, ReadJournal(sources_.journal_file, selection)));
  } catch (const std::exception& failure) {
    return HTTPResponse(503, kPlain, failure.what());
  }
}

TTCPThreadClass StatusClass(std::shared_ptr<const TStatusService> service) {
  return TTCPThreadClass{[service](TTCPDaemon& owner, platform::Socket connection) {
                           RunThread<TTCP_Status>(owner, std::move(connection), service);
                         },
                         [service](const std::string& message) {
                           if (service->Sources().log_sink)
                             service->Sources().log_sink(message);
                         }};
}

}  // namespace kestrel

// The status listener: a second daemon whose connections answer GET
// requests for the status page, the metrics, a health check and the
// journal of a port, from the parts of the program that keep the numbers.
// It only reads; the main listener's answers stay as they are.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/driver_call.h"
#include "app/log.h"
#include "app/port_queue.h"
#include "app/self_update.h"
#include "app/status_counters.h"
#include "app/status_page.h"
#include "app/tcp_printer.h"
#include "server/http_header.h"
#include "server/tcp_thread.h"

namespace kestrel {

// Where the status listener reads from. Each reference must outlive it.
struct TStatusSources {
  std::shared_ptr<TStatusCounters> counters;
  const TPortQueue& queue;
  const TLog& log;
  const DriverVersionLog& driver_versions;
  const std::atomic<bool>& restart_pending;
  std::string listen_address;  // "ip:port" of the main listener
  std::string journal_file;    // the journal of print commands, may not exist
  std::function<bool()> main_listening;
  std::function<std::optional<TUpdateOutcome>()> last_update;
  TLogSink log_sink;  // what the listener itself has to say
  TRequestTimings timings{};
};

class TStatusService {
 public:
  explicit TStatusService(TStatusSources sources) : sources_(std::move(sources)) {}

  // The whole response to a request with `header`; counts it.
  std::string Answer(const THTTPHeader& header) const;
  TStatusSnapshot Snapshot() const;
  const TStatusSources& Sources() const { return sources_; }

 private:
  std::string Journal(const std::string& query) const;

  const TStatusSources sources_;
};

// The status connection class, as a value for TTCPDaemon::Create.
TTCPThreadClass StatusClass(std::shared_ptr<const TStatusService> service);

}  // namespace kestrel

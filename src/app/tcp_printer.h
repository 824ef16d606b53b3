// The connection class of the printer driver: reads one HTTP request, routes
// its body by the first element name of its BSON document, answers once with
// "Content-Type: text/html" and ends. The services behind the routes are
// handed to the daemon with the connection class.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "app/status_counters.h"
#include "server/tcp_thread.h"

namespace kestrel {

// The program's own version: the answer to "DrvVer" and the version that
// senders are checked against.
inline constexpr char ProgramVersion[] = "2012.07.03 14:00";

// Turns a request body, handed over whole, into an answer body; may throw,
// which logs the message and closes the connection without an answer.
using TRequestHandler = std::function<std::string(std::string body)>;
using TLogSink = std::function<void(const std::string& message)>;
// A handler that is also told the client's address ("address:port").
using TSenderRequestHandler =
    std::function<std::string(std::string body, const std::string& sender)>;

// The waits and pace of the receive loop.
using TPrinterTimings = TRequestTimings;

// What the connections of one daemon serve with. A route without a service
// answers an empty body; without a log, messages go to standard error.
// Every member has an initializer, so that a designated list may name a few.
struct TPrinterServices {
  TLogSink log{};
  TRequestHandler enum_coms{};
  TRequestHandler update_self{};
  TRequestHandler print{};
  // Serves print requests instead of `print` when set.
  TSenderRequestHandler print_from_sender{};
  // The answer stored for a command id ("CmdResult").
  TRequestHandler cmd_result{};
  TPrinterTimings timings{};
  // Counts the requests and connections when set.
  std::shared_ptr<TStatusCounters> counters{};
};

// The route a body takes: the service its key names, else print.
TRequestRoute RouteOf(const std::string& body);

// Routes a body by its key (the first six characters of the first element
// name) to its service and returns the answer body. `sender` tells the
// client's address, asked only by a route that uses it: finding it costs
// more than answering the version query.
std::string ExecBinCmd(std::string body, const TPrinterServices& services,
                       const std::function<std::string()>& sender = {});

// The printer connection class, as a value for TTCPDaemon::Create; its
// connections and its log use `services`.
TTCPThreadClass PrinterClass(std::shared_ptr<const TPrinterServices> services);

class TTCP_Printer : public TTCPThread {
 protected:
  TTCP_Printer(TTCPDaemon& owner, platform::Socket connection,
               std::shared_ptr<const TPrinterServices> services);
  ~TTCP_Printer() override;

  // Serves the one request of the connection, then terminates the thread.
  void Treat() override;
  void Count(TRequestRoute route) const;
  std::string ExecBinCmd(std::string buf) {
    return kestrel::ExecBinCmd(std::move(buf), *services_, [this] { return PeerAddress(); });
  }

  THTTPHeader HTTPHeader;

 private:
  const std::shared_ptr<const TPrinterServices> services_;
};

}  // namespace kestrel

// The connection class of the printer driver: reads one HTTP request, routes
// its body by the first element name of its BSON document, answers once with
// "Content-Type: text/html" and ends. The services behind the routes are
// plugged in by the application at start-up.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "server/tcp_thread.h"

namespace kestrel {

// The program's own version: the answer to "DrvVer" and the version that
// senders are checked against.
inline constexpr char ProgramVersion[] = "2012.07.03 14:00";

// The routes served by other components.
enum class TPrinterRoute { EnumCOMs, UpdateSelf, Print };
// Turns a request body, handed over whole, into an answer body; may throw,
// which logs the message and closes the connection without an answer.
using TRequestHandler = std::function<std::string(std::string body)>;
using TLogSink = std::function<void(const std::string& message)>;

// The waits and pace of the receive loop.
using TPrinterTimings = TRequestTimings;

class TTCP_Printer : public TTCPThread {
 public:
  // The log of the whole server: forwards to the sink set at start-up, to
  // standard error until one is set. Callable from any thread.
  static void LOG(const std::string& message);
  static void SetLogSink(TLogSink sink);
  // Sets the service of `route`; a route without one answers an empty body.
  // Set at start-up; later changes reach the connections made afterwards.
  static void SetRoute(TPrinterRoute route, TRequestHandler handler);

 protected:
  TTCP_Printer(TTCPDaemon& owner, platform::Socket connection, TPrinterTimings timings = {});

  // Serves the one request of the connection, then terminates the thread.
  void Treat() override;
  // Routes a body by its key (the first six characters of the first
  // element name) and returns the answer body.
  std::string ExecBinCmd(std::string buf);
  std::string EnumCOMs(std::string buf);
  std::string UpdateSelf(std::string buf);
  std::string Print(std::string buf);

  THTTPHeader HTTPHeader;

 private:
  const TPrinterTimings timings_;
};

}  // namespace kestrel

#include "app/tcp_printer.h"

#include <array>
#include <iostream>
#include <mutex>
#include <utility>

namespace kestrel {
namespace {

constexpr std::size_t kKeyLength = 6;
// In a BSON document four length bytes and the type byte of the first
// element come before its name.
constexpr std::size_t kFirstNameOffset = 5;

struct Services {
  std::mutex mutex;
  TLogSink log_sink;
  std::array<TRequestHandler, 3> routes;
};

Services& TheServices() {
  static Services services;
  return services;
}

// A 6-byte body is its own key ("DrvVer" sent bare); otherwise the key is
// the six bytes from the first element name on, fewer if the body is short.
std::string RoutingKey(const std::string& body) {
  if (body.size() == kKeyLength)
    return body;
  if (body.size() <= kFirstNameOffset)
    return "";
  return body.substr(kFirstNameOffset, kKeyLength);
}

std::string ServeRoute(TPrinterRoute route, std::string body) {
  TRequestHandler handler;
  {
    Services& services = TheServices();
    const std::lock_guard lock(services.mutex);
    handler = services.routes[static_cast<std::size_t>(route)];
  }
  return handler ? handler(std::move(body)) : std::string();
}

}  // namespace

void TTCP_Printer::LOG(const std::string& message) {
  TLogSink sink;
  {
    Services& services = TheServices();
    const std::lock_guard lock(services.mutex);
    sink = services.log_sink;
  }
  if (sink)
    sink(message);
  else
    std::cerr << message << '\n';
}

void TTCP_Printer::SetLogSink(TLogSink sink) {
  Services& services = TheServices();
  const std::lock_guard lock(services.mutex);
  services.log_sink = std::move(sink);
}

void TTCP_Printer::SetRoute(TPrinterRoute route, TRequestHandler handler) {
  Services& services = TheServices();
  const std::lock_guard lock(services.mutex);
  services.routes[static_cast<std::size_t>(route)] = std::move(handler);
}

TTCP_Printer::TTCP_Printer(TTCPDaemon& owner, platform::Socket connection, TPrinterTimings timings)
    : TTCPThread(owner, std::move(connection)), timings_(timings) {}

void TTCP_Printer::Treat() {
  SetMaxReadLen(kMaxRequestBody);
  TRequest request = ReceiveRequest(timings_);
  if (request.outcome == TRequestOutcome::Answered) {
    HTTPHeader = std::move(request.header);
    std::string answer;
    if (!request.body.empty())
      answer = ExecBinCmd(std::move(request.body));
    request.reservation.reset();
    Send(AddHTTPHeader(answer, false));
  }
  Terminate();
}

std::string TTCP_Printer::ExecBinCmd(std::string buf) {
  const std::string key = RoutingKey(buf);
  if (key == "DrvVer")
    return ProgramVersion;
  if (key == "EnumCO")
    return EnumCOMs(std::move(buf));
  if (key == "EXEver")
    return UpdateSelf(std::move(buf));
  return Print(std::move(buf));
}

std::string TTCP_Printer::EnumCOMs(std::string buf) {
  return ServeRoute(TPrinterRoute::EnumCOMs, std::move(buf));
}

std::string TTCP_Printer::UpdateSelf(std::string buf) {
  return ServeRoute(TPrinterRoute::UpdateSelf, std::move(buf));
}

std::string TTCP_Printer::Print(std::string buf) {
  return ServeRoute(TPrinterRoute::Print, std::move(buf));
}

}  // namespace kestrel

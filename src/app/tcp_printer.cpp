#include "app/tcp_printer.h"

#include <iostream>
#include <utility>

namespace kestrel {
namespace {

constexpr std::size_t kKeyLength = 6;
// In a BSON document four length bytes and the type byte of the first
// element come before its name.
constexpr std::size_t kFirstNameOffset = 5;

// A 6-byte body is its own key ("DrvVer" sent bare); otherwise the key is
// the six bytes from the first element name on, fewer if the body is short.
std::string RoutingKey(const std::string& body) {
  if (body.size() == kKeyLength)
    return body;
  if (body.size() <= kFirstNameOffset)
    return "";
  return body.substr(kFirstNameOffset, kKeyLength);
}

std::string Serve(const TRequestHandler& handler, std::string body) {
  return handler ? handler(std::move(body)) : std::string();
}

}  // namespace

TRequestRoute RouteOf(const std::string& body) {
  const std::string key = RoutingKey(body);
  if (key == "DrvVer")
    return TRequestRoute::Version;
  if (key == "EnumCO")
    return TRequestRoute::SerialPorts;
  if (key == "EXEver")
    return TRequestRoute::Update;
  if (key == "CmdRes")
    return TRequestRoute::CommandResult;
  return TRequestRoute::Print;
}

std::string ExecBinCmd(std::string body, const TPrinterServices& services,
                       const std::function<std::string()>& sender) {
  const TRequestRoute route = RouteOf(body);
  if (services.counters)
    services.counters->CountRequest(route);
  switch (route) {
    case TRequestRoute::Version:
      return ProgramVersion;
    case TRequestRoute::SerialPorts:
      return Serve(services.enum_coms, std::move(body));
    case TRequestRoute::Update:
      return Serve(services.update_self, std::move(body));
    case TRequestRoute::CommandResult:
      return Serve(services.cmd_result, std::move(body));
    default:
      break;
  }
  if (services.print_from_sender)
    return services.print_from_sender(std::move(body), sender ? sender() : std::string());
  return Serve(services.print, std::move(body));
}

TTCPThreadClass PrinterClass(std::shared_ptr<const TPrinterServices> services) {
  return TTCPThreadClass{[services](TTCPDaemon& owner, platform::Socket connection) {
                           RunThread<TTCP_Printer>(owner, std::move(connection), services);
                         },
                         [services](const std::string& message) {
                           if (services->log)
                             services->log(message);
                           else
                             std::cerr << message << '\n';
                         }};
}

TTCP_Printer::TTCP_Printer(TTCPDaemon& owner, platform::Socket connection,
                           std::shared_ptr<const TPrinterServices> services)
    : TTCPThread(owner, std::move(connection)), services_(std::move(services)) {
  if (services_->counters)
    services_->counters->ConnectionOpened(TListener::Main);
}

TTCP_Printer::~TTCP_Printer() {
  if (services_->counters)
    services_->counters->ConnectionClosed(TListener::Main);
}

void TTCP_Printer::Count(TRequestRoute route) const {
  if (services_->counters)
    services_->counters->CountRequest(route);
}

void TTCP_Printer::Treat() {
  SetMaxReadLen(kMaxRequestBody);
  TRequest request = ReceiveRequest(services_->timings);
  if (request.outcome == TRequestOutcome::Answered) {
    HTTPHeader = std::move(request.header);
    std::string answer;
    if (!request.body.empty())
      answer = ExecBinCmd(std::move(request.body));
    else
      Count(TRequestRoute::Empty);
    request.reservation.reset();
    Send(AddHTTPHeader(answer, false));
  } else {
    Count(TRequestRoute::Dropped);
  }
  Terminate();
}

}  // namespace kestrel

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

std::string ExecBinCmd(std::string body, const TPrinterServices& services,
                       const std::function<std::string()>& sender) {
  const std::string key = RoutingKey(body);
  if (key == "DrvVer")
    return ProgramVersion;
  if (key == "EnumCO")
    return Serve(services.enum_coms, std::move(body));
  if (key == "EXEver")
    return Serve(services.update_self, std::move(body));
  if (key == "CmdRes")
    return Serve(services.cmd_result, std::move(body));
  if (services.print_from_sender)
    return services.print_from_sender(std::move(body), sender ? sender() : std::string());
  return Serve(services.print, std::move(body));
}

TTCPThreadClass PrinterClass(std::shared_ptr<const TPrinterServices> services) {
  return TTCPThreadClass{[services](TTCPDaemon& owner, platform::Socket connection) {
                           StartThread<TTCP_Printer>(owner, std::move(connection), services);
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
    : TTCPThread(owner, std::move(connection)), services_(std::move(services)) {}

void TTCP_Printer::Treat() {
  SetMaxReadLen(kMaxRequestBody);
  TRequest request = ReceiveRequest(services_->timings);
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

}  // namespace kestrel

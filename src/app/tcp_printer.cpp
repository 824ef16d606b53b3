#include "app/tcp_printer.h"

#include <array>
#include <iostream>
#include <limits>
#include <mutex>

#include "base/tick.h"

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

std::string ServeRoute(TPrinterRoute route, const std::string& body) {
  TRequestHandler handler;
  {
    Services& services = TheServices();
    const std::lock_guard lock(services.mutex);
    handler = services.routes[static_cast<std::size_t>(route)];
  }
  return handler ? handler(body) : std::string();
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
  SetMaxReadLen(std::numeric_limits<std::int32_t>::max());
  std::string packet;
  std::string body;
  if (WaitForFirstData(packet) && AssembleRequest(std::move(packet), body)) {
    if (!body.empty())
      body = ExecBinCmd(body);
    Send(AddHTTPHeader(body, false));
  }
  Terminate();
}

// False when the connection ends before any byte came: the peer closed,
// or the first-data wait ran out.
bool TTCP_Printer::WaitForFirstData(std::string& packet) {
  const std::uint32_t start = GetTickCount();
  for (;;) {
    packet = RecivePacket(timings_.packet_gap_ms);
    if (SockLastError() == 0)
      return true;
    if (SockLastError() != platform::kSocketTimedOut ||
        TicksSince(start) > static_cast<std::uint32_t>(timings_.first_data_ms))
      return false;
  }
}

// Gathers the request in Buf, a packet at a time, each within the packet
// gap. False when it is dropped without an answer (a header that is bad,
// or still incomplete when packets stop); otherwise `body` is what to
// serve, empty when the request has no binary body or it came incomplete.
bool TTCP_Printer::AssembleRequest(std::string packet, std::string& body) {
  for (;;) {
    Buf += packet;
    body = GetCMD(Buf);
    if (HTTPHeader.HeaderError && !HeaderMayStillArrive(Buf))
      return false;
    if (!HTTPHeader.HeaderError && (!HTTPHeader.BinaryData || HTTPHeader.DataIsReady))
      return true;
    packet = RecivePacket(timings_.packet_gap_ms);
    if (SockLastError() != 0) {
      body.clear();
      return !HTTPHeader.HeaderError;
    }
  }
}

std::string TTCP_Printer::GetCMD(std::string& buf) {
  HTTPHeader = ParseHTTPHeader(buf);
  if (HTTPHeader.HeaderError || !HTTPHeader.DataIsReady)
    return "";
  const std::size_t start = static_cast<std::size_t>(HTTPHeader.DataStart) - 1;
  const std::size_t length = static_cast<std::size_t>(HTTPHeader.ContentLength);
  std::string body = buf.substr(start, length);
  buf.erase(0, start + length);
  return body;
}

std::string TTCP_Printer::ExecBinCmd(const std::string& buf) {
  const std::string key = RoutingKey(buf);
  if (key == "DrvVer")
    return ProgramVersion;
  if (key == "EnumCO")
    return EnumCOMs(buf);
  if (key == "EXEver")
    return UpdateSelf(buf);
  return Print(buf);
}

std::string TTCP_Printer::EnumCOMs(const std::string& buf) {
  return ServeRoute(TPrinterRoute::EnumCOMs, buf);
}

std::string TTCP_Printer::UpdateSelf(const std::string& buf) {
  return ServeRoute(TPrinterRoute::UpdateSelf, buf);
}

std::string TTCP_Printer::Print(const std::string& buf) {
  return ServeRoute(TPrinterRoute::Print, buf);
}

}  // namespace kestrel

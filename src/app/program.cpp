#include "app/program.h"

#include <memory>

#include "app/enum_coms.h"
#include "app/port_queue.h"
#include "app/print.h"
#include "app/tcp_printer.h"
#include "platform/executable.h"
#include "server/tcp_daemon.h"

namespace kestrel {
namespace {

// What lives as long as the daemon: its slot and the port queue that the
// print service waits in. Created when the window starts the daemon.
struct ServerState {
  DaemonSlot slot;
  std::unique_ptr<TPortQueue> queue;
};

void StartDaemon(ServerState& state, const std::string& program_folder, const std::string& ip,
                 std::uint16_t port) {
  // The window exists while its FormCreate starts us; the queue shares its
  // critical section, as the port table belongs to the window.
  state.queue = std::make_unique<TPortQueue>(fmKestrel.load()->CS());
  TTCP_Printer::SetLogSink(&WriteMainLOG);
  TTCP_Printer::SetRoute(TPrinterRoute::EnumCOMs,
                         [](const std::string& body) { return EnumCOMs(body); });
  TTCP_Printer::SetRoute(TPrinterRoute::Print,
                         MakePrintRoute(std::make_shared<TPrintService>(
                             program_folder, *state.queue, &TTCP_Printer::LOG)));
  TTCPDaemon::Create(ip, port, ThreadClassOf<TTCP_Printer>(), &state.slot);
}

}  // namespace

std::string ProgramFolder() {
  const std::string path = platform::RunningExecutablePath();
  return path.substr(0, path.rfind('/') + 1);
}

KestrelHooks MakeProgramHooks(const std::string& program_folder) {
  auto state = std::make_shared<ServerState>();
  KestrelHooks hooks;
  hooks.daemon.start = [state, program_folder](const std::string& ip, std::uint16_t port) {
    StartDaemon(*state, program_folder, ip, port);
  };
  hooks.daemon.terminate = [state] { state->slot.Terminate(); };
  hooks.daemon.ended = [state] { return state->slot.Empty(); };
  return hooks;
}

}  // namespace kestrel

#include "app/program.h"

#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <utility>

#include "app/command_ids.h"
#include "app/port_queue.h"
#include "app/print.h"
#include "app/self_update.h"
#include "app/status_server.h"
#include "app/tcp_printer.h"
#include "app/wine_driver.h"
#include "server/tcp_daemon.h"

namespace kestrel {
namespace {

// What lives as long as the daemon: its slot and the port queue that the
// print service waits in, with the lock of the port table. Created when the
// window starts the daemon.
struct ServerState {
  DaemonSlot slot;
  DaemonSlot status_slot;
  std::mutex queue_lock;
  std::unique_ptr<TPortQueue> queue;
  // What the status listener shows, kept by the main one's services.
  std::shared_ptr<TStatusCounters> counters = std::make_shared<TStatusCounters>();
  std::shared_ptr<const TUpdateService> update;
  std::string listen_address;
  // Its Wine server is ended once the daemon has ended.
  std::shared_ptr<DriverHost> drivers =
      std::make_shared<DriverHost>(std::make_shared<WinePrefix>(DefaultWinePrefixFolder()));
  // Seen before the update's leftovers go: the daemon then waits for the
  // address that the replaced program may still hold.
  bool follows_update = false;
  // That wait and the daemon's start run here, so that the window serves its
  // user meanwhile; last, so that it ends before the rest goes.
  std::jthread address_wait;
};

// The journal of print commands lies in the program folder, beside the
// driver and the parameter files: the one folder that the program is sure to
// write to, and one journal per installed program, whoever starts it. A
// journal that cannot be made leaves the commands with an id refused and
// the others printing.
std::shared_ptr<TCommandIds> OpenCommandIds(const std::string& program_folder) {
  const std::string file = program_folder + kJournalFileName;
  try {
    return std::make_shared<TCommandIds>(
        std::make_unique<Journal>(file, JournalLimits{}, &WriteMainLOG), "", &WriteMainLOG);
  } catch (const std::exception& failure) {
    WriteMainLOG(JournalWriteFailedText(failure.what()));
    return std::make_shared<TCommandIds>(nullptr, failure.what(), &WriteMainLOG);
  }
}

// What the status listener shows from the start, before the daemon itself
// starts (a program back from an update may wait for its address first).
void PrepareServer(ServerState& state, const TUpdateProgram& program, const std::string& ip,
                   std::uint16_t port) {
  state.queue = std::make_unique<TPortQueue>(state.queue_lock);
  state.update =
      std::make_shared<TUpdateService>(program.folder, program.file_name, RestartAfterUpdate);
  state.listen_address = ip + ":" + std::to_string(port);
}

void StartDaemon(ServerState& state, const TUpdateProgram& program, const std::string& ip,
                 std::uint16_t port) {
  const std::shared_ptr<TCommandIds> ids = OpenCommandIds(program.folder);
  auto services = std::make_shared<TPrinterServices>();
  services->log = &WriteMainLOG;
  services->counters = state.counters;
  const std::string driver = program.folder + std::string(kDriverExeName);
  const std::shared_ptr<const DriverHost> drivers = state.drivers;
  services->enum_coms = [drivers, driver](const std::string& body) {
    return drivers->EnumCOMs(driver, body);
  };
  services->print_from_sender = MakeSenderPrintRoute(std::make_shared<TPrintService>(
      program.folder, *state.queue, &WriteMainLOG, LastDriverVer(),
      [drivers](const std::string& exe, const std::string& params, int timeout_sec,
                std::string& data) { return drivers->Call(exe, params, timeout_sec, data); },
      ids,
      [drivers](const std::string& exe, const std::string& port) { drivers->CheckPort(exe, port); },
      state.counters));
  services->cmd_result = MakeCmdResultRoute(ids);
  services->update_self = MakeUpdateRoute(state.update);
  TTCPDaemon::Create(ip, port, PrinterClass(std::move(services)), &state.slot);
}

// The status listener's lines are notices: the page is not the printers'
// business, so it never brings the window back.
void StartStatusDaemon(ServerState& state, const TUpdateProgram& program, const std::string& ip,
                       std::uint16_t port, const TLog& log) {
  if (!state.queue)
    return;
  const std::shared_ptr<const TUpdateService> update = state.update;
  auto service = std::make_shared<TStatusService>(TStatusSources{
      .counters = state.counters,
      .queue = *state.queue,
      .log = log,
      .driver_versions = LastDriverVer(),
      .restart_pending = RestartAfterUpdate,
      .listen_address = state.listen_address,
      .journal_file = program.folder + kJournalFileName,
      .main_listening = [&slot = state.slot] { return slot.Listening(); },
      .last_update = [update] { return update ? update->LastOutcome() : std::nullopt; },
      .log_sink = [](const std::string& message) { WriteMainLOG("$Status page: " + message); },
  });
  TTCPDaemon::Create(ip, port, StatusClass(std::move(service)), &state.status_slot);
}

void StartDaemonOnceFree(std::stop_token stop, ServerState* state, const TUpdateProgram& program,
                         const std::string& ip, std::uint16_t port) {
  WaitForFreeAddress(ip, port, stop, &WriteMainLOG);
  if (stop.stop_requested())
    return;
  try {
    StartDaemon(*state, program, ip, port);
  } catch (const std::exception& failure) {
    WriteMainLOG(failure.what());
  }
}

// Before the window exists and after it is gone, standard error is the only
// place left to tell why the program does not come back.
bool InstallOrReport(const TUpdateProgram& program) {
  try {
    return InstallUpdateFiles(program);
  } catch (const std::exception& failure) {
    std::cerr << failure.what() << '\n';
    return true;
  }
}

void DeleteLeftoversOrReport(const std::string& program_folder) {
  try {
    DeleteUpdateLeftovers(program_folder);
  } catch (const std::exception& failure) {
    std::cerr << failure.what() << '\n';
  }
}

void RunCopyOrReport(const TUpdateProgram& program) {
  try {
    RunUpdatedCopy(program);
  } catch (const std::exception& failure) {
    std::cerr << failure.what() << '\n';
  }
}

}  // namespace

KestrelHooks MakeProgramHooks(const std::string& executable_path,
                              std::vector<std::string> arguments) {
  const TUpdateProgram program = UpdateProgramOf(executable_path, std::move(arguments));
  auto state = std::make_shared<ServerState>();
  KestrelHooks hooks;
  hooks.daemon.start = [state, program](const std::string& ip, std::uint16_t port) {
    PrepareServer(*state, program, ip, port);
    if (state->follows_update)
      state->address_wait = std::jthread(StartDaemonOnceFree, state.get(), program, ip, port);
    else
      StartDaemon(*state, program, ip, port);
  };
  hooks.daemon.start_status = [state, program](const std::string& ip, std::uint16_t port,
                                               const TLog& log) {
    StartStatusDaemon(*state, program, ip, port, log);
  };
  // Commands still waiting for their port end at once with the queue's
  // error; those already printing are awaited by the daemon.
  hooks.daemon.terminate = [state] {
    if (state->address_wait.joinable()) {
      state->address_wait.request_stop();
      state->address_wait.join();
    }
    if (state->queue)
      state->queue->Close();
    state->slot.Terminate();
    state->status_slot.Terminate();
  };
  // With the last connection gone no driver runs: the Wine server that kept
  // drivers quick to start goes too.
  hooks.daemon.ended = [state] {
    if (state->address_wait.joinable() || !state->slot.Empty() || !state->status_slot.Empty())
      return false;
    state->drivers->Close();
    return true;
  };
  hooks.InstallUpdateFiles = [program] { return InstallOrReport(program); };
  hooks.DeleteUpdateLeftovers = [state, program] {
    state->follows_update = StartFollowsUpdate(program);
    DeleteLeftoversOrReport(program.folder);
  };
  hooks.RunUpdatedCopy = [program] { RunCopyOrReport(program); };
  return hooks;
}

}  // namespace kestrel

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
  std::mutex queue_lock;
  std::unique_ptr<TPortQueue> queue;
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

void StartDaemon(ServerState& state, const TUpdateProgram& program, const std::string& ip,
                 std::uint16_t port) {
  state.queue = std::make_unique<TPortQueue>(state.queue_lock);
  const std::shared_ptr<TCommandIds> ids = OpenCommandIds(program.folder);
  auto services = std::make_shared<TPrinterServices>();
  services->log = &WriteMainLOG;
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
      [drivers](const std::string& exe, const std::string& port) {
        drivers->CheckPort(exe, port);
      }));
  services->cmd_result = MakeCmdResultRoute(ids);
  services->update_self = MakeUpdateRoute(
      std::make_shared<TUpdateService>(program.folder, program.file_name, RestartAfterUpdate));
  TTCPDaemon::Create(ip, port, PrinterClass(std::move(services)), &state.slot);
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
    if (state->follows_update)
      state->address_wait = std::jthread(StartDaemonOnceFree, state.get(), program, ip, port);
    else
      StartDaemon(*state, program, ip, port);
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
  };
  // With the last connection gone no driver runs: the Wine server that kept
  // drivers quick to start goes too.
  hooks.daemon.ended = [state] {
    if (state->address_wait.joinable() || !state->slot.Empty())
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

// Print command execution: a print request body is decoded, version-checked,
// queued for its printer port, carried out by the driver executable and
// answered with the driver's result; every failure ends up in the answer's
// Error. The tables below are the program's fixed knowledge about commands
// and printer models.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/command_ids.h"
#include "app/driver_call.h"
#include "app/port_queue.h"
#include "app/tcp_printer.h"
#include "messages/messages.h"
#include "platform/clock.h"

namespace kestrel {

class TStatusCounters;

// The sender version that stands for any version.
inline constexpr std::string_view kAnyVersion = "flex";

// The driver executable's file name in the program folder.
inline constexpr std::string_view kDriverExeName = "corvid.exe";

// The driver time-out in seconds for a command (exact, case-sensitive);
// commands not listed get 19 s.
std::uint16_t CommandTimeout(std::string_view cmd);

// The commands that have a time-out of their own, in the table's order.
const std::array<std::string_view, 10>& TimedCommands();

// True for the commands answered with a Z-report result.
bool IsZReportCommand(std::string_view cmd);

// The model name given to the driver: the name with leading and trailing
// blanks and control characters removed, looked up exactly; a name that
// matches no known model is returned unchanged, blanks included.
std::string MapModelName(const std::string& name);

// The port text as it appears inside a file name. Latin letters, digits, "_", "-"
// and "." stay as they are (COM1 and ttyUSB0 keep their names); every other
// byte, "%" included, becomes "%" and two upper-case hex digits. The result
// holds no "/" and reads back unambiguously, so each port has its own
// parameter file inside the program folder. With `names_ignore_case` (a file
// system to which "COM1" and "com1" are one name) lower-case letters are
// escaped too: no name then holds one, so no two differ only in case.
std::string PortForFileName(std::string_view port, bool names_ignore_case);
// The same for the file system of this machine.
std::string PortForFileName(std::string_view port);

// program_folder (with its trailing separator) + "P" + the time as
// "yymmddhhnnsszzz" + PortForFileName(port) + ".dat".
std::string ParamsFileName(const std::string& program_folder, std::string_view port,
                           const platform::CivilTime& now);

// Carries one device command through the driver, with the contract of
// CallDrvExe; the print service takes it as a seam, so that its whole path
// can run without starting a process.
using DriverCall = std::function<std::string(
    const std::string& ExeName, const std::string& ParamsFile, int TimeOutSec, std::string& Data)>;

// Refuses, by raising, a port that the driver `ExeName` cannot serve, before
// the command waits for the port.
using PortCheck = std::function<void(const std::string& ExeName, const std::string& port)>;

// Serves print requests: the print route of TTCP_Printer. Any number of
// threads may call Print at once; commands for one port wait for each other
// in the queue, commands for different ports run in parallel.
class TPrintService {
 public:
  // `program_folder` (with its trailing separator) holds the driver and the
  // parameter files; `queue` must outlive the service; `log` receives the
  // failure line of every command (its port, model, command and error each
  // cut by LogField) and the driver version lines;
  // `call_driver` runs the driver; `ids` journals every command and keeps
  // the command ids (without it nothing is journaled and a command with an
  // id is refused); `check_port`, when given, looks at each command's port;
  // `counters`, when given, counts every command and its time on the port.
  TPrintService(std::string program_folder, TPortQueue& queue, LogSink log,
                DriverVersionLog& versions = LastDriverVer(), DriverCall call_driver = CallDrvExe,
                std::shared_ptr<TCommandIds> ids = nullptr, PortCheck check_port = nullptr,
                std::shared_ptr<TStatusCounters> counters = nullptr);

  // The answer body to the request body `Buf` from `sender` ("address:port",
  // for the journal): a BSON TPrnZREPRes for "zrep" and "zbuf", else a
  // TTermPrintRes, packed when the request was. A command whose IdCommand
  // names an earlier run gets that run's answer. Every failure of the
  // command is the answer's Error; only a failure to encode or pack the
  // answer itself escapes.
  std::string Print(const std::string& Buf, const std::string& sender = "") const;

 private:
  // One command on its way through Print.
  struct Run;

  void Execute(const std::string& Buf, Run& run, TPrintCmd& cmd, TTermPrintRes& res,
               TPrnZREPRes& zres) const;
  // The earlier answer of the command's id, or nullopt once the caller holds the id.
  std::optional<std::string> ClaimId(Run& run, const std::string& id,
                                     const std::string& device_document,
                                     std::uint16_t timeout_sec) const;
  // The durable record of a driver run about to start; without it a command
  // with an id does not run.
  void RecordStart(Run& run) const;
  void RecordEnd(Run& run, const std::string& error, const std::string& answer) const;
  void RunDriver(TPrintCmd& cmd, std::uint16_t timeout_sec, std::string& device_document,
                 TTermPrintRes& res, TPrnZREPRes& zres) const;
  void ReadDriverResult(const std::string& Buf, TTermPrintRes& res, TPrnZREPRes& zres) const;
  void Count(const Run& run, const std::string& cmd, bool ok) const;

  const std::string program_folder_;
  TPortQueue& queue_;
  const LogSink log_;
  DriverVersionLog& versions_;
  const DriverCall call_driver_;
  const std::shared_ptr<TCommandIds> ids_;
  const PortCheck check_port_;
  const std::shared_ptr<TStatusCounters> counters_;
};

// The handler to serve as the print route; it keeps `service` alive.
TRequestHandler MakePrintRoute(std::shared_ptr<const TPrintService> service);
// The same, told the sender's address.
TSenderRequestHandler MakeSenderPrintRoute(std::shared_ptr<const TPrintService> service);

// The handler of the result lookup (a TCmdResult): the answer stored for
// the id, or a receipt result whose Error says why there is none.
TRequestHandler MakeCmdResultRoute(std::shared_ptr<TCommandIds> ids);

}  // namespace kestrel

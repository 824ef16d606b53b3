#include "app/print.h"

#include <array>
#include <exception>
#include <utility>

#include "app/log.h"
#include "app/status_counters.h"
#include "base/ascii.h"
#include "base/exception.h"
#include "base/format.h"
#include "bson/mapping.h"
#include "files/pack.h"
#include "journal/journal.h"
#include "platform/file_system.h"

namespace kestrel {
namespace {

struct CommandTimeoutRow {
  std::string_view cmd;
  std::uint16_t seconds;
};

constexpr std::uint16_t kDefaultTimeoutSec = 19;

// Why a service built without the journal refuses commands with an id.
constexpr char kNoJournal[] = "журнал не ведётся";

constexpr std::array<CommandTimeoutRow, 10> kCommandTimeouts = {{
    {"test", 9},
    {"cashin", 14},
    {"cashout", 14},
    {"xrep", 39},
    {"xrepsec", 39},
    {"xrepop", 39},
    {"xreptax", 39},
    {"zrep", 130},
    {"zbuf", 130},
    {"printzbuf", 600},
}};

struct ModelNameRow {
  std::string_view received;
  std::string_view driver_name;
};

// The Jarus names are Cyrillic except for the final Latin K; the Shtrih name
// is Cyrillic throughout.
constexpr std::array<ModelNameRow, 5> kModelNameMap = {{
    {"Ярус-01K", "JARUS-01K"},
    {"Ярус-02K", "JARUS-02K"},
    {"PayVKP-80K", "PayVPK80K"},
    {"PayCTS-2000K", "PayCTS2000K"},
    {"ШТРИХ-МИНИ-ФР-К", "SHTRIH-MINI-FR-K"},
}};

// The bytes a parameter file's name keeps as they are. '%' is not one of
// them, so the escapes can be told apart and read back; lower-case letters
// are not where two names that differ in case would be one file.
bool KeptInFileName(unsigned char c, bool names_ignore_case) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.' ||
         (!names_ignore_case && c >= 'a' && c <= 'z');
}

// An uncompressed print command always holds the element name "Cmd".
bool IsCompressed(const std::string& body) {
  return body.find("Cmd") == std::string::npos;
}

void CheckSenderVersion(const std::string& version) {
  if (version != kAnyVersion && version != ProgramVersion) {
    throw Exception("Не соответствие версий программ Harrier.exe (" + version +
                    ") и Kestrel.exe (" + ProgramVersion + ")");
  }
}

// The text, the one field that may be large, moves over: the command is not
// read again except for its port, model and command for the log.
void FillDeviceCmd(TPrintCmd& cmd, std::uint16_t timeout_sec, TPrnDeviceCmd& device) {
  device.FCmd = cmd.FCmd;
  device.FHardwareName = MapModelName(cmd.FName);
  device.FPrinterPort = cmd.FPort;
  device.FBaudRate = cmd.FBaudRate;
  device.FPassword = cmd.FPwd;
  device.FText = std::move(cmd.FText);
  device.FSumm0 = cmd.FSumm0;
  device.FSumm1 = cmd.FSumm1;
  device.FTimeOutSec = timeout_sec;
}

// Beyond the port wait and the driver's own time-out, what a driver run
// may take to be stopped and read back.
constexpr std::chrono::seconds kRunMargin{10};

// The driver's Error in either result reaches the other one.
void AgreeErrors(TTermPrintRes& res, TPrnZREPRes& zres) {
  if (!res.FError.empty())
    zres.FError = res.FError;
  if (!zres.FError.empty())
    res.FError = zres.FError;
}

// The Error that AgreeErrors will settle on.
const std::string& AgreedError(const TTermPrintRes& res, const TPrnZREPRes& zres) {
  return res.FError.empty() ? zres.FError : res.FError;
}

}  // namespace

std::uint16_t CommandTimeout(std::string_view cmd) {
  for (const CommandTimeoutRow& row : kCommandTimeouts) {
    if (row.cmd == cmd)
      return row.seconds;
  }
  return kDefaultTimeoutSec;
}

const std::array<std::string_view, 10>& TimedCommands() {
  static constexpr std::array<std::string_view, 10> kNames = [] {
    std::array<std::string_view, 10> names;
    for (std::size_t i = 0; i < names.size(); ++i)
      names[i] = kCommandTimeouts[i].cmd;
    return names;
  }();
  return kNames;
}

bool IsZReportCommand(std::string_view cmd) {
  return cmd == "zrep" || cmd == "zbuf";
}

std::string MapModelName(const std::string& name) {
  const std::string_view trimmed = TrimBlanksAndControls(name);
  for (const ModelNameRow& row : kModelNameMap) {
    if (row.received == trimmed)
      return std::string(row.driver_name);
  }
  return name;
}

std::string PortForFileName(std::string_view port, bool names_ignore_case) {
  return PercentEncoded(
      port, [names_ignore_case](unsigned char c) { return KeptInFileName(c, names_ignore_case); });
}

std::string PortForFileName(std::string_view port) {
  return PortForFileName(port, platform::FileNamesIgnoreCase());
}

std::string ParamsFileName(const std::string& program_folder, std::string_view port,
                           const platform::CivilTime& now) {
  return program_folder + "P" +
         Format("%.2d%.2d%.2d%.2d%.2d%.2d%.3d", now.year % 100, now.month, now.day, now.hour,
                now.minute, now.second, now.millisecond) +
         PortForFileName(port) + ".dat";
}

struct TPrintService::Run {
  JournalCommand record;
  std::int64_t row = 0;                 // the journal row of the driver run, 0 while none
  bool started = false;                 // the driver run began
  std::optional<std::string> repeated;  // the answer of the id's earlier run
  std::optional<TIdHold> id_hold;
  int slot = TStatusCounters::kNoSlot;   // the port's place in the port table
  std::optional<std::uint64_t> held_ms;  // how long the command held its port
};

TPrintService::TPrintService(std::string program_folder, TPortQueue& queue, LogSink log,
                             DriverVersionLog& versions, DriverCall call_driver,
                             std::shared_ptr<TCommandIds> ids, PortCheck check_port,
                             std::shared_ptr<TStatusCounters> counters)
    : program_folder_(std::move(program_folder)),
      queue_(queue),
      log_(std::move(log)),
      versions_(versions),
      call_driver_(std::move(call_driver)),
      ids_(std::move(ids)),
      check_port_(std::move(check_port)),
      counters_(std::move(counters)) {}

std::string TPrintService::Print(const std::string& Buf, const std::string& sender) const {
  TPrintCmd cmd;
  TTermPrintRes res;
  TPrnZREPRes zres;
  Run run;
  run.record.received = JournalTime();
  run.record.sender = sender;
  const bool compressed = IsCompressed(Buf);
  try {
    if (compressed)
      Execute(UnpackString(Buf), run, cmd, res, zres);
    else
      Execute(Buf, run, cmd, res, zres);
  } catch (const std::exception& failure) {
    if (res.FError.empty())
      res.FError = failure.what();
  }
  std::string answer;
  if (run.repeated) {
    answer = std::move(*run.repeated);
    RecordEnd(run, "", answer);
    Count(run, cmd.FCmd, true);
  } else {
    AgreeErrors(res, zres);
    answer = IsZReportCommand(cmd.FCmd) ? ObjToBSON(zres) : ObjToBSON(res);
    RecordEnd(run, res.FError, answer);
    Count(run, cmd.FCmd, res.FError.empty());
    if (!res.FError.empty())
      log_(LogField(cmd.FPort) + "," + LogField(cmd.FName) + " " + LogField(cmd.FCmd) + ": " +
           LogField(res.FError));
  }
  if (compressed)
    answer = PackString(answer);
  return answer;
}

// Decodes and checks the command, then runs it while holding its port,
// unless its id names an earlier run.
void TPrintService::Execute(const std::string& Buf, Run& run, TPrintCmd& cmd, TTermPrintRes& res,
                            TPrnZREPRes& zres) const {
  BSONToObj(Buf, cmd);
  run.record.port = cmd.FPort;
  run.record.cmd = cmd.FCmd;
  run.record.model = cmd.FName;
  run.record.id = cmd.FIdCommand;
  CheckSenderVersion(cmd.FSrvVer);
  if (check_port_)
    check_port_(program_folder_ + std::string(kDriverExeName), cmd.FPort);
  const std::uint16_t timeout_sec = CommandTimeout(cmd.FCmd);
  TPrnDeviceCmd device;
  FillDeviceCmd(cmd, timeout_sec, device);
  std::string data = ObjToBSON(device);
  if (!cmd.FIdCommand.empty()) {
    run.repeated = ClaimId(run, cmd.FIdCommand, data, timeout_sec);
    if (run.repeated)
      return;
  }
  TPortHold hold(queue_, cmd.FPort, &run.slot);
  // From here on the log names the model as the driver got it.
  cmd.FName = device.FHardwareName;
  // The port table keeps the outcome of the port's last command, so the
  // failure is settled before the port is given back; Print would settle
  // it the same way.
  try {
    RecordStart(run);
    run.started = true;
    RunDriver(cmd, timeout_sec, data, res, zres);
  } catch (const std::exception& failure) {
    if (res.FError.empty())
      res.FError = failure.what();
  }
  run.held_ms = hold.Finish(cmd.FCmd, AgreedError(res, zres));
}

void TPrintService::Count(const Run& run, const std::string& cmd, bool ok) const {
  if (!counters_)
    return;
  const int command = CommandLabelIndex(cmd);
  counters_->CountCommand(run.slot, command, ok);
  if (run.held_ms)
    counters_->CommandRan(command, *run.held_ms);
}

std::optional<std::string> TPrintService::ClaimId(Run& run, const std::string& id,
                                                  const std::string& device_document,
                                                  std::uint16_t timeout_sec) const {
  if (id.size() > kMaxIdCommandBytes)
    throw Exception(IdTooLongText());
  if (!ids_)
    throw Exception(JournalWriteFailedText(kNoJournal));
  run.record.fingerprint = CommandFingerprint(device_document);
  const auto wait = queue_.WaitTime() + std::chrono::seconds(timeout_sec + 2) + kRunMargin;
  std::optional<std::string> earlier = ids_->Claim(
      id, run.record.fingerprint, std::chrono::duration_cast<std::chrono::milliseconds>(wait));
  if (!earlier)
    run.id_hold.emplace(*ids_, id);
  return earlier;
}

void TPrintService::RecordStart(Run& run) const {
  if (!ids_)
    return;
  try {
    if (!ids_->journal())
      throw Exception(ids_->Unavailable());
    run.row = ids_->journal()->Started(run.record);
  } catch (const Exception& failure) {
    if (run.id_hold)
      throw Exception(JournalWriteFailedText(failure.Message()));
    ids_->ReportJournalFailure(failure.Message());
  }
}

// The end of the run's row, or the row of a command that had no run of its
// own; then a held id is released, final when its driver ran.
void TPrintService::RecordEnd(Run& run, const std::string& error, const std::string& answer) const {
  Journal* const journal = ids_ ? ids_->journal() : nullptr;
  if (journal) {
    try {
      if (run.row != 0)
        journal->Ended(run.row, error, answer);
      else
        journal->Answered(run.record,
                          run.repeated  ? "repeat"
                          : run.started ? "done"
                                        : "refused",
                          error, answer);
    } catch (const Exception& failure) {
      ids_->ReportJournalFailure(failure.Message());
    }
  }
  if (run.id_hold && run.row != 0)
    run.id_hold->Finish(answer);
  run.id_hold.reset();
}

void TPrintService::RunDriver(TPrintCmd& cmd, std::uint16_t timeout_sec,
                              std::string& device_document, TTermPrintRes& res,
                              TPrnZREPRes& zres) const {
  const std::string exe_name = program_folder_ + std::string(kDriverExeName);
  const std::string params_file = ParamsFileName(program_folder_, cmd.FPort, platform::LocalNow());
  res.FError = call_driver_(exe_name, params_file, timeout_sec, device_document);
  if (res.FError.empty())
    ReadDriverResult(device_document, res, zres);
}

// A result that mentions "Gross" is a Z-report result, whatever the command.
void TPrintService::ReadDriverResult(const std::string& Buf, TTermPrintRes& res,
                                     TPrnZREPRes& zres) const {
  if (Buf.find("Gross") != std::string::npos) {
    BSONToObj(Buf, zres);
    versions_.Check(zres.FVersion, log_);
  } else {
    BSONToObj(Buf, res);
    versions_.Check(res.FVersion, log_);
  }
}

TRequestHandler MakePrintRoute(std::shared_ptr<const TPrintService> service) {
  return [service = std::move(service)](const std::string& body) { return service->Print(body); };
}

TSenderRequestHandler MakeSenderPrintRoute(std::shared_ptr<const TPrintService> service) {
  return [service = std::move(service)](const std::string& body, const std::string& sender) {
    return service->Print(body, sender);
  };
}

TRequestHandler MakeCmdResultRoute(std::shared_ptr<TCommandIds> ids) {
  return [ids = std::move(ids)](const std::string& body) {
    TTermPrintRes res;
    try {
      TCmdResult request;
      BSONToObj(body, request);
      return ids->Lookup(request.FCmdResult);
    } catch (const std::exception& failure) {
      res.FError = failure.what();
    }
    return ObjToBSON(res);
  };
}

}  // namespace kestrel

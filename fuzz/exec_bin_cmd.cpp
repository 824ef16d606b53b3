// Runs one whole ExecBinCmd of the printer connection on one body, with the
// real routes for the version query, the serial-port listing and print
// commands; only the driver run is replaced by an in-process fake, so no
// process starts and nothing is written outside temporary folders. The
// first input byte chooses what the fake driver does (a receipt or Z-report
// result, its own error, no result file, a time-out, a file error, a broken
// or odd result, or the bytes that the command's Text spells in hex); the
// rest is the request body.
//
// Checked on every input: the version query answers the version; a listing
// answers the listing; a print answer is always a result document (packed
// when the request was) whose Error is set whenever the command did not
// reach the driver or the driver failed, and is also logged; the driver
// sees the request's device command in a parameter file inside the program
// folder with its command's time-out, while its port is held, and the port
// is free again once the answer is there.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/driver_call.h"
#include "app/enum_coms.h"
#include "app/log.h"
#include "app/port_queue.h"
#include "app/print.h"
#include "app/serial_ports.h"
#include "app/tcp_printer.h"
#include "base/ascii.h"
#include "base/exception.h"
#include "base/format.h"
#include "bson/mapping.h"
#include "files/pack.h"
#include "fuzz_check.h"
#include "messages/messages.h"
#include "platform/named_lock.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using fuzzing::Require;
using fuzzing::RequireEqual;

// A fresh folder under the system's temporary folder, removed at the end.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& purpose) {
    std::random_device seed;
    const auto base = std::filesystem::temp_directory_path();
    do
      path_ = base / ("kestrel-fuzz-" + purpose + "-" + std::to_string(seed()));
    while (!std::filesystem::create_directory(path_));
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::string Folder() const { return path_.string() + "/"; }
  // Leaves the folder empty, so that every input starts alike.
  void Clear() const {
    for (const auto& entry : std::filesystem::directory_iterator(path_))
      std::filesystem::remove_all(entry.path());
  }

 private:
  std::filesystem::path path_;
};

// The bytes that the hexadecimal digits of `text` spell, two digits a byte;
// other characters are skipped.
std::string HexBytes(std::string_view text) {
  std::string bytes;
  int high = -1;
  for (const char c : text) {
    const int digit = DigitValue(c, 16);
    if (digit < 0)
      continue;
    if (high < 0) {
      high = digit;
      continue;
    }
    bytes += static_cast<char>(high * 16 + digit);
    high = -1;
  }
  return bytes;
}

// What the fake driver does with its command.
enum class DriverOutcome : std::uint8_t {
  Receipt,           // a receipt result with the command's text
  ZReport,           // a Z-report result
  OwnError,          // a result that carries the driver's Error
  NoResultFile,      // ended without leaving the parameter file
  TimedOut,          // still running after its time-out
  FileError,         // the parameter file could not be read back
  TruncatedResult,   // a result cut short, to 5 bytes or more
  EmptyResult,       // an empty parameter file
  CommandLeft,       // the parameter file left as it was written
  MalformedVersion,  // a result whose driver version does not parse
  OutdatedVersion,   // a result from a driver older than the lowest supported
  TextAsResult,      // the command's Text, read as hexadecimal digits, as the result
  kCount,
};

constexpr char kDriverError[] = "Ошибка фискального регистратора 0x5E";
constexpr char kFileError[] = "Cannot open file: fake driver";
constexpr char kGoodVersion[] = "Jul  3 2012 14:00:00";

struct Environment {
  ScratchFolder program{"program"};
  ScratchFolder locks{"locks"};
  ScratchFolder devices{"devices"};
  std::string listing;  // the COMs text that every listing must answer
  std::mutex CS;

  Environment() {
    std::filesystem::create_directories(devices.Path() / "dev");
    for (const char* port : {"ttyS0", "ttyUSB0"})
      std::ofstream(devices.Path() / "dev" / port);
    listing = ListCOMs(devices.Folder());
  }
};

Environment& TheEnvironment() {
  static Environment environment;
  return environment;
}

bool PortIsHeld(const std::string& port) {
  platform::NamedLock probe(std::string(kPortMutexPrefix) + port, TheEnvironment().locks.Folder());
  if (probe.Wait(0ms) == platform::LockWait::TimedOut)
    return true;
  probe.Release();
  return false;
}

bool IsKnownTimeout(int seconds) {
  for (const int known : {9, 14, 19, 39, 130, 600}) {
    if (seconds == known)
      return true;
  }
  return false;
}

// The fake driver: checks how it is called, then acts out its outcome and
// records what the answer's Error must be.
class FakeDriver {
 public:
  explicit FakeDriver(std::uint8_t choice)
      : outcome_(static_cast<DriverOutcome>(choice % static_cast<int>(DriverOutcome::kCount))),
        parameter_(choice / static_cast<int>(DriverOutcome::kCount)) {}

  std::string Run(const std::string& ExeName, const std::string& ParamsFile, int TimeOutSec,
                  std::string& Data) {
    CheckCall(ExeName, ParamsFile, TimeOutSec, Data);
    called_ = true;
    return Act(TimeOutSec, Data);
  }

  bool Called() const { return called_; }
  const TPrnDeviceCmd& Device() const { return device_; }
  // Whether the answer's Error is fixed by the outcome, and what it is.
  bool ErrorKnown() const { return error_known_; }
  // Whether the answer's Error must be set, with a text the outcome leaves open.
  bool MustFail() const { return must_fail_; }
  const std::string& ExpectedError() const { return expected_error_; }
  // The driver's result document, when it wrote a well-formed one.
  const std::string& WrittenResult() const { return written_result_; }
  DriverOutcome Outcome() const { return outcome_; }

 private:
  void CheckCall(const std::string& ExeName, const std::string& ParamsFile, int TimeOutSec,
                 const std::string& Data) {
    const std::string folder = TheEnvironment().program.Folder();
    Require(ExeName == folder + "corvid.exe", "the driver is corvid.exe in the program folder");
    Require(ParamsFile.starts_with(folder + "P") && ParamsFile.ends_with(".dat") &&
                ParamsFile.find('/', folder.size()) == std::string::npos,
            "the parameter file lies directly in the program folder");
    Require(IsKnownTimeout(TimeOutSec), "the driver gets one of the command time-outs");
    try {
      BSONToObj(Data, device_, {});
    } catch (const Exception&) {
      Require(false, "the driver gets a device command that decodes");
    }
    Require(device_.FTimeOutSec == TimeOutSec && TimeOutSec == CommandTimeout(device_.FCmd),
            "the device command carries its command's time-out");
    Require(PortIsHeld(device_.FPrinterPort), "the port is held while the driver runs");
  }

  std::string Act(int TimeOutSec, std::string& Data) {
    switch (outcome_) {
      case DriverOutcome::Receipt:
        return Succeed(Data, ReceiptResult(kGoodVersion));
      case DriverOutcome::ZReport:
        return Succeed(Data, ZReportResult());
      case DriverOutcome::OwnError:
        Data = ReceiptResult(kGoodVersion, kDriverError);
        Expect(kDriverError);
        return "";
      case DriverOutcome::NoResultFile:
        Data.clear();
        return Expect("Неизвестная ошибка");
      case DriverOutcome::TimedOut:
        Data.clear();
        return Expect(Format("Не дождались окончания печати за %d сек.", TimeOutSec));
      case DriverOutcome::FileError:
        Data.clear();
        Expect(kFileError);
        throw Exception(kFileError);
      case DriverOutcome::TruncatedResult: {
        // Fewer than 5 bytes read as the empty document, like an empty file.
        const std::string whole = ReceiptResult(kGoodVersion);
        const std::size_t shortest = 5;
        Data = whole.substr(
            0, shortest + static_cast<std::size_t>(parameter_) % (whole.size() - shortest));
        must_fail_ = true;
        return "";
      }
      case DriverOutcome::EmptyResult:
        return Succeed(Data, "");
      case DriverOutcome::CommandLeft:
        return Succeed(Data, Data);
      case DriverOutcome::MalformedVersion:
        Data = ReceiptResult("Jux 32 2012 25:61:00");
        must_fail_ = true;
        return "";
      case DriverOutcome::OutdatedVersion:
        return Succeed(Data, ReceiptResult("Jun  5 2011  9:07:03"));
      case DriverOutcome::TextAsResult:
      case DriverOutcome::kCount:
        break;
    }
    Data = HexBytes(device_.FText);
    return "";
  }

  // A receipt result document that repeats the command's text and sums.
  std::string ReceiptResult(const char* version, const char* error = "") const {
    TTermPrintRes result;
    result.FError = error;
    result.FFiscalText = device_.FText;
    result.FVersion = version;
    result.FDocNo = 4100 + parameter_;
    result.FCheckNo = 7;
    result.FSumm0 = device_.FSumm0;
    result.FSumm1 = device_.FSumm1;
    result.SetSerialNo("0042");
    return ObjToBSON(result);
  }

  std::string ZReportResult() const {
    TPrnZREPRes result;
    result.FVersion = kGoodVersion;
    result.FDocNo = 900 + parameter_;
    result.FCicleNo = 12;
    result.FGrossStartSumm = Currency::FromRaw(1234500);
    result.FGrossEndSumm = Currency::FromRaw(2345600);
    result.FCicleSumm0 = device_.FSumm0;
    return ObjToBSON(result);
  }

  std::string Succeed(std::string& Data, std::string result) {
    written_result_ = result;
    Data = std::move(result);
    return Expect("");
  }

  // Records the answer's Error; returns it, as CallDrvExe returns its own.
  std::string Expect(std::string error) {
    error_known_ = true;
    expected_error_ = std::move(error);
    return expected_error_;
  }

  const DriverOutcome outcome_;
  const int parameter_;
  bool called_ = false;
  TPrnDeviceCmd device_;
  bool error_known_ = false;
  bool must_fail_ = false;
  std::string expected_error_;
  std::string written_result_;
};

// The key as the connection takes it: a 6-byte body whole, else the first
// six characters of the first element name.
std::string KeyOf(const std::string& body) {
  if (body.size() == 6)
    return body;
  return body.size() > 5 ? body.substr(5, 6) : "";
}

template <class Result>
bool DecodesAs(const std::string& document, Result& result) {
  try {
    BSONToObj(document, result, {});
    return true;
  } catch (const Exception&) {
    return false;
  }
}

void CheckListing(const std::string& answer) {
  TEnumCOMsRes listing;
  Require(DecodesAs(answer, listing), "a listing answer is a TEnumCOMsRes");
  Require(listing.FCOMs == TheEnvironment().listing, "a listing answers the machine's ports");
}

// The driver's receipt or Z-report fields reach the answer unchanged.
void CheckDriverFields(const FakeDriver& driver, const TTermPrintRes& res,
                       const TPrnZREPRes& zres) {
  const std::string& written = driver.WrittenResult();
  const bool zreport_result = written.find("Gross") != std::string::npos;
  const bool zreport_answer = IsZReportCommand(driver.Device().FCmd);
  if (driver.Outcome() == DriverOutcome::Receipt && !zreport_result && !zreport_answer) {
    Require(res.FFiscalText == driver.Device().FText && res.FSumm0 == driver.Device().FSumm0 &&
                res.SerialNo() == "42",
            "the driver's receipt result is answered");
  }
  if (driver.Outcome() == DriverOutcome::ZReport && zreport_answer) {
    Require(zres.FGrossEndSumm == Currency::FromRaw(2345600) && zres.FCicleNo == 12,
            "the driver's Z-report result is answered");
  }
}

// The print command as the service reads it: unpacked when it holds no
// "Cmd", then decoded as far as it goes.
void ReadRequest(const std::string& body, TPrintCmd& cmd) {
  try {
    BSONToObj(body.find("Cmd") == std::string::npos ? UnpackString(body) : body, cmd);
  } catch (const Exception&) {
  }
}

bool IsExactAsDouble(Currency amount) {
  constexpr std::int64_t kExact = std::int64_t{1} << 53;
  return amount.Raw() >= -kExact && amount.Raw() <= kExact;
}

void CheckDeviceCommand(const TPrintCmd& cmd, const TPrnDeviceCmd& device) {
  Require(device.FCmd == cmd.FCmd && device.FPrinterPort == cmd.FPort &&
              device.FHardwareName == MapModelName(cmd.FName) &&
              device.FBaudRate == cmd.FBaudRate && device.FPassword == cmd.FPwd &&
              device.FText == cmd.FText && !device.FCut && !device.FCopy,
          "the device command carries the print command");
  for (const auto& [sent, given] :
       {std::pair{cmd.FSumm0, device.FSumm0}, std::pair{cmd.FSumm1, device.FSumm1}}) {
    if (IsExactAsDouble(sent))
      Require(sent == given, "the device command carries the sums");
  }
}

void CheckError(const std::string& error, const TPrintCmd& cmd, const FakeDriver& driver,
                const std::vector<std::string>& log) {
  if (!driver.Called())
    Require(!error.empty(), "a command that did not reach the driver answers why");
  if (driver.Called() && driver.MustFail())
    Require(!error.empty(), "a broken driver result answers its failure");
  if (driver.Called() && driver.ErrorKnown())
    RequireEqual(error, driver.ExpectedError(), "the driver's outcome is the answer's Error");
  if (error.empty())
    return;
  // The model name is the rewritten one once the device command was made;
  // every field is logged cut to its ceiling.
  const std::string tail = " " + LogField(cmd.FCmd) + ": " + LogField(error);
  const std::string mapped = LogField(cmd.FPort) + "," + LogField(MapModelName(cmd.FName)) + tail;
  const std::string received = LogField(cmd.FPort) + "," + LogField(cmd.FName) + tail;
  bool logged = false;
  for (const std::string& line : log)
    logged = logged || line == mapped || (!driver.Called() && line == received);
  Require(logged, "every failed command is logged with its port, model and command");
}

void CheckPrintAnswer(const std::string& body, const std::string& answer, const FakeDriver& driver,
                      const std::vector<std::string>& log) {
  std::string document = answer;
  if (body.find("Cmd") == std::string::npos) {
    try {
      document = UnpackString(answer);
    } catch (const Exception&) {
      Require(false, "a packed request is answered packed");
    }
  }
  TTermPrintRes res;
  TPrnZREPRes zres;
  const bool receipt = DecodesAs(document, res);
  const bool zreport = DecodesAs(document, zres);
  Require(receipt || zreport, "a print answer is a result document");
  TPrintCmd cmd;
  ReadRequest(body, cmd);
  if (driver.Called()) {
    CheckDeviceCommand(cmd, driver.Device());
    const bool zreport_answer = IsZReportCommand(driver.Device().FCmd);
    Require(zreport_answer ? zreport : receipt, "the command's kind of result is answered");
    CheckDriverFields(driver, res, zres);
    Require(!PortIsHeld(driver.Device().FPrinterPort), "the port is free once answered");
  }
  CheckError(receipt ? res.FError : zres.FError, cmd, driver, log);
}

void ExecuteOne(std::uint8_t choice, const std::string& body) {
  Environment& environment = TheEnvironment();
  FakeDriver driver(choice);
  std::vector<std::string> log;
  std::string answer;
  {
    TPortQueue queue(environment.CS, 100ms, environment.locks.Folder());
    DriverVersionLog versions;
    auto service = std::make_shared<TPrintService>(
        environment.program.Folder(), queue,
        [&log](const std::string& line) { log.push_back(line); }, versions,
        [&driver](const std::string& ExeName, const std::string& ParamsFile, int TimeOutSec,
                  std::string& Data) { return driver.Run(ExeName, ParamsFile, TimeOutSec, Data); });
    TPrinterServices services;
    services.enum_coms = [&environment](const std::string& request) {
      return EnumCOMs(request, environment.devices.Folder());
    };
    services.print = MakePrintRoute(service);
    const std::string key = KeyOf(body);
    bool refused = false;
    try {
      answer = ExecBinCmd(body, services);
    } catch (const Exception&) {
      refused = true;
    }
    // Only the listing may refuse a body, which closes the connection.
    Require(!refused || key == "EnumCO", "only a listing request escapes as a failure");
    if (key == "DrvVer")
      Require(answer == ProgramVersion, "the version query answers the version");
    else if (key == "EnumCO" && !refused)
      CheckListing(answer);
    // The update and the result lookup have no service here: their answers are empty.
    else if (key != "EnumCO" && key != "EXEver" && key != "CmdRes")
      CheckPrintAnswer(body, answer, driver, log);
  }
  environment.locks.Clear();
  Require(std::filesystem::is_empty(environment.program.Path()),
          "no file is left in the program folder");
}

}  // namespace
}  // namespace kestrel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The connection serves no empty body.
  if (size < 2)
    return 0;
  kestrel::ExecuteOne(data[0], std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  return 0;
}

// The exchange with the external fiscal driver executable: the parameter
// file that carries the device command in and the driver's result out
// (CallDrvExe), and the check of the driver version that every result
// carries (CheckDriverVer, with the build-date parser BuildDateToDateTime).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/datetime.h"

namespace kestrel {

// Where the driver version lines go (the connection class's LOG).
using LogSink = std::function<void(const std::string&)>;

// The lowest driver version that is not reported as outdated.
inline constexpr std::string_view kMinDriverVersion = "2012.06.20 15:48";

// Parses a build date such as "Jun  5 2012  9:07:03" (English month
// abbreviation, day, year, hh:nn:ss; day and hour may be blank-padded).
// Text shorter than 19 characters raises ERangeError; text that does not
// convert raises EConvertError "'<text>' is not a valid date and time",
// quoting the text as rewritten into "mm.dd.yyyy hh:nn:ss".
TDateTime BuildDateToDateTime(std::string_view text);

// The driver version last written to the log. Any thread may use it; the
// compare-and-set of Check is not atomic as a whole, so two results that
// arrive together may both log the version line.
class DriverVersionLog {
 public:
  // Does nothing for an empty `ver`. Otherwise logs the outdated-driver
  // warning for a version below kMinDriverVersion (every time) and the
  // "$Версия драйвера: " notice when the version differs from the last one.
  // A malformed `ver` raises the parser's exception and logs nothing.
  void Check(std::string_view ver, const LogSink& log);
  std::string Last() const;

 private:
  void SetLast(const std::string& text);

  mutable std::mutex mutex_;
  std::string last_;  // LastDriverVer
};

// The process-wide driver version record.
DriverVersionLog& LastDriverVer();

// DriverVersionLog::Check on the process-wide record.
void CheckDriverVer(std::string_view ver, const LogSink& log);

// Formats a date-time as "yyyy.mm.dd hh:nn", the form versions compare in.
std::string FormatVersionTime(TDateTime value);

// The largest result file taken from the driver; a result is a few
// kilobytes, and a runaway driver must not make the server read gigabytes.
inline constexpr std::int64_t kMaxDriverResultSize = 64 * 1024 * 1024;

// The program that carries a command out, its arguments and the settings it
// gets in its environment.
struct DriverCommand {
  std::string program;
  std::vector<std::string> arguments;
  std::vector<std::string> environment;
};

// The driver `ExeName` started as it is, with the arguments ParamsFile and
// `timeout_ms`.
DriverCommand NativeDriverCommand(const std::string& ExeName, const std::string& ParamsFile,
                                  int timeout_ms);

// Runs `command` on one command document, with the contract of CallDrvExe:
// `Data` is written to `ParamsFile` before the start and read back after the
// end; `command` is stopped TimeOutSec + 2 s after the start.
std::string RunDriverCommand(const DriverCommand& command, const std::string& ParamsFile,
                             int TimeOutSec, std::string& Data);

// Runs the driver `ExeName` on one command. `Data` is the command document on
// entry; it is written to `ParamsFile`, the driver is started with the
// arguments ParamsFile and TimeOutSec * 1000 (each passed unchanged, blanks
// included) and, once it has ended, `Data` holds what it left in the file.
// Returns "" on success, "Неизвестная ошибка" when the driver ended without
// leaving the file or failed (exit code not 0) leaving the command in it
// unchanged, or "Не дождались окончания печати за N сек." when it
// still ran TimeOutSec + 2 s after the start (it is then stopped); `Data`
// is empty in both cases. The file is deleted on every path, also when the
// file cannot be written or read or the driver cannot be started, which
// raise the file helpers' or the process runner's Exception; a result file
// above kMaxDriverResultSize raises "File "<ParamsFile>" is larger than
// 67108864 bytes".
std::string CallDrvExe(const std::string& ExeName, const std::string& ParamsFile, int TimeOutSec,
                       std::string& Data);

}  // namespace kestrel

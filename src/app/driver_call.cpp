#include "app/driver_call.h"

#include <array>
#include <cstdint>
#include <vector>

#include "base/exception.h"
#include "base/format.h"
#include "base/text.h"
#include "files/file_utils.h"
#include "platform/clock.h"
#include "process/exe_process.h"

namespace kestrel {
namespace {

// How often the driver is looked at; the wait ends early when it ends.
constexpr std::uint32_t kDriverPollMs = 20;
// The driver is stopped this long after the time-out it was given.
constexpr int kDriverGraceSec = 2;

// Deletes the parameter file when the exchange is over, whatever happened;
// a failed deletion is ignored.
class ParamsFileRemover {
 public:
  explicit ParamsFileRemover(const std::string& name) : name_(name) {}
  ~ParamsFileRemover() { DeleteFile(name_); }
  ParamsFileRemover(const ParamsFileRemover&) = delete;
  ParamsFileRemover& operator=(const ParamsFileRemover&) = delete;

 private:
  const std::string& name_;
};

constexpr char kUnknownError[] = "Неизвестная ошибка";

// A driver that failed (killed by a signal, or a failing exit code) and left
// its command untouched has given no result: read as one, the command would
// pass for a success and even echo its sums back. Then `Data` is cleared.
bool DriverFailedWithoutAnswer(const TExeProcess& driver, const std::string& command,
                               std::string& Data) {
  if (driver.ExitCode() == 0 || Data != command)
    return false;
  Data.clear();
  return true;
}

constexpr std::array<std::u32string_view, 12> kMonthAbbreviations = {
    U"Jan", U"Feb", U"Mar", U"Apr", U"May", U"Jun", U"Jul", U"Aug", U"Sep", U"Oct", U"Nov", U"Dec"};

std::u32string ToCodePoints(std::string_view text) {
  const std::string valid = SanitizeUtf8(text);
  std::u32string result;
  std::size_t pos = 0;
  char32_t code_point = 0;
  while (pos < valid.size() && DecodeUtf8(valid, pos, code_point))
    result.push_back(code_point);
  return result;
}

std::string ToUtf8(std::u32string_view text) {
  std::string result;
  for (char32_t code_point : text)
    AppendUtf8(result, code_point);
  return result;
}

// Rewrites "Mmm dd yyyy hh:nn:ss" into "mm.dd.yyyy hh:nn:ss" in place.
void RewriteBuildDate(std::u32string& text) {
  for (std::size_t position : {5, 13, 16, 19}) {
    CheckIndex(static_cast<std::int64_t>(position) - 1, static_cast<std::int64_t>(text.size()));
    if (text[position - 1] == U' ')
      text[position - 1] = U'0';
  }
  text[3] = U'.';
  text[6] = U'.';
  for (std::size_t month = 0; month < kMonthAbbreviations.size(); ++month) {
    if (text.compare(0, 3, kMonthAbbreviations[month]) == 0) {
      const char32_t digits[] = {static_cast<char32_t>(U'0' + (month + 1) / 10),
                                 static_cast<char32_t>(U'0' + (month + 1) % 10)};
      text.replace(0, 3, digits, 2);
    }
  }
}

// Reads one run of decimal digits (at most 9) at `pos`.
bool ReadNumber(std::u32string_view text, std::size_t& pos, int& value) {
  const std::size_t start = pos;
  value = 0;
  while (pos < text.size() && pos - start < 9 && text[pos] >= U'0' && text[pos] <= U'9')
    value = value * 10 + static_cast<int>(text[pos++] - U'0');
  return pos > start && (pos == text.size() || text[pos] < U'0' || text[pos] > U'9');
}

bool Expect(std::u32string_view text, std::size_t& pos, char32_t separator) {
  if (pos >= text.size() || text[pos] != separator)
    return false;
  ++pos;
  return true;
}

void SkipBlanks(std::u32string_view text, std::size_t& pos) {
  while (pos < text.size() && text[pos] == U' ')
    ++pos;
}

// "mm.dd.yyyy hh:nn[:ss]", blanks allowed around the date and the time.
bool TryParseDateTime(std::u32string_view text, TDateTime& result) {
  DateTimeParts parts;
  std::size_t pos = 0;
  SkipBlanks(text, pos);
  if (!ReadNumber(text, pos, parts.month) || !Expect(text, pos, U'.') ||
      !ReadNumber(text, pos, parts.day) || !Expect(text, pos, U'.') ||
      !ReadNumber(text, pos, parts.year))
    return false;
  const std::size_t date_end = pos;
  SkipBlanks(text, pos);
  if (pos == date_end || !ReadNumber(text, pos, parts.hour) || !Expect(text, pos, U':') ||
      !ReadNumber(text, pos, parts.minute))
    return false;
  if (pos < text.size() && text[pos] == U':' && !(++pos, ReadNumber(text, pos, parts.second)))
    return false;
  SkipBlanks(text, pos);
  return pos == text.size() && TryEncodeDateTime(parts, result);
}

}  // namespace

TDateTime BuildDateToDateTime(std::string_view text) {
  std::u32string rewritten = ToCodePoints(text);
  RewriteBuildDate(rewritten);
  TDateTime result = 0;
  if (!TryParseDateTime(rewritten, result))
    throw EConvertError("'" + ToUtf8(rewritten) + "' is not a valid date and time");
  return result;
}

std::string FormatVersionTime(TDateTime value) {
  const DateTimeParts parts = DecodeDateTime(value);
  return Format("%.4d.%.2d.%.2d %.2d:%.2d", parts.year, parts.month, parts.day, parts.hour,
                parts.minute);
}

void DriverVersionLog::Check(std::string_view ver, const LogSink& log) {
  if (ver.empty())
    return;
  const std::string text = FormatVersionTime(BuildDateToDateTime(ver));
  if (text < kMinDriverVersion) {
    log("Устаревшая версия драйвера " + text + ". Должна быть версия не меньше чем " +
        std::string(kMinDriverVersion));
  }
  if (text != Last()) {
    SetLast(text);
    log("$Версия драйвера: " + text);
  }
}

std::string DriverVersionLog::Last() const {
  std::lock_guard lock(mutex_);
  return last_;
}

void DriverVersionLog::SetLast(const std::string& text) {
  std::lock_guard lock(mutex_);
  last_ = text;
}

DriverVersionLog& LastDriverVer() {
  static DriverVersionLog instance;
  return instance;
}

void CheckDriverVer(std::string_view ver, const LogSink& log) {
  LastDriverVer().Check(ver, log);
}

DriverCommand NativeDriverCommand(const std::string& ExeName, const std::string& ParamsFile,
                                  int timeout_ms) {
  return DriverCommand{ExeName, {ParamsFile, std::to_string(timeout_ms)}, {}};
}

std::string CallDrvExe(const std::string& ExeName, const std::string& ParamsFile, int TimeOutSec,
                       std::string& Data) {
  return RunDriverCommand(NativeDriverCommand(ExeName, ParamsFile, TimeOutSec * 1000), ParamsFile,
                          TimeOutSec, Data);
}

std::string RunDriverCommand(const DriverCommand& driver_command, const std::string& ParamsFile,
                             int TimeOutSec, std::string& Data) {
  TExeProcess driver(driver_command.program, driver_command.arguments);
  driver.SetEnvironment(driver_command.environment);
  const std::uint64_t start = platform::MonotonicMilliseconds();
  const std::uint64_t limit_ms = static_cast<std::uint64_t>(TimeOutSec + kDriverGraceSec) * 1000;
  const ParamsFileRemover remover(ParamsFile);
  WriteFileBody(ParamsFile, Data);
  const std::string command = std::move(Data);
  Data.clear();
  driver.Run(true, false);
  while (true) {
    if (!driver.Runned()) {
      if (!FileExists(ParamsFile))
        return kUnknownError;
      ReadFileBodyUpTo(ParamsFile, kMaxDriverResultSize, Data);
      return DriverFailedWithoutAnswer(driver, command, Data) ? kUnknownError : "";
    }
    driver.WaitFor(kDriverPollMs);
    if (platform::MonotonicMilliseconds() - start > limit_ms) {
      driver.Terminate(0);
      return Format("Не дождались окончания печати за %d сек.", TimeOutSec);
    }
  }
}

}  // namespace kestrel

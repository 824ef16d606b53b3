#include "process/exe_process.h"

#include <utility>

#include "base/exception.h"
#include "platform/system_error.h"

namespace kestrel {
namespace {

constexpr std::uint32_t kDestroyExitCode = 0xFFFFFFFFu;
constexpr std::uint32_t kTerminateGraceMilliseconds = 50;

std::string SystemErrorMessage(const platform::ProcessCallError& error) {
  if (error.Code() == 0)
    return "A call to an OS function failed";
  return platform::SystemErrorMessage(error.Code(), error.Text());
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Runs of blanks separate arguments; leading and trailing blanks give none.
std::vector<std::string> SplitAtBlanks(const std::string& line) {
  std::vector<std::string> words;
  std::size_t position = 0;
  while (position < line.size()) {
    while (position < line.size() && IsBlank(line[position]))
      ++position;
    std::size_t end = position;
    while (end < line.size() && !IsBlank(line[end]))
      ++end;
    if (end > position)
      words.push_back(line.substr(position, end - position));
    position = end;
  }
  return words;
}

std::string JoinWithBlanks(const std::vector<std::string>& words) {
  std::string line;
  for (std::size_t index = 0; index < words.size(); ++index) {
    if (index > 0)
      line += ' ';
    line += words[index];
  }
  return line;
}

}  // namespace

TExeProcess::TExeProcess(std::string FileName, std::string Params)
    : FFileName(std::move(FileName)), FParams(std::move(Params)) {}

TExeProcess::TExeProcess(std::string FileName, std::vector<std::string> Arguments)
    : FFileName(std::move(FileName)) {
  SetArguments(std::move(Arguments));
}

TExeProcess::~TExeProcess() {
  if (!FTerminateOnDestroy)
    return;  // FProcess hands a running program to the background reaper
  try {
    Terminate(kDestroyExitCode);
  } catch (...) {
    // Destruction must not fail; FProcess hands whatever still runs to the
    // background reaper.
  }
}

void TExeProcess::SetParams(std::string value) {
  FParams = std::move(value);
  FArguments.reset();
}

void TExeProcess::SetArguments(std::vector<std::string> value) {
  FParams = JoinWithBlanks(value);
  FArguments = std::move(value);
}

std::vector<std::string> TExeProcess::Arguments() const {
  return FArguments ? *FArguments : SplitAtBlanks(FParams);
}

bool TExeProcess::Runned() {
  return !WaitFor(0);
}

bool TExeProcess::WaitFor(std::uint32_t Milliseconds) {
  if (!FProcess.Attached())
    return true;
  try {
    const auto code = FProcess.WaitForExit(Milliseconds);
    if (!code)
      return false;
    FExitCode = *code;
    return true;
  } catch (const platform::ProcessCallError& error) {
    throw Exception(SystemErrorMessage(error));
  }
}

void TExeProcess::Run(bool HideConsole, bool /*WaitForInputIdle*/) {
  if (Runned())
    throw Exception("Процесс \"" + FFileName + "\" уже запущен");
  FExitCode = 0;
  try {
    FProcess = platform::SpawnProcess(FFileName, Arguments(), HideConsole, {}, FEnvironment);
  } catch (const platform::ProcessCallError& error) {
    throw Exception(SystemErrorMessage(error) + " " + FFileName);
  }
}

void TExeProcess::Terminate(std::uint32_t ExitCode) {
  if (!Runned())
    return;
  FProcess.Kill(ExitCode);
  WaitFor(kTerminateGraceMilliseconds);
}

void TExeProcess::SetPriorityClass(TProcessPriority PriorityClass) {
  using platform::ProcessPriority;
  static constexpr ProcessPriority kPriorities[] = {
      ProcessPriority::kIdle, ProcessPriority::kNormal, ProcessPriority::kHigh,
      ProcessPriority::kRealtime};
  FProcess.SetPriority(kPriorities[static_cast<int>(PriorityClass)]);
}

void TExeProcess::SetThreadPriorityIdle() {
  FProcess.SetMainThreadIdle();
}

void TExeProcess::ConnectToProcessByWinHandle(std::uintptr_t H) {
  FProcess = platform::ChildProcess();  // the program attached so far runs on
  try {
    FProcess = platform::AttachToWindowOwner(H);
  } catch (const platform::ProcessCallError& error) {
    throw Exception(SystemErrorMessage(error));
  }
}

void TExeProcess::RunFile(const std::string& FileName, const std::string& Params) {
  TExeProcess process(FileName, std::string());
  process.SetParams(Params);
  process.Run(false, false);
}

void TExeProcess::TerminateSelf(std::uint32_t ExitCode) {
  platform::ExitProcessNow(ExitCode);
}

// Kestrel never ends the user's session or the machine, so the first step,
// taking the right to do so, is reported as refused.
void TExeProcess::ExitWindows(TExitWindowsAction /*Action*/, bool /*Force*/) {
  throw Exception("OpenProcessToken");
}

void TExeProcess::RebootWindows(bool Force) {
  ExitWindows(TExitWindowsAction::ewReboot, Force);
}

void TExeProcess::ShutdownWindows(bool Force) {
  ExitWindows(TExitWindowsAction::ewShutdown, Force);
}

}  // namespace kestrel

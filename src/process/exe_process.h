// TExeProcess: starts one external program, tells whether it still runs,
// collects its exit code and can end it by force.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace kestrel {

enum class TExitWindowsAction { ewLogoff, ewReboot, ewShutdown };

enum class TProcessPriority { ppcIdle, ppcNormal, ppcHigh, ppRealtime };

// An object belongs to the thread that uses it and has no lock; objects on
// different threads run their own programs independently. Failures raise
// Exception with the system's message texts.
class TExeProcess {
 public:
  // The program's arguments are `Params` split at blanks.
  TExeProcess(std::string FileName, std::string Params);
  // Each of `Arguments` reaches the program unchanged, blanks included.
  TExeProcess(std::string FileName, std::vector<std::string> Arguments);
  // With TerminateOnDestroy a running program is ended (exit code all bits
  // set); otherwise it runs on by itself and is reaped when it ends.
  virtual ~TExeProcess();
  TExeProcess(const TExeProcess&) = delete;
  TExeProcess& operator=(const TExeProcess&) = delete;

  // True while the started program runs; the first call that finds it ended
  // collects ExitCode and detaches it. Never waits.
  virtual bool Runned();
  // Starts FileName (a path, blanks allowed, not searched for). A program
  // that cannot be started raises "System Error.  Code: %d.\r\n%s" + " " +
  // FileName; a program still running raises the "уже запущен" message.
  // HideConsole sends the standard streams to /dev/null. WaitForInputIdle is
  // accepted for callers written for windowed programs; there is no input-idle
  // state to wait for here, so Run never waits.
  virtual void Run(bool HideConsole, bool WaitForInputIdle);
  // Ends a running program and whatever it started; once it is seen to end
  // (within about 50 ms) ExitCode reads `ExitCode`. A program that takes
  // longer stays attached and Runned stays true.
  virtual void Terminate(std::uint32_t ExitCode);
  // Waits up to `Milliseconds` for the program to end, waking as soon as it
  // does; true when nothing runs any more (as Runned would then say false).
  bool WaitFor(std::uint32_t Milliseconds);

  bool TerminateOnDestroy() const { return FTerminateOnDestroy; }
  void SetTerminateOnDestroy(bool value) { FTerminateOnDestroy = value; }
  std::uint32_t ExitCode() const { return FExitCode; }
  void SetExitCode(std::uint32_t value) { FExitCode = value; }
  const std::string& FileName() const { return FFileName; }
  void SetFileName(std::string value) { FFileName = std::move(value); }
  // The arguments as one line. After SetArguments it is their blank-joined
  // form, for reading only: the list itself is what Run passes.
  const std::string& Params() const { return FParams; }
  // The text becomes the source of the arguments again.
  void SetParams(std::string value);
  void SetArguments(std::vector<std::string> value);
  // The arguments that Run passes.
  std::vector<std::string> Arguments() const;
  // Settings ("NAME=value") that Run puts into the program's environment,
  // over this process's own.
  void SetEnvironment(std::vector<std::string> value) { FEnvironment = std::move(value); }
  // The attached program's process id, 0 when none.
  std::int32_t ProcessId() const { return FProcess.Id(); }

  // Scheduling of the attached program; results are ignored, and a detached
  // object changes nothing.
  void SetPriorityClass(TProcessPriority PriorityClass);
  void SetThreadPriorityIdle();
  // Attaching to a window's owner has no meaning without windows: whatever ran
  // is given up (it runs on) and the system error is raised.
  void ConnectToProcessByWinHandle(std::uintptr_t H);

  // Starts a program that runs on by itself; returns once it has started.
  static void RunFile(const std::string& FileName, const std::string& Params);
  // Ends this process at once, with no clean-up.
  [[noreturn]] static void TerminateSelf(std::uint32_t ExitCode);
  // Ending the session or the machine is never done by this program: these
  // raise the message of their first step, "OpenProcessToken".
  static void ExitWindows(TExitWindowsAction Action, bool Force);
  static void RebootWindows(bool Force);
  static void ShutdownWindows(bool Force);

 private:
  platform::ChildProcess FProcess;
  std::string FFileName;
  std::uint32_t FExitCode = 0;
  bool FTerminateOnDestroy = false;
  std::string FParams;
  std::optional<std::vector<std::string>> FArguments;  // set: passed as they are
  std::vector<std::string> FEnvironment;
};

}  // namespace kestrel

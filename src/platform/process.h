// Child processes: starting a program with an exact argument list, polling and
// waiting for its end, ending it by force, and its scheduling priority.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrel::platform {

// A refused OS call: the system's error number (0 when it named none) and its
// English text.
class ProcessCallError : public std::runtime_error {
 public:
  ProcessCallError(int code, std::string text);
  int Code() const { return code_; }
  const std::string& Text() const { return text_; }

 private:
  int code_;
  std::string text_;
};

enum class ProcessPriority { kIdle, kNormal, kHigh, kRealtime };

// One started child process and everything it may have started itself. Owned
// by exactly one object at a time; calls on different objects may run on
// different threads at once. Giving the child up (Release, destruction,
// assignment) never blocks and never stops it: a child not yet seen to end is
// reaped in the background when it does, so it never lingers as a zombie.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Release(); }
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // True until the child has been seen to end or has been given up.
  bool Attached() const { return pid_ > 0; }
  // The process id; 0 when nothing is attached.
  std::int32_t Id() const { return Attached() ? pid_ : 0; }

  // Waits up to `milliseconds` (0: not at all) for the child to end. Once it
  // has, returns its exit code and detaches. A child ended by a signal reads
  // 128 + the signal's number, or the code given to Kill when Kill ended it.
  // Nothing attached: returns nullopt at once. Throws ProcessCallError when
  // the OS cannot tell.
  std::optional<std::uint32_t> WaitForExit(std::uint32_t milliseconds);

  // Forces the child and the processes it started to end at once; does not
  // wait. False when nothing is attached or the OS refused.
  bool Kill(std::uint32_t exit_code);

  // Scheduling hints for the child; false when nothing is attached or the OS
  // refused (raising a priority needs privileges).
  bool SetPriority(ProcessPriority priority);
  // Lowers the child's main thread to the idle scheduling class.
  bool SetMainThreadIdle();

  void Release() noexcept;

 private:
  friend ChildProcess SpawnProcess(const std::string&, const std::vector<std::string>&, bool,
                                   const std::string&, const std::vector<std::string>&);
  friend ChildProcess AttachToWindowOwner(std::uintptr_t);
  ChildProcess(std::int32_t pid, std::intptr_t exit_handle, std::intptr_t group_handle = -1,
               std::intptr_t thread_handle = -1)
      : pid_(pid),
        exit_handle_(exit_handle),
        group_handle_(group_handle),
        thread_handle_(thread_handle) {}

  std::optional<std::uint32_t> Poll();
  void SleepUntilExit(std::uint32_t milliseconds) const;
  void Forget() noexcept;

  std::int32_t pid_ = 0;
  std::intptr_t exit_handle_ = -1;  // signalled once the child has ended; -1 where the OS has none
  // What ends the child with everything it started, and the child's main
  // thread, where the OS gives handles for them; else -1.
  std::intptr_t group_handle_ = -1;
  std::intptr_t thread_handle_ = -1;
  std::optional<std::uint32_t> kill_code_;
};

// Starts `program` (a path, taken as it is, never searched for) with argv[0]
// set to it and then each of `arguments` unchanged, in the caller's
// environment and current folder. The child inherits no descriptor but the
// standard streams, which go to the null device when `null_streams` is set;
// then a child that has a window also keeps it hidden. Throws
// ProcessCallError when the program cannot be started; the child's failure to
// execute the program is reported here, not by an exit code. A non-empty
// `output_file` takes the child's standard output and error instead, appended
// to (created when missing), so that a caller can read what it wrote. Each of
// `settings` ("NAME=value") is set in the child's environment only.
ChildProcess SpawnProcess(const std::string& program, const std::vector<std::string>& arguments,
                          bool null_streams, const std::string& output_file = {},
                          const std::vector<std::string>& settings = {});

// Attaches to the process that owns a window (it need not be a child).
// Throws ProcessCallError when that process cannot be opened, and always where
// there are no windows.
ChildProcess AttachToWindowOwner(std::uintptr_t window);

// The calling process's own id, as ChildProcess::Id gives it to a parent.
std::int32_t CurrentProcessId();

// Ends the calling process at once: no destructors, no buffers flushed. Where
// the system passes a parent only 8 bits, only the low 8 bits arrive.
[[noreturn]] void ExitProcessNow(std::uint32_t exit_code);

}  // namespace kestrel::platform

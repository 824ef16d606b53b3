#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <thread>

#include "platform/clock.h"
#include "platform/system_error.h"

extern char** environ;

namespace kestrel::platform {
namespace {

[[noreturn]] void ThrowCallError(int code) {
  throw ProcessCallError(code, SystemErrorText(code));
}

// Reaps children whose owners gave them up while they ran. It waits only for
// the ids handed to it, never for "any child", so it cannot steal the exit
// status of a child that another object still polls.
class Reaper {
 public:
  static Reaper& Instance() {
    // Never destroyed: its thread may still be waiting when the process exits.
    static Reaper* const instance = new Reaper;
    return *instance;
  }

  void Adopt(pid_t pid) noexcept {
    try {
      std::lock_guard lock(mutex_);
      orphans_.push_back(pid);
      StartThreadOnce();
      wake_.notify_one();
    } catch (...) {
      // Out of memory or threads: the child stays a zombie until this process
      // ends, which is better than failing the owner's destructor.
    }
  }

 private:
  void StartThreadOnce() {
    if (started_)
      return;
    std::thread([this] { Run(); }).detach();
    started_ = true;
  }

  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      std::erase_if(orphans_, HasEnded);
      if (orphans_.empty())
        wake_.wait(lock, [this] { return !orphans_.empty(); });
      else
        wake_.wait_for(lock, std::chrono::milliseconds(100));
    }
  }

  static bool HasEnded(pid_t pid) {
    const pid_t result = waitpid(pid, nullptr, WNOHANG);
    return result == pid || (result < 0 && errno == ECHILD);
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<pid_t> orphans_;
  bool started_ = false;
};

std::uint32_t ExitCodeOf(int status, std::optional<std::uint32_t> kill_code) {
  if (WIFEXITED(status))
    return static_cast<std::uint32_t>(WEXITSTATUS(status));
  const int signal_number = WTERMSIG(status);
  if (signal_number == SIGKILL && kill_code)
    return *kill_code;
  return 128u + static_cast<std::uint32_t>(signal_number);
}

// Owns the spawn attributes: a process group of the child's own (so that Kill
// reaches what it starts), no blocked signals and default signal actions, so
// that nothing this process ignores (SIGPIPE) stays ignored in the child.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attributes_);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes_, &signals);
    sigfillset(&signals);
    sigdelset(&signals, SIGKILL);
    sigdelset(&signals, SIGSTOP);
    posix_spawnattr_setsigdefault(&attributes_, &signals);
    posix_spawnattr_setpgroup(&attributes_, 0);
    posix_spawnattr_setflags(
        &attributes_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  const posix_spawnattr_t* Get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

// Owns the descriptor plan: optionally the standard streams onto /dev/null,
// output and error onto the output file when one is given, then every
// descriptor above them closed, whether or not it was opened close-on-exec
// (another thread may have opened one without).
class SpawnDescriptors {
 public:
  SpawnDescriptors(bool null_streams, const std::string& output_file) {
    posix_spawn_file_actions_init(&actions_);
    if (null_streams) {
      posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0);
    }
    if (!output_file.empty()) {
      posix_spawn_file_actions_addopen(&actions_, 1, output_file.c_str(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0644);
      posix_spawn_file_actions_adddup2(&actions_, 1, 2);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
  }
  ~SpawnDescriptors() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnDescriptors(const SpawnDescriptors&) = delete;
  SpawnDescriptors& operator=(const SpawnDescriptors&) = delete;
  const posix_spawn_file_actions_t* Get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

std::vector<char*> ArgumentVector(const std::string& program,
                                  const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Opened close-on-exec by the kernel. Called directly: this C library's
// header declares its wrapper without C linkage. A kernel without process
// descriptors gives -1, which only makes waits coarser.
int OpenProcessDescriptor(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// The caller's environment with `settings` put in: a setting replaces the
// entry of its name. The pointers stay valid while both inputs live.
std::vector<char*> EnvironmentWith(const std::vector<std::string>& settings) {
  std::vector<char*> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view current(*entry);
    const bool replaced = std::any_of(settings.begin(), settings.end(), [&](const std::string& s) {
      const std::size_t name_end = s.find('=');
      return current.substr(0, name_end + 1) == std::string_view(s).substr(0, name_end + 1);
    });
    if (!replaced)
      entries.push_back(*entry);
  }
  for (const auto& setting : settings)
    entries.push_back(const_cast<char*>(setting.c_str()));
  entries.push_back(nullptr);
  return entries;
}

int NiceValue(ProcessPriority priority) {
  switch (priority) {
    case ProcessPriority::kIdle:
      return 19;
    case ProcessPriority::kNormal:
      return 0;
    case ProcessPriority::kHigh:
      return -10;
    case ProcessPriority::kRealtime:
      return -20;
  }
  return 0;
}

}  // namespace

std::optional<std::uint32_t> ChildProcess::WaitForExit(std::uint32_t milliseconds) {
  const std::uint64_t deadline = MonotonicMilliseconds() + milliseconds;
  for (;;) {
    if (!Attached())
      return std::nullopt;
    if (auto code = Poll())
      return code;
    const std::uint64_t now = MonotonicMilliseconds();
    if (now >= deadline)
      return std::nullopt;
    SleepUntilExit(static_cast<std::uint32_t>(deadline - now));
  }
}

std::optional<std::uint32_t> ChildProcess::Poll() {
  int status = 0;
  pid_t result;
  do {
    result = waitpid(pid_, &status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result < 0)
    ThrowCallError(errno);
  if (result == 0)
    return std::nullopt;
  const std::uint32_t code = ExitCodeOf(status, kill_code_);
  Forget();
  return code;
}

// Returns early, without reaping, once the child has ended. Without a
// process descriptor it can only sleep in short steps.
void ChildProcess::SleepUntilExit(std::uint32_t milliseconds) const {
  if (exit_handle_ >= 0) {
    pollfd ready{static_cast<int>(exit_handle_), POLLIN, 0};
    poll(&ready, 1, static_cast<int>(std::min<std::uint32_t>(milliseconds, INT_MAX)));
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(std::min<std::uint32_t>(milliseconds, 5)));
}

bool ChildProcess::Kill(std::uint32_t exit_code) {
  if (!Attached())
    return false;
  // While the child is not reaped its id cannot be reused, so its group (id
  // equal to its own) holds only its descendants. If it left that group, it
  // is ended alone.
  if (kill(-pid_, SIGKILL) != 0 && kill(pid_, SIGKILL) != 0)
    return false;
  kill_code_ = exit_code;
  return true;
}

bool ChildProcess::SetPriority(ProcessPriority priority) {
  return Attached() && setpriority(PRIO_PROCESS, static_cast<id_t>(pid_), NiceValue(priority)) == 0;
}

bool ChildProcess::SetMainThreadIdle() {
  const sched_param parameters{};
  return Attached() && sched_setscheduler(pid_, SCHED_IDLE, &parameters) == 0;
}

void ChildProcess::Release() noexcept {
  if (!Attached())
    return;
  if (waitpid(pid_, nullptr, WNOHANG) != pid_)
    Reaper::Instance().Adopt(pid_);
  Forget();
}

void ChildProcess::Forget() noexcept {
  if (exit_handle_ >= 0)
    close(static_cast<int>(exit_handle_));
  pid_ = 0;
  exit_handle_ = -1;
  kill_code_.reset();
}

ChildProcess SpawnProcess(const std::string& program, const std::vector<std::string>& arguments,
                          bool null_streams, const std::string& output_file,
                          const std::vector<std::string>& settings) {
  const SpawnAttributes attributes;
  const SpawnDescriptors descriptors(null_streams, output_file);
  std::vector<char*> argv = ArgumentVector(program, arguments);
  std::vector<char*> environment = EnvironmentWith(settings);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, program.c_str(), descriptors.Get(), attributes.Get(),
                                argv.data(), environment.data());
  if (error != 0)
    ThrowCallError(error);
  return ChildProcess(pid, OpenProcessDescriptor(pid));
}

ChildProcess AttachToWindowOwner(std::uintptr_t) {
  ThrowCallError(ENOSYS);
}

std::int32_t CurrentProcessId() {
  return static_cast<std::int32_t>(getpid());
}

void ExitProcessNow(std::uint32_t exit_code) {
  _exit(static_cast<int>(exit_code & 0xFFu));
}

}  // namespace kestrel::platform

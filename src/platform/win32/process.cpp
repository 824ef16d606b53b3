// Children are started suspended, put in a job object of their own and only
// then let run, so that whatever they start joins the job and Kill ends all
// of it. The job is not killed when its handle closes: giving a child up, or
// this program ending (as after an update, which starts its successor), must
// leave the child running.
#include "platform/process.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <utility>

#include "platform/command_line.h"
#include "platform/system_error.h"
#include "platform/win32/wide.h"

namespace kestrel::platform {
namespace {

[[noreturn]] void ThrowCallError(DWORD code) {
  throw ProcessCallError(static_cast<int>(code), SystemErrorText(static_cast<int>(code)));
}

[[noreturn]] void ThrowLastError() {
  ThrowCallError(GetLastError());
}

HANDLE AsHandle(std::intptr_t native) {
  return reinterpret_cast<HANDLE>(native);
}

std::intptr_t AsNative(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

void CloseNative(std::intptr_t& native) {
  if (native != -1)
    CloseHandle(AsHandle(native));
  native = -1;
}

// Owns one handle; null when empty.
class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle = nullptr)
      : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  ~OwnedHandle() {
    if (handle_ != nullptr)
      CloseHandle(handle_);
  }
  OwnedHandle(OwnedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HANDLE Get() const { return handle_; }
  HANDLE Take() { return std::exchange(handle_, nullptr); }

 private:
  HANDLE handle_;
};

// The child's standard handles: the null device, or copies of this process's
// own, and output and error in the output file when one is given. They are
// made inheritable only to be named in the child's handle list, so no other
// handle of this process reaches it.
class StandardHandles {
 public:
  StandardHandles(bool null_streams, const std::string& output_file) {
    const bool to_file = !output_file.empty();
    if (null_streams) {
      input_ = Open(L"NUL", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
      if (!to_file)
        output_ = error_ = input_;
    } else {
      input_ = CopyOf(STD_INPUT_HANDLE);
      if (!to_file) {
        output_ = CopyOf(STD_OUTPUT_HANDLE);
        error_ = CopyOf(STD_ERROR_HANDLE);
      }
    }
    // Appending only: every write lands at the end, whoever else writes.
    if (to_file)
      output_ = error_ = Open(Wide(output_file), FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS);
  }

  bool Any() const { return !owned_.empty(); }
  void FillIn(STARTUPINFOW& info) const {
    info.dwFlags |= STARTF_USESTDHANDLES;
    info.hStdInput = input_;
    info.hStdOutput = output_;
    info.hStdError = error_;
  }
  // Each handle once, as the handle list wants them.
  std::vector<HANDLE> Distinct() const {
    std::vector<HANDLE> handles;
    for (const auto& handle : owned_)
      handles.push_back(handle.Get());
    return handles;
  }

 private:
  HANDLE Open(const std::wstring& name, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    owned_.emplace_back(CreateFileW(name.c_str(), access,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (owned_.back().Get() == nullptr)
      ThrowLastError();
    return owned_.back().Get();
  }
  // A stream this process lacks (a program without a console) stays empty.
  HANDLE CopyOf(DWORD which) {
    const HANDLE own = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (own == nullptr || own == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
      return nullptr;
    owned_.emplace_back(copy);
    return copy;
  }

  std::vector<OwnedHandle> owned_;
  HANDLE input_ = nullptr;
  HANDLE output_ = nullptr;
  HANDLE error_ = nullptr;
};

// The one attribute of the child's start: the handles it may inherit.
class HandleListAttribute {
 public:
  explicit HandleListAttribute(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    buffer_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size))
      ThrowLastError();
    list_ = list;
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                   handles_.size() * sizeof(HANDLE), nullptr, nullptr))
      ThrowLastError();
  }
  ~HandleListAttribute() {
    if (list_ != nullptr)
      DeleteProcThreadAttributeList(list_);
  }
  HandleListAttribute(const HandleListAttribute&) = delete;
  HandleListAttribute& operator=(const HandleListAttribute&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

 private:
  std::vector<HANDLE> handles_;
  std::vector<char> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// A job for one child; empty when the system refuses one (a process already
// in a job that forbids nesting), and then Kill reaches the child alone.
OwnedHandle JobFor(HANDLE process) {
  OwnedHandle job(CreateJobObjectW(nullptr, nullptr));
  if (job.Get() == nullptr || !AssignProcessToJobObject(job.Get(), process))
    return OwnedHandle();
  return job;
}

DWORD PriorityClassOf(ProcessPriority priority) {
  switch (priority) {
    case ProcessPriority::kIdle:
      return IDLE_PRIORITY_CLASS;
    case ProcessPriority::kNormal:
      return NORMAL_PRIORITY_CLASS;
    case ProcessPriority::kHigh:
      return HIGH_PRIORITY_CLASS;
    case ProcessPriority::kRealtime:
      return REALTIME_PRIORITY_CLASS;
  }
  return NORMAL_PRIORITY_CLASS;
}

// The caller's environment with `settings` put in (a setting replaces the
// entry of its name, ignoring case as the system does), as the block that
// CreateProcessW takes; empty when nothing changes, for the caller's own.
std::wstring EnvironmentBlockWith(const std::vector<std::string>& settings) {
  if (settings.empty())
    return {};
  std::vector<std::wstring> entries;
  if (wchar_t* const block = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1)
      entries.emplace_back(entry);
    FreeEnvironmentStringsW(block);
  }
  for (const auto& setting : settings) {
    const std::wstring wide = Wide(setting);
    const std::wstring name = wide.substr(0, wide.find(L'=') + 1);
    std::erase_if(entries, [&](const std::wstring& entry) {
      return _wcsnicmp(entry.c_str(), name.c_str(), name.size()) == 0;
    });
    entries.push_back(wide);
  }
  std::wstring block;
  for (const auto& entry : entries)
    block += entry + L'\0';
  return block + L'\0';
}

}  // namespace

std::optional<std::uint32_t> ChildProcess::WaitForExit(std::uint32_t milliseconds) {
  if (!Attached())
    return std::nullopt;
  const HANDLE process = AsHandle(exit_handle_);
  switch (WaitForSingleObject(process, std::min<DWORD>(milliseconds, INFINITE - 1))) {
    case WAIT_OBJECT_0:
      break;
    case WAIT_TIMEOUT:
      return std::nullopt;
    default:
      ThrowLastError();
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code))
    ThrowLastError();
  Forget();
  return code;
}

bool ChildProcess::Kill(std::uint32_t exit_code) {
  if (!Attached())
    return false;
  if (group_handle_ != -1)
    return TerminateJobObject(AsHandle(group_handle_), exit_code) != 0;
  return TerminateProcess(AsHandle(exit_handle_), exit_code) != 0;
}

bool ChildProcess::SetPriority(ProcessPriority priority) {
  return Attached() && SetPriorityClass(AsHandle(exit_handle_), PriorityClassOf(priority)) != 0;
}

bool ChildProcess::SetMainThreadIdle() {
  if (!Attached() || thread_handle_ == -1)
    return false;
  SetThreadIdealProcessor(AsHandle(thread_handle_), 0);
  return SetThreadPriority(AsHandle(thread_handle_), THREAD_PRIORITY_IDLE) != 0;
}

// Nothing to reap here: closing the handles leaves the child running.
void ChildProcess::Release() noexcept {
  if (Attached())
    Forget();
}

void ChildProcess::Forget() noexcept {
  CloseNative(exit_handle_);
  CloseNative(group_handle_);
  CloseNative(thread_handle_);
  pid_ = 0;
  kill_code_.reset();
}

ChildProcess SpawnProcess(const std::string& program, const std::vector<std::string>& arguments,
                          bool null_streams, const std::string& output_file,
                          const std::vector<std::string>& settings) {
  const StandardHandles streams(null_streams, output_file);
  STARTUPINFOEXW start{};
  start.StartupInfo.cb = sizeof(start);
  DWORD flags = CREATE_SUSPENDED;
  if (null_streams) {
    start.StartupInfo.dwFlags |= STARTF_USESHOWWINDOW;
    start.StartupInfo.wShowWindow = SW_HIDE;
    flags |= CREATE_NO_WINDOW;
  }
  std::optional<HandleListAttribute> inherited;
  if (streams.Any()) {
    streams.FillIn(start.StartupInfo);
    inherited.emplace(streams.Distinct());
    start.lpAttributeList = inherited->Get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  // Given as the application name, the program is never searched for.
  const std::wstring application = Wide(program);
  std::wstring command_line = Wide(QuotedCommandLine(program, arguments));
  std::wstring environment = EnvironmentBlockWith(settings);
  if (!environment.empty())
    flags |= CREATE_UNICODE_ENVIRONMENT;
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, streams.Any(),
                      flags, environment.empty() ? nullptr : environment.data(), nullptr,
                      &start.StartupInfo, &created))
    ThrowLastError();
  OwnedHandle process(created.hProcess);
  OwnedHandle thread(created.hThread);
  OwnedHandle job = JobFor(process.Get());
  if (ResumeThread(thread.Get()) == static_cast<DWORD>(-1)) {
    const DWORD failure = GetLastError();
    TerminateProcess(process.Get(), failure);
    ThrowCallError(failure);
  }
  return ChildProcess(static_cast<std::int32_t>(created.dwProcessId), AsNative(process.Take()),
                      job.Get() != nullptr ? AsNative(job.Take()) : -1, AsNative(thread.Take()));
}

ChildProcess AttachToWindowOwner(std::uintptr_t window) {
  DWORD pid = 0;
  if (GetWindowThreadProcessId(reinterpret_cast<HWND>(window), &pid) == 0)
    ThrowLastError();
  const HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
  if (process == nullptr)
    ThrowLastError();
  return ChildProcess(static_cast<std::int32_t>(pid), AsNative(process));
}

std::int32_t CurrentProcessId() {
  return static_cast<std::int32_t>(GetCurrentProcessId());
}

void ExitProcessNow(std::uint32_t exit_code) {
  TerminateProcess(GetCurrentProcess(), exit_code);
  ExitProcess(exit_code);  // only if ending itself was refused
}

}  // namespace kestrel::platform

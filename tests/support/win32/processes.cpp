#include "support/processes.h"

#include <windows.h>
// after windows.h, which they build on
#include <shellapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <stdexcept>

#include "platform/win32/wide.h"
#include "support/temp_dir.h"

namespace kestrel::testing {
namespace {

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  ~Handle() {
    if (handle_ != nullptr)
      CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

HANDLE OpenById(std::int32_t pid, DWORD access) {
  return OpenProcess(access, FALSE, static_cast<DWORD>(pid));
}

struct CloseRequest {
  DWORD pid;
  bool delivered;
};

BOOL CALLBACK PostCloseToOwnWindow(HWND window, LPARAM request_address) {
  auto& request = *reinterpret_cast<CloseRequest*>(request_address);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == request.pid && PostMessageW(window, WM_CLOSE, 0, 0))
    request.delivered = true;
  return TRUE;
}

std::filesystem::path ExecutableOf(std::int32_t pid) {
  const Handle process(OpenById(pid, PROCESS_QUERY_LIMITED_INFORMATION));
  wchar_t name[MAX_PATH * 4];
  DWORD size = MAX_PATH * 4;
  if (process.Get() == nullptr || !QueryFullProcessImageNameW(process.Get(), 0, name, &size))
    return {};
  return std::filesystem::path(std::wstring(name, size));
}

template <typename Value>
bool ReadFrom(HANDLE process, const void* address, Value& value) {
  return ReadProcessMemory(process, address, &value, sizeof value, nullptr) != 0;
}

// The command line as the process was given it, from its own memory.
std::wstring RawCommandLineOf(std::int32_t pid) {
  using Query = LONG(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  const Handle process(OpenById(pid, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ));
  PROCESS_BASIC_INFORMATION basic{};
  PEB peb{};
  RTL_USER_PROCESS_PARAMETERS parameters{};
  if (query == nullptr || process.Get() == nullptr ||
      query(process.Get(), ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0 ||
      !ReadFrom(process.Get(), basic.PebBaseAddress, peb) ||
      !ReadFrom(process.Get(), peb.ProcessParameters, parameters))
    return {};
  std::wstring line(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
  if (!ReadProcessMemory(process.Get(), parameters.CommandLine.Buffer, line.data(),
                         parameters.CommandLine.Length, nullptr))
    return {};
  return line;
}

// The thread that the process started with: of its threads, the one made first.
DWORD MainThreadOf(std::int32_t pid) {
  const Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  DWORD main_thread = 0;
  ULONGLONG earliest = ~0ull;
  for (bool more = snapshot.Get() != nullptr && Thread32First(snapshot.Get(), &entry); more;
       more = Thread32Next(snapshot.Get(), &entry)) {
    if (entry.th32OwnerProcessID != static_cast<DWORD>(pid))
      continue;
    const Handle thread(OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID));
    FILETIME created{}, ended{}, kernel{}, user{};
    if (thread.Get() == nullptr || !GetThreadTimes(thread.Get(), &created, &ended, &kernel, &user))
      continue;
    const ULONGLONG when = (ULONGLONG{created.dwHighDateTime} << 32) | created.dwLowDateTime;
    if (when < earliest) {
      earliest = when;
      main_thread = entry.th32ThreadID;
    }
  }
  return main_thread;
}

// An entry of NtQuerySystemInformation's SystemExtendedHandleInformation,
// which the headers do not declare.
struct SystemHandleEntry {
  PVOID object;
  ULONG_PTR process_id;
  ULONG_PTR handle;
  ULONG granted_access;
  USHORT creator_back_trace_index;
  USHORT object_type_index;
  ULONG attributes;
  ULONG reserved;
};
struct SystemHandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  SystemHandleEntry entries[1];
};
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

std::vector<HANDLE> OwnHandles() {
  using Query = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  std::vector<ULONG_PTR> buffer(1 << 16);
  LONG status = kInfoLengthMismatch;
  for (int attempt = 0; query != nullptr && status == kInfoLengthMismatch && attempt < 8;
       ++attempt) {
    buffer.resize(buffer.size() * 2);
    status = query(kSystemExtendedHandleInformation, buffer.data(),
                   static_cast<ULONG>(buffer.size() * sizeof buffer[0]), nullptr);
  }
  std::vector<HANDLE> own;
  if (status != 0)
    return own;
  const auto* table = reinterpret_cast<const SystemHandleTable*>(buffer.data());
  for (ULONG_PTR i = 0; i < table->count; ++i) {
    if (table->entries[i].process_id == GetCurrentProcessId())
      own.push_back(reinterpret_cast<HANDLE>(table->entries[i].handle));
  }
  return own;
}

// The file's full name, or empty when the handle is no file's.
std::string FileNameOf(HANDLE handle) {
  if (GetFileType(handle) != FILE_TYPE_DISK)
    return {};
  wchar_t name[MAX_PATH * 4];
  const DWORD length = GetFinalPathNameByHandleW(handle, name, MAX_PATH * 4, FILE_NAME_NORMALIZED);
  return length == 0 || length >= MAX_PATH * 4 ? std::string()
                                               : platform::Narrow(std::wstring_view(name, length));
}

}  // namespace

bool KillProcess(std::int32_t pid) {
  const Handle process(OpenById(pid, PROCESS_TERMINATE));
  return process.Get() != nullptr && TerminateProcess(process.Get(), 137);
}

// A process that has ended but whose handles are still open elsewhere can
// still be opened; only its exit code tells.
bool ProcessRuns(std::int32_t pid) {
  const Handle process(OpenById(pid, PROCESS_QUERY_LIMITED_INFORMATION));
  DWORD code = 0;
  return process.Get() != nullptr && GetExitCodeProcess(process.Get(), &code) &&
         code == STILL_ACTIVE;
}

bool ProcessEnded(std::int32_t pid) {
  return !ProcessRuns(pid);
}

bool AskProcessToClose(std::int32_t pid) {
  CloseRequest request{static_cast<DWORD>(pid), false};
  EnumWindows(PostCloseToOwnWindow, reinterpret_cast<LPARAM>(&request));
  return request.delivered;
}

int CloseRequestKinds() {
  return 1;
}

void RequestOwnClose(int) {
  AskProcessToClose(static_cast<std::int32_t>(GetCurrentProcessId()));
}

std::vector<std::int32_t> ProcessesRunningFrom(const std::filesystem::path& folder) {
  std::vector<std::int32_t> found;
  const Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (bool more = snapshot.Get() != nullptr && Process32FirstW(snapshot.Get(), &entry); more;
       more = Process32NextW(snapshot.Get(), &entry)) {
    const auto pid = static_cast<std::int32_t>(entry.th32ProcessID);
    const std::filesystem::path exe = ExecutableOf(pid);
    std::error_code error;
    if (!exe.empty() && ProcessRuns(pid) &&
        std::filesystem::equivalent(exe.parent_path(), folder, error))
      found.push_back(pid);
  }
  return found;
}

std::vector<std::string> CommandLineOf(std::int32_t pid) {
  const std::wstring line = RawCommandLineOf(pid);
  std::vector<std::string> words;
  int count = 0;
  LPWSTR* split = line.empty() ? nullptr : CommandLineToArgvW(line.c_str(), &count);
  for (int i = 0; i < count; ++i)
    words.push_back(platform::Narrow(split[i]));
  LocalFree(split);
  return words;
}

std::string ImageOf(std::int32_t pid) {
  return ReadAll(ExecutableOf(pid));
}

Priority PriorityOf(std::int32_t pid) {
  const Handle process(OpenById(pid, PROCESS_QUERY_LIMITED_INFORMATION));
  const Handle thread(OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, MainThreadOf(pid)));
  if (process.Get() == nullptr || thread.Get() == nullptr)
    return {-1, -1};
  return {static_cast<int>(GetPriorityClass(process.Get())), GetThreadPriority(thread.Get())};
}

Priority IdlePriority() {
  return {IDLE_PRIORITY_CLASS, THREAD_PRIORITY_IDLE};
}

bool ChildrenInherit(std::intptr_t handle) {
  DWORD flags = 0;
  if (!GetHandleInformation(reinterpret_cast<HANDLE>(handle), &flags))
    throw std::runtime_error("no information on handle " + std::to_string(handle));
  return (flags & HANDLE_FLAG_INHERIT) != 0;
}

bool ListFilesAChildInherits(const std::string& listing) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const Handle out(CreateFileW(platform::Wide(listing).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                               &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (out.Get() == nullptr)
    return false;
  std::string names;
  for (const HANDLE handle : OwnHandles()) {
    DWORD flags = 0;
    const std::string name = FileNameOf(handle);
    if (GetHandleInformation(handle, &flags) && (flags & HANDLE_FLAG_INHERIT) != 0 && !name.empty())
      names += name + "\n";
  }
  DWORD written = 0;
  return WriteFile(out.Get(), names.data(), static_cast<DWORD>(names.size()), &written, nullptr) &&
         written == names.size();
}

}  // namespace kestrel::testing

// Files through the system's handles. A file being read may be read by
// others but not written by this layer; a file being written admits nobody
// else (no sharing at all), and the system refuses the second opener with a
// sharing violation, whose text says that the file is in use. Names are
// UTF-8 inside and cross to the system as UTF-16; "\" and "/" both separate
// folders.
#include "platform/file_system.h"

#include <windows.h>
// The system's header names its own ReplaceFileW so; this file defines ours.
#undef ReplaceFile

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

#include "platform/common.h"
#include "platform/system_error.h"
#include "platform/win32/wide.h"

namespace kestrel::platform {
namespace {

SystemError ErrorFromCode(DWORD code) {
  const int number = static_cast<int>(code);
  if (code == ERROR_SHARING_VIOLATION)
    return SystemError{number, kFileInUseText};
  return SystemError{number, SystemErrorText(number)};
}

SystemError LastError() {
  return ErrorFromCode(GetLastError());
}

HANDLE AsHandle(std::intptr_t native) {
  return reinterpret_cast<HANDLE>(native);
}

// Windows keeps no execute right: whether a file runs depends on its name.
constexpr std::uint32_t kWritableBits = 0777;
constexpr std::uint32_t kReadOnlyBits = 0555;

// Ticks of 100 ns between 1601-01-01, where file times count from, and 1970-01-01.
constexpr std::int64_t kTicksTo1970 = 116444736000000000;
constexpr std::int64_t kTicksPerSecond = 10000000;

std::int64_t Ticks(const FILETIME& time) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                   time.dwLowDateTime);
}

// With the zone's offset at that moment, not today's.
LocalTime ToLocalTime(const FILETIME& utc) {
  SYSTEMTIME universal{};
  SYSTEMTIME local{};
  FILETIME local_time{};
  if (!FileTimeToSystemTime(&utc, &universal) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local) ||
      !SystemTimeToFileTime(&local, &local_time))
    local_time = utc;
  const std::int64_t since_1970 = Ticks(local_time) - kTicksTo1970;
  std::int64_t seconds = since_1970 / kTicksPerSecond;
  std::int64_t rest = since_1970 % kTicksPerSecond;
  if (rest < 0) {
    --seconds;
    rest += kTicksPerSecond;
  }
  return LocalTime{seconds, static_cast<std::int32_t>(rest * 100)};
}

FileStatus Status(DWORD attributes, std::int64_t size, const FILETIME& created,
                  const FILETIME& written, const FILETIME& accessed) {
  FileStatus status;
  status.is_folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status.owner_can_write = (attributes & FILE_ATTRIBUTE_READONLY) == 0;
  status.size = status.is_folder ? 0 : size;
  status.created = ToLocalTime(created);
  status.written = ToLocalTime(written);
  status.accessed = ToLocalTime(accessed);
  return status;
}

std::int64_t Size(DWORD high, DWORD low) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
}

FileStatus StatusOf(const WIN32_FIND_DATAW& found) {
  return Status(found.dwFileAttributes, Size(found.nFileSizeHigh, found.nFileSizeLow),
                found.ftCreationTime, found.ftLastWriteTime, found.ftLastAccessTime);
}

// Owns one handle; empty when invalid.
class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  ~OwnedHandle() {
    if (Valid())
      CloseHandle(handle_);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }
  HANDLE Take() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE handle_;
};

// The status of a link's target, read through the link; false for a dangling one.
bool StatusThroughLink(const std::wstring& path, FileStatus& status) {
  const OwnedHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.Valid() || !GetFileInformationByHandle(file.Get(), &info))
    return false;
  status = Status(info.dwFileAttributes, Size(info.nFileSizeHigh, info.nFileSizeLow),
                  info.ftCreationTime, info.ftLastWriteTime, info.ftLastAccessTime);
  return true;
}

// Scanners and indexers of the system open new files for a moment, so a
// file in use is tried again for a short while before it counts as such.
constexpr auto kInUseRetryTime = std::chrono::milliseconds(200);
constexpr DWORD kInUseRetryStepMilliseconds = 1;

HANDLE OpenWaitingBriefly(const std::wstring& name, DWORD access, DWORD sharing, DWORD disposition,
                          DWORD flags) {
  const auto give_up = std::chrono::steady_clock::now() + kInUseRetryTime;
  for (;;) {
    const HANDLE file =
        CreateFileW(name.c_str(), access, sharing, nullptr, disposition, flags, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
        std::chrono::steady_clock::now() >= give_up)
      return file;
    Sleep(kInUseRetryStepMilliseconds);
  }
}

// The open file's handle, or -1. A name that opens a device (NUL, COM1, a
// pipe) is refused: only files on a disk are this layer's.
std::intptr_t OpenDiskFile(const std::string& name, DWORD access, DWORD sharing, DWORD disposition,
                           SystemError& error) {
  OwnedHandle file(
      OpenWaitingBriefly(Wide(name), access, sharing, disposition, FILE_ATTRIBUTE_NORMAL));
  if (!file.Valid()) {
    error = LastError();
    return -1;
  }
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) {
    error = SystemError{ERROR_INVALID_NAME, "Not a regular file"};
    return -1;
  }
  return reinterpret_cast<std::intptr_t>(file.Take());
}

bool IsFolderName(const std::wstring& name) {
  const DWORD attributes = GetFileAttributesW(name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Read-only files cannot be deleted or replaced; false when the name is missing.
bool ClearReadOnly(const std::wstring& name) {
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return false;
  return (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
         SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) != 0;
}

bool SetReadOnly(const std::string& name, bool read_only) {
  const std::wstring wide = Wide(name);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return false;
  const DWORD changed =
      read_only ? (attributes | FILE_ATTRIBUTE_READONLY) : (attributes & ~FILE_ATTRIBUTE_READONLY);
  return SetFileAttributesW(wide.c_str(), changed) != 0;
}

// The enumeration of one folder: the system hands the first entry over with
// the handle, so it waits here until Next asks for it.
struct FolderSearch {
  HANDLE handle = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW pending{};
  bool has_pending = false;
  std::wstring folder;  // with its trailing separator, to reach the entries
};

HANDLE FindFirst(const std::wstring& folder, WIN32_FIND_DATAW& found) {
  return FindFirstFileExW((folder + L"*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                          nullptr, 0);
}

std::wstring WithSeparator(std::wstring folder) {
  if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/' && folder.back() != L':')
    folder += L'\\';
  return folder;
}

bool IsDotEntry(const wchar_t* name) {
  return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

// Links (files or folders) are removed themselves, never entered; a folder's
// content goes before the folder.
DWORD RemoveEntry(const std::wstring& path, DWORD attributes) {
  const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !link) {
    const std::wstring folder = WithSeparator(path);
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirst(folder, found);
    if (search == INVALID_HANDLE_VALUE)
      return GetLastError();
    DWORD failure = ERROR_SUCCESS;
    do {
      if (!IsDotEntry(found.cFileName))
        failure = RemoveEntry(folder + found.cFileName, found.dwFileAttributes);
    } while (failure == ERROR_SUCCESS && FindNextFileW(search, &found));
    if (failure == ERROR_SUCCESS && GetLastError() != ERROR_NO_MORE_FILES)
      failure = GetLastError();
    FindClose(search);
    if (failure != ERROR_SUCCESS)
      return failure;
  }
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  const bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(path.c_str())
                                                                    : DeleteFileW(path.c_str());
  return removed ? ERROR_SUCCESS : GetLastError();
}

}  // namespace

bool File::Close() {
  const std::intptr_t native = std::exchange(native_, -1);
  return native < 0 || CloseHandle(AsHandle(native)) != 0;
}

// ReadFile and WriteFile move at most 4 GiB less one byte per call.
constexpr std::size_t kLargestTransfer = 1u << 30;

// Calls `transfer` (ReadFile or WriteFile) on the bytes after the first
// `done` until `count` have moved; stops early at the end of the file or on a
// failure. Returns how many moved.
template <typename Byte, typename Transfer>
std::size_t TransferAll(Transfer transfer, HANDLE file, Byte* bytes, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    DWORD n = 0;
    const DWORD wanted = static_cast<DWORD>(std::min(count - done, kLargestTransfer));
    if (!transfer(file, bytes + done, wanted, &n, nullptr) || n == 0)
      break;
    done += n;
  }
  return done;
}

std::size_t File::Read(void* buffer, std::size_t count) {
  return TransferAll(ReadFile, AsHandle(native_), static_cast<char*>(buffer), count);
}

std::size_t File::Write(const void* data, std::size_t count) {
  return TransferAll(WriteFile, AsHandle(native_), static_cast<const char*>(data), count);
}

std::int64_t File::Size() const {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(AsHandle(native_), &size))
    return -1;
  return size.QuadPart;
}

// There is no execute right to withhold.
bool File::IsExecutable() const {
  return IsOpen();
}

bool File::Seek(std::int64_t offset) {
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  LARGE_INTEGER position{};
  return SetFilePointerEx(AsHandle(native_), distance, &position, FILE_BEGIN) &&
         position.QuadPart == offset;
}

bool File::Flush() {
  return FlushFileBuffers(AsHandle(native_)) != 0;
}

File OpenForReading(const std::string& name, SystemError& error) {
  return File(
      OpenDiskFile(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, error));
}

// Emptied only once it is open, so that a refused writer harms nothing (and
// a hidden file, which a creating open refuses, is written too).
File CreateForWriting(const std::string& name, bool /*executable*/, SystemError& error) {
  File file(OpenDiskFile(name, GENERIC_WRITE, 0, OPEN_ALWAYS, error));
  if (file.IsOpen() && !SetEndOfFile(AsHandle(file.native_))) {
    error = LastError();
    return File();
  }
  return file;
}

// Windows has no signal for a write past a size limit: such a write fails.
void IgnoreFileSizeSignal() {}

bool FileNamesIgnoreCase() {
  return true;
}

bool FileExists(const std::string& name) {
  const DWORD attributes = GetFileAttributesW(Wide(name).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool RemoveFile(const std::string& name, SystemError& error) {
  if (DeleteFileW(Wide(name).c_str()))
    return true;
  error = LastError();
  return false;
}

bool RemoveTree(const std::string& name, SystemError& error) {
  const std::wstring path = Wide(name);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  const DWORD failure =
      attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : RemoveEntry(path, attributes);
  if (failure == ERROR_SUCCESS)
    return true;
  error = ErrorFromCode(failure);
  return false;
}

bool MakeFolder(const std::string& name, SystemError& error) {
  const std::wstring path = Wide(name);
  if (CreateDirectoryW(path.c_str(), nullptr))
    return true;
  const DWORD code = GetLastError();
  if (code == ERROR_ALREADY_EXISTS && IsFolderName(path))
    return true;
  error = ErrorFromCode(code);
  return false;
}

bool SetWritable(const std::string& name, bool writable) {
  return SetReadOnly(name, !writable);
}

bool GetPermissions(const std::string& name, std::uint32_t& bits) {
  const DWORD attributes = GetFileAttributesW(Wide(name).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return false;
  bits = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? kReadOnlyBits : kWritableBits;
  return true;
}

// Only the owner's write bit has a counterpart: the read-only attribute.
bool SetPermissions(const std::string& name, std::uint32_t bits) {
  return SetReadOnly(name, (bits & 0200) == 0);
}

// A target that some opener holds is refused with the sharing violation an
// opening would get: the probe wants to delete it and lets nobody else in.
// A read-only target is replaced like any other, as a rename would on other
// systems.
bool ReplaceFile(const std::string& source, const std::string& target, SystemError& error) {
  const std::wstring to = Wide(target);
  {
    const OwnedHandle probe(OpenWaitingBriefly(to, DELETE, FILE_SHARE_DELETE, OPEN_EXISTING,
                                               FILE_FLAG_OPEN_REPARSE_POINT));
    if (!probe.Valid() && GetLastError() == ERROR_SHARING_VIOLATION) {
      error = LastError();
      return false;
    }
  }
  ClearReadOnly(to);
  if (MoveFileExW(Wide(source).c_str(), to.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  error = LastError();
  return false;
}

std::string AbsolutePath(const std::string& name) {
  const std::wstring wide = Wide(name);
  const DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (length == 0)
    return name;
  std::wstring full(length, L'\0');
  const DWORD written = GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
  if (written == 0 || written >= length)
    return name;
  full.resize(written);
  return Narrow(full);
}

FolderReader FolderReader::Open(const std::string& folder, SystemError& error) {
  auto search = std::make_unique<FolderSearch>();
  search->folder = WithSeparator(Wide(folder));
  search->handle = FindFirst(search->folder, search->pending);
  if (search->handle == INVALID_HANDLE_VALUE) {
    error = LastError();
    return FolderReader();
  }
  search->has_pending = true;
  FolderReader reader;
  reader.handle_ = search.release();
  return reader;
}

// A link is described by its target, as elsewhere; a dangling one by itself.
bool FolderReader::Next(FolderEntry& entry) {
  auto* search = static_cast<FolderSearch*>(handle_);
  if (search == nullptr)
    return false;
  if (!search->has_pending && !FindNextFileW(search->handle, &search->pending))
    return false;
  search->has_pending = false;
  const WIN32_FIND_DATAW& found = search->pending;
  entry.name = Narrow(found.cFileName);
  if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || IsDotEntry(found.cFileName) ||
      !StatusThroughLink(search->folder + found.cFileName, entry.status))
    entry.status = StatusOf(found);
  return true;
}

bool FolderReader::Close(SystemError& error) {
  const std::unique_ptr<FolderSearch> search(
      static_cast<FolderSearch*>(std::exchange(handle_, nullptr)));
  if (search == nullptr || FindClose(search->handle))
    return true;
  error = LastError();
  return false;
}

}  // namespace kestrel::platform

#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>
#include <utility>

#include "platform/common.h"
#include "platform/system_error.h"

namespace kestrel::platform {
namespace {

SystemError ErrorFromCode(int code) {
  return SystemError{code, SystemErrorText(code)};
}

SystemError LastError() {
  return ErrorFromCode(errno);
}

// Windows refuses a second opener of a file being written; advisory locks
// give the same rule among the openers of this layer, reported alike.

LocalTime ToLocalTime(std::int64_t seconds, std::int64_t nanoseconds) {
  const time_t whole = static_cast<time_t>(seconds);
  tm local{};
  const long offset = localtime_r(&whole, &local) != nullptr ? local.tm_gmtoff : 0;
  return LocalTime{seconds + offset, static_cast<std::int32_t>(nanoseconds)};
}

FileStatus StatusFromStat(const struct stat& s) {
  FileStatus status;
  status.is_folder = S_ISDIR(s.st_mode);
  status.owner_can_write = (s.st_mode & S_IWUSR) != 0;
  status.size = static_cast<std::int64_t>(s.st_size);
  status.created = ToLocalTime(s.st_ctim.tv_sec, s.st_ctim.tv_nsec);
  status.written = ToLocalTime(s.st_mtim.tv_sec, s.st_mtim.tv_nsec);
  status.accessed = ToLocalTime(s.st_atim.tv_sec, s.st_atim.tv_nsec);
  return status;
}

LocalTime ToLocalTime(const statx_timestamp& t) {
  return ToLocalTime(t.tv_sec, t.tv_nsec);
}

FileStatus StatusFromStatx(const struct statx& s) {
  FileStatus status;
  status.is_folder = S_ISDIR(s.stx_mode);
  status.owner_can_write = (s.stx_mode & S_IWUSR) != 0;
  status.size = static_cast<std::int64_t>(s.stx_size);
  const bool has_birth = (s.stx_mask & STATX_BTIME) != 0;
  status.created = ToLocalTime(has_birth ? s.stx_btime : s.stx_ctime);
  status.written = ToLocalTime(s.stx_mtime);
  status.accessed = ToLocalTime(s.stx_atime);
  return status;
}

// The status of `name` inside the open folder `folder_fd`, links followed
// (a dangling link is described by itself).
bool StatAt(int folder_fd, const char* name, FileStatus& status) {
  struct statx sx {};
  const unsigned mask = STATX_BASIC_STATS | STATX_BTIME;
  if (statx(folder_fd, name, 0, mask, &sx) == 0 ||
      statx(folder_fd, name, AT_SYMLINK_NOFOLLOW, mask, &sx) == 0) {
    status = StatusFromStatx(sx);
    return true;
  }
  if (errno != ENOSYS && errno != EPERM)
    return false;
  // Kernels or sandboxes without statx.
  struct stat st {};
  if (fstatat(folder_fd, name, &st, 0) != 0 &&
      fstatat(folder_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  status = StatusFromStat(st);
  return true;
}

void CloseDescriptor(int fd) {
  if (fd >= 0)
    ::close(fd);
}

// Opens without blocking (a FIFO would wait for its peer), then insists on a
// regular file and returns to blocking input and output.
int OpenRegular(const std::string& name, int flags, mode_t mode, SystemError& error) {
  const int fd = ::open(name.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
  if (fd < 0) {
    error = LastError();
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? ErrorFromCode(EISDIR) : SystemError{EINVAL, "Not a regular file"};
    CloseDescriptor(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// A child that another thread is just starting holds copies of this
// process's descriptors, and so their locks, until it runs its program:
// such a holder is gone within moments, so a refused lock is retried for a
// short while before the file counts as in use.
constexpr auto kInUseRetryTime = std::chrono::milliseconds(200);
constexpr auto kInUseRetryStep = std::chrono::milliseconds(1);

bool Lock(int fd, int operation, SystemError& error) {
  const auto give_up = std::chrono::steady_clock::now() + kInUseRetryTime;
  for (;;) {
    if (flock(fd, operation | LOCK_NB) == 0)
      return true;
    if (errno == EINTR)
      continue;
    if (errno != EWOULDBLOCK) {
      error = LastError();
      return false;
    }
    if (std::chrono::steady_clock::now() >= give_up) {
      error = SystemError{EWOULDBLOCK, kFileInUseText};
      return false;
    }
    std::this_thread::sleep_for(kInUseRetryStep);
  }
}

// Closes a plain descriptor when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { CloseDescriptor(fd_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

// Calls `transfer` (a read or a write of the bytes after the first `done`)
// until `count` bytes have moved, going on after an interruption; stops early
// at the end of the file or on a failure. Returns how many moved.
template <typename Transfer>
std::size_t TransferAll(std::size_t count, Transfer transfer) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = transfer(done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// A renamed entry is on the disk only once its folder is; best effort, as the
// rename itself has already been done.
void FlushFolderOf(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : name.substr(0, slash + 1);
  const Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Get() >= 0)
    fsync(fd.Get());
}

}  // namespace

// By default a write past the file size limit ends the whole server with
// SIGXFSZ; ignored, the write fails with EFBIG like one on a full disk and
// its caller reports it. Children get the default action back when started.
void IgnoreFileSizeSignal() {
  static const bool ignored = signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
  static_cast<void>(ignored);
}

bool File::Close() {
  const int fd = static_cast<int>(std::exchange(native_, -1));
  // After a failed close the descriptor is gone all the same; never retry it.
  return fd < 0 || ::close(fd) == 0 || errno == EINTR;
}

std::size_t File::Read(void* buffer, std::size_t count) {
  auto* const bytes = static_cast<char*>(buffer);
  return TransferAll(count, [&](std::size_t done) {
    return ::read(static_cast<int>(native_), bytes + done, count - done);
  });
}

std::size_t File::Write(const void* data, std::size_t count) {
  IgnoreFileSizeSignal();
  const auto* const bytes = static_cast<const char*>(data);
  return TransferAll(count, [&](std::size_t done) {
    return ::write(static_cast<int>(native_), bytes + done, count - done);
  });
}

std::int64_t File::Size() const {
  struct stat st {};
  if (fstat(static_cast<int>(native_), &st) != 0)
    return -1;
  return static_cast<std::int64_t>(st.st_size);
}

bool File::IsExecutable() const {
  struct stat st {};
  return fstat(static_cast<int>(native_), &st) == 0 && (st.st_mode & S_IXUSR) != 0;
}

bool File::Seek(std::int64_t offset) {
  return lseek(static_cast<int>(native_), static_cast<off_t>(offset), SEEK_SET) == offset;
}

bool File::Flush() {
  return fsync(static_cast<int>(native_)) == 0;
}

File OpenForReading(const std::string& name, SystemError& error) {
  const int fd = OpenRegular(name, O_RDONLY, 0, error);
  if (fd < 0)
    return File();
  File file(fd);
  if (!Lock(fd, LOCK_SH, error))
    return File();
  return file;
}

File CreateForWriting(const std::string& name, bool executable, SystemError& error) {
  // Truncate only once the lock is held, so that a refused writer harms nothing.
  const int fd = OpenRegular(name, O_WRONLY | O_CREAT, executable ? 0777 : 0666, error);
  if (fd < 0)
    return File();
  File file(fd);
  if (!Lock(fd, LOCK_EX, error))
    return File();
  if (ftruncate(fd, 0) != 0) {
    error = LastError();
    return File();
  }
  return file;
}

bool FileNamesIgnoreCase() {
  return false;
}

bool FileExists(const std::string& name) {
  struct stat st {};
  return stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool RemoveFile(const std::string& name, SystemError& error) {
  if (unlink(name.c_str()) == 0)
    return true;
  error = LastError();
  return false;
}

namespace {

// Folders come after their content (FTW_DEPTH), links as themselves
// (FTW_PHYS). A failure ends the walk with its error number.
int RemoveTreeEntry(const char* path, const struct stat*, int type, struct FTW*) {
  const int result = type == FTW_DP || type == FTW_DNR ? rmdir(path) : unlink(path);
  return result == 0 ? 0 : errno;
}

}  // namespace

bool RemoveTree(const std::string& name, SystemError& error) {
  constexpr int kOpenFolders = 16;
  const int result = nftw(name.c_str(), RemoveTreeEntry, kOpenFolders, FTW_PHYS | FTW_DEPTH);
  if (result == 0)
    return true;
  error = result > 0 ? ErrorFromCode(result) : LastError();
  return false;
}

bool MakeFolder(const std::string& name, SystemError& error) {
  if (mkdir(name.c_str(), 0777) == 0)
    return true;
  const int code = errno;
  struct stat st {};
  if (code == EEXIST && stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return true;
  error = ErrorFromCode(code);
  return false;
}

bool SetWritable(const std::string& name, bool writable) {
  struct stat st {};
  if (stat(name.c_str(), &st) != 0)
    return false;
  const mode_t mode =
      writable ? (st.st_mode | S_IWUSR) : (st.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH));
  return chmod(name.c_str(), mode & 07777) == 0;
}

bool GetPermissions(const std::string& name, std::uint32_t& bits) {
  struct stat st {};
  if (stat(name.c_str(), &st) != 0)
    return false;
  bits = static_cast<std::uint32_t>(st.st_mode & 0777);
  return true;
}

bool SetPermissions(const std::string& name, std::uint32_t bits) {
  return chmod(name.c_str(), static_cast<mode_t>(bits & 0777)) == 0;
}

// The target's lock is held across the rename, so that no opener of this
// layer is left writing into a file that has just been taken away. A target
// that may not even be opened is replaced without it.
bool ReplaceFile(const std::string& source, const std::string& target, SystemError& error) {
  const Descriptor held(::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (held.Get() < 0 && errno != ENOENT && errno != EACCES) {
    error = LastError();
    return false;
  }
  if (held.Get() >= 0 && !Lock(held.Get(), LOCK_EX, error))
    return false;
  if (rename(source.c_str(), target.c_str()) != 0) {
    error = LastError();
    return false;
  }
  FlushFolderOf(target);
  return true;
}

std::string AbsolutePath(const std::string& name) {
  std::error_code ignored;
  const auto absolute = std::filesystem::absolute(name, ignored);
  return (absolute.empty() ? std::filesystem::path(name) : absolute).lexically_normal().string();
}

FolderReader FolderReader::Open(const std::string& folder, SystemError& error) {
  const std::string path = folder.empty() ? "." : folder;
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    error = LastError();
    return FolderReader();
  }
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    error = LastError();
    CloseDescriptor(fd);
    return FolderReader();
  }
  FolderReader reader;
  reader.handle_ = dir;
  return reader;
}

bool FolderReader::Next(FolderEntry& entry) {
  DIR* dir = static_cast<DIR*>(handle_);
  if (dir == nullptr)
    return false;
  while (const dirent* item = readdir(dir)) {
    if (StatAt(dirfd(dir), item->d_name, entry.status)) {
      entry.name = item->d_name;
      return true;
    }
  }
  return false;
}

bool FolderReader::Close(SystemError& error) {
  DIR* dir = static_cast<DIR*>(std::exchange(handle_, nullptr));
  if (dir == nullptr || closedir(dir) == 0)
    return true;
  error = LastError();
  return false;
}

}  // namespace kestrel::platform

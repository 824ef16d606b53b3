// Each lock is a file in the lock folder. Processes exclude each other with an
// open file description lock on its first byte, which the kernel drops when
// the holder's process ends however it ends. Threads of one process exclude
// each other through the lock object's own mutex, and a thread that ends while
// holding gives the lock up from its thread-exit hook.
//
// Nothing of the file is mapped: whoever may open it can truncate, rewrite,
// delete or lock it, and none of that may do more than delay a waiter. The
// file's first byte says whether the lock is held, so that the next owner
// learns of a holder that ended without releasing; a missing byte reads as
// free. A release wakes waiters of this process at once; waiters in other
// processes look again every few milliseconds, and a process that finds
// another one waiting (a read lock on the second byte) queues up behind it
// instead of taking the lock back at once.
#include "platform/named_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "base/ascii.h"
#include "base/exception.h"
#include "base/format.h"
#include "platform/common.h"
#include "platform/system_error.h"

namespace kestrel::platform {
namespace {

using Clock = std::chrono::steady_clock;

// How often a waiter looks again while another process holds the lock (the
// kernel wakes nobody when a holder ends or releases).
constexpr std::chrono::milliseconds kOtherProcessPoll{5};

// The lock's two bytes: the one owned while held, and the one every waiter
// of another process marks with a shared lock.
constexpr off_t kOwnerByte = 0;
constexpr off_t kWaiterByte = 1;

// Lock files are shared by the users of the folder's group; nobody else may
// open them.
constexpr mode_t kLockFileMode = 0660;

[[noreturn]] void RaiseSystemError(int code, const std::string& path) {
  throw Exception(SystemErrorMessage(code, SystemErrorText(code) + " (" + path + ")"));
}

bool IsSafeNameByte(unsigned char c) {
  return IsAsciiAlnum(c) || c == '_' || c == '-';
}

// Percent-encodes every other byte, '%' and '.' included: the encoding is
// reversible (distinct names give distinct files), never holds "/" or "..",
// and cannot meet the ".lock" suffix.
std::string LockFileName(std::string_view name) {
  return PercentEncoded(name, IsSafeNameByte) + ".lock";
}

// Who may have made the files of the lock folder.
struct FolderCircle {
  gid_t group;
  // Nobody outside the folder's owner and group can add files to it.
  bool closed;
};

// A folder the program makes itself is shared by every user, like /tmp; an
// installed system keeps one for its own group instead. A folder that anybody
// may change without the sticky bit would let anybody swap the locks.
FolderCircle EnsureFolder(const std::string& folder) {
  if (mkdir(folder.c_str(), 01777) == 0)
    chmod(folder.c_str(), 01777);  // mkdir applied the umask
  else if (errno != EEXIST)
    RaiseSystemError(errno, folder);
  struct stat info {};
  if (lstat(folder.c_str(), &info) != 0)
    RaiseSystemError(errno, folder);
  if (!S_ISDIR(info.st_mode))
    RaiseSystemError(ENOTDIR, folder);
  const bool open_to_all = (info.st_mode & S_IWOTH) != 0;
  if (open_to_all && (info.st_mode & S_ISVTX) == 0)
    throw Exception(
        Format("The lock folder %s may be changed by every user: it needs the sticky bit",
               folder.c_str()));
  return FolderCircle{info.st_gid, !open_to_all};
}

// A lock file is used when it is a plain file with one name and was made by
// this user or root, or by a member of the folder's group in a folder closed
// to everybody else, and gives nobody else access. Anything else may have been
// planted to hold or spoil the lock.
bool IsTrusted(const struct stat& file, const FolderCircle& circle) {
  if (!S_ISREG(file.st_mode) || file.st_nlink != 1)
    return false;
  if (file.st_uid == geteuid() || file.st_uid == 0)
    return true;
  return circle.closed && file.st_gid == circle.group && (file.st_mode & S_IRWXO) == 0;
}

bool SetRegionLock(int fd, off_t byte, short type) {
  struct flock region {};
  region.l_type = type;
  region.l_whence = SEEK_SET;
  region.l_start = byte;
  region.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &region) == 0;
}

// True when another open of the file (this process's or another's) holds a
// lock on `byte`.
bool OthersLock(int fd, off_t byte) {
  struct flock region {};
  region.l_type = F_WRLCK;
  region.l_whence = SEEK_SET;
  region.l_start = byte;
  region.l_len = 1;
  return fcntl(fd, F_OFD_GETLK, &region) == 0 && region.l_type != F_UNLCK;
}

}  // namespace

class NamedLock::State : public std::enable_shared_from_this<State> {
 public:
  State(std::string path, FolderCircle circle) : path_(std::move(path)), circle_(circle) { Open(); }
  ~State() { Close(); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  LockWait Wait(std::chrono::milliseconds timeout);
  bool Release();
  static bool CurrentThreadHoldsAny() { return !Holdings().held.empty(); }

 private:
  // The locks the current thread owns; given up as abandoned when it ends.
  struct ThreadHoldings {
    std::vector<std::shared_ptr<State>> held;
    ~ThreadHoldings() {
      for (const auto& state : held)
        state->ReleaseForEndedThread();
    }
  };
  static ThreadHoldings& Holdings() {
    thread_local ThreadHoldings holdings;
    return holdings;
  }

  LockWait AcquireAsLeader(std::unique_lock<std::mutex>& lock, Clock::time_point deadline);
  LockWait AcquireFile(Clock::time_point deadline);
  bool TryLockFile();
  bool StillInPlace() const;
  bool TakeHeldMark();
  void MarkWaiting();
  void ClearWaiting() noexcept;
  void UnlockFile(bool abandoned) noexcept;
  void ReleaseForEndedThread() noexcept;
  void Open();
  void Close() noexcept;

  const std::string path_;
  const FolderCircle circle_;
  // Touched only by the thread that is acquiring the file lock or owns it.
  int fd_ = -1;
  bool waiting_ = false;  // this open holds the waiter mark

  std::mutex mutex_;
  std::condition_variable released_;
  std::thread::id owner_;
  unsigned depth_ = 0;
  bool acquiring_ = false;  // a thread of this process is after the file lock
};

void NamedLock::State::Open() {
  // Without following a planted link, and without blocking on a planted pipe.
  const int fd =
      open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLockFileMode);
  if (fd < 0)
    RaiseSystemError(errno, path_);
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    const int failure = errno;
    close(fd);
    RaiseSystemError(failure, path_);
  }
  if (!IsTrusted(info, circle_)) {
    close(fd);
    throw Exception(Format(
        "The lock file %s is refused: it belongs to user %u, group %u, mode %03o; only files of "
        "this user, of root or of the lock folder's group (in a folder closed to others) are used",
        path_.c_str(), static_cast<unsigned>(info.st_uid), static_cast<unsigned>(info.st_gid),
        static_cast<unsigned>(info.st_mode & 07777)));
  }
  // open applied the umask, and an older file may be open to everybody.
  if (info.st_uid == geteuid() && (info.st_mode & 07777) != kLockFileMode)
    fchmod(fd, kLockFileMode);
  fd_ = fd;
}

void NamedLock::State::Close() noexcept {
  if (fd_ >= 0)
    close(fd_);  // drops this open's locks, the waiter mark included
  fd_ = -1;
  waiting_ = false;
}

LockWait NamedLock::State::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
  std::unique_lock lock(mutex_);
  if (owner_ == std::this_thread::get_id()) {
    ++depth_;
    return LockWait::Acquired;
  }
  for (;;) {
    if (owner_ == std::thread::id() && !acquiring_)
      return AcquireAsLeader(lock, deadline);
    if (released_.wait_until(lock, deadline) == std::cv_status::timeout &&
        (owner_ != std::thread::id() || acquiring_))
      return LockWait::TimedOut;
  }
}

// One thread of the process at a time waits for the file lock, without the
// mutex; the others wait for it on the condition.
LockWait NamedLock::State::AcquireAsLeader(std::unique_lock<std::mutex>& lock,
                                           Clock::time_point deadline) {
  acquiring_ = true;
  lock.unlock();
  LockWait result = LockWait::TimedOut;
  std::exception_ptr failure;
  try {
    result = AcquireFile(deadline);
  } catch (...) {
    failure = std::current_exception();
  }
  ClearWaiting();
  lock.lock();
  acquiring_ = false;
  if (failure || result == LockWait::TimedOut) {
    released_.notify_all();  // another waiter may have time left
    if (failure)
      std::rethrow_exception(failure);
    return result;
  }
  owner_ = std::this_thread::get_id();
  depth_ = 1;
  Holdings().held.push_back(shared_from_this());
  return result;
}

LockWait NamedLock::State::AcquireFile(Clock::time_point deadline) {
  for (;;) {
    if (fd_ < 0)
      Open();
    // A newcomer lets a process that already waits go first: without that, a
    // process with a queue of its own would take the lock straight back
    // every time, between two looks of the other.
    if ((waiting_ || !OthersLock(fd_, kWaiterByte)) && TryLockFile()) {
      if (!StillInPlace()) {
        Close();  // someone deleted or replaced the file: newcomers use a new one
        continue;
      }
      return TakeHeldMark() ? LockWait::Abandoned : LockWait::Acquired;
    }
    MarkWaiting();
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
      return LockWait::TimedOut;
    std::this_thread::sleep_for(std::min<Clock::duration>(left, kOtherProcessPoll));
  }
}

bool NamedLock::State::TryLockFile() {
  if (SetRegionLock(fd_, kOwnerByte, F_WRLCK))
    return true;
  if (errno == EAGAIN || errno == EACCES || errno == EINTR)
    return false;
  RaiseSystemError(errno, path_);
}

bool NamedLock::State::StillInPlace() const {
  struct stat opened {};
  struct stat named {};
  if (fstat(fd_, &opened) != 0 || opened.st_nlink == 0)
    return false;
  if (lstat(path_.c_str(), &named) != 0)
    return errno != ENOENT;
  return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Marks the lock held and tells whether it was marked already: a holder that
// ended without releasing leaves its mark. A mark that cannot be written (a
// full disk) loses only that news, never the lock.
bool NamedLock::State::TakeHeldMark() {
  char mark = 0;
  const bool was_held = pread(fd_, &mark, 1, kOwnerByte) == 1 && mark != 0;
  const char held = 1;
  [[maybe_unused]] const ssize_t written = pwrite(fd_, &held, 1, kOwnerByte);
  return was_held;
}

void NamedLock::State::MarkWaiting() {
  if (!waiting_)
    waiting_ = SetRegionLock(fd_, kWaiterByte, F_RDLCK);
}

void NamedLock::State::ClearWaiting() noexcept {
  if (waiting_ && fd_ >= 0)
    SetRegionLock(fd_, kWaiterByte, F_UNLCK);
  waiting_ = false;
}

// An abandoned lock keeps its held mark, so that its next owner learns of it.
void NamedLock::State::UnlockFile(bool abandoned) noexcept {
  if (!abandoned) {
    const char free = 0;
    [[maybe_unused]] const ssize_t written = pwrite(fd_, &free, 1, kOwnerByte);
  }
  SetRegionLock(fd_, kOwnerByte, F_UNLCK);
}

bool NamedLock::State::Release() {
  std::unique_lock lock(mutex_);
  if (owner_ != std::this_thread::get_id())
    return false;
  if (--depth_ > 0)
    return true;
  owner_ = std::thread::id();
  UnlockFile(false);
  lock.unlock();
  released_.notify_all();
  auto& held = Holdings().held;
  const auto self = std::find_if(held.begin(), held.end(),
                                 [this](const auto& state) { return state.get() == this; });
  if (self != held.end())
    held.erase(self);  // may end this object: nothing may follow
  return true;
}

void NamedLock::State::ReleaseForEndedThread() noexcept {
  std::lock_guard lock(mutex_);
  if (owner_ != std::this_thread::get_id())
    return;
  owner_ = std::thread::id();
  depth_ = 0;
  UnlockFile(true);
  released_.notify_all();
}

bool CurrentThreadHoldsNamedLocks() {
  return NamedLock::State::CurrentThreadHoldsAny();
}

std::string DefaultLockFolder() {
  struct stat info {};
  if (stat("/run/lock", &info) == 0 && S_ISDIR(info.st_mode))
    return "/run/lock/kestrel";
  return "/tmp/kestrel-locks";
}

NamedLock::NamedLock(std::string_view name, const std::string& folder) {
  const FolderCircle circle = EnsureFolder(folder);
  state_ = std::make_shared<State>(folder + "/" + LockFileName(name), circle);
}

NamedLock::~NamedLock() = default;
NamedLock::NamedLock(NamedLock&&) noexcept = default;
NamedLock& NamedLock::operator=(NamedLock&&) noexcept = default;

LockWait NamedLock::Wait(std::chrono::milliseconds timeout) {
  if (!state_)
    throw Exception("The lock has been moved away");
  return state_->Wait(timeout);
}

bool NamedLock::Release() {
  return state_ && state_->Release();
}

}  // namespace kestrel::platform

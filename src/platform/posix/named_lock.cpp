// Each lock is a file in the lock folder. Processes exclude each other with an
// open file description lock on its first byte, which the kernel drops when
// the holder's process ends however it ends. Threads of one process exclude
// each other through the lock object's own mutex, and a thread that ends while
// holding gives the lock up from its thread-exit hook. A page of the file,
// mapped by every process, carries a release counter that waiters sleep on
// (a futex), so a release wakes them at once.
#include "platform/named_lock.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "base/format.h"
#include "platform/posix/held_locks.h"

namespace kestrel::platform {
namespace {

using Clock = std::chrono::steady_clock;

// The kernel drops a dead process's lock without waking anybody, so waiters
// also look again this often; releases by live holders wake them at once.
constexpr std::chrono::milliseconds kDeadHolderPoll{10};

// What every process sees through the mapped start of the lock file.
struct SharedPage {
  std::uint32_t held;      // 1 while owned; stays 1 when a holder ends without releasing
  std::uint32_t releases;  // bumped after every release; the futex waiters sleep on
};

[[noreturn]] void RaiseSystemError(int code, const std::string& path) {
  char buffer[256];
  const char* text = strerror_r(code, buffer, sizeof buffer);
  throw Exception(Format("System Error.  Code: %d.\r\n%s (%s)", code, text, path.c_str()));
}

bool IsSafeNameByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// Percent-encodes every other byte, '%' and '.' included: the encoding is
// reversible (distinct names give distinct files), never holds "/" or "..",
// and cannot meet the ".lock" suffix.
std::string LockFileName(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string file;
  for (const unsigned char c : name) {
    if (IsSafeNameByte(c)) {
      file += static_cast<char>(c);
    } else {
      file += '%';
      file += kHex[c >> 4];
      file += kHex[c & 0xF];
    }
  }
  return file + ".lock";
}

// The folder is shared by the processes of every user, like /tmp.
void EnsureFolder(const std::string& folder) {
  if (mkdir(folder.c_str(), 01777) == 0) {
    chmod(folder.c_str(), 01777);  // mkdir applied the umask
    return;
  }
  if (errno != EEXIST)
    RaiseSystemError(errno, folder);
  struct stat info {};
  if (lstat(folder.c_str(), &info) != 0)
    RaiseSystemError(errno, folder);
  if (!S_ISDIR(info.st_mode))
    RaiseSystemError(ENOTDIR, folder);
}

bool LockFirstByte(int fd, short type) {
  struct flock region {};
  region.l_type = type;
  region.l_whence = SEEK_SET;
  region.l_start = 0;
  region.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &region) == 0;
}

timespec ToTimespec(Clock::duration span) {
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(span).count();
  return timespec{static_cast<time_t>(nanoseconds / 1000000000),
                  static_cast<long>(nanoseconds % 1000000000)};
}

}  // namespace

class NamedLock::State : public std::enable_shared_from_this<State> {
 public:
  explicit State(std::string path) : path_(std::move(path)) { Open(); }
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
  void UnlockFile(bool abandoned) noexcept;
  void SleepUntilReleased(std::uint32_t seen, Clock::duration longest) const;
  void ReleaseForEndedThread() noexcept;
  void Open();
  void Close() noexcept;
  std::atomic_ref<std::uint32_t> Held() const { return std::atomic_ref(page_->held); }
  std::atomic_ref<std::uint32_t> Releases() const { return std::atomic_ref(page_->releases); }

  const std::string path_;
  // Touched only by the thread that is acquiring the file lock or owns it.
  int fd_ = -1;
  SharedPage* page_ = nullptr;

  std::mutex mutex_;
  std::condition_variable released_;
  std::thread::id owner_;
  unsigned depth_ = 0;
  bool acquiring_ = false;  // a thread of this process is after the file lock
};

void NamedLock::State::Open() {
  const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0)
    RaiseSystemError(errno, path_);
  struct stat info {};
  int failure = fstat(fd, &info) == 0 ? 0 : errno;
  if (failure == 0 && !S_ISREG(info.st_mode))
    failure = EINVAL;
  // Other users' processes must be able to open it too; open applied the umask.
  if (failure == 0 && info.st_uid == geteuid() && (info.st_mode & 0777) != 0666)
    fchmod(fd, 0666);
  if (failure == 0 && info.st_size < static_cast<off_t>(sizeof(SharedPage)) &&
      ftruncate(fd, sizeof(SharedPage)) != 0)
    failure = errno;
  void* page = MAP_FAILED;
  if (failure == 0) {
    page = mmap(nullptr, sizeof(SharedPage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    failure = page == MAP_FAILED ? errno : 0;
  }
  if (failure != 0) {
    close(fd);
    RaiseSystemError(failure, path_);
  }
  fd_ = fd;
  page_ = static_cast<SharedPage*>(page);
}

void NamedLock::State::Close() noexcept {
  if (page_ != nullptr)
    munmap(page_, sizeof(SharedPage));
  if (fd_ >= 0)
    close(fd_);
  page_ = nullptr;
  fd_ = -1;
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
    const std::uint32_t seen = Releases().load();
    if (TryLockFile()) {
      if (!StillInPlace()) {
        Close();  // someone deleted the file: newcomers use a new one
        continue;
      }
      return Held().exchange(1) != 0 ? LockWait::Abandoned : LockWait::Acquired;
    }
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
      return LockWait::TimedOut;
    SleepUntilReleased(seen, std::min<Clock::duration>(left, kDeadHolderPoll));
  }
}

bool NamedLock::State::TryLockFile() {
  if (LockFirstByte(fd_, F_WRLCK))
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
  if (stat(path_.c_str(), &named) != 0)
    return errno != ENOENT;
  return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// An abandoned lock keeps its held mark, so that its next owner learns of it.
void NamedLock::State::UnlockFile(bool abandoned) noexcept {
  if (!abandoned)
    Held().store(0);
  LockFirstByte(fd_, F_UNLCK);
  Releases().fetch_add(1);
  syscall(SYS_futex, &page_->releases, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void NamedLock::State::SleepUntilReleased(std::uint32_t seen, Clock::duration longest) const {
  const timespec span = ToTimespec(longest);
  // Returns at once when a release came after `seen` was read; any other
  // outcome (woken, timed out, interrupted) just sends the caller round again.
  syscall(SYS_futex, &page_->releases, FUTEX_WAIT, seen, &span, nullptr, 0);
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
  EnsureFolder(folder);
  state_ = std::make_shared<State>(folder + "/" + LockFileName(name));
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

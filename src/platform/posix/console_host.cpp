#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <mutex>
#include <ostream>
#include <vector>

#include "platform/clock.h"
#include "platform/window_host.h"

namespace kestrel::platform {
namespace {

constexpr std::uint64_t kTimerIntervalMs = 1000;

// Written by the signal handler, so lock-free atomics only.
std::atomic<bool> close_signalled{false};
std::atomic<int> wake_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

int MillisecondsUntil(std::uint64_t deadline) {
  const std::uint64_t now = MonotonicMilliseconds();
  return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

void WakeUp(int fd) {
  const char byte = 0;
  // A full pipe already holds a wake-up, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
}

extern "C" void OnCloseSignal(int) {
  const int saved_errno = errno;
  close_signalled = true;
  if (const int fd = wake_fd.load(); fd >= 0)
    WakeUp(fd);
  errno = saved_errno;
}

// The pipe through which other threads and the signal handler wake the loop.
class WakePipe {
 public:
  WakePipe() {
    if (pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0)
      fds_[0] = fds_[1] = -1;
  }
  ~WakePipe() {
    for (int fd : fds_) {
      if (fd >= 0)
        close(fd);
    }
  }
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  int ReadEnd() const { return fds_[0]; }
  int WriteEnd() const { return fds_[1]; }

  // Waits until woken or `timeout_ms` has passed, and empties the pipe.
  void Wait(int timeout_ms) const {
    pollfd waiter{fds_[0], POLLIN, 0};
    if (poll(&waiter, 1, timeout_ms) <= 0)
      return;
    char bytes[64];
    while (read(fds_[0], bytes, sizeof bytes) > 0) {
    }
  }

 private:
  int fds_[2];
};

// Routes SIGINT and SIGTERM to the wake pipe while it lives, then puts the
// previous handlers back.
class CloseSignalRoute {
 public:
  explicit CloseSignalRoute(int fd) {
    close_signalled = false;
    wake_fd = fd;
    struct sigaction action {};
    action.sa_handler = OnCloseSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previous_int_);
    sigaction(SIGTERM, &action, &previous_term_);
  }
  ~CloseSignalRoute() {
    sigaction(SIGINT, &previous_int_, nullptr);
    sigaction(SIGTERM, &previous_term_, nullptr);
    wake_fd = -1;
  }
  CloseSignalRoute(const CloseSignalRoute&) = delete;
  CloseSignalRoute& operator=(const CloseSignalRoute&) = delete;

 private:
  struct sigaction previous_int_ {};
  struct sigaction previous_term_ {};
};

class ConsoleHost final : public WindowHost {
 public:
  explicit ConsoleHost(std::ostream& out) : out_(out), signals_(pipe_.WriteEnd()) {}

  void InsertLine(const std::string& line) override {
    Post([this, line] { out_ << line << '\n' << std::flush; });
  }
  // What was printed stays printed; the line itself already said it all.
  void RemoveOldestLine() override {}
  void ShowBalloon(const std::string&) override {}
  void Minimize() override {}
  void Restore() override {}
  void Hide() override {}
  void Show() override {}
  void Close() override {
    Post([this] { closed_ = true; });
  }

  void Run(WindowEvents& events) override;
  void ProcessQueued() override;

 private:
  void Post(std::function<void()> operation);

  std::ostream& out_;
  WakePipe pipe_;
  CloseSignalRoute signals_;
  std::mutex queue_lock_;
  std::vector<std::function<void()>> queue_;
  bool closed_ = false;  // UI thread only
};

void ConsoleHost::Post(std::function<void()> operation) {
  {
    std::lock_guard lock(queue_lock_);
    queue_.push_back(std::move(operation));
  }
  WakeUp(pipe_.WriteEnd());
}

void ConsoleHost::ProcessQueued() {
  std::vector<std::function<void()>> batch;
  {
    std::lock_guard lock(queue_lock_);
    batch.swap(queue_);
  }
  for (auto& operation : batch)
    operation();
}

void ConsoleHost::Run(WindowEvents& events) {
  std::uint64_t next_tick = MonotonicMilliseconds() + kTimerIntervalMs;
  while (!closed_) {
    pipe_.Wait(MillisecondsUntil(next_tick));
    if (close_signalled.exchange(false))
      closed_ = true;
    ProcessQueued();
    if (!closed_ && MillisecondsUntil(next_tick) == 0) {
      events.Timer1Timer();
      next_tick = MonotonicMilliseconds() + kTimerIntervalMs;
    }
  }
}

}  // namespace

std::unique_ptr<WindowHost> CreateConsoleHost(std::ostream& out) {
  return std::make_unique<ConsoleHost>(out);
}

}  // namespace kestrel::platform

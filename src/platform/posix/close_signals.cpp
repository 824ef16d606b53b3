#include "platform/close_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace kestrel::platform {
namespace {

// Written by the signal handler, so lock-free atomics only.
std::atomic<bool> signalled{false};
std::atomic<int> wake_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

void WakeUp(int fd) {
  const char byte = 0;
  // A full pipe already holds a wake-up, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
}

extern "C" void OnCloseSignal(int) {
  const int saved_errno = errno;
  signalled = true;
  if (const int fd = wake_fd.load(); fd >= 0)
    WakeUp(fd);
  errno = saved_errno;
}

}  // namespace

// Without a pipe (no descriptors left) waits still end on their time-out.
struct CloseSignals::Pipe {
  Pipe() {
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
      fds[0] = fds[1] = -1;
  }
  ~Pipe() {
    for (int fd : fds) {
      if (fd >= 0)
        close(fd);
    }
  }

  int fds[2];
  struct sigaction previous_int {};
  struct sigaction previous_term {};
};

CloseSignals::CloseSignals() : pipe_(std::make_unique<Pipe>()) {
  signalled = false;
  wake_fd = pipe_->fds[1];
  struct sigaction action {};
  action.sa_handler = OnCloseSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &pipe_->previous_int);
  sigaction(SIGTERM, &action, &pipe_->previous_term);
}

CloseSignals::~CloseSignals() {
  sigaction(SIGINT, &pipe_->previous_int, nullptr);
  sigaction(SIGTERM, &pipe_->previous_term, nullptr);
  wake_fd = -1;
}

std::intptr_t CloseSignals::WaitHandle() const {
  return pipe_->fds[0];
}

void CloseSignals::Wake() {
  WakeUp(pipe_->fds[1]);
}

void CloseSignals::Wait(int timeout_ms) {
  pollfd waiter{pipe_->fds[0], POLLIN, 0};
  if (poll(&waiter, 1, timeout_ms) <= 0)
    return;
  char bytes[64];
  while (read(pipe_->fds[0], bytes, sizeof bytes) > 0) {
  }
}

bool CloseSignals::TakeSignal() {
  return signalled.exchange(false);
}

}  // namespace kestrel::platform

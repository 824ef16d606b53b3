#include "app/port_queue.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "base/exception.h"
#include "base/text.h"
#include "platform/clock.h"

namespace kestrel {
namespace {

// How soon a wait for a port notices that the queue has closed.
constexpr std::chrono::milliseconds kCloseCheck{100};
// What the table keeps of a command and its error: both come from outside.
constexpr std::size_t kKeptCmdCharacters = 64;
constexpr std::size_t kKeptErrorCharacters = 256;

}  // namespace

TPortQueue::TPortQueue(std::mutex& CS, std::chrono::milliseconds wait_time, std::string lock_folder)
    : CS(CS),
      wait_time_(wait_time),
      lock_folder_(std::move(lock_folder)),
      activity_(std::make_unique<std::array<TSlotActivity, kPortSlots>>()) {}

TPortQueue::~TPortQueue() = default;

int TPortQueue::FindOrTakeSlot(const std::string& Port) {
  for (int i = 0; i < kPortSlots; ++i) {
    if (Mutex[i] != nullptr && MutexPort[i] == Port)
      return i;
    if (Mutex[i] == nullptr) {
      // Created first, so that a failure leaves the slot free.
      Mutex[i] =
          std::make_unique<platform::NamedLock>(std::string(kPortMutexPrefix) + Port, lock_folder_);
      MutexPort[i] = Port;
      return i;
    }
  }
  return -1;
}

bool TPortQueue::WaitForPort(const std::string& Port) {
  int slot = -1;
  return WaitForPort(Port, slot);
}

bool TPortQueue::WaitForPort(const std::string& Port, int& slot) {
  platform::NamedLock* lock = nullptr;
  TSlotActivity* activity = nullptr;
  {
    std::lock_guard guard(CS);
    slot = FindOrTakeSlot(Port);
    if (slot < 0)
      return false;
    lock = Mutex[slot].get();
    activity = &(*activity_)[slot];
  }
  ++activity->waiting;
  const std::uint64_t start = platform::MonotonicMilliseconds();
  bool acquired = false;
  try {
    acquired = Acquire(*lock);
  } catch (...) {
    --activity->waiting;
    throw;
  }
  const std::uint64_t now = platform::MonotonicMilliseconds();
  activity->wait.Observe(now - start);
  // Held before no longer waiting: the page never sees the port idle between.
  if (acquired)
    activity->held_since = now + 1;
  --activity->waiting;
  return acquired;
}

// Slots live as long as the queue, so the lock outlives the wait. The
// wait is cut into steps so that closing the queue ends it soon.
bool TPortQueue::Acquire(platform::NamedLock& lock) {
  const auto deadline = std::chrono::steady_clock::now() + wait_time_;
  for (;;) {
    if (closed_)
      return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero())
      return false;
    if (lock.Wait(std::min(left, kCloseCheck)) != platform::LockWait::TimedOut) {
      if (!closed_)
        return true;
      lock.Release();
      return false;
    }
  }
}

void TPortQueue::Close() {
  closed_ = true;
}

bool TPortQueue::ReleasePort(const std::string& Port) {
  bool released = false;
  Release(Port, std::nullopt, released);
  return released;
}

std::uint64_t TPortQueue::ReleasePort(const std::string& Port, TPortRun run) {
  bool released = false;
  return Release(Port, std::move(run), released).value_or(0);
}

// The holder's start is cleared before the lock goes: the next holder,
// here or elsewhere, may set its own at once.
std::optional<std::uint64_t> TPortQueue::Release(const std::string& Port,
                                                 std::optional<TPortRun> run, bool& released) {
  std::lock_guard guard(CS);
  for (int i = 0; i < kPortSlots && Mutex[i] != nullptr; ++i) {
    if (MutexPort[i] != Port)
      continue;
    TSlotActivity& activity = (*activity_)[i];
    const std::uint64_t since = activity.held_since.exchange(0);
    std::optional<std::uint64_t> held;
    if (since != 0) {
      held = platform::MonotonicMilliseconds() - (since - 1);
      ++activity.served;
      if (run) {
        run->held_ms = *held;
        activity.last = std::move(*run);
      }
    }
    released = Mutex[i]->Release();
    return held;
  }
  return std::nullopt;
}

std::vector<TPortStatus> TPortQueue::Status() const {
  const std::uint64_t now = platform::MonotonicMilliseconds();
  std::lock_guard guard(CS);
  std::vector<TPortStatus> ports;
  for (int i = 0; i < kPortSlots && Mutex[i] != nullptr; ++i) {
    const TSlotActivity& activity = (*activity_)[i];
    TPortStatus& port = ports.emplace_back();
    port.port = MutexPort[i];
    port.slot = i;
    port.waiting = activity.waiting.load();
    if (const std::uint64_t since = activity.held_since.load(); since != 0)
      port.held_ms = now >= since - 1 ? now - (since - 1) : 0;
    port.served = activity.served;
    port.last = activity.last;
    port.wait = activity.wait.Read();
  }
  return ports;
}

int TPortQueue::UsedSlots() const {
  std::lock_guard guard(CS);
  int used = 0;
  while (used < kPortSlots && Mutex[used] != nullptr)
    ++used;
  return used;
}

TPortHold::TPortHold(TPortQueue& queue, std::string Port, int* slot)
    : queue_(queue), port_(std::move(Port)) {
  int taken = -1;
  const bool acquired = queue_.WaitForPort(port_, taken);
  if (slot != nullptr && taken >= 0)
    *slot = taken;
  if (!acquired)
    throw Exception("Не дождались освобождения очереди по порту " + port_);
  started_unix_ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
}

TPortHold::~TPortHold() {
  if (!released_)
    queue_.ReleasePort(port_);
}

std::uint64_t TPortHold::Finish(const std::string& cmd, const std::string& error) {
  released_ = true;
  return queue_.ReleasePort(
      port_, TPortRun{CutText(cmd, kKeptCmdCharacters), CutText(error, kKeptErrorCharacters),
                      started_unix_ms_, 0});
}

}  // namespace kestrel

#include "app/port_queue.h"

#include <algorithm>
#include <utility>

#include "base/exception.h"

namespace kestrel {
namespace {

// How soon a wait for a port notices that the queue has closed.
constexpr std::chrono::milliseconds kCloseCheck{100};

}  // namespace

TPortQueue::TPortQueue(std::mutex& CS, std::chrono::milliseconds wait_time, std::string lock_folder)
    : CS(CS), wait_time_(wait_time), lock_folder_(std::move(lock_folder)) {}

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
  platform::NamedLock* lock = nullptr;
  {
    std::lock_guard guard(CS);
    const int slot = FindOrTakeSlot(Port);
    if (slot < 0)
      return false;
    lock = Mutex[slot].get();
  }
  // Slots live as long as the queue, so the lock outlives the wait. The
  // wait is cut into steps so that closing the queue ends it soon.
  const auto deadline = std::chrono::steady_clock::now() + wait_time_;
  for (;;) {
    if (closed_)
      return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero())
      return false;
    if (lock->Wait(std::min(left, kCloseCheck)) != platform::LockWait::TimedOut) {
      if (!closed_)
        return true;
      lock->Release();
      return false;
    }
  }
}

void TPortQueue::Close() {
  closed_ = true;
}

bool TPortQueue::ReleasePort(const std::string& Port) {
  std::lock_guard guard(CS);
  for (int i = 0; i < kPortSlots && Mutex[i] != nullptr; ++i) {
    if (MutexPort[i] == Port)
      return Mutex[i]->Release();
  }
  return false;
}

int TPortQueue::UsedSlots() const {
  std::lock_guard guard(CS);
  int used = 0;
  while (used < kPortSlots && Mutex[used] != nullptr)
    ++used;
  return used;
}

TPortHold::TPortHold(TPortQueue& queue, std::string Port) : queue_(queue), port_(std::move(Port)) {
  if (!queue_.WaitForPort(port_))
    throw Exception("Не дождались освобождения очереди по порту " + port_);
}

TPortHold::~TPortHold() {
  queue_.ReleasePort(port_);
}

}  // namespace kestrel

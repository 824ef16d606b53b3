#include "server/lingering_closes.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/clock.h"

namespace kestrel {
namespace {

// Connections handed over while the thread waits on the others join the
// wait after at most this long; they have nothing more to send meanwhile.
constexpr int kAdmitMilliseconds = 10;
// The least time between two waits on the held connections: closes are not
// urgent once the answer is out, and gathering them keeps this thread from
// taking a CPU from the connection threads at every single close.
constexpr auto kGatherTime = std::chrono::milliseconds(2);

}  // namespace

TLingeringCloses::TLingeringCloses(int drain_ms, std::size_t drain_bytes, std::size_t capacity)
    : drain_ms_(drain_ms),
      drain_bytes_(drain_bytes),
      capacity_(capacity),
      thread_([this] { Run(); }) {}

TLingeringCloses::~TLingeringCloses() {
  {
    const std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

// A destructor calls it (the connection thread's last step), so nothing
// may escape: a connection not taken is simply closed by its caller.
bool TLingeringCloses::Take(platform::Socket& connection) {
  try {
    // Outside the lock: the end of sending may wake the peer right here.
    connection.ShutdownSending();
    const std::lock_guard lock(mutex_);
    if (closing_ || held_count_.load() >= capacity_)
      return false;
    incoming_.push_back(std::move(connection));
    ++held_count_;
  } catch (...) {
    return false;
  }
  wake_.notify_one();
  return true;
}

void TLingeringCloses::Admit(std::vector<platform::Socket>& held, std::vector<Draining>& progress) {
  const std::uint64_t deadline = platform::MonotonicMilliseconds() + drain_ms_;
  for (platform::Socket& connection : incoming_) {
    held.push_back(std::move(connection));
    progress.push_back({deadline, 0});
  }
  incoming_.clear();
}

void TLingeringCloses::Drain(platform::Socket& connection, Draining& progress) const {
  progress.discarded += connection.DiscardWaiting();
  if (connection.LastError() != 0 || progress.discarded >= drain_bytes_)
    connection.Close();
}

// Held connections come in order of their deadlines.
int TLingeringCloses::WaitLimit(const std::vector<Draining>& progress) const {
  const std::uint64_t now = platform::MonotonicMilliseconds();
  const std::uint64_t first = progress.front().deadline;
  return first <= now ? 0
                      : static_cast<int>(std::min<std::uint64_t>(first - now, kAdmitMilliseconds));
}

void TLingeringCloses::Run() {
  std::vector<platform::Socket> held;
  std::vector<Draining> progress;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (held.empty())
        wake_.wait(lock, [this] { return closing_ || !incoming_.empty(); });
      if (held.empty() && incoming_.empty())
        return;  // closing, with nothing left to wait for
      Admit(held, progress);
    }
    for (const std::size_t index : platform::ReadableSockets(held, WaitLimit(progress)))
      Drain(held[index], progress[index]);
    const std::uint64_t now = platform::MonotonicMilliseconds();
    std::size_t kept = 0;
    for (std::size_t index = 0; index < held.size(); ++index) {
      if (!held[index].IsOpen() || progress[index].deadline <= now)
        continue;
      if (kept != index) {
        held[kept] = std::move(held[index]);
        progress[kept] = progress[index];
      }
      ++kept;
    }
    held_count_ -= held.size() - kept;
    held.resize(kept);
    progress.resize(kept);
    if (!held.empty())
      std::this_thread::sleep_for(kGatherTime);
  }
}

}  // namespace kestrel

#include <functional>
#include <mutex>
#include <ostream>
#include <vector>

#include "platform/clock.h"
#include "platform/close_signals.h"
#include "platform/window_host.h"

namespace kestrel::platform {
namespace {

constexpr std::uint64_t kTimerIntervalMs = 1000;

int MillisecondsUntil(std::uint64_t deadline) {
  const std::uint64_t now = MonotonicMilliseconds();
  return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

class ConsoleHost final : public WindowHost {
 public:
  explicit ConsoleHost(std::ostream& out) : out_(out) {}

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
  CloseSignals signals_;  // also wakes the loop for queued operations
  std::mutex queue_lock_;
  std::vector<std::function<void()>> queue_;
  bool closed_ = false;  // UI thread only
};

void ConsoleHost::Post(std::function<void()> operation) {
  {
    std::lock_guard lock(queue_lock_);
    queue_.push_back(std::move(operation));
  }
  signals_.Wake();
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
    signals_.Wait(MillisecondsUntil(next_tick));
    if (signals_.TakeSignal())
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

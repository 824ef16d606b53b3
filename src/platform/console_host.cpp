#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/close_signals.h"
#include "platform/window_host.h"

namespace kestrel::platform {
namespace {

constexpr int kTimerIntervalMs = 1000;
// A console that cannot keep up (a pipe nobody reads) keeps only this many
// of the newest lines waiting, as the log itself keeps only its newest ones.
constexpr std::size_t kMaxPendingLines = 1000;

class ConsoleHost final : public WindowHost {
 public:
  explicit ConsoleHost(std::ostream& out) : out_(out) {}

  // The first line that waits brings an operation that writes every line
  // waiting by the time it runs.
  void InsertLine(const std::string& line) override {
    bool first = false;
    {
      std::lock_guard lock(queue_lock_);
      first = pending_lines_.empty() && dropped_lines_ == 0;
      pending_lines_.push_back(line);
      if (pending_lines_.size() > kMaxPendingLines) {
        pending_lines_.pop_front();
        ++dropped_lines_;
      }
    }
    if (first)
      Post([this] { WritePendingLines(); });
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
  void WritePendingLines();

  std::ostream& out_;
  CloseSignals signals_;  // also wakes the loop for queued operations
  std::mutex queue_lock_;
  std::vector<std::function<void()>> queue_;
  std::deque<std::string> pending_lines_;
  std::uint64_t dropped_lines_ = 0;
  bool closed_ = false;  // UI thread only
};

void ConsoleHost::Post(std::function<void()> operation) {
  {
    std::lock_guard lock(queue_lock_);
    queue_.push_back(std::move(operation));
  }
  signals_.Wake();
}

void ConsoleHost::WritePendingLines() {
  std::deque<std::string> lines;
  std::uint64_t dropped = 0;
  {
    std::lock_guard lock(queue_lock_);
    lines.swap(pending_lines_);
    dropped = std::exchange(dropped_lines_, 0);
  }
  if (dropped > 0)
    out_ << "(" << dropped << " older lines not shown: the output could not keep up)\n";
  for (const std::string& line : lines)
    out_ << line << '\n';
  out_ << std::flush;
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
  std::uint64_t tick_start = MonotonicMilliseconds();
  while (!closed_) {
    signals_.Wait(MillisecondsLeft(tick_start, kTimerIntervalMs));
    if (signals_.TakeSignal())
      closed_ = true;
    ProcessQueued();
    if (!closed_ && MillisecondsLeft(tick_start, kTimerIntervalMs) == 0) {
      events.Timer1Timer();
      tick_start = MonotonicMilliseconds();
    }
  }
}

}  // namespace

std::unique_ptr<WindowHost> CreateConsoleHost(std::ostream& out) {
  return std::make_unique<ConsoleHost>(out);
}

}  // namespace kestrel::platform

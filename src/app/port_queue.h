// The printer port queue: one machine-wide named lock per port name, so that
// a printer's driver never runs twice at once, whether the two commands come
// from connections of this process or from another process of the machine.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/duration_histogram.h"
#include "platform/named_lock.h"

namespace kestrel {

// A port's lock is this name followed by the port name as received; other
// processes that use the same names share the queue.
inline constexpr std::string_view kPortMutexPrefix =
    "tavrix2012_printer_netdriver_query_mutex_for_";
inline constexpr int kPortSlots = 256;
inline constexpr std::chrono::milliseconds kPortWaitTime{300000};

// The last command that held a port, as the port table keeps it.
struct TPortRun {
  std::string cmd;
  std::string error;                 // empty: it ended well
  std::int64_t started_unix_ms = 0;  // when it got the port
  std::uint64_t held_ms = 0;         // how long it held the port
};

// A port of the table as the status page shows it.
struct TPortStatus {
  std::string port;
  int slot = 0;
  int waiting = 0;                       // commands of this process waiting for it now
  std::optional<std::uint64_t> held_ms;  // how long the command holding it has had it
  std::uint64_t served = 0;              // commands that held it and gave it back
  std::optional<TPortRun> last;
  TDurationHistogram::TCounts wait;  // how long commands waited for it
};

class TPortQueue {
 public:
  // `CS` is the main window's critical section (it also serialises the log);
  // the queue holds it only to look up and create a port's lock, never while
  // waiting. `wait_time` bounds each wait for a port.
  explicit TPortQueue(std::mutex& CS, std::chrono::milliseconds wait_time = kPortWaitTime,
                      std::string lock_folder = platform::DefaultLockFolder());
  ~TPortQueue();
  TPortQueue(const TPortQueue&) = delete;
  TPortQueue& operator=(const TPortQueue&) = delete;

  // true: the calling thread now holds `Port` (also when its previous holder
  // ended without giving it back). false: the port stayed busy for the whole
  // wait time, or 256 other ports fill the table (then at once). Names are
  // compared exactly. Raises Exception when the port's lock can be neither
  // created nor opened, or the wait fails otherwise.
  bool WaitForPort(const std::string& Port);
  // The same, telling the port's slot (-1 when the table is full).
  bool WaitForPort(const std::string& Port, int& slot);
  // Gives `Port` back; on the thread that received true, once for each true.
  // false when the calling thread does not hold `Port`.
  bool ReleasePort(const std::string& Port);
  // The same, keeping `run` (its held_ms filled in) as the port's last
  // command; returns how long the port was held.
  std::uint64_t ReleasePort(const std::string& Port, TPortRun run);

  // Every port of the table, in slot order; taken under CS.
  std::vector<TPortStatus> Status() const;

  // How long one wait for a port may take.
  std::chrono::milliseconds WaitTime() const { return wait_time_; }

  // How many slots the ports known so far take (slots are never given back).
  int UsedSlots() const;

  // The program is closing: every wait for a port, now and later, ends at
  // once with false. A port already held stays held until given back.
  void Close();

 private:
  // The slot of `Port`, taking the first free one for a new port; -1 when
  // the table is full. Called under CS.
  int FindOrTakeSlot(const std::string& Port);
  // Waits for a port's lock until it is acquired (true), the wait time has
  // passed or the queue has closed.
  bool Acquire(platform::NamedLock& lock);
  // Gives a port back under CS; how long it was held, nullopt when this
  // process did not hold it.
  std::optional<std::uint64_t> Release(const std::string& Port, std::optional<TPortRun> run,
                                       bool& released);

  // What a slot has seen. The waits and the holder's start are atomics,
  // so a command never takes CS for them; the rest changes under CS.
  struct TSlotActivity {
    std::atomic<int> waiting{0};
    std::atomic<std::uint64_t> held_since{0};  // monotonic ms + 1; 0 while not held here
    TDurationHistogram wait;
    std::uint64_t served = 0;
    std::optional<TPortRun> last;
  };

  std::mutex& CS;
  const std::chrono::milliseconds wait_time_;
  std::atomic<bool> closed_{false};
  const std::string lock_folder_;
  // A slot is free while its lock is null; the empty port name is a name
  // like any other and keeps the slot it took.
  std::array<std::unique_ptr<platform::NamedLock>, kPortSlots> Mutex;
  std::array<std::string, kPortSlots> MutexPort;
  const std::unique_ptr<std::array<TSlotActivity, kPortSlots>> activity_;
};

// Holds a port from construction to destruction: the caller's guarantee that
// the port is given back on every path.
class TPortHold {
 public:
  // Raises Exception "Не дождались освобождения очереди по порту " + Port
  // when the queue does not give the port, and passes on its failures.
  // `slot`, when given, is told the port's slot even then.
  TPortHold(TPortQueue& queue, std::string Port, int* slot = nullptr);
  ~TPortHold();
  TPortHold(const TPortHold&) = delete;
  TPortHold& operator=(const TPortHold&) = delete;

  // Gives the port back now, with the outcome of the command `cmd` that
  // held it (`error` empty when it ended well); how long it was held.
  std::uint64_t Finish(const std::string& cmd, const std::string& error);

 private:
  TPortQueue& queue_;
  const std::string port_;
  std::int64_t started_unix_ms_ = 0;
  bool released_ = false;
};

}  // namespace kestrel

// The printer port queue: one machine-wide named lock per port name, so that
// a printer's driver never runs twice at once, whether the two commands come
// from connections of this process or from another process of the machine.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/named_lock.h"

namespace kestrel {

// A port's lock is this name followed by the port name as received; other
// processes that use the same names share the queue.
inline constexpr std::string_view kPortMutexPrefix =
    "tavrix2012_printer_netdriver_query_mutex_for_";
inline constexpr int kPortSlots = 256;
inline constexpr std::chrono::milliseconds kPortWaitTime{300000};

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
  // Gives `Port` back; on the thread that received true, once for each true.
  // false when the calling thread does not hold `Port`.
  bool ReleasePort(const std::string& Port);

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

  std::mutex& CS;
  const std::chrono::milliseconds wait_time_;
  std::atomic<bool> closed_{false};
  const std::string lock_folder_;
  // A slot is free while its lock is null; the empty port name is a name
  // like any other and keeps the slot it took.
  std::array<std::unique_ptr<platform::NamedLock>, kPortSlots> Mutex;
  std::array<std::string, kPortSlots> MutexPort;
};

// Holds a port from construction to destruction: the caller's guarantee that
// the port is given back on every path.
class TPortHold {
 public:
  // Raises Exception "Не дождались освобождения очереди по порту " + Port
  // when the queue does not give the port, and passes on its failures.
  TPortHold(TPortQueue& queue, std::string Port);
  ~TPortHold();
  TPortHold(const TPortHold&) = delete;
  TPortHold& operator=(const TPortHold&) = delete;

 private:
  TPortQueue& queue_;
  const std::string port_;
};

}  // namespace kestrel

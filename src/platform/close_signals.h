// SIGINT and SIGTERM (Ctrl+C, a service being stopped) as a request to close
// the main window, delivered to the UI thread's loop through a handle it
// waits on; other threads may wake the same loop through it.
#pragma once

#include <cstdint>
#include <memory>

namespace kestrel::platform {

class CloseSignals {
 public:
  // Takes both signals over until destroyed, then puts the previous handlers
  // back. One at a time per process.
  CloseSignals();
  ~CloseSignals();
  CloseSignals(const CloseSignals&) = delete;
  CloseSignals& operator=(const CloseSignals&) = delete;

  // Becomes readable when a signal arrives or `Wake` is called.
  std::intptr_t WaitHandle() const;
  // Callable from any thread.
  void Wake();
  // Waits until woken or signalled, or for `timeout_ms`; clears the wake-ups.
  void Wait(int timeout_ms);
  // True once for the signals received since the last call.
  bool TakeSignal();

 private:
  struct Pipe;
  std::unique_ptr<Pipe> pipe_;
};

}  // namespace kestrel::platform

// Connections whose answer has gone out wait here, all in one thread, for
// their peer to close: closing with unread input would reset the connection,
// and the reset can destroy answer bytes the peer has not read yet. The
// connection thread is free for the next connection as soon as its answer
// is out, and one wake of this thread serves many closes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace kestrel {

class TLingeringCloses {
 public:
  // A connection is closed once its peer has closed, once `drain_ms` have
  // passed or once `drain_bytes` of what the peer still sends have been
  // discarded. At most `capacity` are held at once.
  TLingeringCloses(int drain_ms, std::size_t drain_bytes, std::size_t capacity);
  // Waits out the connections still held, each for the rest of its time.
  ~TLingeringCloses();
  TLingeringCloses(const TLingeringCloses&) = delete;
  TLingeringCloses& operator=(const TLingeringCloses&) = delete;

  // Ends the sending side of `connection` and takes it over. False, with
  // the connection left open to the caller, when the closer is full.
  bool Take(platform::Socket& connection);
  // How many connections wait for their close now, taken ones included.
  std::size_t Held() const { return held_count_.load(); }

 private:
  struct Draining {
    std::uint64_t deadline;
    std::size_t discarded;
  };

  void Run();
  void Admit(std::vector<platform::Socket>& held, std::vector<Draining>& progress);
  void Drain(platform::Socket& connection, Draining& progress) const;
  int WaitLimit(const std::vector<Draining>& progress) const;

  const int drain_ms_;
  const std::size_t drain_bytes_;
  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<platform::Socket> incoming_;
  bool closing_ = false;
  std::atomic<std::size_t> held_count_{0};
  std::thread thread_;
};

}  // namespace kestrel

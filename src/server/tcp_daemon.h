// The listening thread of the server: binds, listens, and gives every
// accepted connection to a new connection thread of the class it was made
// with; at its end it stops every connection thread and waits for them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "platform/thread.h"
#include "server/body_budget.h"
#include "server/daemon.h"
#include "server/lingering_closes.h"

namespace kestrel {

class TTCPDaemon;
class TTCPThread;

// The most connection threads alive at once, unless the system allows fewer.
inline constexpr std::int32_t kMostConnectionThreads = 16384;
// Threads left to the rest of the program and its drivers below the
// system's thread limit.
inline constexpr std::uint64_t kThreadsKeptFree = 64;
// Bytes of request bodies that the connections of a daemon hold at once.
inline constexpr std::uint64_t kBodyBudgetBytes = 512ull * 1024 * 1024;
// How long, and for how many bytes, the close after an answer waits for the
// peer to finish with the connection; a peer that keeps sending is cut off.
inline constexpr int kCloseDrainMilliseconds = 2000;
inline constexpr std::size_t kCloseDrainBytes = 65536;

// The class of the connection threads, as a value: the two operations that
// the daemon needs of it, both those of the most derived class.
struct TTCPThreadClass {
  // Creates and starts a connection thread that owns `connection`; throws
  // when the system refuses the thread.
  std::function<void(TTCPDaemon& owner, platform::Socket connection)> Create;
  // The log of the connection class; callable from any thread.
  std::function<void(const std::string& message)> LOG;
};

class TTCPDaemon : public TDaemon {
 public:
  // Creates the daemon, which fills `self_addr`, and starts it. `ip` is
  // dotted IPv4 text or a host name ("0.0.0.0": every interface). Throws,
  // with the slot left empty, when the system refuses the thread. To stop
  // it: self_addr->Terminate(), then wait until self_addr->Empty().
  static void Create(const std::string& ip, std::uint16_t port, TTCPThreadClass thread_class,
                     DaemonSlot* self_addr);

  bool Active() const { return FActive.load(); }
  const std::string& Port() const { return FPort; }
  std::int32_t MaxThreadCount() const { return FMaxThreadCount.load(); }
  void SetMaxThreadCount(std::int32_t count) { FMaxThreadCount.store(count); }
  std::int32_t ThreadCount() const;
  const TTCPThreadClass& TCPThreadClass() const { return FTCPThreadClass; }

  // Called by connection threads: registered threads are the ones that the
  // daemon stops and waits for at its end.
  void AddThread(TTCPThread* thread);
  void RemoveThread(TTCPThread* thread);

  // The room for request bodies that its connections share.
  TBodyBudget& BodyBudget() { return FBodyBudget; }
  // Where its connection threads come from.
  platform::ThreadPool& ConnectionThreads() { return connection_threads_; }
  // Where its connections wait for their peer's close once answered.
  TLingeringCloses& LingeringCloses() { return lingering_closes_; }

 protected:
  TTCPDaemon(const std::string& ip, std::uint16_t port, TTCPThreadClass thread_class,
             DaemonSlot* self_addr);
  void Execute() override;

 private:
  void CheckStep(const char* step) const;
  void Serve();
  void StartListening();
  void AcceptPass();
  void CreateThread(platform::Socket connection);
  void TerminateThreads();

  platform::Socket FSock;
  const std::string FPort;
  std::atomic<bool> FActive{false};
  std::vector<TTCPThread*> FThreads;
  mutable std::mutex FCS;
  const TTCPThreadClass FTCPThreadClass;
  const std::string FIP;
  std::atomic<std::int32_t> FMaxThreadCount;
  TBodyBudget FBodyBudget{kBodyBudgetBytes};
  platform::ThreadPool connection_threads_;
  // Its connections are waited out before the daemon's slot becomes empty.
  TLingeringCloses lingering_closes_;
  // Connections closed since the last thread the system gave; the daemon
  // thread's alone.
  std::uint64_t refused_in_a_row_ = 0;
};

}  // namespace kestrel

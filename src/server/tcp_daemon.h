// The listening thread of the server: binds and listens; threads of its
// pool accept the connections, and each serves the one it accepted as a
// connection thread of the class the daemon was made with, so no connection
// waits for a hand-over between threads. The daemon's own thread sees that
// some thread accepts whenever connections wait; at its end it stops every
// connection thread and waits for them.
#pragma once

#include <atomic>
#include <condition_variable>
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

// Threads serving a connection, from its accept until it has been served,
// over every daemon of the process; the daemons compare it with their cap.
std::int64_t LiveConnectionThreads();

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
  // Creates a connection thread that owns `connection` and runs it on the
  // calling thread, the one that accepted the connection; throws when the
  // connection thread cannot be made.
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
  void WatchAcceptors();
  void AwaitAcceptorCheck();
  int AcceptorsWanted();
  void StartAcceptors(int count);
  bool StartAcceptor();
  void AcceptAndServe();
  bool ReserveAcceptWait();
  int EndAcceptWait();
  void ServeConnection(platform::Socket connection);
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
  // Threads running AcceptAndServe, and those of them waiting to accept.
  std::atomic<int> acceptors_{0};
  std::atomic<int> waiting_acceptors_{0};
  // Connections served to their end so far; the count the daemon's thread
  // saw at its last check and when it last saw it change (its alone): while
  // connections go on ending, their threads come back to accept and a
  // steady load needs no new thread.
  std::atomic<std::uint64_t> served_{0};
  std::uint64_t served_at_last_check_ = 0;
  std::uint64_t served_changed_ms_ = 0;
  // Accepting threads that the next check finding every thread held starts;
  // the daemon thread's alone.
  int acceptors_per_check_ = 1;
  // The daemon's thread sleeps here while a thread waits to accept; the one
  // that stops being the last to wait wakes it.
  std::mutex watch_mutex_;
  std::condition_variable watch_wake_;
  std::atomic<bool> watch_parked_{false};
  // Connections closed without a connection thread since the last one made.
  std::atomic<std::uint64_t> refused_in_a_row_{0};
  // Whether the last accepting thread asked for was refused; the daemon
  // thread's alone.
  bool acceptor_refused_ = false;
};

}  // namespace kestrel

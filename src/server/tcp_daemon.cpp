#include "server/tcp_daemon.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "base/exception.h"
#include "base/format.h"
#include "platform/clock.h"
#include "platform/named_lock.h"
#include "platform/thread.h"
#include "server/tcp_thread.h"

namespace kestrel {
namespace {

constexpr int kAcceptWaitMilliseconds = 100;
constexpr auto kBackOff = std::chrono::milliseconds(20);
constexpr auto kShutdownPoll = std::chrono::milliseconds(10);
// While every accepting thread is serving, the daemon looks this often for
// connections that nobody waits to accept; otherwise only this often.
constexpr auto kAcceptorCheck = std::chrono::milliseconds(1);
constexpr auto kAcceptorIdleCheck = std::chrono::milliseconds(100);
// Threads count as held by their connections once none has ended one for
// this long. Under a steady load of short connections the threads serving
// them are only waiting for a CPU, often for a few milliseconds; a thread
// started then would add to the threads that wait, and to the slowest
// answers, without serving any sooner.
constexpr std::uint64_t kHeldAfterMilliseconds = 5;
// Threads waiting to accept beyond this many end once they have served: a
// burst leaves no crowd behind, each of them woken by every connection.
constexpr int kMostWaitingAcceptors = 2;
// The most accepting threads one check starts.
constexpr int kMostAcceptorsPerCheck = 64;
// The option holds whole seconds, so the 10 ms asked for become 0 s.
constexpr int kLingerMilliseconds = 10;
constexpr int kLargestBacklog = 2147483647;
// Beyond this many connections waiting for their close, a connection
// thread waits for its own: peers that never close then hold threads, which
// the thread cap bounds, rather than an ever longer list.
constexpr std::size_t kMostLingeringCloses = 4096;

// Wide enough never to wrap in the life of a process.
std::atomic<std::uint64_t> threads_created{0};
std::atomic<std::uint64_t> threads_finished{0};

// Counts the calling thread in LiveConnectionThreads while it exists.
struct LiveConnectionThread {
  LiveConnectionThread() { ++threads_created; }
  ~LiveConnectionThread() { ++threads_finished; }
  LiveConnectionThread(const LiveConnectionThread&) = delete;
  LiveConnectionThread& operator=(const LiveConnectionThread&) = delete;
};

// The cap on connection threads: a thread the system refuses costs a
// connection, so the cap stays below the system's limit.
std::int32_t ConnectionThreadCap() {
  const std::uint64_t limit = platform::ThreadLimit();
  const std::uint64_t usable = limit > 2 * kThreadsKeptFree ? limit - kThreadsKeptFree : limit / 2;
  return static_cast<std::int32_t>(
      std::clamp<std::uint64_t>(usable, 1, static_cast<std::uint64_t>(kMostConnectionThreads)));
}

}  // namespace

std::int64_t LiveConnectionThreads() {
  // Finished is read first: a thread counted there is counted as created.
  const std::uint64_t finished = threads_finished.load();
  return static_cast<std::int64_t>(threads_created.load() - finished);
}

void TTCPDaemon::Create(const std::string& ip, std::uint16_t port, TTCPThreadClass thread_class,
                        DaemonSlot* self_addr) {
  StartThread<TTCPDaemon>(ip, port, thread_class, self_addr);
}

TTCPDaemon::TTCPDaemon(const std::string& ip, std::uint16_t port, TTCPThreadClass thread_class,
                       DaemonSlot* self_addr)
    : TDaemon(self_addr),
      FPort(std::to_string(port)),
      FTCPThreadClass(thread_class),
      FIP(ip),
      FMaxThreadCount(ConnectionThreadCap()),
      lingering_closes_(kCloseDrainMilliseconds, kCloseDrainBytes, kMostLingeringCloses) {
  platform::RaiseOpenFileLimit();
}

std::int32_t TTCPDaemon::ThreadCount() const {
  const std::lock_guard lock(FCS);
  return static_cast<std::int32_t>(FThreads.size());
}

void TTCPDaemon::AddThread(TTCPThread* thread) {
  const std::lock_guard lock(FCS);
  FThreads.push_back(thread);
}

void TTCPDaemon::RemoveThread(TTCPThread* thread) {
  const std::lock_guard lock(FCS);
  const auto found = std::find(FThreads.begin(), FThreads.end(), thread);
  if (found != FThreads.end())
    FThreads.erase(found);
}

// Connection threads are stopped and awaited however serving ends, before
// a failure is logged.
void TTCPDaemon::Execute() {
  try {
    try {
      Serve();
    } catch (...) {
      SetListening(false);
      TerminateThreads();
      throw;
    }
    TerminateThreads();
  } catch (const std::exception& error) {
    FTCPThreadClass.LOG(error.what());
  }
}

void TTCPDaemon::Serve() {
  StartListening();
  FTCPThreadClass.LOG("Started at " + FIP + ":" + FPort);
  SetListening(true);
  WatchAcceptors();
  SetListening(false);
  FActive = false;
}

void TTCPDaemon::CheckStep(const char* step) const {
  if (FSock.LastError() != 0)
    throw Exception(Format("%s %d %s", step, FSock.LastError(), FSock.LastErrorText().c_str()));
}

void TTCPDaemon::StartListening() {
  // The socket itself is made by the bind, in the family of the address.
  FSock = platform::Socket();
  CheckStep("CreateSocket");
  FSock.SetLinger(true, kLingerMilliseconds / 1000);
  CheckStep("SetLinger");
  FSock.Bind(FIP, FPort);
  CheckStep("Bind");
  FSock.Listen(kLargestBacklog);
  CheckStep("Listen");
  FActive = true;
}

// Starts an accepting thread whenever there is none, or connections wait
// while none of them waits to accept and no connection was served to its
// end for a while: every thread is held by its connection. Such
// checks in a row start twice as many threads each time, so a burst of
// connections that hold their threads, idle ones say, gets its threads
// about as fast as it arrives.
void TTCPDaemon::WatchAcceptors() {
  while (!Terminated()) {
    StartAcceptors(AcceptorsWanted());
    AwaitAcceptorCheck();
  }
}

int TTCPDaemon::AcceptorsWanted() {
  const std::uint64_t now = platform::MonotonicMilliseconds();
  const std::uint64_t served = served_.load();
  if (served != served_at_last_check_) {
    served_at_last_check_ = served;
    served_changed_ms_ = now;
  }
  const bool all_held = now - served_changed_ms_ >= kHeldAfterMilliseconds;
  const int room = FMaxThreadCount - LiveConnectionThreads();
  if (room > 0 && all_held && waiting_acceptors_.load() == 0 && FSock.WaitReadable(0)) {
    const int wanted = std::min(acceptors_per_check_, room);
    acceptors_per_check_ = std::min(2 * acceptors_per_check_, kMostAcceptorsPerCheck);
    return wanted;
  }
  acceptors_per_check_ = 1;
  return room > 0 && acceptors_.load() == 0 ? 1 : 0;
}

// Parked while a thread waits to accept: the one that stops being the last
// to wait sees the flag and wakes it.
void TTCPDaemon::AwaitAcceptorCheck() {
  std::unique_lock lock(watch_mutex_);
  if (waiting_acceptors_.load() == 0) {
    lock.unlock();
    std::this_thread::sleep_for(kAcceptorCheck);
    return;
  }
  watch_parked_ = true;
  watch_wake_.wait_for(lock, kAcceptorIdleCheck, [this] { return waiting_acceptors_.load() == 0; });
  watch_parked_ = false;
}

void TTCPDaemon::StartAcceptors(int count) {
  for (int started = 0; started < count; ++started) {
    if (!StartAcceptor())
      return;
  }
}

// A refused thread leaves the connections waiting for the next check; the
// first refusal of a run is logged.
bool TTCPDaemon::StartAcceptor() {
  ++acceptors_;
  try {
    connection_threads_.StartDetached([this] { AcceptAndServe(); }, TTCPThread::kStackBytes);
    acceptor_refused_ = false;
    return true;
  } catch (const std::exception& refused) {
    --acceptors_;
    if (!std::exchange(acceptor_refused_, true))
      FTCPThreadClass.LOG(refused.what());
    return false;
  }
}

// Runs on a thread of the pool: accepts, serves what it accepted, and
// accepts again. It ends when the daemon does, at the thread cap, while
// holding a named lock, and when it is one waiting thread too many.
void TTCPDaemon::AcceptAndServe() {
  struct LeavingOnExit {
    std::atomic<int>& acceptors;
    ~LeavingOnExit() { --acceptors; }
  } leaving{acceptors_};
  while (!Terminated() && ReserveAcceptWait()) {
    platform::Socket connection = FSock.AcceptWithin(kAcceptWaitMilliseconds);
    if (connection.IsOpen()) {
      {
        // Counted as serving before it stops counting as waiting: in between,
        // another thread would find room for a connection beyond the cap.
        const LiveConnectionThread serving;
        EndAcceptWait();
        ServeConnection(std::move(connection));
      }
      ++served_;
      if (waiting_acceptors_.load() >= kMostWaitingAcceptors ||
          platform::CurrentThreadHoldsNamedLocks())
        return;
      continue;
    }
    const int others_waiting = EndAcceptWait();
    if (connection.LastError() != platform::kSocketWouldBlock) {
      // Out of descriptors, say: the pending connection stays for later.
      std::this_thread::sleep_for(kBackOff);
    } else if (others_waiting > 0) {
      return;
    }
  }
}

// A thread waiting to accept counts against the cap as the connection
// thread it is about to become; false, with nothing counted, at the cap.
bool TTCPDaemon::ReserveAcceptWait() {
  const int waiting = ++waiting_acceptors_;
  if (LiveConnectionThreads() + waiting <= FMaxThreadCount)
    return true;
  EndAcceptWait();
  return false;
}

// The count of the others still waiting to accept.
int TTCPDaemon::EndAcceptWait() {
  const int others = --waiting_acceptors_;
  if (others == 0 && watch_parked_.load()) {
    const std::lock_guard lock(watch_mutex_);
    watch_wake_.notify_one();
  }
  return others;
}

// A connection whose connection thread cannot be made is closed, and the
// daemon goes on. The first refusal of a run is logged, and how many there
// were once the run is over.
void TTCPDaemon::ServeConnection(platform::Socket connection) {
  try {
    FTCPThreadClass.Create(*this, std::move(connection));
  } catch (const std::exception& refused) {
    if (refused_in_a_row_++ == 0)
      FTCPThreadClass.LOG(refused.what());
    return;
  }
  if (refused_in_a_row_.load() == 0)
    return;
  const std::uint64_t refused = refused_in_a_row_.exchange(0);
  if (refused > 1)
    FTCPThreadClass.LOG(Format("Connections closed without a thread: %llu",
                               static_cast<unsigned long long>(refused)));
}

// A thread that accepted just before the end registers its connection
// thread late, so the stop is repeated until every thread has left.
void TTCPDaemon::TerminateThreads() {
  Terminate();
  for (;;) {
    {
      const std::lock_guard lock(FCS);
      if (FThreads.empty() && acceptors_.load() == 0)
        return;
      for (TTCPThread* thread : FThreads) {
        thread->Terminate();
        thread->AbortReceiving();
      }
    }
    std::this_thread::sleep_for(kShutdownPoll);
  }
}

}  // namespace kestrel

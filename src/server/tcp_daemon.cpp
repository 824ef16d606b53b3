#include "server/tcp_daemon.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/exception.h"
#include "base/format.h"
#include "platform/thread.h"
#include "server/tcp_thread.h"

namespace kestrel {
namespace {

constexpr int kAcceptWaitMilliseconds = 100;
constexpr auto kBackOff = std::chrono::milliseconds(20);
constexpr auto kShutdownPoll = std::chrono::milliseconds(10);
// The option holds whole seconds, so the 10 ms asked for become 0 s.
constexpr int kLingerMilliseconds = 10;
constexpr int kLargestBacklog = 2147483647;
// Beyond this many connections waiting for their close, a connection
// thread waits for its own: peers that never close then hold threads, which
// the thread cap bounds, rather than an ever longer list.
constexpr std::size_t kMostLingeringCloses = 4096;

// The cap on connection threads: a thread the system refuses costs a
// connection, so the cap stays below the system's limit.
std::int32_t ConnectionThreadCap() {
  const std::uint64_t limit = platform::ThreadLimit();
  const std::uint64_t usable = limit > 2 * kThreadsKeptFree ? limit - kThreadsKeptFree : limit / 2;
  return static_cast<std::int32_t>(
      std::clamp<std::uint64_t>(usable, 1, static_cast<std::uint64_t>(kMostConnectionThreads)));
}

}  // namespace

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
  do {
    AcceptPass();
  } while (!Terminated());
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

// One pass of the accept loop: every pending connection, then a wait for
// the next. At the thread cap, and after a failed accept, the pass backs
// off instead of spinning on the pending connection.
void TTCPDaemon::AcceptPass() {
  while (!Terminated()) {
    if (LiveConnectionThreads() >= FMaxThreadCount) {
      std::this_thread::sleep_for(kBackOff);
      return;
    }
    platform::Socket connection = FSock.Accept();
    if (!connection.IsOpen()) {
      if (FSock.LastError() == platform::kSocketWouldBlock)
        FSock.WaitReadable(kAcceptWaitMilliseconds);
      else
        std::this_thread::sleep_for(kBackOff);
      return;
    }
    CreateThread(std::move(connection));
  }
}

// A connection that gets no thread is closed, and the daemon goes on: the
// system may give threads again as soon as others end. The first refusal
// of a run is logged, and how many there were once the run is over.
void TTCPDaemon::CreateThread(platform::Socket connection) {
  try {
    FTCPThreadClass.Create(*this, std::move(connection));
  } catch (const std::exception& refused) {
    if (refused_in_a_row_++ == 0)
      FTCPThreadClass.LOG(refused.what());
    return;
  }
  if (refused_in_a_row_ > 1)
    FTCPThreadClass.LOG(Format("Connections closed without a thread: %llu",
                               static_cast<unsigned long long>(refused_in_a_row_)));
  refused_in_a_row_ = 0;
}

void TTCPDaemon::TerminateThreads() {
  {
    const std::lock_guard lock(FCS);
    for (TTCPThread* thread : FThreads) {
      thread->Terminate();
      thread->AbortReceiving();
    }
  }
  for (;;) {
    {
      const std::lock_guard lock(FCS);
      if (FThreads.empty())
        return;
    }
    std::this_thread::sleep_for(kShutdownPoll);
  }
}

}  // namespace kestrel

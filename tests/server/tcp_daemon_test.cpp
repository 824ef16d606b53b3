#include "server/tcp_daemon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "platform/clock.h"
#include "platform/named_lock.h"
#include "platform/socket.h"
#include "platform/system_error.h"
#include "support/command_thread.h"
#include "support/running_daemon.h"
#include "support/temp_dir.h"

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;

LogCapture& Log() {
  return CommandThread::Log();
}

// The log line of a bind that the system refused with `code`.
std::string BindError(int code) {
  return "Bind " + std::to_string(code) + " " + platform::SystemErrorText(code);
}

std::uint64_t Now() {
  return platform::MonotonicMilliseconds();
}

class TCPDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    Log().Clear();
    CommandThread::Serving() = 0;
  }
};

TEST_F(TCPDaemon, LogsItsStartAndServes) {
  RunningDaemon daemon(ThreadClassOf<CommandThread>(), Log());
  ASSERT_TRUE(daemon.Listening());
  EXPECT_EQ(Log().Lines().front(), "Started at 127.0.0.1:" + std::to_string(daemon.Port()));
  EXPECT_EQ(Exchange(daemon.Port(), "size 5\r\n"), "abcde");
}

TEST_F(TCPDaemon, IdleDaemonEndsSoonAfterTerminate) {
  RunningDaemon daemon(ThreadClassOf<CommandThread>(), Log());
  ASSERT_TRUE(daemon.Listening());
  EXPECT_FALSE(daemon.Slot().Empty());
  const std::uint64_t start = Now();
  ASSERT_TRUE(daemon.Stop());
  EXPECT_LT(Now() - start, 1000u);
  platform::Socket late = ConnectLoopback(daemon.Port());
  EXPECT_EQ(late.LastError(), platform::kSocketRefused) << "the listening socket is closed";
}

TEST_F(TCPDaemon, TerminateBeforeTheFirstPassStillStartsAndEnds) {
  DaemonSlot slot;
  const std::uint16_t port = FreePort();
  TTCPDaemon::Create("127.0.0.1", port, ThreadClassOf<CommandThread>(), &slot);
  slot.Terminate();
  ASSERT_TRUE(WaitUntil([&] { return slot.Empty(); }, 5000));
  EXPECT_TRUE(Log().Contains("Started at 127.0.0.1:" + std::to_string(port)));
}

// Keeps what Active said when the daemon was destroyed.
std::atomic<int> active_at_end{-1};

class ProbeDaemon : public TTCPDaemon {
 protected:
  using TTCPDaemon::TTCPDaemon;
  ~ProbeDaemon() override { active_at_end = Active() ? 1 : 0; }
};

TEST_F(TCPDaemon, TakenPortIsLoggedOnceAndTheDaemonEnds) {
  platform::Socket holder;
  holder.Bind("127.0.0.1", "0");
  holder.Listen(1);
  DaemonSlot slot;
  active_at_end = -1;
  StartThread<ProbeDaemon>("127.0.0.1", holder.LocalPort(), ThreadClassOf<CommandThread>(), &slot);
  ASSERT_TRUE(WaitUntil([&] { return slot.Empty(); }, 5000));
  EXPECT_EQ(Log().Lines(), std::vector<std::string>{BindError(platform::kSocketAddressInUse)});
  EXPECT_EQ(active_at_end, 0);
}

TEST_F(TCPDaemon, AddressOfAnotherMachineIsLogged) {
  DaemonSlot slot;
  TTCPDaemon::Create("192.0.2.1", 8080, ThreadClassOf<CommandThread>(), &slot);
  ASSERT_TRUE(WaitUntil([&] { return slot.Empty(); }, 5000));
  EXPECT_EQ(Log().Lines(),
            std::vector<std::string>{BindError(platform::kSocketAddressNotAvailable)});
}

TEST_F(TCPDaemon, PortIsTakenModulo65536) {
  RunningDaemon daemon(
      [](std::uint16_t port, DaemonSlot* slot) {
        const std::uint32_t wide = 65536u + port;
        TTCPDaemon::Create("127.0.0.1", static_cast<std::uint16_t>(wide),
                           ThreadClassOf<CommandThread>(), slot);
      },
      Log());
  EXPECT_TRUE(daemon.Listening());
}

TEST_F(TCPDaemon, EndsOnlyAfterTheRequestBeingServed) {
  RunningDaemon daemon(ThreadClassOf<CommandThread>(), Log());
  ASSERT_TRUE(daemon.Listening());
  auto answer =
      std::async(std::launch::async, [&] { return Exchange(daemon.Port(), "hold 600\r\n"); });
  ASSERT_TRUE(WaitUntil([] { return CommandThread::Serving() == 1; }, 5000));
  daemon.Slot().Terminate();
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(daemon.Slot().Empty());
  EXPECT_EQ(answer.get(), "done");
  EXPECT_TRUE(daemon.Stop());
}

TEST_F(TCPDaemon, CountsRegisteredThreads) {
  RunningDaemon daemon(ThreadClassOf<CommandThread>(), Log());
  ASSERT_TRUE(daemon.Listening());
  auto held =
      std::async(std::launch::async, [&] { return Exchange(daemon.Port(), "hold 300\r\n"); });
  ASSERT_TRUE(WaitUntil([] { return CommandThread::Serving() == 1; }, 5000));
  EXPECT_EQ(Exchange(daemon.Port(), "count\r\n"), "2");
  EXPECT_EQ(held.get(), "done");
}

class CappedDaemon : public TTCPDaemon {
 protected:
  CappedDaemon(const std::string& ip, std::uint16_t port, TTCPThreadClass thread_class,
               DaemonSlot* slot)
      : TTCPDaemon(ip, port, thread_class, slot) {
    SetMaxThreadCount(2);
  }
};

// Every connection has a thread of its own: connections that arrive
// together are served together, though each thread that accepts also
// serves what it accepted.
TEST_F(TCPDaemon, ConnectionsThatArriveTogetherAreServedTogether) {
  constexpr int kConnections = 16;
  RunningDaemon daemon(ThreadClassOf<CommandThread>(), Log());
  ASSERT_TRUE(daemon.Listening());
  std::vector<std::future<std::string>> answers;
  for (int i = 0; i < kConnections; ++i) {
    answers.push_back(
        std::async(std::launch::async, [&] { return Exchange(daemon.Port(), "hold 2500\r\n"); }));
  }
  EXPECT_TRUE(WaitUntil([] { return CommandThread::Serving() == kConnections; }, 2000))
      << CommandThread::Serving() << " served at once";
  for (auto& answer : answers)
    EXPECT_EQ(answer.get(), "done");
}

// A connection that ends holding a named lock hands it on as the end of a
// thread does: the thread under it takes no further connection, which would
// otherwise find the lock still its own.
TEST_F(TCPDaemon, LockKeptByAConnectionPassesOnAsAbandoned) {
  TempDir locks;
  RunningDaemon daemon(ThreadClassOf<CommandThread>(), Log());
  ASSERT_TRUE(daemon.Listening());
  const std::string folder = locks.Path().string();
  // Keeps the lock in being between the connections, as the port queue's
  // own object does.
  const platform::NamedLock kept("kept", folder);
  for (int round = 0; round < 5; ++round) {
    ASSERT_EQ(Exchange(daemon.Port(), "keep-lock " + folder + "\r\n"), "acquired");
    ASSERT_EQ(Exchange(daemon.Port(), "wait-lock " + folder + "\r\n"), "abandoned")
        << "round " << round;
  }
}

// At the cap a further connection waits in the backlog; it is neither
// refused nor closed, and is served once a thread has finished.
TEST_F(TCPDaemon, ConnectionBeyondTheCapWaitsForAFreeThread) {
  RunningDaemon daemon(
      [](std::uint16_t port, DaemonSlot* slot) {
        StartThread<CappedDaemon>("127.0.0.1", port, ThreadClassOf<CommandThread>(), slot);
      },
      Log());
  ASSERT_TRUE(daemon.Listening());
  auto first =
      std::async(std::launch::async, [&] { return Exchange(daemon.Port(), "hold 800\r\n"); });
  auto second =
      std::async(std::launch::async, [&] { return Exchange(daemon.Port(), "hold 800\r\n"); });
  ASSERT_TRUE(WaitUntil([] { return CommandThread::Serving() == 2; }, 5000));
  platform::Socket third = ConnectLoopback(daemon.Port());
  ASSERT_TRUE(third.IsOpen()) << third.LastErrorText();
  const std::uint64_t sent = Now();
  third.Send("size 3\r\n", 1000);
  EXPECT_EQ(third.Receive(100, 300), "");
  EXPECT_EQ(third.LastError(), platform::kSocketTimedOut);
  EXPECT_EQ(ReceiveUntilClosed(third, 5000), "abc");
  EXPECT_GT(Now() - sent, 400u);
  EXPECT_EQ(first.get(), "done");
  EXPECT_EQ(second.get(), "done");
}

// The system refuses the first three threads, as it does at its thread
// limit: those connections are closed, the daemon goes on accepting.
TTCPThreadClass RefusingFirstThreeThreads() {
  TTCPThreadClass thread_class = ThreadClassOf<CommandThread>();
  thread_class.Create = [](TTCPDaemon& owner, platform::Socket connection) {
    static std::atomic<int> refused{0};
    if (refused++ < 3)
      throw Exception("Thread creation error: Resource temporarily unavailable");
    StartThread<CommandThread>(owner, std::move(connection));
  };
  return thread_class;
}

TEST_F(TCPDaemon, RefusedThreadClosesItsConnectionAndTheDaemonGoesOn) {
  RunningDaemon daemon(RefusingFirstThreeThreads(), Log());
  ASSERT_TRUE(daemon.Listening());
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Exchange(daemon.Port(), "size 3\r\n"), "");
  EXPECT_EQ(Exchange(daemon.Port(), "size 3\r\n"), "abc");
  EXPECT_TRUE(Log().WaitFor("Connections closed without a thread: 3", 5000));
  const std::vector<std::string> lines = Log().Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "Thread creation error: Resource temporarily unavailable"),
            1);
}

// Connections keep arriving while the daemon ends: every thread that got
// a connection registers before the daemon can finish, so none outlives it.
TEST_F(TCPDaemon, EndsCleanlyWhileConnectionsArrive) {
  for (int round = 0; round < 5; ++round) {
    RunningDaemon daemon(ThreadClassOf<CommandThread>(), Log());
    ASSERT_TRUE(daemon.Listening());
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) {
      clients.emplace_back([&] {
        while (!stop)
          Exchange(daemon.Port(), "size 100\r\n", 3000);
      });
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(daemon.Stop());
    stop = true;
    for (std::thread& client : clients)
      client.join();
  }
}

}  // namespace
}  // namespace kestrel::testing

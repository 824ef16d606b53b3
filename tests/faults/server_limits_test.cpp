// The real server against clients that never finish, flood it or leave,
// and against being stopped in the middle of all that: it keeps its limits,
// stays up, and stops promptly without losing the answer of a running print.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "faults/print_commands.h"
#include "platform/process.h"
#include "support/kestrel_process.h"
#include "support/tcp_client.h"

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;

std::string WithLength(const std::string& length) {
  return "POST / HTTP/1.1\r\nContent-Type: application/octet-stream\r\nContent-Length: " + length +
         "\r\n\r\n";
}

// Sends a byte of a header every 50 ms until stopped or cut off.
class Dribbler {
 public:
  explicit Dribbler(std::uint16_t port) : socket_(ConnectLoopback(port)) {
    thread_ = std::thread([this] {
      const std::string header = WithLength("6") + "DrvVer";
      for (std::size_t i = 0; !stop_ && socket_.LastError() == 0; i = (i + 1) % 20) {
        socket_.Send(header.substr(i, 1), 1000);
        std::this_thread::sleep_for(50ms);
      }
    });
  }
  ~Dribbler() {
    stop_ = true;
    thread_.join();
  }

 private:
  platform::Socket socket_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class ServerLimits : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(server_.Output().find("Sanitizer"), std::string::npos) << server_.Output();
  }

  KestrelProcess server_;
};

TEST_F(ServerLimits, BodyLengthAboveTheCeilingClosesWithoutAnswer) {
  ASSERT_TRUE(server_.Start()) << server_.Output();
  EXPECT_EQ(HttpBody(Exchange(server_.Port(), WithLength("268435457"))), "<no answer>");
  EXPECT_EQ(HttpBody(Exchange(server_.Port(), WithLength("268435456"))), "");
  EXPECT_EQ(server_.Post("DrvVer"), kVersionAnswer);
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

// A peer that floods the connection after its answer is cut off once the
// server has discarded a little of it (far less than what the socket
// buffers hold), instead of being read for as long as it sends.
TEST_F(ServerLimits, PeerStillSendingAfterTheAnswerIsCutOff) {
  ASSERT_TRUE(server_.Start()) << server_.Output();
  platform::Socket client = ConnectLoopback(server_.Port());
  client.Send(HttpPost("DrvVer"), 1000);
  const std::string block(65536, 'x');
  constexpr std::size_t kFarBeyondBuffers = 64u << 20;
  std::size_t sent = 0;
  while (sent < kFarBeyondBuffers) {
    client.Send(block, 5000);
    if (client.LastError() != 0)
      break;
    sent += block.size();
  }
  EXPECT_NE(client.LastError(), 0);
  EXPECT_LT(sent, kFarBeyondBuffers);
  EXPECT_EQ(server_.Post("DrvVer"), kVersionAnswer);
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

// The connection cap stays below the user's thread limit: a connection
// beyond it waits in the backlog until a thread is free.
TEST_F(ServerLimits, ConnectionCapFollowsTheThreadLimit) {
  // dash names the limit -p, other shells -u.
  ASSERT_TRUE(server_.StartUnderShell("ulimit -u 100 2>/dev/null || ulimit -p 100"))
      << server_.Output();
  std::vector<platform::Socket> idle;
  for (int i = 0; i < 50; ++i)
    idle.push_back(ConnectLoopback(server_.Port()));
  platform::Socket waiting = ConnectLoopback(server_.Port());
  waiting.Send(HttpPost("DrvVer"), 1000);
  EXPECT_EQ(waiting.Receive(100, 1000), "");
  EXPECT_EQ(waiting.LastError(), platform::kSocketTimedOut);
  idle.pop_back();
  EXPECT_EQ(HttpBody(ReceiveUntilClosed(waiting, 10000)), kVersionAnswer);
  idle.clear();
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

// Console output on a pipe whose reader has gone must not end the server.
TEST_F(ServerLimits, ConsoleOnAClosedPipeKeepsServing) {
  const std::uint16_t port = FreePort();
  platform::ChildProcess piped = platform::SpawnProcess(
      "/bin/sh",
      {"-c", "unset DISPLAY WAYLAND_DISPLAY; '" + server_.PathOf("kestrel") +
                 "' port:" + std::to_string(port) + " ip:127.0.0.1 2>&1 | true"},
      true);
  const auto version = [&] { return HttpBody(Exchange(port, HttpPost("DrvVer"), 2000)); };
  EXPECT_TRUE(WaitUntil([&] { return version() == kVersionAnswer; }, 20000));
  // A body of the port listing that is no document is logged.
  Exchange(port, HttpPost(std::string("\x05\0\0\0\x02"
                                      "EnumCOMs",
                                      13)));
  EXPECT_EQ(version(), kVersionAnswer);
  piped.Kill(137);
  piped.WaitForExit(10000);
}

// Stopping: requests still arriving are dropped at once, a command waiting
// for its port gets the queue's error without running its driver, and the
// command being printed is finished and answered.
TEST_F(ServerLimits, StopDropsArrivingRequestsAndQueuedCommandsButFinishesThePrint) {
  server_.CopyTool("corvid-instant", "instant.exe");
  server_.Driver(
      "if-equal $2 9000 write $dir/printing\nif-equal $2 9000 sleep 2000\n"
      "run $dir/instant.exe $1 $2");
  ASSERT_TRUE(server_.Start()) << server_.Output();
  const std::string port = UniquePortName("closing");
  auto printing = std::async(std::launch::async,
                             [&] { return server_.Post(PrintCommand(port, "test"), 20000); });
  ASSERT_TRUE(
      WaitUntil([&] { return std::filesystem::exists(server_.PathOf("printing")); }, 10000));
  auto queued = std::async(std::launch::async,
                           [&] { return server_.Post(PrintCommand(port, "sale"), 20000); });
  platform::Socket silent = ConnectLoopback(server_.Port());
  Dribbler dribbler(server_.Port());
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(server_.Stop(10000), 0) << server_.Output();
  EXPECT_EQ(ReceiptResult(printing.get())->FError, "");
  EXPECT_EQ(ReceiptResult(queued.get())->FError,
            "Не дождались освобождения очереди по порту " + port);
  EXPECT_EQ(ReceiveUntilClosed(silent, 1000), "");
}

// An update ends the program; a request that never finishes arriving does
// not hold that up.
TEST_F(ServerLimits, UpdateEndsTheProgramWhileARequestIsStillArriving) {
  ASSERT_TRUE(server_.Start()) << server_.Output();
  Dribbler dribbler(server_.Port());
  TUpdateInfo update;
  update.FEXEver = "2099.01.01 00:00";
  EXPECT_EQ(server_.Post(ObjToBSON(update)), "");
  EXPECT_TRUE(WaitUntil([&] { return !server_.Running(); }, 10000)) << server_.Output();
}

}  // namespace
}  // namespace kestrel::testing

#include "server/lingering_closes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/command_thread.h"
#include "support/running_daemon.h"
#include "support/tcp_client.h"

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;

constexpr int kBound = 10000;

// A client and the server's end of its connection.
struct Connection {
  platform::Socket client;
  platform::Socket server;
};

Connection Connect(platform::Socket& listener) {
  Connection connection{ConnectLoopback(listener.LocalPort()), {}};
  connection.server = listener.AcceptWithin(kBound);
  EXPECT_TRUE(connection.server.IsOpen()) << connection.server.LastErrorText();
  return connection;
}

class LingeringCloses : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_.Bind("127.0.0.1", "0");
    listener_.Listen(16);
    ASSERT_EQ(listener_.LastError(), 0) << listener_.LastErrorText();
  }
  platform::Socket listener_;
};

// What a client sends after its request is still unread when the answer
// is out; a close over it would reset the connection and cut the answer.
TEST_F(LingeringCloses, AnswerArrivesWholeWhenThePeerSendsOnAfterItsRequest) {
  RunningDaemon daemon{ThreadClassOf<CommandThread>(), CommandThread::Log()};
  platform::Socket client = ConnectLoopback(daemon.Port());
  client.Send("size 1048576\r\n", kBound);
  std::string answer = client.Receive(1, kBound);
  client.Send(std::string(1000, 'x'), kBound);
  std::this_thread::sleep_for(100ms);
  bool closed = false;
  answer += ReceiveUntilClosed(client, kBound, &closed);
  EXPECT_TRUE(closed);
  EXPECT_EQ(answer, PatternBytes(1 << 20));
}

TEST_F(LingeringCloses, ClosesAtThePeersCloseOrTheByteBoundAndRefusesWhenFull) {
  TLingeringCloses closes(60000, 100, 2);
  Connection closing = Connect(listener_);
  Connection chatty = Connect(listener_);
  Connection refused = Connect(listener_);
  ASSERT_TRUE(closes.Take(closing.server));
  ASSERT_TRUE(closes.Take(chatty.server));
  EXPECT_FALSE(closes.Take(refused.server));
  EXPECT_TRUE(refused.server.IsOpen());
  // The taken ones were told the end of the stream.
  EXPECT_EQ(closing.client.Receive(10, kBound), "");
  EXPECT_EQ(closing.client.LastError(), platform::kSocketPeerClosed);
  closing.client.Close();
  chatty.client.Send(std::string(1000, 'x'), kBound);
  EXPECT_TRUE(WaitUntil([&] { return closes.Held() == 0; }, kBound));
}

TEST_F(LingeringCloses, SilentPeerIsClosedAtTheDeadlineAndTheEndWaitsForIt) {
  Connection silent = Connect(listener_);
  Connection silent_at_end = Connect(listener_);
  const auto start = std::chrono::steady_clock::now();
  {
    TLingeringCloses closes(200, 100, 8);
    ASSERT_TRUE(closes.Take(silent.server));
    EXPECT_TRUE(WaitUntil([&] { return closes.Held() == 0; }, kBound));
    ASSERT_TRUE(closes.Take(silent_at_end.server));
  }
  // The closer counts whole milliseconds: each 200 ms wait may end up to
  // 1 ms short of it by this finer clock.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 398ms);
}

}  // namespace
}  // namespace kestrel::testing

#include "server/tcp_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/command_thread.h"
#include "support/running_daemon.h"

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;

class TCPThread : public ::testing::Test {
 protected:
  void SetUp() override {
    CommandThread::Log().Clear();
    ASSERT_TRUE(daemon_.Listening());
  }
  std::uint16_t Port() const { return daemon_.Port(); }

  RunningDaemon daemon_{ThreadClassOf<CommandThread>(), CommandThread::Log()};
};

// The listener's zero linger must not turn the close after an answer into
// a reset that cuts the answer short.
TEST_F(TCPThread, LargeAnswerArrivesWholeManyTimesInARow) {
  const std::string expected = PatternBytes(1 << 20);
  for (int round = 0; round < 30; ++round) {
    const std::string answer = Exchange(Port(), "size 1048576\r\n");
    ASSERT_EQ(answer.size(), expected.size()) << "round " << round;
    ASSERT_EQ(answer, expected) << "round " << round;
  }
}

TEST_F(TCPThread, EscapingExceptionIsLoggedAndNothingIsSent) {
  platform::Socket client = ConnectLoopback(Port());
  client.Send("throw\r\n", 1000);
  bool closed = false;
  EXPECT_EQ(ReceiveUntilClosed(client, 5000, &closed), "");
  EXPECT_TRUE(closed);
  EXPECT_TRUE(CommandThread::Log().WaitFor("request failed", 1000));
}

TEST_F(TCPThread, LineArrivingInPiecesIsRead) {
  platform::Socket client = ConnectLoopback(Port());
  client.Send("si", 1000);
  std::this_thread::sleep_for(100ms);
  client.Send("ze", 1000);
  std::this_thread::sleep_for(100ms);
  client.Send(" 4\r\n", 1000);
  EXPECT_EQ(ReceiveUntilClosed(client, 5000), "abcd");
}

TEST_F(TCPThread, GapBetweenPiecesOfALineEndsTheConnection) {
  platform::Socket client = ConnectLoopback(Port());
  client.Send("size", 1000);
  std::this_thread::sleep_for(500ms);
  client.Send(" 4\r\n", 1000);
  bool closed = false;
  EXPECT_EQ(ReceiveUntilClosed(client, 5000, &closed), "");
  EXPECT_TRUE(closed);
}

TEST_F(TCPThread, LinesUntilSilenceEndWithTimeOut) {
  EXPECT_EQ(Exchange(Port(), "lines\r\nfirst\r\nsecond\r\n"), "2 true");
}

TEST_F(TCPThread, LinesUntilThePeerClosesEndWithoutTimeOut) {
  platform::Socket client = ConnectLoopback(Port());
  client.Send("lines\r\nfirst\r\n", 1000);
  std::this_thread::sleep_for(50ms);
  client.Send("second\r\nunfinished", 1000);
  client.ShutdownSending();
  EXPECT_EQ(ReceiveUntilClosed(client, 5000), "2 false");
}

TEST_F(TCPThread, BytesAfterALineAreKeptForTheNextReceive) {
  EXPECT_EQ(Exchange(Port(), "lines\r\na\r\nb\r\nc\r\n"), "3 true");
}

TEST_F(TCPThread, FinishedThreadsLeaveTheLiveCount) {
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(Exchange(Port(), "size 1\r\n"), "a");
  EXPECT_TRUE(WaitUntil([] { return LiveConnectionThreads() == 0; }, 5000));
}

}  // namespace
}  // namespace kestrel::testing

#include "platform/socket.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/system_error.h"
#include "support/error_texts.h"
#include "support/processes.h"

namespace kestrel::platform {
namespace {

constexpr int kBound = 5000;

// A listener on a free loopback port, queued zero linger included, as the
// daemon sets it up.
Socket Listener() {
  Socket listener;
  listener.SetLinger(true, 0);
  listener.Bind("127.0.0.1", "0");
  listener.Listen(16);
  EXPECT_EQ(listener.LastError(), 0) << listener.LastErrorText();
  return listener;
}

Socket ConnectTo(const Socket& listener) {
  Socket client;
  client.Connect("127.0.0.1", std::to_string(listener.LocalPort()), kBound);
  EXPECT_EQ(client.LastError(), 0) << client.LastErrorText();
  return client;
}

Socket AcceptFrom(Socket& listener) {
  Socket accepted = listener.AcceptWithin(kBound);
  EXPECT_TRUE(accepted.IsOpen()) << accepted.LastErrorText();
  return accepted;
}

// Everything until the peer closes (or the bound runs out).
std::string ReceiveAll(Socket& socket) {
  std::string all;
  for (;;) {
    std::string part = socket.Receive(65536, kBound);
    if (socket.LastError() != 0)
      return all;
    all += part;
  }
}

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>('a' + i % 23);
  return bytes;
}

TEST(SocketErrors, TakenPortIsAddressInUse) {
  Socket first = Listener();
  Socket second;
  second.Bind("127.0.0.1", std::to_string(first.LocalPort()));
  EXPECT_EQ(second.LastError(), kSocketAddressInUse);
  EXPECT_EQ(second.LastErrorText(), SystemErrorText(kSocketAddressInUse));
}

TEST(SocketErrors, ForeignAddressCannotBeAssigned) {
  Socket socket;
  socket.Bind("192.0.2.1", "0");
  EXPECT_EQ(socket.LastError(), kSocketAddressNotAvailable);
  EXPECT_EQ(socket.LastErrorText(), SystemErrorText(kSocketAddressNotAvailable));
}

TEST(SocketErrors, SuccessClearsTheLastError) {
  Socket socket;
  socket.Bind("192.0.2.1", "0");
  socket.Bind("127.0.0.1", "0");
  EXPECT_EQ(socket.LastError(), 0);
  EXPECT_EQ(socket.LastErrorText(), "");
}

TEST(SocketReceive, SilentPeerTimesOutWith10060) {
  Socket listener = Listener();
  Socket client = ConnectTo(listener);
  Socket server = AcceptFrom(listener);
  EXPECT_EQ(server.Receive(100, 50), "");
  EXPECT_EQ(server.LastError(), kSocketTimedOut);
  EXPECT_EQ(server.LastErrorText(), kestrel::testing::SocketTimedOutText());
}

TEST(SocketReceive, ClosedPeerGives10054) {
  Socket listener = Listener();
  Socket client = ConnectTo(listener);
  Socket server = AcceptFrom(listener);
  client.Send("ab", kBound);
  client.Close();
  EXPECT_EQ(server.Receive(100, kBound), "ab");
  EXPECT_EQ(server.Receive(100, kBound), "");
  EXPECT_EQ(server.LastError(), kSocketPeerClosed);
}

TEST(SocketReceive, TakesAtMostTheAskedBytes) {
  Socket listener = Listener();
  Socket client = ConnectTo(listener);
  Socket server = AcceptFrom(listener);
  client.Send("abcdef", kBound);
  ASSERT_TRUE(server.WaitReadable(kBound));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(server.Receive(4, kBound), "abcd");
  EXPECT_EQ(server.Receive(4, kBound), "ef");
}

// The server reads what has come before it would wait for more.
TEST(SocketReceive, WaitingBytesAreTakenWithoutAWaitAndNothingIsNoError) {
  Socket listener = Listener();
  Socket client = ConnectTo(listener);
  Socket server = AcceptFrom(listener);
  EXPECT_EQ(server.ReceiveWaiting(100), "");
  EXPECT_EQ(server.LastError(), 0);
  client.Send("abcdef", kBound);
  ASSERT_TRUE(server.WaitReadable(kBound));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(server.ReceiveWaiting(4), "abcd");
  EXPECT_EQ(server.ReceiveWaiting(100), "ef");
  EXPECT_EQ(server.LastError(), 0);
}

// The closer discards what a peer sends after its answer; nothing waiting
// must not pass for the peer's close.
TEST(SocketReceive, DiscardWaitingTellsNothingWaitingFromThePeersClose) {
  Socket listener = Listener();
  Socket client = ConnectTo(listener);
  Socket server = AcceptFrom(listener);
  EXPECT_EQ(server.DiscardWaiting(), 0u);
  EXPECT_EQ(server.LastError(), 0);
  client.Send("abcdef", kBound);
  client.Close();
  ASSERT_TRUE(server.WaitReadable(kBound));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(server.DiscardWaiting(), 6u);
  EXPECT_EQ(server.LastError(), 0);
  EXPECT_EQ(server.DiscardWaiting(), 0u);
  EXPECT_EQ(server.LastError(), kSocketPeerClosed);
}

// The server's stop wakes a connection still waiting for its request; the
// wait is far longer than the bound, so only the wake ends it in time.
TEST(SocketReceive, ShutdownReceivingWakesAWaitingReceiveAsPeerClosed) {
  Socket listener = Listener();
  Socket client = ConnectTo(listener);
  Socket server = AcceptFrom(listener);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.ShutdownReceiving();
  });
  EXPECT_EQ(server.Receive(100, 10 * kBound), "");
  stopper.join();
  EXPECT_EQ(server.LastError(), kSocketPeerClosed);
}

TEST(SocketAccept, NothingPendingReturnsAtOnceWithWouldBlock) {
  Socket listener = Listener();
  Socket client = ConnectTo(listener);
  EXPECT_TRUE(AcceptFrom(listener).IsOpen());
  const Socket none = listener.AcceptWithin(0);
  EXPECT_FALSE(none.IsOpen());
  EXPECT_EQ(none.LastError(), kSocketWouldBlock);
}

TEST(SocketWait, IdleListenerTimesOut) {
  Socket listener = Listener();
  EXPECT_FALSE(listener.WaitReadable(30));
  EXPECT_EQ(listener.LastError(), kSocketTimedOut);
}

TEST(SocketConnect, RefusedConnectionReportsTheSystemError) {
  std::string port;
  {
    Socket closed = Listener();
    port = std::to_string(closed.LocalPort());
  }
  Socket client;
  client.Connect("127.0.0.1", port, kBound);
  EXPECT_EQ(client.LastError(), kSocketRefused);
  EXPECT_EQ(client.LastErrorText(), SystemErrorText(kSocketRefused));
  EXPECT_FALSE(client.IsOpen());
}

bool IsCloseOnExec(const Socket& socket) {
  return !kestrel::testing::ChildrenInherit(socket.NativeHandle());
}

TEST(SocketHandles, EveryKindIsCloseOnExec) {
  Socket listener = Listener();
  Socket client = ConnectTo(listener);
  Socket server = AcceptFrom(listener);
  EXPECT_TRUE(IsCloseOnExec(listener));
  EXPECT_TRUE(IsCloseOnExec(client));
  EXPECT_TRUE(IsCloseOnExec(server));
}

TEST(SocketHandles, MoveHandsOverTheHandle) {
  Socket listener = Listener();
  const std::intptr_t handle = listener.NativeHandle();
  Socket moved = std::move(listener);
  EXPECT_FALSE(listener.IsOpen());
  EXPECT_EQ(moved.NativeHandle(), handle);
  EXPECT_FALSE(moved.WaitReadable(1));
  EXPECT_EQ(moved.LastError(), kSocketTimedOut);
}

// The listener has zero linger; an accepted connection must still deliver
// a large answer completely when it is closed right after sending.
TEST(SocketClose, LargeAnswerArrivesWholeEveryTime) {
  Socket listener = Listener();
  const std::string answer = Pattern(1 << 20);
  for (int round = 0; round < 20; ++round) {
    Socket client = ConnectTo(listener);
    std::string received;
    std::thread reader([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      received = ReceiveAll(client);
    });
    {
      Socket server = AcceptFrom(listener);
      server.Send(answer, kBound);
      EXPECT_EQ(server.LastError(), 0);
      server.Close();
    }
    reader.join();
    ASSERT_EQ(received.size(), answer.size()) << "round " << round;
    ASSERT_EQ(received, answer);
  }
}

// Unread request bytes at close time would make the close a reset.
TEST(SocketClose, DisconnectDeliversAnswerDespiteUnreadInput) {
  Socket listener = Listener();
  const std::string answer = Pattern(256 * 1024);
  for (int round = 0; round < 10; ++round) {
    Socket client = ConnectTo(listener);
    client.Send(Pattern(10000), kBound);
    Socket server = AcceptFrom(listener);
    ASSERT_TRUE(server.WaitReadable(kBound));
    server.Send(answer, kBound);
    std::string received;
    std::thread reader([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      received = ReceiveAll(client);
      client.Close();
    });
    server.Disconnect(kBound, 65536);
    reader.join();
    ASSERT_EQ(received, answer) << "round " << round;
  }
}

TEST(SocketClose, DisconnectGivesUpOnAPeerThatStaysOpen) {
  Socket listener = Listener();
  Socket client = ConnectTo(listener);
  Socket server = AcceptFrom(listener);
  server.Disconnect(100, 65536);
  EXPECT_FALSE(server.IsOpen());
  EXPECT_EQ(client.Receive(10, kBound), "");
  EXPECT_EQ(client.LastError(), kSocketPeerClosed);
}

TEST(SocketSend, PeerThatReadsNothingStallsOutWith10060) {
  Socket listener = Listener();
  Socket client = ConnectTo(listener);
  Socket server = AcceptFrom(listener);
  server.Send(Pattern(64 << 20), 200);
  EXPECT_EQ(server.LastError(), kSocketTimedOut);
}

TEST(SocketSend, ClosedPeerGives10054) {
  Socket listener = Listener();
  Socket client = ConnectTo(listener);
  Socket server = AcceptFrom(listener);
  client.Close();
  const std::string chunk = Pattern(65536);
  for (int i = 0; i < 100 && server.LastError() == 0; ++i)
    server.Send(chunk, kBound);
  EXPECT_EQ(server.LastError(), kSocketPeerClosed);
}

}  // namespace
}  // namespace kestrel::platform

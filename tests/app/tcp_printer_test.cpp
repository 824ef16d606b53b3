#include "app/tcp_printer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "platform/clock.h"
#include "support/running_daemon.h"
#include "support/tcp_client.h"

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;

const std::string kEmptyAnswer =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 0\r\n\r\n";

std::string Request(const std::string& body,
                    const std::string& content_type = "application/octet-stream") {
  return "POST / HTTP/1.1\r\nContent-Type: " + content_type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Answer(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Int32(std::uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i)
    bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

// A BSON document whose only element is the string `name`: "x".
std::string Document(const std::string& name) {
  const std::string element =
      "\x02" + name + std::string(1, '\0') + Int32(2) + "x" + std::string(1, '\0');
  return Int32(static_cast<std::uint32_t>(4 + element.size() + 1)) + element + std::string(1, '\0');
}

// A daemon whose connections may hold 100 body bytes at once.
class SmallBudgetDaemon : public TTCPDaemon {
 protected:
  SmallBudgetDaemon(const std::string& ip, std::uint16_t port, TTCPThreadClass thread_class,
                    DaemonSlot* slot)
      : TTCPDaemon(ip, port, thread_class, slot) {
    BodyBudget().SetCapacity(100);
  }
};

LogCapture& Log() {
  static LogCapture log;
  return log;
}

// The printer's daemon, started at the first use of its port; the test
// sets the services before.
class TCPPrinter : public ::testing::Test {
 protected:
  void SetUp() override { Log().Clear(); }
  void TearDown() override { EXPECT_TRUE(!daemon_ || daemon_->Stop()); }
  std::uint16_t Port() {
    if (!daemon_) {
      daemon_.emplace(PrinterClass(services_), Log());
      EXPECT_TRUE(daemon_->Listening());
    }
    return daemon_->Port();
  }
  // Sends `pieces` with `gap` between them and returns the answer, read
  // until the server closes.
  std::string SendInPieces(const std::vector<std::string>& pieces, std::chrono::milliseconds gap,
                           bool* closed = nullptr) {
    platform::Socket client = ConnectLoopback(Port());
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0)
        std::this_thread::sleep_for(gap);
      client.Send(pieces[i], 1000);
    }
    return ReceiveUntilClosed(client, 10000, closed);
  }

  const std::shared_ptr<TPrinterServices> services_ = std::make_shared<TPrinterServices>(
      TPrinterServices{.log = [](const std::string& line) { Log().Add(line); }});
  std::optional<RunningDaemon> daemon_;
};

// A short first-data wait, so that silence can be tested quickly.
class QuickTCPPrinter : public TCPPrinter {
 protected:
  QuickTCPPrinter() { services_->timings = TPrinterTimings{1000, 100}; }
};

// Short header and body pace rules.
class StrictTCPPrinter : public TCPPrinter {
 protected:
  StrictTCPPrinter() {
    services_->timings.header_ms = 500;
    services_->timings.body_rate_grace_ms = 300;
    services_->timings.body_rate_window_ms = 300;
    services_->timings.body_rate_min_bytes = 1000;
  }
};

TEST_F(TCPPrinter, VersionQueryIsAnsweredWithTheSixteenVersionBytes) {
  const std::string answer = Exchange(Port(), Request("DrvVer"));
  EXPECT_EQ(answer,
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 16\r\n\r\n"
            "2012.07.03 14:00");
  EXPECT_EQ(answer.size(), 80u);
}

TEST_F(TCPPrinter, DocumentWhoseFirstNameBeginsWithDrvVerIsAVersionQuery) {
  EXPECT_EQ(Exchange(Port(), Request(Document("DrvVersion"))), Answer(ProgramVersion));
  EXPECT_EQ(Exchange(Port(), Request(Document("DrvVer"))), Answer(ProgramVersion));
}

TEST_F(TCPPrinter, GetIsAnsweredWithTheExact63ByteEmptyAnswer) {
  const std::string answer = Exchange(Port(), "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
  EXPECT_EQ(answer, kEmptyAnswer);
  EXPECT_EQ(answer.size(), 63u);
}

TEST_F(TCPPrinter, OtherContentTypeIsAnsweredEmpty) {
  EXPECT_EQ(Exchange(Port(), Request("DrvVer", "text/plain")), kEmptyAnswer);
  EXPECT_EQ(Exchange(Port(), Request("DrvVer", "application/octet-stream; q=1")), kEmptyAnswer);
}

TEST_F(TCPPrinter, ContentTypeIsComparedIgnoringLetterCase) {
  EXPECT_EQ(Exchange(Port(), Request("DrvVer", "Application/Octet-Stream")),
            Answer(ProgramVersion));
}

TEST_F(TCPPrinter, BodySplit50msApartIsExecuted) {
  const std::string request = Request("DrvVer");
  EXPECT_EQ(SendInPieces(
                {request.substr(0, request.size() - 3), request.substr(request.size() - 3)}, 50ms),
            Answer(ProgramVersion));
}

TEST_F(TCPPrinter, BodySplit200msApartIsAnsweredEmpty) {
  const std::string request = Request("DrvVer");
  EXPECT_EQ(SendInPieces(
                {request.substr(0, request.size() - 3), request.substr(request.size() - 3)}, 200ms),
            kEmptyAnswer);
}

TEST_F(TCPPrinter, HeaderSplitIntoPacketsIsKept) {
  const std::string request = Request("DrvVer");
  EXPECT_EQ(SendInPieces({request.substr(0, 10), request.substr(10, 30), request.substr(40)}, 50ms),
            Answer(ProgramVersion));
}

TEST_F(TCPPrinter, LongHeaderInManyPacketsIsKept) {
  std::string padding;
  for (int i = 0; i < 600; ++i)
    padding += "X-Padding-" + std::to_string(i) + ": " + std::string(80, 'p') + "\r\n";
  const std::string request = "POST / HTTP/1.1\r\n" + padding +
                              "Content-Type: application/octet-stream\r\n"
                              "Content-Length: 6\r\n\r\nDrvVer";
  ASSERT_GT(request.size(), 50000u);
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < request.size(); at += 8000)
    pieces.push_back(request.substr(at, 8000));
  EXPECT_EQ(SendInPieces(pieces, 20ms), Answer(ProgramVersion));
}

TEST_F(TCPPrinter, HeaderPacketAfterTheGapIsDropped) {
  const std::string request = Request("DrvVer");
  bool closed = false;
  EXPECT_EQ(SendInPieces({request.substr(0, 20), request.substr(20)}, 200ms, &closed), "");
  EXPECT_TRUE(closed);
}

TEST_F(TCPPrinter, HeaderBeyond64KiBIsDropped) {
  std::vector<std::string> pieces;
  pieces.push_back("POST / HTTP/1.1\r\n");
  for (int i = 0; i < 8; ++i)
    pieces.push_back("X-Padding: " + std::string(10000, 'p') + "\r\n");
  pieces.push_back("Content-Type: application/octet-stream\r\nContent-Length: 6\r\n\r\nDrvVer");
  bool closed = false;
  EXPECT_EQ(SendInPieces(pieces, 20ms, &closed), "");
  EXPECT_TRUE(closed);
}

TEST_F(TCPPrinter, HeaderWithForbiddenByteIsDroppedWithoutAnswer) {
  bool closed = false;
  EXPECT_EQ(SendInPieces({Request("DrvVer", "application/octet-stream\t")}, 0ms, &closed), "");
  EXPECT_TRUE(closed);
  EXPECT_EQ(SendInPieces({"POST / HTTP/1.1\r\nX-Name: \xD0\x90\r\n"}, 0ms, &closed), "");
  EXPECT_TRUE(closed);
}

TEST_F(TCPPrinter, NegativeContentLengthIsDroppedWithoutAnswer) {
  bool closed = false;
  EXPECT_EQ(SendInPieces({"POST / HTTP/1.1\r\nContent-Type: application/octet-stream\r\n"
                          "Content-Length: -1\r\n\r\nDrvVer"},
                         0ms, &closed),
            "");
  EXPECT_TRUE(closed);
}

TEST_F(TCPPrinter, EmptyBinaryBodyIsAnsweredEmptyWithoutService) {
  std::atomic<int> calls{0};
  services_->print = [&](const std::string&) {
    ++calls;
    return std::string("printed");
  };
  EXPECT_EQ(Exchange(Port(), Request("")), kEmptyAnswer);
  EXPECT_EQ(calls, 0);
}

TEST_F(TCPPrinter, BytesAfterTheBodyAreIgnored) {
  EXPECT_EQ(Exchange(Port(), Request("DrvVer") + "trailing bytes"), Answer(ProgramVersion));
}

TEST_F(TCPPrinter, KeysAreCaseSensitive) {
  services_->print = [](const std::string&) { return "printed"; };
  EXPECT_EQ(Exchange(Port(), Request(Document("drvver"))), Answer("printed"));
  EXPECT_EQ(Exchange(Port(), Request("drvver")), Answer("printed"));
  EXPECT_EQ(Exchange(Port(), Request(Document("enumCOMs"))), Answer("printed"));
  EXPECT_EQ(Exchange(Port(), Request(Document("EXEVER"))), Answer("printed"));
}

TEST_F(TCPPrinter, RoutesReachTheirServicesWithTheWholeBody) {
  services_->enum_coms = [](const std::string& body) {
    return "ports " + std::to_string(body.size());
  };
  services_->update_self = [](const std::string&) { return "updated"; };
  services_->print = [](const std::string&) { return "printed"; };
  const std::string enum_request = Document("EnumCOMs");
  EXPECT_EQ(Exchange(Port(), Request(enum_request)),
            Answer("ports " + std::to_string(enum_request.size())));
  EXPECT_EQ(Exchange(Port(), Request(Document("EXEver"))), Answer("updated"));
  EXPECT_EQ(Exchange(Port(), Request(Document("Port"))), Answer("printed"));
  EXPECT_EQ(Exchange(Port(), Request("Drv")), Answer("printed"));
}

TEST_F(TCPPrinter, RoutesWithoutServiceAnswerEmpty) {
  EXPECT_EQ(Exchange(Port(), Request(Document("EnumCOMs"))), kEmptyAnswer);
  EXPECT_EQ(Exchange(Port(), Request(Document("EXEver"))), kEmptyAnswer);
  EXPECT_EQ(Exchange(Port(), Request(Document("Port"))), kEmptyAnswer);
}

TEST_F(TCPPrinter, ServiceFailureIsLoggedAndNothingIsSent) {
  services_->enum_coms = [](const std::string&) -> std::string {
    throw Exception("Invalid BSON document");
  };
  bool closed = false;
  EXPECT_EQ(SendInPieces({Request(Document("EnumCOMs"))}, 0ms, &closed), "");
  EXPECT_TRUE(closed);
  EXPECT_TRUE(Log().WaitFor("Invalid BSON document", 1000));
}

TEST_F(TCPPrinter, LargeAnswerArrivesWhole) {
  const std::string big(3 << 20, 'z');
  services_->print = [&](const std::string&) { return big; };
  for (int round = 0; round < 5; ++round)
    ASSERT_EQ(Exchange(Port(), Request(Document("Port"))), Answer(big)) << "round " << round;
}

TEST_F(TCPPrinter, TerminateWhileServingStillAnswers) {
  std::atomic<bool> serving{false};
  services_->print = [&](const std::string&) {
    serving = true;
    std::this_thread::sleep_for(500ms);
    return std::string("printed");
  };
  const std::uint16_t port = Port();
  auto answer =
      std::async(std::launch::async, [&] { return Exchange(port, Request(Document("Port"))); });
  ASSERT_TRUE(WaitUntil([&] { return serving.load(); }, 5000));
  daemon_->Slot().Terminate();
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(daemon_->Slot().Empty());
  EXPECT_EQ(answer.get(), Answer("printed"));
  EXPECT_TRUE(daemon_->Stop());
}

TEST_F(QuickTCPPrinter, SilentConnectionIsClosedAfterTheFirstDataWait) {
  platform::Socket client = ConnectLoopback(Port());
  const std::uint64_t start = platform::MonotonicMilliseconds();
  bool closed = false;
  EXPECT_EQ(ReceiveUntilClosed(client, 5000, &closed), "");
  const std::uint64_t waited = platform::MonotonicMilliseconds() - start;
  EXPECT_TRUE(closed);
  EXPECT_GE(waited, 950u);
  EXPECT_LT(waited, 3000u);
}

TEST_F(QuickTCPPrinter, FirstDataLaterThanThePacketGapIsServed) {
  platform::Socket client = ConnectLoopback(Port());
  std::this_thread::sleep_for(600ms);
  client.Send(Request("DrvVer"), 1000);
  EXPECT_EQ(ReceiveUntilClosed(client, 5000), Answer(ProgramVersion));
}

// Each piece comes within the packet gap, yet the header as a whole takes
// longer than it may.
TEST_F(StrictTCPPrinter, HeaderDribbledPastItsTimeIsDroppedWithoutAnswer) {
  const std::string request = Request("DrvVer");
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < request.size(); at += 3)
    pieces.push_back(request.substr(at, 3));
  bool closed = false;
  EXPECT_EQ(SendInPieces(pieces, 50ms, &closed), "");
  EXPECT_TRUE(closed);
}

TEST_F(StrictTCPPrinter, BodyBelowTheRateIsDroppedWithoutAnswer) {
  services_->print = [](std::string) { return std::string("served"); };
  std::vector<std::string> pieces{Request(std::string(400, 'x')).substr(0, 100)};
  pieces.resize(1 + 400 / 10, std::string(10, 'x'));
  bool closed = false;
  EXPECT_EQ(SendInPieces(pieces, 40ms, &closed), "");
  EXPECT_TRUE(closed);
}

// The second body waits for room while the first is arriving in pieces,
// and is still served whole: the wait is not held against it.
TEST_F(TCPPrinter, BodyWaitsForRoomInTheBudgetAndIsServedWhole) {
  std::mutex order_mutex;
  std::string order;
  services_->print = [&](std::string body) {
    const std::lock_guard lock(order_mutex);
    order += body.substr(0, 1);
    return body;
  };
  RunningDaemon small(
      [services = services_](std::uint16_t port, DaemonSlot* slot) {
        StartThread<SmallBudgetDaemon>("127.0.0.1", port, PrinterClass(services), slot);
      },
      Log());
  ASSERT_TRUE(small.Listening());
  const std::string first = Request(std::string(80, 'a'));
  const std::string second = Request(std::string(50, 'b'));
  platform::Socket holder = ConnectLoopback(small.Port());
  holder.Send(first.substr(0, first.size() - 40), 1000);
  auto waiting = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(30ms);
    platform::Socket client = ConnectLoopback(small.Port());
    client.Send(second.substr(0, second.size() - 20), 1000);
    std::this_thread::sleep_for(20ms);
    client.Send(second.substr(second.size() - 20), 1000);
    return ReceiveUntilClosed(client, 10000);
  });
  for (std::size_t left = 40; left > 0; left -= 10) {
    std::this_thread::sleep_for(60ms);
    holder.Send(first.substr(first.size() - left, 10), 1000);
  }
  EXPECT_EQ(ReceiveUntilClosed(holder, 10000), Answer(std::string(80, 'a')));
  EXPECT_EQ(waiting.get(), Answer(std::string(50, 'b')));
  EXPECT_EQ(order, "ab");
  EXPECT_TRUE(small.Stop());
}

TEST(TCPPrinterLog, WithoutSinkTheLogGoesToStandardError) {
  ::testing::internal::CaptureStderr();
  PrinterClass(std::make_shared<TPrinterServices>()).LOG("Started at 0.0.0.0:8080");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Started at 0.0.0.0:8080\n");
}

}  // namespace
}  // namespace kestrel::testing

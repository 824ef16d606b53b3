// Many clients at once sending malformed requests of every kind to the real
// server, with well-formed ones in between: the server never hangs on a bad
// request, answers every good one correctly and is still serving at the end.
#include <gtest/gtest.h>

#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "faults/print_commands.h"
#include "files/pack.h"
#include "support/kestrel_process.h"
#include "support/tcp_client.h"

namespace kestrel::testing {
namespace {

constexpr int kClients = 32;
constexpr int kRequestsPerClient = 100;
constexpr int kGoodEvery = 8;
// A malformed request must be answered or dropped well within this.
constexpr int kMalformedBoundMs = 5000;

std::string RandomBytes(std::mt19937& random, std::size_t size) {
  std::string bytes(size, '\0');
  for (char& c : bytes)
    c = static_cast<char>(random() & 0xFF);
  return bytes;
}

std::string WithLength(const std::string& length, const std::string& body) {
  return "POST / HTTP/1.1\r\nContent-Type: application/octet-stream\r\nContent-Length: " + length +
         "\r\n\r\n" + body;
}

std::string BadLength(std::mt19937& random, const std::string& body) {
  static const std::vector<std::string> lengths = {
      "-1", "abc", "99999999999999999999", "2147483648", "2147483647", "", "12x", " -0"};
  switch (random() % 4) {
    case 0:  // longer than the body that follows
      return WithLength(std::to_string(body.size() + 1 + random() % 1000), body);
    case 1:  // shorter: the rest is never looked at
      return WithLength(std::to_string(random() % body.size()), body);
    default:
      break;
  }
  return WithLength(lengths[random() % lengths.size()], body);
}

// A document whose outer or inner lengths lie, or that ends early.
std::string BrokenDocument(std::mt19937& random, const std::string& good) {
  std::string doc = good;
  switch (random() % 4) {
    case 0:
      return doc.substr(0, random() % doc.size());
    case 1:
      doc[random() % 4] = static_cast<char>(random());
      return doc;
    case 2:
      doc[4 + random() % (doc.size() - 4)] = static_cast<char>(random());
      return doc;
    default:
      return std::string(
                 "\xff\xff\xff\x7f\x02"
                 "EnumCOMs\0",
                 14) +
             RandomBytes(random, 16);
  }
}

std::string BadCrcPacked(std::mt19937& random, const std::string& good) {
  std::string packed = PackString(good);
  const std::size_t at = random() % packed.size();
  packed[at] = static_cast<char>(packed[at] ^ (1 + random() % 255));
  return packed;
}

struct Malformed {
  std::string bytes;
  // A print body that cannot be read: answered with a result whose Error says
  // so, packed when the body passed for a packed one.
  bool answered_with_error = false;
};

Malformed MakeMalformed(std::mt19937& random, const std::string& good_print) {
  switch (random() % 6) {
    case 0:
      return {RandomBytes(random, 1 + random() % 512)};
    case 1: {
      const std::string full = HttpPost(good_print);
      return {full.substr(0, 1 + random() % (full.find("\r\n\r\n") + 2))};
    }
    case 2:
      return {BadLength(random, good_print)};
    case 3:
      return {HttpPost(RandomBytes(random, 1 + random() % 256)), true};
    case 4:
      return {HttpPost(BrokenDocument(random, good_print))};
    default:
      return {HttpPost(BadCrcPacked(random, good_print)), true};
  }
}

// A packed answer unpacked; any other as it is.
std::string Unpacked(const std::string& body) {
  try {
    return UnpackString(body);
  } catch (const std::exception&) {
    return body;
  }
}

// The Error of a print answer, packed or not; empty when there is none or
// the answer is no result at all.
std::string ErrorOfAnswer(const std::string& body) {
  TTermPrintRes result;
  try {
    BSONToObj(Unpacked(body), result);
  } catch (const std::exception&) {
    return "";
  }
  return result.FError;
}

class Storm {
 public:
  explicit Storm(std::uint16_t server) : server_(server) {}

  void Client(int index) {
    std::mt19937 random(static_cast<std::uint32_t>(index) + 1);
    // A port per client: the good prints of different clients run at once.
    const std::string good_print = PrintCommand(port_ + "-" + std::to_string(index), "sale");
    for (int request = 0; request < kRequestsPerClient; ++request) {
      if (request % kGoodEvery == 0)
        Good(request % (2 * kGoodEvery) == 0, good_print);
      else
        Bad(MakeMalformed(random, good_print));
    }
  }
  std::vector<std::string> Failures() const {
    const std::lock_guard lock(mutex_);
    return failures_;
  }

 private:
  void Good(bool version, const std::string& good_print) {
    if (version) {
      const std::string answer = HttpBody(Exchange(server_, HttpPost("DrvVer"), 30000));
      Expect(answer == kVersionAnswer, "version query answered " + answer);
      return;
    }
    const auto result = ReceiptResult(HttpBody(Exchange(server_, HttpPost(good_print), 30000)));
    Expect(result->FError.empty() && result->FDocNo == 1, "print answered " + result->FError);
  }
  void Bad(const Malformed& request) {
    platform::Socket client = ConnectLoopback(server_);
    if (!client.IsOpen())
      return Expect(false, "connect failed: " + client.LastErrorText());
    client.Send(request.bytes, kMalformedBoundMs);
    bool closed = false;
    const std::string answer = ReceiveUntilClosed(client, kMalformedBoundMs, &closed);
    if (!closed)
      return Expect(false, "a malformed request held its connection open");
    if (request.answered_with_error)
      Expect(!ErrorOfAnswer(HttpBody(answer)).empty(), "no Error for an unreadable print body");
  }
  void Expect(bool good, const std::string& failure) {
    if (good)
      return;
    const std::lock_guard lock(mutex_);
    if (failures_.size() < 20)
      failures_.push_back(failure);
  }

  const std::uint16_t server_;
  const std::string port_ = UniquePortName("storm");
  mutable std::mutex mutex_;
  std::vector<std::string> failures_;
};

TEST(RequestStorm, MalformedRequestsFromManyClientsLeaveGoodOnesAnswered) {
  KestrelProcess server;
  server.CopyTool("corvid-instant", "corvid.exe");
  ASSERT_TRUE(server.Start()) << server.Output();
  Storm storm(server.Port());
  std::vector<std::thread> clients;
  for (int index = 0; index < kClients; ++index)
    clients.emplace_back([&storm, index] { storm.Client(index); });
  for (auto& client : clients)
    client.join();

  EXPECT_EQ(storm.Failures(), std::vector<std::string>{});
  EXPECT_TRUE(server.Running());
  EXPECT_EQ(server.Post("DrvVer"), kVersionAnswer);
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(server.Output().find("Sanitizer"), std::string::npos) << server.Output();
}

}  // namespace
}  // namespace kestrel::testing

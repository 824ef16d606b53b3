#include "server/request_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <future>
#include <thread>

#include "platform/clock.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t kChunk = THTTPRequestFramer::kFirstChunkedRoom;

// A connection that hands over `packets` one per receive, then times out.
TRequestSource Source(std::deque<std::string>& packets) {
  return {[&packets](int, int& error) {
            error = packets.empty() ? 10060 : 0;
            if (packets.empty())
              return std::string();
            std::string packet = std::move(packets.front());
            packets.pop_front();
            return packet;
          },
          [] { return false; }, &platform::MonotonicMilliseconds, [](const std::string&) {}};
}

// A chunked request whose body is `chunks` chunks of kChunk bytes, one
// chunk per packet.
std::deque<std::string> ChunkedRequest(int chunks) {
  std::deque<std::string> packets{
      "POST / HTTP/1.1\r\nContent-Type: application/octet-stream\r\n"
      "Transfer-Encoding: chunked\r\n\r\n"};
  for (int i = 0; i < chunks; ++i)
    packets.push_back("10000\r\n" + std::string(kChunk, 'x') + "\r\n");
  packets.push_back("0\r\n\r\n");
  return packets;
}

class ChunkedBudget : public ::testing::Test {
 protected:
  ChunkedBudget() { timings_.budget_wait_ms = 2000; }
  TRequest Read(std::deque<std::string>& packets) {
    return ReadRequest(Source(packets), budget_, kMaxRequestBody, timings_);
  }

  TBodyBudget budget_{4 * kChunk};
  TRequestTimings timings_;
};

// The body's room grows by doubling as its chunks arrive; a step that
// finds the budget full waits for room, and the body is then read whole.
TEST_F(ChunkedBudget, GrowingBodyWaitsForRoomAndIsReadWhole) {
  auto other = budget_.Reserve(2 * kChunk, 0, [] { return false; });
  auto released = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(200ms);
    other.reset();
  });
  std::deque<std::string> packets = ChunkedRequest(3);
  const TRequest request = Read(packets);
  EXPECT_EQ(request.outcome, TRequestOutcome::Answered);
  EXPECT_TRUE(request.body == std::string(3 * kChunk, 'x'));
  EXPECT_EQ(request.header.ContentLength, static_cast<std::int32_t>(3 * kChunk));
  EXPECT_FALSE(budget_.Reserve(1, 0, [] { return false; }));
}

TEST_F(ChunkedBudget, GrowthWithoutRoomDropsTheRequestAndGivesBackItsShare) {
  timings_.budget_wait_ms = 200;
  auto other = budget_.Reserve(3 * kChunk, 0, [] { return false; });
  std::deque<std::string> packets = ChunkedRequest(2);
  EXPECT_EQ(Read(packets).outcome, TRequestOutcome::Dropped);
  EXPECT_TRUE(budget_.Reserve(kChunk, 0, [] { return false; }));
}

}  // namespace
}  // namespace kestrel

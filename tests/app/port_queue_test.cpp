#include "app/port_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "base/exception.h"
#include "support/lock_holder.h"
#include "support/temp_dir.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class PortQueueTest : public ::testing::Test {
 protected:
  TPortQueue& Queue(std::chrono::milliseconds wait_time) {
    queue_ = std::make_unique<TPortQueue>(cs_, wait_time, folder_);
    return *queue_;
  }
  // Runs `work` on a thread of its own, the way a connection would.
  template <typename Work>
  static auto OnOtherThread(Work work) {
    return std::async(std::launch::async, work);
  }

  kestrel::testing::TempDir temp_;
  const std::string folder_ = temp_.Path().string() + "/locks";
  std::mutex cs_;
  std::unique_ptr<TPortQueue> queue_;
};

TEST_F(PortQueueTest, OnePortServesOneThreadAtATime) {
  auto& queue = Queue(20s);
  ASSERT_TRUE(queue.WaitForPort("COM1"));
  std::atomic<bool> second_holds{false};
  auto second = OnOtherThread([&] {
    const bool got = queue.WaitForPort("COM1");
    second_holds = got;
    return got && queue.ReleasePort("COM1");
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(second_holds);
  EXPECT_TRUE(queue.ReleasePort("COM1"));
  EXPECT_TRUE(second.get());
}

TEST_F(PortQueueTest, TwoPortsAreHeldAtTheSameTime) {
  auto& queue = Queue(20s);
  ASSERT_TRUE(queue.WaitForPort("COM1"));
  const auto start = Clock::now();
  EXPECT_TRUE(
      OnOtherThread([&] { return queue.WaitForPort("COM2") && queue.ReleasePort("COM2"); }).get());
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_TRUE(queue.ReleasePort("COM1"));
}

TEST_F(PortQueueTest, PortNamesAreComparedExactlyWithCase) {
  auto& queue = Queue(20s);
  ASSERT_TRUE(queue.WaitForPort("COM1"));
  EXPECT_TRUE(
      OnOtherThread([&] { return queue.WaitForPort("com1") && queue.ReleasePort("com1"); }).get());
  EXPECT_EQ(queue.UsedSlots(), 2);
  EXPECT_TRUE(queue.ReleasePort("COM1"));
}

TEST_F(PortQueueTest, BusyPortGivesFalseAfterTheWaitTime) {
  auto& queue = Queue(100ms);
  ASSERT_TRUE(queue.WaitForPort("COM1"));
  const auto start = Clock::now();
  EXPECT_FALSE(OnOtherThread([&] { return queue.WaitForPort("COM1"); }).get());
  EXPECT_GE(Clock::now() - start, 90ms);
  EXPECT_TRUE(queue.ReleasePort("COM1"));
}

TEST_F(PortQueueTest, CriticalSectionIsFreeWhileAThreadWaits) {
  auto& queue = Queue(20s);
  ASSERT_TRUE(queue.WaitForPort("COM1"));
  auto waiter =
      OnOtherThread([&] { return queue.WaitForPort("COM1") && queue.ReleasePort("COM1"); });
  std::this_thread::sleep_for(50ms);
  const bool free = cs_.try_lock();
  if (free)
    cs_.unlock();
  EXPECT_TRUE(free);
  EXPECT_TRUE(queue.ReleasePort("COM1"));
  EXPECT_TRUE(waiter.get());
}

TEST_F(PortQueueTest, ThreadEndingWhileHoldingFreesThePort) {
  auto& queue = Queue(20s);
  std::thread([&] { ASSERT_TRUE(queue.WaitForPort("COM1")); }).join();
  const auto start = Clock::now();
  EXPECT_TRUE(queue.WaitForPort("COM1"));
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_TRUE(queue.ReleasePort("COM1"));
}

TEST_F(PortQueueTest, PortBeyondTheTableIsRefusedAtOnce) {
  auto& queue = Queue(20s);
  for (int port = 1; port <= kPortSlots; ++port) {
    const std::string name = "COM" + std::to_string(port);
    ASSERT_TRUE(queue.WaitForPort(name)) << name;
    ASSERT_TRUE(queue.ReleasePort(name)) << name;
  }
  EXPECT_EQ(queue.UsedSlots(), kPortSlots);
  const auto start = Clock::now();
  EXPECT_FALSE(queue.WaitForPort("COM257"));
  EXPECT_FALSE(queue.WaitForPort(""));
  EXPECT_LT(Clock::now() - start, 5s);
  try {
    TPortHold hold(queue, "COM257");
    FAIL() << "the 257th port was given";
  } catch (const Exception& failure) {
    EXPECT_EQ(failure.Message(), "Не дождались освобождения очереди по порту COM257");
  }
  EXPECT_TRUE(queue.WaitForPort("COM200"));
  EXPECT_TRUE(queue.ReleasePort("COM200"));
  EXPECT_EQ(queue.UsedSlots(), kPortSlots);
}

TEST_F(PortQueueTest, EmptyPortNameIsQueuedInOneSlotOfItsOwn) {
  auto& queue = Queue(50ms);
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(queue.WaitForPort(""));
    ASSERT_TRUE(queue.ReleasePort(""));
  }
  EXPECT_EQ(queue.UsedSlots(), 1);
  ASSERT_TRUE(queue.WaitForPort(""));
  EXPECT_FALSE(OnOtherThread([&] { return queue.WaitForPort(""); }).get());
  EXPECT_TRUE(
      OnOtherThread([&] { return queue.WaitForPort("COM1") && queue.ReleasePort("COM1"); }).get());
  EXPECT_TRUE(queue.ReleasePort(""));
  EXPECT_EQ(queue.UsedSlots(), 2);
}

TEST_F(PortQueueTest, ReleaseOfAPortNotHeldIsRefused) {
  auto& queue = Queue(20s);
  EXPECT_FALSE(queue.ReleasePort("COM9"));
  ASSERT_TRUE(queue.WaitForPort("COM1"));
  EXPECT_FALSE(OnOtherThread([&] { return queue.ReleasePort("COM1"); }).get());
  EXPECT_TRUE(queue.ReleasePort("COM1"));
  EXPECT_FALSE(queue.ReleasePort("COM1"));
}

TEST_F(PortQueueTest, LockThatCannotBeCreatedRaisesAndTakesNoSlot) {
  const std::string not_a_folder = temp_.Write("plain", "x");
  TPortQueue queue(cs_, 20s, not_a_folder);
  EXPECT_THROW(queue.WaitForPort("COM1"), Exception);
  EXPECT_EQ(queue.UsedSlots(), 0);
}

TEST_F(PortQueueTest, HoldGivesThePortBackOnEveryPath) {
  auto& queue = Queue(50ms);
  try {
    TPortHold hold(queue, "COM1");
    EXPECT_FALSE(OnOtherThread([&] { return queue.WaitForPort("COM1"); }).get());
    throw Exception("driver failed");
  } catch (const Exception&) {
  }
  EXPECT_TRUE(
      OnOtherThread([&] { return queue.WaitForPort("COM1") && queue.ReleasePort("COM1"); }).get());
}

TEST_F(PortQueueTest, HoldOfABusyPortRaisesTheQueueMessage) {
  auto& queue = Queue(50ms);
  ASSERT_TRUE(queue.WaitForPort("ttyUSB0"));
  auto refused = OnOtherThread([&] {
    try {
      TPortHold hold(queue, "ttyUSB0");
    } catch (const Exception& failure) {
      return failure.Message();
    }
    return std::string("given");
  });
  EXPECT_EQ(refused.get(), "Не дождались освобождения очереди по порту ttyUSB0");
  EXPECT_TRUE(queue.ReleasePort("ttyUSB0"));
}

TEST_F(PortQueueTest, AnotherProcessSharesTheQueueOfAPort) {
  testing::LockHolder other(folder_, std::string(kPortMutexPrefix) + "COM1", "hold", 500);
  ASSERT_EQ(other.ReadLine(), "Acquired");
  auto& queue = Queue(50ms);
  EXPECT_FALSE(queue.WaitForPort("COM1"));
  EXPECT_TRUE(queue.WaitForPort("COM2"));
  EXPECT_TRUE(queue.ReleasePort("COM2"));
  TPortQueue patient(cs_, 20s, folder_);
  EXPECT_TRUE(patient.WaitForPort("COM1"));
  EXPECT_EQ(other.ReadLine(), "Released");
  EXPECT_TRUE(patient.ReleasePort("COM1"));
}

TEST_F(PortQueueTest, HolderProcessKilledWhileHoldingFreesThePort) {
  testing::LockHolder other(folder_, std::string(kPortMutexPrefix) + "COM1", "die", 200);
  ASSERT_EQ(other.ReadLine(), "Acquired");
  auto& queue = Queue(20s);
  const auto start = Clock::now();
  EXPECT_TRUE(queue.WaitForPort("COM1"));
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_EQ(other.Finish(), 137u);
  EXPECT_TRUE(queue.ReleasePort("COM1"));
}

}  // namespace
}  // namespace kestrel

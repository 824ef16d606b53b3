#include "platform/named_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "base/exception.h"
#include "support/lock_holder.h"
#include "support/temp_dir.h"

namespace kestrel::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kestrel::testing::LockHolder;

// Every test has names of its own, in a folder nobody else uses.
class NamedLockTest : public ::testing::Test {
 protected:
  kestrel::testing::TempDir temp_;
  const std::string folder_ = temp_.Path().string() + "/locks";
};

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST_F(NamedLockTest, HolderThreadExcludesOtherThreadsWhichCannotReleaseIt) {
  NamedLock lock("COM1", folder_);
  ASSERT_EQ(lock.Wait(0ms), LockWait::Acquired);
  auto other = std::async(std::launch::async, [&] {
    const bool released = lock.Release();
    return std::make_pair(released, lock.Wait(50ms));
  });
  const auto [released, result] = other.get();
  EXPECT_FALSE(released);
  EXPECT_EQ(result, LockWait::TimedOut);
  EXPECT_TRUE(lock.Release());
  EXPECT_FALSE(lock.Release());
}

TEST_F(NamedLockTest, HolderWaitingAgainOwesOneReleaseForEachWait) {
  NamedLock lock("COM1", folder_);
  ASSERT_EQ(lock.Wait(0ms), LockWait::Acquired);
  ASSERT_EQ(lock.Wait(0ms), LockWait::Acquired);
  EXPECT_TRUE(lock.Release());
  EXPECT_EQ(std::async(std::launch::async, [&] { return lock.Wait(20ms); }).get(),
            LockWait::TimedOut);
  EXPECT_TRUE(lock.Release());
  auto other = std::async(std::launch::async, [&] {
    const LockWait result = lock.Wait(0ms);
    lock.Release();
    return result;
  });
  EXPECT_EQ(other.get(), LockWait::Acquired);
}

TEST_F(NamedLockTest, ReleaseWakesWaitingThreadAtOnce) {
  NamedLock lock("COM1", folder_);
  ASSERT_EQ(lock.Wait(0ms), LockWait::Acquired);
  auto waiter = std::async(std::launch::async, [&] {
    const LockWait result = lock.Wait(20s);
    const auto acquired_at = Clock::now();
    lock.Release();
    return std::make_pair(result, acquired_at);
  });
  std::this_thread::sleep_for(100ms);
  const auto released_at = Clock::now();
  lock.Release();
  const auto [result, acquired_at] = waiter.get();
  EXPECT_EQ(result, LockWait::Acquired);
  EXPECT_LT(acquired_at - released_at, 5s);
}

TEST_F(NamedLockTest, ThreadEndingWhileHoldingHandsTheLockOnAsAbandoned) {
  NamedLock lock("COM1", folder_);
  std::thread([&] { ASSERT_EQ(lock.Wait(0ms), LockWait::Acquired); }).join();
  EXPECT_EQ(lock.Wait(1s), LockWait::Abandoned);
  EXPECT_TRUE(lock.Release());
  EXPECT_EQ(lock.Wait(0ms), LockWait::Acquired);
  EXPECT_TRUE(lock.Release());
}

TEST_F(NamedLockTest, TwoHandlesOfOneNameInOneProcessExcludeEachOther) {
  NamedLock first("COM1", folder_);
  NamedLock second("COM1", folder_);
  ASSERT_EQ(first.Wait(0ms), LockWait::Acquired);
  EXPECT_EQ(second.Wait(20ms), LockWait::TimedOut);
  first.Release();
  EXPECT_EQ(second.Wait(0ms), LockWait::Acquired);
  second.Release();
}

TEST_F(NamedLockTest, MovedLockKeepsItsOwnerAndLeavesAnEmptyHandle) {
  NamedLock lock("COM1", folder_);
  ASSERT_EQ(lock.Wait(0ms), LockWait::Acquired);
  NamedLock moved = std::move(lock);
  EXPECT_FALSE(lock.Release());
  EXPECT_THROW(lock.Wait(0ms), Exception);
  EXPECT_TRUE(moved.Release());
}

TEST_F(NamedLockTest, WaitingOpenIsServedBeforeOneThatTakesTheLockStraightBack) {
  NamedLock greedy("COM1", folder_);
  NamedLock patient("COM1", folder_);
  std::atomic<bool> done{false};
  std::thread relocker([&] {
    while (!done) {
      if (greedy.Wait(20s) != LockWait::TimedOut) {
        std::this_thread::sleep_for(20ms);
        greedy.Release();
      }
    }
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(patient.Wait(5s), LockWait::Acquired);
  done = true;
  patient.Release();
  relocker.join();
}

TEST_F(NamedLockTest, NamesThatLookAlikeAreDistinctLocks) {
  const std::pair<std::string, std::string> pairs[] = {
      {"a/b", "a%2Fb"},  {"COM1", "com1"},         {"", "%"}, {"a.b", "a%2Eb"}, {"x", "x.lock"},
      {"a\\b", "a%5Cb"}, {"\\\\.\\COM10", "COM10"}};
  for (const auto& [one, other] : pairs) {
    NamedLock first(one, folder_);
    NamedLock second(other, folder_);
    ASSERT_EQ(first.Wait(0ms), LockWait::Acquired) << one;
    EXPECT_EQ(second.Wait(0ms), LockWait::Acquired) << one << " / " << other;
    first.Release();
    second.Release();
  }
}

TEST_F(NamedLockTest, OtherProcessHoldingMakesTheWaitRunOutUntilItReleases) {
  LockHolder holder(folder_, "COM 1/x", "hold", 1000);
  ASSERT_EQ(holder.ReadLine(), "Acquired");
  NamedLock lock("COM 1/x", folder_);
  EXPECT_EQ(lock.Wait(20ms), LockWait::TimedOut);
  EXPECT_EQ(lock.Wait(20s), LockWait::Acquired);
  EXPECT_EQ(holder.ReadLine(), "Released");
  lock.Release();
  EXPECT_EQ(holder.Finish(), 0u);
}

TEST_F(NamedLockTest, ProcessKilledWhileHoldingHandsTheLockOnAtOnce) {
  LockHolder holder(folder_, "COM1", "die", 200);
  ASSERT_EQ(holder.ReadLine(), "Acquired");
  NamedLock lock("COM1", folder_);
  const auto start = Clock::now();
  EXPECT_EQ(lock.Wait(20s), LockWait::Abandoned);
  EXPECT_LT(MillisecondsSince(start), 5000);
  EXPECT_EQ(holder.Finish(), 137u);
  lock.Release();
  EXPECT_EQ(lock.Wait(0ms), LockWait::Acquired);
  lock.Release();
}

TEST_F(NamedLockTest, ReleaseWakesWaiterInAnotherProcess) {
  NamedLock lock("COM1", folder_);
  ASSERT_EQ(lock.Wait(0ms), LockWait::Acquired);
  LockHolder waiter(folder_, "COM1", "try", 20000);
  std::this_thread::sleep_for(200ms);
  const auto released_at = Clock::now();
  lock.Release();
  EXPECT_EQ(waiter.ReadLine(), "Acquired");
  EXPECT_LT(MillisecondsSince(released_at), 5000);
  EXPECT_EQ(waiter.Finish(), 0u);
}

TEST_F(NamedLockTest, WaitInAnotherProcessRunsOutWhileThisOneHolds) {
  NamedLock lock("COM1", folder_);
  ASSERT_EQ(lock.Wait(0ms), LockWait::Acquired);
  LockHolder waiter(folder_, "COM1", "try", 100);
  EXPECT_EQ(waiter.ReadLine(), "TimedOut");
  EXPECT_EQ(waiter.Finish(), 0u);
  lock.Release();
}

}  // namespace
}  // namespace kestrel::platform

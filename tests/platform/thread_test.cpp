#include "platform/thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/named_lock.h"
#include "support/temp_dir.h"

namespace kestrel::platform {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kStack = 256 * 1024;

// Starts `body` on a detached thread of `pool` and waits until it has returned.
void RunAndWait(ThreadPool& pool, std::function<void()> body) {
  std::promise<void> done;
  auto finished = done.get_future();
  pool.StartDetached(
      [&body, &done] {
        body();
        done.set_value();
      },
      kStack);
  ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
}

// Bodies that finish one after another may share a system thread; a lock
// that one of them keeps must still pass on as at the end of a thread, and
// not to the next body of the same thread.
TEST(DetachedThread, LockKeptAtTheEndOfABodyIsHandedOnAsAbandoned) {
  kestrel::testing::TempDir temp;
  NamedLock lock("COM1", temp.Path().string());
  ThreadPool pool;
  for (int round = 0; round < 10; ++round) {
    RunAndWait(pool, [&] { EXPECT_EQ(lock.Wait(0ms), LockWait::Acquired); });
    LockWait next = LockWait::TimedOut;
    RunAndWait(pool, [&] {
      next = lock.Wait(10s);
      lock.Release();
    });
    ASSERT_EQ(next, LockWait::Abandoned) << "round " << round;
  }
}

// Every body runs at once on a thread of its own, also while finished
// threads wait for work: here each body waits for all the others.
TEST(DetachedThread, BodiesStartedTogetherAllRunAtOnce) {
  constexpr int kBodies = 40;
  struct Meeting {
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0;
    int released = 0;
  };
  // Shared, so that bodies left behind by a failure find it still there.
  const auto meeting = std::make_shared<Meeting>();
  ThreadPool pool;
  RunAndWait(pool, [] {});
  for (int i = 0; i < kBodies; ++i) {
    pool.StartDetached(
        [meeting] {
          std::unique_lock lock(meeting->mutex);
          ++meeting->running;
          meeting->changed.notify_all();
          meeting->changed.wait_for(lock, 10s, [&] { return meeting->running == kBodies; });
          ++meeting->released;
          meeting->changed.notify_all();
        },
        kStack);
  }
  std::unique_lock lock(meeting->mutex);
  EXPECT_TRUE(meeting->changed.wait_for(lock, 20s, [&] { return meeting->released == kBodies; }));
  EXPECT_EQ(meeting->running, kBodies);
}

// Destroying a pool ends its waiting threads, which outlive it without
// touching it again.
TEST(DetachedThread, WaitingThreadsOutliveTheirPoolAndEnd) {
  struct EndSignal {
    std::promise<void> ended;
    ~EndSignal() { ended.set_value(); }
  };
  std::future<void> ended;
  {
    ThreadPool pool;
    RunAndWait(pool, [&ended] {
      thread_local EndSignal signal;
      ended = signal.ended.get_future();
    });
    // Time for the thread to begin waiting for the next body.
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(ended.wait_for(10s), std::future_status::ready);
}

}  // namespace
}  // namespace kestrel::platform

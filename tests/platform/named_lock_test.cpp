#include "platform/named_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "base/exception.h"
#include "support/temp_dir.h"

namespace kestrel::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// One run of kestrel-lock-holder, whose lines are read as it prints them.
class LockHolder {
 public:
  LockHolder(const std::string& folder, const std::string& name, const std::string& action,
             int milliseconds) {
    const std::string command = "exec " +
                                ShellQuoted(std::string(KESTREL_BIN_DIR) + "/kestrel-lock-holder") +
                                " " + ShellQuoted(folder) + " " + ShellQuoted(name) + " " + action +
                                " " + std::to_string(milliseconds);
    pipe_ = popen(command.c_str(), "r");
    if (pipe_ == nullptr)
      throw std::runtime_error("cannot start " + command);
  }
  ~LockHolder() { Finish(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  // The next line without its end; empty once the helper has ended.
  std::string ReadLine() {
    char line[64];
    if (std::fgets(line, sizeof line, pipe_) == nullptr)
      return "";
    std::string text(line);
    if (!text.empty() && text.back() == '\n')
      text.pop_back();
    return text;
  }
  // Waits for the helper to end; its wait status (0 for a normal exit).
  int Finish() {
    const int status = pipe_ != nullptr ? pclose(pipe_) : 0;
    pipe_ = nullptr;
    return status;
  }

 private:
  FILE* pipe_ = nullptr;
};

class NamedLockTest : public ::testing::Test {
 protected:
  kestrel::testing::TempDir temp_;
  const std::string folder_ = temp_.Path().string() + "/locks";
};

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST_F(NamedLockTest, NewLockIsNotOwnedAndFolderIsSharedByAllUsers) {
  NamedLock lock("COM1", folder_);
  EXPECT_EQ(lock.Wait(0ms), LockWait::Acquired);
  EXPECT_TRUE(lock.Release());
  const auto permissions = std::filesystem::status(folder_).permissions();
  EXPECT_EQ(permissions, std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
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

TEST_F(NamedLockTest, LockFileDeletedWhileIdleIsReplacedForEveryone) {
  NamedLock old_handle("COM1", folder_);
  std::filesystem::remove(folder_ + "/COM1.lock");
  NamedLock new_handle("COM1", folder_);
  ASSERT_EQ(new_handle.Wait(0ms), LockWait::Acquired);
  EXPECT_EQ(old_handle.Wait(30ms), LockWait::TimedOut);
  new_handle.Release();
  EXPECT_EQ(old_handle.Wait(0ms), LockWait::Acquired);
  old_handle.Release();
}

std::string Content(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(NamedLockTest, TruncatedFileOrClassicLockOfAnotherOpenOnlyDelaysTheLock) {
  NamedLock lock("COM1", folder_);
  const std::string file = folder_ + "/COM1.lock";
  ASSERT_EQ(lock.Wait(0ms), LockWait::Acquired);
  std::filesystem::resize_file(file, 0);
  EXPECT_TRUE(lock.Release());
  std::filesystem::resize_file(file, 0);
  ASSERT_EQ(lock.Wait(0ms), LockWait::Acquired);
  lock.Release();

  const int other = open(file.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(other, 0);
  struct flock region {};
  region.l_type = F_WRLCK;
  region.l_whence = SEEK_SET;
  region.l_len = 1;
  ASSERT_EQ(fcntl(other, F_SETLK, &region), 0);
  EXPECT_EQ(lock.Wait(30ms), LockWait::TimedOut);
  close(other);
  EXPECT_EQ(lock.Wait(1s), LockWait::Acquired);
  lock.Release();
}

TEST_F(NamedLockTest, LinkPlantedInPlaceOfTheFileIsNeverFollowed) {
  NamedLock old_handle("COM1", folder_);
  const std::string target = temp_.Write("target", "keep");
  std::filesystem::remove(folder_ + "/COM1.lock");
  std::filesystem::create_symlink(target, folder_ + "/COM1.lock");
  EXPECT_THROW(NamedLock("COM1", folder_), Exception);
  EXPECT_THROW(old_handle.Wait(0ms), Exception);
  EXPECT_EQ(Content(target), "keep");
  std::filesystem::remove(folder_ + "/COM1.lock");
  EXPECT_EQ(old_handle.Wait(0ms), LockWait::Acquired);
  old_handle.Release();
}

TEST_F(NamedLockTest, OnlyFilesOfThisUserRootOrAClosedFolderGroupAreUsed) {
  if (geteuid() != 0)
    GTEST_SKIP() << "making files of another user needs root";
  constexpr unsigned kStranger = 4242;
  NamedLock("COM1", folder_);
  const std::string file = folder_ + "/COM1.lock";
  ASSERT_EQ(chown(file.c_str(), kStranger, kStranger), 0);
  try {
    NamedLock planted("COM1", folder_);
    FAIL() << "a stranger's file in a folder open to everybody was used";
  } catch (const Exception& failure) {
    EXPECT_NE(failure.Message().find("COM1.lock is refused: it belongs to user 4242"),
              std::string::npos)
        << failure.Message();
  }
  // The installed folder: writable by its group only, whose members share it.
  ASSERT_EQ(chown(folder_.c_str(), 0, kStranger), 0);
  ASSERT_EQ(chmod(folder_.c_str(), 02770), 0);
  NamedLock shared("COM1", folder_);
  EXPECT_EQ(shared.Wait(0ms), LockWait::Acquired);
  shared.Release();
  ASSERT_EQ(chmod(file.c_str(), 0666), 0);
  EXPECT_THROW(NamedLock("COM1", folder_), Exception);
  ASSERT_EQ(chmod(folder_.c_str(), 0777), 0);
  EXPECT_THROW(NamedLock("COM2", folder_), Exception);
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

TEST_F(NamedLockTest, NamesNeverReachOutsideTheFolder) {
  for (const std::string name : {"a/b", "../escape", "..", ".", "", "/etc/passwd", "x\ny", "%"})
    NamedLock(name, folder_);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
    EXPECT_TRUE(entry.is_regular_file()) << entry.path();
    ++files;
  }
  EXPECT_EQ(files, 8);
  EXPECT_TRUE(std::filesystem::exists(folder_ + "/a%2Fb.lock"));
  int beside = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(temp_.Path()))
    ++beside;
  EXPECT_EQ(beside, 1);
}

TEST_F(NamedLockTest, NamesThatLookAlikeAreDistinctLocks) {
  const std::pair<std::string, std::string> pairs[] = {
      {"a/b", "a%2Fb"}, {"COM1", "com1"}, {"", "%"}, {"a.b", "a%2Eb"}, {"x", "x.lock"}};
  for (const auto& [one, other] : pairs) {
    NamedLock first(one, folder_);
    NamedLock second(other, folder_);
    ASSERT_EQ(first.Wait(0ms), LockWait::Acquired) << one;
    EXPECT_EQ(second.Wait(0ms), LockWait::Acquired) << one << " / " << other;
    first.Release();
    second.Release();
  }
}

TEST_F(NamedLockTest, LockThatCannotBeCreatedRaisesTheSystemError) {
  const std::string file = temp_.Write("plain", "x");
  EXPECT_THROW(NamedLock("COM1", file), Exception);
  try {
    NamedLock(std::string(300, 'x'), folder_);
    FAIL() << "an overlong name was accepted";
  } catch (const Exception& failure) {
    EXPECT_EQ(failure.Message().rfind("System Error.  Code: 36.\r\nFile name too long", 0), 0u)
        << failure.Message();
  }
}

TEST_F(NamedLockTest, OtherProcessHoldingMakesTheWaitRunOutUntilItReleases) {
  LockHolder holder(folder_, "COM 1/x", "hold", 300);
  ASSERT_EQ(holder.ReadLine(), "Acquired");
  NamedLock lock("COM 1/x", folder_);
  EXPECT_EQ(lock.Wait(20ms), LockWait::TimedOut);
  EXPECT_EQ(lock.Wait(20s), LockWait::Acquired);
  EXPECT_EQ(holder.ReadLine(), "Released");
  lock.Release();
  EXPECT_EQ(holder.Finish(), 0);
}

TEST_F(NamedLockTest, ProcessKilledWhileHoldingHandsTheLockOnAtOnce) {
  LockHolder holder(folder_, "COM1", "die", 200);
  ASSERT_EQ(holder.ReadLine(), "Acquired");
  NamedLock lock("COM1", folder_);
  const auto start = Clock::now();
  EXPECT_EQ(lock.Wait(20s), LockWait::Abandoned);
  EXPECT_LT(MillisecondsSince(start), 5000);
  EXPECT_NE(holder.Finish(), 0);
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
  EXPECT_EQ(waiter.Finish(), 0);
}

TEST_F(NamedLockTest, WaitInAnotherProcessRunsOutWhileThisOneHolds) {
  NamedLock lock("COM1", folder_);
  ASSERT_EQ(lock.Wait(0ms), LockWait::Acquired);
  LockHolder waiter(folder_, "COM1", "try", 100);
  EXPECT_EQ(waiter.ReadLine(), "TimedOut");
  EXPECT_EQ(waiter.Finish(), 0);
  lock.Release();
}

}  // namespace
}  // namespace kestrel::platform

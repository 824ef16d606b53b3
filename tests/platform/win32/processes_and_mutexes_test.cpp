#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "platform/named_lock.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace kestrel::platform {
namespace {

using namespace std::chrono_literals;

const std::string kLockHolder = std::string(KESTREL_BIN_DIR) + "/kestrel-lock-holder.exe";

// A folder of names that no other test shares.
class ProcessesAndMutexes : public ::testing::Test {
 protected:
  kestrel::testing::TempDir temp_;
  const std::string folder_ = temp_.Path().string();
};

// True once another process holds `lock`; until then this one takes it,
// gives it straight back (to the other, if it waits) and looks again.
bool HeldElsewhere(NamedLock& lock) {
  for (int attempt = 0; attempt < 2000; ++attempt) {
    if (lock.Wait(0ms) == LockWait::TimedOut)
      return true;
    lock.Release();
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

TEST_F(ProcessesAndMutexes, TwoObjectsOfOneNameExcludeEachOtherInOneThread) {
  NamedLock first("COM1", folder_);
  NamedLock second("COM1", folder_);
  ASSERT_EQ(first.Wait(0ms), LockWait::Acquired);
  ASSERT_EQ(first.Wait(0ms), LockWait::Acquired);
  EXPECT_EQ(second.Wait(20ms), LockWait::TimedOut);
  EXPECT_FALSE(second.Release());
  EXPECT_TRUE(first.Release());
  EXPECT_EQ(second.Wait(0ms), LockWait::TimedOut);
  EXPECT_TRUE(first.Release());
  EXPECT_EQ(second.Wait(0ms), LockWait::Acquired);
  EXPECT_TRUE(second.Release());
}

// Other programs of the desktop find a port's queue under the name itself.
TEST_F(ProcessesAndMutexes, DefaultFolderNamesTheMutexByTheLockNameAlone) {
  const std::string name = "kestrel_named_mutex_test_" + std::to_string(GetCurrentProcessId());
  NamedLock lock(name, DefaultLockFolder());
  ASSERT_EQ(lock.Wait(0ms), LockWait::Acquired);
  const std::wstring wide(name.begin(), name.end());
  const HANDLE other = OpenMutexW(SYNCHRONIZE, FALSE, wide.c_str());
  ASSERT_NE(other, nullptr);
  const DWORD elsewhere =
      std::async(std::launch::async, [other] { return WaitForSingleObject(other, 0); }).get();
  CloseHandle(other);
  lock.Release();
  EXPECT_EQ(elsewhere, static_cast<DWORD>(WAIT_TIMEOUT));
}

// The name reaches the holder intact through its command line, blanks,
// quotes and backslashes included, or the two would not meet. Given up, the
// holder runs on to its end and releases.
TEST_F(ProcessesAndMutexes, ArgumentsArriveIntactAndAChildGivenUpRunsOn) {
  const std::string name = "COM 1 \"quoted\" \\";
  ChildProcess holder = SpawnProcess(kLockHolder, {folder_, name, "hold", "300"}, true);
  NamedLock lock(name, folder_);
  ASSERT_TRUE(HeldElsewhere(lock));
  holder.Release();
  EXPECT_EQ(lock.Wait(20s), LockWait::Acquired);
  lock.Release();
}

TEST_F(ProcessesAndMutexes, ExitCodeAndStartFailureComeFromTheSystem) {
  ChildProcess usage = SpawnProcess(kLockHolder, {"too", "few"}, true);
  EXPECT_EQ(usage.WaitForExit(20000), 2u);
  EXPECT_FALSE(usage.Attached());
  try {
    SpawnProcess(folder_ + "/missing.exe", {}, true);
    FAIL() << "a missing program was started";
  } catch (const ProcessCallError& error) {
    EXPECT_EQ(error.Code(), ERROR_FILE_NOT_FOUND);
  }
}

TEST_F(ProcessesAndMutexes, ProcessKilledWhileHoldingHandsTheLockOnAsAbandoned) {
  ChildProcess holder = SpawnProcess(kLockHolder, {folder_, "COM1", "hold", "30000"}, true);
  NamedLock lock("COM1", folder_);
  ASSERT_TRUE(HeldElsewhere(lock));
  ASSERT_TRUE(holder.Kill(9));
  EXPECT_EQ(lock.Wait(20s), LockWait::Abandoned);
  EXPECT_EQ(holder.WaitForExit(20000), 9u);
  lock.Release();
}

// The holder is the child's child: ending the child ends it too.
TEST_F(ProcessesAndMutexes, KillEndsWhatTheChildStarted) {
  const char* shell = std::getenv("ComSpec");
  ASSERT_NE(shell, nullptr);
  ChildProcess child =
      SpawnProcess(shell, {"/c", kLockHolder, folder_, "COM2", "hold", "30000"}, true);
  NamedLock lock("COM2", folder_);
  ASSERT_TRUE(HeldElsewhere(lock));
  ASSERT_TRUE(child.Kill(5));
  EXPECT_EQ(child.WaitForExit(20000), 5u);
  EXPECT_EQ(lock.Wait(20s), LockWait::Abandoned);
  lock.Release();
}

}  // namespace
}  // namespace kestrel::platform

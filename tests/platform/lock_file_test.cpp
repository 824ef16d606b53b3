// What the lock files behind the named locks of Linux must withstand: files
// deleted, truncated or locked by others, links and strangers' files planted
// in their place, names that would leave the folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "base/exception.h"
#include "platform/named_lock.h"
#include "support/temp_dir.h"

namespace kestrel::platform {
namespace {

using namespace std::chrono_literals;
using kestrel::testing::ReadAll;

class LockFileTest : public ::testing::Test {
 protected:
  kestrel::testing::TempDir temp_;
  const std::string folder_ = temp_.Path().string() + "/locks";
};

TEST_F(LockFileTest, NewLockIsNotOwnedAndFolderIsSharedByAllUsers) {
  NamedLock lock("COM1", folder_);
  EXPECT_EQ(lock.Wait(0ms), LockWait::Acquired);
  EXPECT_TRUE(lock.Release());
  const auto permissions = std::filesystem::status(folder_).permissions();
  EXPECT_EQ(permissions, std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
}

TEST_F(LockFileTest, LockFileDeletedWhileIdleIsReplacedForEveryone) {
  NamedLock old_handle("COM1", folder_);
  std::filesystem::remove(folder_ + "/COM1.lock");
  NamedLock new_handle("COM1", folder_);
  ASSERT_EQ(new_handle.Wait(0ms), LockWait::Acquired);
  EXPECT_EQ(old_handle.Wait(30ms), LockWait::TimedOut);
  new_handle.Release();
  EXPECT_EQ(old_handle.Wait(0ms), LockWait::Acquired);
  old_handle.Release();
}

TEST_F(LockFileTest, TruncatedFileOrClassicLockOfAnotherOpenOnlyDelaysTheLock) {
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

TEST_F(LockFileTest, LinkPlantedInPlaceOfTheFileIsNeverFollowed) {
  NamedLock old_handle("COM1", folder_);
  const std::string target = temp_.Write("target", "keep");
  std::filesystem::remove(folder_ + "/COM1.lock");
  std::filesystem::create_symlink(target, folder_ + "/COM1.lock");
  EXPECT_THROW(NamedLock("COM1", folder_), Exception);
  EXPECT_THROW(old_handle.Wait(0ms), Exception);
  EXPECT_EQ(ReadAll(target), "keep");
  std::filesystem::remove(folder_ + "/COM1.lock");
  EXPECT_EQ(old_handle.Wait(0ms), LockWait::Acquired);
  old_handle.Release();
}

TEST_F(LockFileTest, OnlyFilesOfThisUserRootOrAClosedFolderGroupAreUsed) {
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

TEST_F(LockFileTest, NamesNeverReachOutsideTheFolder) {
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

TEST_F(LockFileTest, LockThatCannotBeCreatedRaisesTheSystemError) {
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

}  // namespace
}  // namespace kestrel::platform

// What other local users do to the machine-wide lock files of the real
// server's port locks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "app/port_queue.h"
#include "faults/print_commands.h"
#include "platform/named_lock.h"
#include "support/kestrel_process.h"
#include "support/tcp_client.h"

namespace kestrel::testing {
namespace {

// The machine-wide lock file of a port whose name needs no encoding.
std::string LockFileOf(const std::string& port) {
  return platform::DefaultLockFolder() + "/" + std::string(kPortMutexPrefix) + port + ".lock";
}

class PortLockFile : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.CopyTool("corvid-instant", "corvid.exe");
    ASSERT_TRUE(server_.Start()) << server_.Output();
  }
  void TearDown() override { std::filesystem::remove(LockFileOf(port_)); }

  std::string PrintError() {
    const std::string answer = server_.Post(PrintCommand(port_, "sale"), 20000);
    return answer == "<no answer>" ? answer : ReceiptResult(answer)->FError;
  }

  const std::string port_ = UniquePortName("lockfile");
  KestrelProcess server_;
};

TEST_F(PortLockFile, TruncatedOrDeletedFileLeavesThePortPrinting) {
  ASSERT_EQ(PrintError(), "");
  std::filesystem::resize_file(LockFileOf(port_), 0);
  EXPECT_EQ(PrintError(), "") << server_.Output();
  std::filesystem::remove(LockFileOf(port_));
  EXPECT_EQ(PrintError(), "") << server_.Output();
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

TEST_F(PortLockFile, FilePlantedByAnotherUserIsRefusedAndThePortWorksOnceItIsGone) {
  if (geteuid() != 0)
    GTEST_SKIP() << "planting another user's file needs root";
  platform::NamedLock(std::string(kPortMutexPrefix) + port_);
  ASSERT_EQ(chown(LockFileOf(port_).c_str(), 4242, 4242), 0);
  const std::string error = PrintError();
  EXPECT_NE(error.find(LockFileOf(port_) + " is refused: it belongs to user 4242"),
            std::string::npos)
      << error;
  EXPECT_TRUE(WaitUntil(
      [&] {
        return server_.Output().find(" is refused: it belongs to user 4242") != std::string::npos;
      },
      10000))
      << server_.Output();
  std::filesystem::remove(LockFileOf(port_));
  EXPECT_EQ(PrintError(), "");
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

}  // namespace
}  // namespace kestrel::testing

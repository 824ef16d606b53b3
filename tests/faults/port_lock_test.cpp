// A server killed while its driver holds a printer's port: the port lock
// lives in the server process alone, so the next server on the machine
// prints on that port at once, even while the orphaned driver runs on.
// And what other local users do to the machine-wide lock files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "app/port_queue.h"
#include "faults/print_commands.h"
#include "platform/named_lock.h"
#include "support/kestrel_process.h"
#include "support/tcp_client.h"

namespace kestrel::testing {
namespace {

// Ends the driver that a killed server left behind, however the test ends.
class OrphanedDriver {
 public:
  explicit OrphanedDriver(std::string pid_file) : pid_file_(std::move(pid_file)) {}
  ~OrphanedDriver() {
    if (Pid() > 0)
      SendSignal(Pid(), "KILL");
  }
  OrphanedDriver(const OrphanedDriver&) = delete;
  OrphanedDriver& operator=(const OrphanedDriver&) = delete;

  bool Started() const {
    return WaitUntil([&] { return Pid() > 0; }, 20000);
  }
  std::int32_t Pid() const {
    std::ifstream in(pid_file_);
    std::int32_t pid = 0;
    return in >> pid ? pid : 0;
  }

 private:
  std::string pid_file_;
};

TEST(PortLockAfterKill, NextServerPrintsAtOnceWhileTheOrphanedDriverRuns) {
  const std::string port = UniquePortName("killed");
  KestrelProcess first{KESTREL_BIN_DIR};
  first.DriverScript(
      "echo $$ > \"$dir/driver.pid.new\"\nmv \"$dir/driver.pid.new\" "
      "\"$dir/driver.pid\"\nexec sleep 60");
  ASSERT_TRUE(first.Start()) << first.Output();
  OrphanedDriver driver(first.PathOf("driver.pid"));
  std::string first_answer;
  std::thread client([&] { first_answer = first.Post(PrintCommand(port, "sale"), 30000); });
  const bool driver_started = driver.Started();
  first.Kill();
  client.join();
  ASSERT_TRUE(driver_started) << first.Output();
  EXPECT_EQ(first_answer, "<no answer>");

  KestrelProcess second{KESTREL_BIN_DIR};
  second.CopyTool("corvid-instant", "corvid.exe");
  ASSERT_TRUE(second.Start()) << second.Output();
  // The port wait is minutes long: an inherited lock would leave no answer
  // within this bound.
  const std::string answer = second.Post(PrintCommand(port, "sale"), 10000);
  ASSERT_NE(answer, "<no answer>") << "the port is still locked by the killed server's driver";
  const auto result = ReceiptResult(answer);
  EXPECT_EQ(result->FError, "");
  EXPECT_EQ(result->FDocNo, 1);
  EXPECT_TRUE(SendSignal(driver.Pid(), "0")) << "the orphaned driver should still run";
  EXPECT_EQ(second.Stop(), 0) << second.Output();
}

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
  KestrelProcess server_{KESTREL_BIN_DIR};
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

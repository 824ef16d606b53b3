// A server killed while its driver holds a printer's port: the port lock
// lives in the server process alone, so the next server on the machine
// prints on that port at once, even while the orphaned driver runs on.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "faults/print_commands.h"
#include "support/kestrel_process.h"
#include "support/processes.h"
#include "support/tcp_client.h"

namespace kestrel::testing {
namespace {

// Ends the driver that a killed server left behind, however the test ends.
class OrphanedDriver {
 public:
  explicit OrphanedDriver(std::string pid_file) : pid_file_(std::move(pid_file)) {}
  ~OrphanedDriver() {
    if (Pid() > 0)
      KillProcess(Pid());
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
  KestrelProcess first;
  first.Driver("pid $dir/driver.pid\nsleep 60000");
  ASSERT_TRUE(first.Start()) << first.Output();
  OrphanedDriver driver(first.PathOf("driver.pid"));
  std::string first_answer;
  std::thread client([&] { first_answer = first.Post(PrintCommand(port, "sale"), 30000); });
  const bool driver_started = driver.Started();
  first.Kill();
  client.join();
  ASSERT_TRUE(driver_started) << first.Output();
  EXPECT_EQ(first_answer, "<no answer>");

  KestrelProcess second;
  second.CopyTool("corvid-instant", "corvid.exe");
  ASSERT_TRUE(second.Start()) << second.Output();
  // The port wait is minutes long: an inherited lock would leave no answer
  // within this bound.
  const std::string answer = second.Post(PrintCommand(port, "sale"), 10000);
  ASSERT_NE(answer, "<no answer>") << "the port is still locked by the killed server's driver";
  const auto result = ReceiptResult(answer);
  EXPECT_EQ(result->FError, "");
  EXPECT_EQ(result->FDocNo, 1);
  EXPECT_TRUE(ProcessRuns(driver.Pid())) << "the orphaned driver should still run";
  EXPECT_EQ(second.Stop(), 0) << second.Output();
}

}  // namespace
}  // namespace kestrel::testing

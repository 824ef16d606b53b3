// Drivers that fail in the middle of a command, as the real server meets
// them: each command ends in an answer, the port is free for the next
// command and the server goes on serving.
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

class FaultyDriver : public ::testing::Test {
 protected:
  // The driver misbehaves as the steps of `fault` say for "test" (given
  // 9000 ms) and answers every other command at once with a good result.
  void StartWithFault(std::initializer_list<std::string> fault) {
    server_.CopyTool("corvid-instant", "instant.exe");
    std::string steps;
    for (const std::string& step : fault)
      steps += "if-equal $2 9000 " + step + "\n";
    server_.Driver(steps + "run $dir/instant.exe $1 $2");
    ASSERT_TRUE(server_.Start()) << server_.Output();
  }
  void TearDown() override {
    EXPECT_EQ(server_.Stop(), 0) << server_.Output();
    EXPECT_EQ(server_.Output().find("Sanitizer"), std::string::npos) << server_.Output();
  }

  std::unique_ptr<TTermPrintRes> SendFaultyCommand() {
    return ReceiptResult(server_.Post(PrintCommand(port_, "test")));
  }
  // The next command on the same port runs its driver, and the version
  // query is answered.
  void ExpectPortFreeAndServing() {
    const auto next = ReceiptResult(server_.Post(PrintCommand(port_, "sale"), 10000));
    EXPECT_EQ(next->FError, "");
    EXPECT_EQ(next->FDocNo, 1);
    EXPECT_EQ(server_.Post("DrvVer"), kVersionAnswer);
    EXPECT_EQ(ParameterFilesLeft(), 0);
  }
  int ParameterFilesLeft() const {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(server_.Folder().Path()))
      count += entry.path().extension() == ".dat" ? 1 : 0;
    return count;
  }

  KestrelProcess server_;
  const std::string port_ = UniquePortName("faulty");
};

TEST_F(FaultyDriver, KilledAfterWritingHalfAResult) {
  StartWithFault({"write $1 \"half of a res\"", "die"});
  const auto result = SendFaultyCommand();
  EXPECT_NE(result->FError, "");
  EXPECT_EQ(result->FError.find("undecodable"), std::string::npos) << result->FError;
  EXPECT_EQ(result->FDocNo, 0);
  ExpectPortFreeAndServing();
}

TEST_F(FaultyDriver, KilledByAnotherProcessInTheMiddleOfACommand) {
  StartWithFault({"pid $dir/driver.pid", "sleep 60000"});
  std::string answer;
  std::thread client([&] { answer = server_.Post(PrintCommand(port_, "test")); });
  std::int32_t pid = 0;
  const bool started = WaitUntil(
      [&] {
        std::ifstream in(server_.PathOf("driver.pid"));
        return static_cast<bool>(in >> pid);
      },
      20000);
  if (started)
    KillProcess(pid);
  client.join();
  ASSERT_TRUE(started);
  // The command is still in the file; read as a result it would pass for a
  // success.
  const auto result = ReceiptResult(answer);
  EXPECT_EQ(result->FError, "Неизвестная ошибка");
  EXPECT_EQ(result->FSumm0.Raw(), 0);
  ExpectPortFreeAndServing();
}

TEST_F(FaultyDriver, FailingWithoutTouchingTheFile) {
  StartWithFault({"exit 3"});
  EXPECT_EQ(SendFaultyCommand()->FError, "Неизвестная ошибка");
  ExpectPortFreeAndServing();
}

TEST_F(FaultyDriver, GarbageForAResult) {
  StartWithFault({"write $1 \"this is no BSON document, only text\"", "exit 0"});
  const auto result = SendFaultyCommand();
  EXPECT_NE(result->FError, "");
  EXPECT_EQ(result->FError.find("undecodable"), std::string::npos) << result->FError;
  ExpectPortFreeAndServing();
}

TEST_F(FaultyDriver, ResultAboveTheLimitIsRefusedUnread) {
  // One byte more than 64 MiB, sparse: reading it would still cost the memory.
  StartWithFault({"size $1 67108865", "exit 0"});
  const std::string answer = server_.Post(PrintCommand(port_, "test"));
  EXPECT_LT(answer.size(), 4096u);
  const std::string error = ReceiptResult(answer)->FError;
  EXPECT_TRUE(error.starts_with("File \"" + server_.Folder().Folder() + "P")) << error;
  EXPECT_TRUE(error.ends_with(".dat\" is larger than 67108864 bytes")) << error;
  ExpectPortFreeAndServing();
}

}  // namespace
}  // namespace kestrel::testing

// Command ids and the journal, end to end: the real server with the
// simulated driver (or a script), restarted and killed as in a shop.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "app/command_ids.h"
#include "app/print.h"
#include "faults/print_commands.h"
#include "files/pack.h"
#include "journal/journal.h"
#include "support/environment.h"
#include "support/kestrel_process.h"
#include "support/tcp_client.h"

namespace kestrel::testing {
namespace {

std::string CommandWithId(const std::string& port, const std::string& id,
                          const std::string& text = "") {
  TPrintCmd command;
  BSONToObj(PrintCommand(port, "sale", text), command);
  command.FIdCommand = id;
  return ObjToBSON(command);
}

std::string ResultRequest(const std::string& id) {
  TCmdResult request;
  request.FCmdResult = id;
  return ObjToBSON(request);
}

std::string ErrorOf(const std::string& answer) {
  return ReceiptResult(answer)->FError;
}

class JournalEndToEnd : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(server_.Output().find("Sanitizer"), std::string::npos) << server_.Output();
  }
  void StartSimulator() {
    server_.CopyTool("corvid.exe", "corvid.exe");
    ASSERT_TRUE(server_.Start()) << server_.Output();
  }
  // Receipts the simulated printer of port_ has printed.
  int Receipts() const {
    std::ifstream tape(server_.PathOf("corvid-sim/port-" + PortForFileName(port_) + ".tape"));
    int count = 0;
    for (std::string line; std::getline(tape, line);)
      count += line == "--------------------------------" ? 1 : 0;
    return count;
  }

  KestrelProcess server_;
  const std::string port_ = UniquePortName("journal");
};

TEST_F(JournalEndToEnd, RepeatedIdRunsOnceAndGetsTheSameAnswerAcrossARestart) {
  StartSimulator();
  const std::string request = CommandWithId(port_, "sale-1");
  const std::string first = server_.Post(request);
  ASSERT_EQ(ErrorOf(first), "");
  EXPECT_EQ(server_.Post(request), first);
  EXPECT_EQ(server_.Post(PackString(request)), PackString(first));
  EXPECT_EQ(server_.Post(ResultRequest("sale-1")), first);
  EXPECT_EQ(ErrorOf(server_.Post(ResultRequest("sale-2"))), UnknownIdText("sale-2"));
  EXPECT_EQ(ErrorOf(server_.Post(CommandWithId(port_, "sale-1", "other text"))),
            IdOfOtherCommandText("sale-1"));
  EXPECT_EQ(ErrorOf(server_.Post(CommandWithId(port_, std::string(65, 'x')))), IdTooLongText());

  ASSERT_EQ(server_.Stop(), 0) << server_.Output();
  ASSERT_TRUE(server_.Start()) << server_.Output();
  EXPECT_EQ(server_.Post(request), first);
  EXPECT_EQ(Receipts(), 1);
  // Every command is in the journal, the repeats and refusals included.
  const std::vector<JournalRow> rows = ReadJournal(server_.PathOf(kJournalFileName), {});
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[0].outcome, "done");
  EXPECT_EQ(rows[0].answer, first);
  EXPECT_EQ(rows[0].sender.rfind("127.0.0.1:", 0), 0u) << rows[0].sender;
  EXPECT_EQ(rows[1].outcome, "repeat");
  EXPECT_EQ(rows[3].outcome, "refused");
}

TEST_F(JournalEndToEnd, RefusalBeforeTheDriverStartsLeavesTheIdFree) {
  StartSimulator();
  TPrintCmd command;
  BSONToObj(CommandWithId(port_, "retry-me"), command);
  command.FSrvVer = "2001.01.01 00:00";
  EXPECT_NE(ErrorOf(server_.Post(ObjToBSON(command))), "");
  EXPECT_EQ(ErrorOf(server_.Post(ResultRequest("retry-me"))), UnknownIdText("retry-me"));
  EXPECT_EQ(ErrorOf(server_.Post(CommandWithId(port_, "retry-me"))), "");
  EXPECT_EQ(Receipts(), 1);
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

TEST_F(JournalEndToEnd, SameIdSentTwiceAtOnceRunsOnce) {
  {
    const ScopedEnvironmentVariable delay("CORVID_SIM_DELAY_MS", "700");
    StartSimulator();
  }
  const std::string request = CommandWithId(port_, "at-once");
  std::string answers[2];
  std::thread first([&] { answers[0] = server_.Post(request); });
  std::thread second([&] { answers[1] = server_.Post(request); });
  first.join();
  second.join();
  EXPECT_EQ(ErrorOf(answers[0]), "");
  EXPECT_EQ(answers[0], answers[1]);
  EXPECT_EQ(Receipts(), 1);
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

TEST_F(JournalEndToEnd, IdOfARunCutShortByAKillIsInterruptedAndNeverRunsAgain) {
  server_.Driver("append $dir/runs run\nsleep 30000");
  ASSERT_TRUE(server_.Start()) << server_.Output();
  const std::string request = CommandWithId(port_, "cut-short");
  std::thread client([&] { server_.Post(request); });
  const bool driver_started =
      WaitUntil([&] { return std::filesystem::exists(server_.PathOf("runs")); }, 20000);
  server_.Kill();
  client.join();
  ASSERT_TRUE(driver_started);

  ASSERT_TRUE(server_.Start()) << server_.Output();
  EXPECT_EQ(ErrorOf(server_.Post(request)), IdInterruptedText("cut-short"));
  EXPECT_EQ(ErrorOf(server_.Post(ResultRequest("cut-short"))), IdInterruptedText("cut-short"));
  EXPECT_EQ(server_.Folder().Read("runs"), "run\n");
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

TEST_F(JournalEndToEnd, CorruptDatabaseIsMovedAsideAndPrintingGoesOn) {
  server_.Folder().Write(kJournalFileName, std::string(8192, 'x'));
  StartSimulator();
  EXPECT_NE(server_.Output().find("перенесён в"), std::string::npos) << server_.Output();
  bool moved_aside = false;
  for (const auto& entry : std::filesystem::directory_iterator(server_.Folder().Path()))
    moved_aside |= entry.path().extension() == ".bad";
  EXPECT_TRUE(moved_aside);
  const std::string first = server_.Post(CommandWithId(port_, "after-corruption"));
  EXPECT_EQ(ErrorOf(first), "");
  EXPECT_EQ(server_.Post(ResultRequest("after-corruption")), first);
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

TEST_F(JournalEndToEnd, JournalThatCannotBeWrittenRefusesIdsAndPrintsTheRest) {
  // Files of the server stop at 8 blocks of 512 bytes: no database fits.
  server_.CopyTool("corvid.exe", "corvid.exe");
  ASSERT_TRUE(server_.StartUnderShell("ulimit -f 8")) << server_.Output();
  EXPECT_EQ(ErrorOf(server_.Post(CommandWithId(port_, "unrecorded")))
                .rfind(JournalWriteFailedText(""), 0),
            0u);
  EXPECT_EQ(Receipts(), 0);
  EXPECT_EQ(ErrorOf(server_.Post(PrintCommand(port_, "sale"))), "");
  EXPECT_EQ(Receipts(), 1);
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

}  // namespace
}  // namespace kestrel::testing

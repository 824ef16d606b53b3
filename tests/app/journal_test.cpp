// The journal's retention and the id hand-over between concurrent runs.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "app/command_ids.h"
#include "base/exception.h"
#include "journal/journal.h"
#include "support/temp_dir.h"

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kDay = 24 * 3600;

std::int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

JournalCommand Command(const std::string& id, std::int64_t fingerprint = 7) {
  JournalCommand command;
  command.received = JournalTime();
  command.id = id;
  command.port = "COM1";
  command.cmd = "sale";
  command.fingerprint = fingerprint;
  return command;
}

// The Error with which a claim is refused, or "" when it is not.
std::string ClaimError(TCommandIds& ids, const std::string& id, std::int64_t fingerprint,
                       std::chrono::milliseconds wait = 1s) {
  try {
    ids.Claim(id, fingerprint, wait);
  } catch (const Exception& failure) {
    return failure.Message();
  }
  return "";
}

class JournalStore : public ::testing::Test {
 protected:
  std::unique_ptr<Journal> Open(JournalLimits limits) {
    limits.trim_interval = 1h;  // the tests trim by hand
    return std::make_unique<Journal>(folder_.Folder() + kJournalFileName, limits,
                                     [](const std::string&) {});
  }
  // A finished run of `id` with an answer of `answer_bytes`.
  static void Ran(Journal& journal, const std::string& id, std::size_t answer_bytes) {
    journal.Ended(journal.Started(Command(id)), "", std::string(answer_bytes, 'a'));
  }

  TempDir folder_;
};

TEST_F(JournalStore, SizeBoundDropsOldAnswersButKeepsTheirIds) {
  auto journal = Open({.max_bytes = 15000});
  Ran(*journal, "old", 10000);
  journal->Answered(Command(""), "refused", "no", std::string(10000, 'r'));
  Ran(*journal, "new", 10000);
  journal->Trim(UnixNow());
  EXPECT_EQ(journal->Find("old").state, JournalIdState::kDropped);
  EXPECT_EQ(journal->Find("new").state, JournalIdState::kDone);
  const std::vector<JournalRow> rows = ReadJournal(journal->File(), {});
  ASSERT_EQ(rows.size(), 2u);  // the refused command without id went whole
  EXPECT_EQ(rows[0].id, "old");
  EXPECT_FALSE(rows[0].answer);

  TCommandIds ids(std::move(journal), "", [](const std::string&) {});
  EXPECT_EQ(ClaimError(ids, "old", 7), ResultNoLongerKeptText("old"));
  EXPECT_EQ(ids.Claim("new", 7, 1s), std::string(10000, 'a'));
}

TEST_F(JournalStore, AgeBoundDeletesRowsAndFreesTheirIds) {
  auto journal = Open({.max_age_seconds = 30 * kDay});
  Ran(*journal, "month-old", 100);
  journal->Trim(UnixNow() + 29 * kDay);
  EXPECT_EQ(journal->Find("month-old").state, JournalIdState::kDone);
  journal->Trim(UnixNow() + 31 * kDay);
  EXPECT_EQ(journal->Find("month-old").state, JournalIdState::kUnknown);
  EXPECT_TRUE(ReadJournal(journal->File(), {}).empty());
}

TEST_F(JournalStore, NewestRowsOfAPortComeInTheirOrder) {
  auto journal = Open({});
  for (const char* id : {"a", "b", "c"})
    Ran(*journal, id, 10);
  JournalCommand other_port = Command("d");
  other_port.port = "COM2";
  journal->Ended(journal->Started(other_port), "", "x");
  JournalQuery newest_of_com1;
  newest_of_com1.port = "COM1";
  newest_of_com1.newest = 2;
  const std::vector<JournalRow> rows = ReadJournal(journal->File(), newest_of_com1);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].id, "b");
  EXPECT_EQ(rows[1].id, "c");
}

// A repeat that waits for a first run gets its answer; when the first run
// ends before its driver starts, the waiting repeat runs the id itself.
TEST_F(JournalStore, WaitingRepeatGetsTheAnswerOrTheIdItself) {
  TCommandIds ids(Open({}), "", [](const std::string&) {});
  ASSERT_EQ(ids.Claim("a", 1, 1s), std::nullopt);
  std::optional<std::string> repeat;
  std::thread waiter([&] { repeat = ids.Claim("a", 1, 20s); });
  std::this_thread::sleep_for(50ms);
  const std::string answer = "answer";
  ids.Release("a", &answer);
  waiter.join();
  EXPECT_EQ(repeat, "answer");

  ASSERT_EQ(ids.Claim("b", 1, 1s), std::nullopt);
  std::optional<std::string> second = "unset";
  std::thread runner([&] { second = ids.Claim("b", 1, 20s); });
  std::this_thread::sleep_for(50ms);
  ids.Release("b", nullptr);
  runner.join();
  EXPECT_EQ(second, std::nullopt);
  EXPECT_THROW(ids.Claim("b", 2, 1s), Exception);    // another command while "b" runs
  EXPECT_THROW(ids.Claim("b", 1, 10ms), Exception);  // the wait runs out
  ids.Release("b", nullptr);
}

}  // namespace
}  // namespace kestrel::testing

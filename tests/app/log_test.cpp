#include "app/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace kestrel {
namespace {

// Records what a view is told, as short texts, in the order it is told.
class RecordingListener final : public LogListener {
 public:
  void LineInserted(const std::string& line) override { events.push_back("line:" + line); }
  void OldestLineRemoved() override { events.push_back("remove"); }
  void BalloonShown(const std::string& text) override { events.push_back("balloon:" + text); }
  void MinimizeRequested() override { events.push_back("minimize"); }
  void RestoreRequested() override { events.push_back("restore"); }

  std::vector<std::string> events;
};

class LogTest : public ::testing::Test {
 protected:
  LogTest() { log.SetListener(&listener); }

  std::vector<std::string> EventsOf(std::string_view msg) {
    listener.events.clear();
    log.WriteLOG(msg);
    return listener.events;
  }

  std::mutex cs;
  TLog log{cs};
  RecordingListener listener;
};

using Events = std::vector<std::string>;

TEST_F(LogTest, AlertIsShownAsBalloonAndRestoresTheWindow) {
  EXPECT_EQ(EventsOf("Bind 98 Address already in use"),
            (Events{"line:Bind 98 Address already in use", "balloon:Bind 98 Address already in use",
                    "restore"}));
}

TEST_F(LogTest, NoticeLosesItsDollarAndDoesNotRestore) {
  EXPECT_EQ(EventsOf("$Драйвер 1.2"), (Events{"line:Драйвер 1.2", "balloon:Драйвер 1.2"}));
}

TEST_F(LogTest, OnlyTheFirstDollarMarksANotice) {
  EXPECT_EQ(EventsOf("$$x"), (Events{"line:$x", "balloon:$x"}));
  EXPECT_EQ(EventsOf("x$"), (Events{"line:x$", "balloon:x$", "restore"}));
}

TEST_F(LogTest, EmptyMessageIsAnAlert) {
  EXPECT_EQ(EventsOf(""), (Events{"line:", "balloon:", "restore"}));
  EXPECT_EQ(EventsOf("$"), (Events{"line:", "balloon:"}));
}

TEST_F(LogTest, DefaultStartLineMinimizesWithoutBalloon) {
  EXPECT_EQ(EventsOf("Started at 0.0.0.0:8080"),
            (Events{"line:Started at 0.0.0.0:8080", "minimize"}));
  EXPECT_EQ(EventsOf("$Started at 0.0.0.0:8080"),
            (Events{"line:Started at 0.0.0.0:8080", "minimize"}));
}

TEST_F(LogTest, OtherStartLinesAreShownAndRestore) {
  EXPECT_EQ(
      EventsOf("Started at 127.0.0.1:8080"),
      (Events{"line:Started at 127.0.0.1:8080", "balloon:Started at 127.0.0.1:8080", "restore"}));
  EXPECT_EQ(EventsOf("Started at 0.0.0.0:8080 ").back(), "restore");
  EXPECT_EQ(EventsOf("started at 0.0.0.0:8080").back(), "restore");
}

TEST_F(LogTest, LineIsExactlyTheTextAfterNormalizing) {
  log.WriteLOG("a\r\nb");
  log.WriteLOG("three   spaces");
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"three  spaces", "a b"}));
}

TEST(NormalizeLogText, CrLfBecomesOneBlank) {
  EXPECT_EQ(NormalizeLogText("a\r\nb"), "a b");
  EXPECT_EQ(NormalizeLogText("\r\nab\r\n"), " ab ");
  EXPECT_EQ(NormalizeLogText("a\rb\nc\n\rd"), "a\rb\nc\n\rd");
}

TEST(NormalizeLogText, OnePassTurnsPairsOfBlanksIntoOne) {
  EXPECT_EQ(NormalizeLogText("a  b"), "a b");
  EXPECT_EQ(NormalizeLogText("a   b"), "a  b");
  EXPECT_EQ(NormalizeLogText("a    b"), "a  b");
  EXPECT_EQ(NormalizeLogText("a     b"), "a   b");
}

TEST(NormalizeLogText, BlanksFromCrLfJoinThePass) {
  EXPECT_EQ(NormalizeLogText("a\r\n\r\nb"), "a b");
  EXPECT_EQ(NormalizeLogText("a \r\nb"), "a b");
  EXPECT_EQ(NormalizeLogText("a\r\n\r\n\r\nb"), "a  b");
}

TEST_F(LogTest, KeepsTheNewestThousandLinesNewestFirst) {
  for (int i = 1; i <= 1001; ++i)
    log.WriteLOG("$" + std::to_string(i));
  const std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), TLog::kMaxLines);
  EXPECT_EQ(lines.front(), "1001");
  EXPECT_EQ(lines.back(), "2");
}

TEST_F(LogTest, OldestLineIsRemovedRightAfterTheInsertThatOverflows) {
  for (int i = 1; i <= 1000; ++i)
    log.WriteLOG("$" + std::to_string(i));
  EXPECT_EQ(std::count(listener.events.begin(), listener.events.end(), "remove"), 0);
  EXPECT_EQ(EventsOf("$1001"), (Events{"line:1001", "remove", "balloon:1001"}));
}

TEST_F(LogTest, WorksWithoutListener) {
  log.SetListener(nullptr);
  log.WriteLOG("Started at 0.0.0.0:8080");
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"Started at 0.0.0.0:8080"});
}

// Mirrors the log from its events, so a listener that saw the changes out of
// order (or interleaved between writers) ends with a different list.
class MirrorListener final : public LogListener {
 public:
  void LineInserted(const std::string& line) override {
    lines.insert(lines.begin(), line);
    last_line = line;
  }
  void OldestLineRemoved() override { lines.pop_back(); }
  void BalloonShown(const std::string& text) override {
    if (text != last_line)
      ++mismatched_balloons;
  }
  void MinimizeRequested() override {}
  void RestoreRequested() override {}

  std::vector<std::string> lines;
  std::string last_line;
  int mismatched_balloons = 0;
};

TEST(LogThreads, ManyWritersKeepLinesWholeAndInOrder) {
  constexpr int kWriters = 8;
  constexpr int kPerWriter = 400;
  std::mutex cs;
  TLog log(cs);
  MirrorListener mirror;
  log.SetListener(&mirror);
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&log, w] {
      for (int n = 0; n < kPerWriter; ++n)
        log.WriteLOG("writer " + std::to_string(w) + "  no " + std::to_string(n));
    });
  }
  for (auto& writer : writers)
    writer.join();

  const std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), TLog::kMaxLines);
  EXPECT_EQ(mirror.lines, lines);
  EXPECT_EQ(mirror.mismatched_balloons, 0);
  std::vector<int> previous(kWriters, kPerWriter);
  for (const std::string& line : lines) {
    int writer = -1, number = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "writer %d no %d", &writer, &number), 2) << line;
    EXPECT_LT(number, previous[writer]) << "newest first within writer " << writer;
    previous[writer] = number;
  }
}

}  // namespace
}  // namespace kestrel

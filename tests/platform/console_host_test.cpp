#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/window_host.h"
#include "support/processes.h"

namespace kestrel::platform {
namespace {

using namespace std::chrono_literals;

// Counts the timer ticks and runs `on_tick` on each; the view closes itself
// on tick `close_at` at the latest, so no test can hang on it.
class TickEvents final : public WindowEvents {
 public:
  TickEvents(WindowHost& host, int close_at) : host_(host), close_at_(close_at) {}

  void FormResize(bool) override {}
  void TrayIconClick() override {}
  void Timer1Timer() override {
    ++ticks;
    if (on_tick)
      on_tick();
    if (ticks >= close_at_)
      host_.Close();
  }

  int ticks = 0;
  std::function<void()> on_tick;

 private:
  WindowHost& host_;
  int close_at_;
};

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);)
    lines.push_back(line);
  return lines;
}

TEST(ConsoleHost, LinesGoOutOneEachInTheOrderOfInsertion) {
  std::ostringstream out;
  auto host = CreateConsoleHost(out);
  host->InsertLine("Started at 0.0.0.0:8080");
  host->ShowBalloon("Started at 0.0.0.0:8080");
  host->Minimize();
  host->InsertLine("");
  host->RemoveOldestLine();
  host->Restore();
  host->InsertLine("Ошибка CRC");
  host->Close();
  TickEvents events(*host, 3);
  host->Run(events);
  EXPECT_EQ(out.str(), "Started at 0.0.0.0:8080\n\nОшибка CRC\n");
  EXPECT_EQ(events.ticks, 0);
}

TEST(ConsoleHost, OutputThatCannotKeepUpKeepsTheNewestThousandLinesWaiting) {
  std::ostringstream out;
  auto host = CreateConsoleHost(out);
  for (int i = 0; i < 5000; ++i)
    host->InsertLine("line " + std::to_string(i));
  host->Close();
  TickEvents events(*host, 3);
  host->Run(events);
  const std::vector<std::string> lines = LinesOf(out.str());
  ASSERT_EQ(lines.size(), 1001u);
  EXPECT_EQ(lines[0], "(4000 older lines not shown: the output could not keep up)");
  EXPECT_EQ(lines[1], "line 4000");
  EXPECT_EQ(lines[1000], "line 4999");
}

TEST(ConsoleHost, TimerTicksEverySecondUntilClosed) {
  std::ostringstream out;
  auto host = CreateConsoleHost(out);
  TickEvents events(*host, 2);
  const auto begin = std::chrono::steady_clock::now();
  host->Run(events);
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(events.ticks, 2);
  EXPECT_GE(elapsed, 1900ms);
  EXPECT_LT(elapsed, 10s);
}

class ConsoleHostSignal : public ::testing::TestWithParam<int> {};

TEST_P(ConsoleHostSignal, CloseSignalEndsTheLoopAfterTheQueuedLines) {
  std::ostringstream out;
  auto host = CreateConsoleHost(out);
  TickEvents events(*host, 3);
  events.on_tick = [&] {
    host->InsertLine("last");
    kestrel::testing::RequestOwnClose(GetParam());
  };
  host->Run(events);
  EXPECT_EQ(events.ticks, 1) << "the signal did not close the loop";
  EXPECT_EQ(out.str(), "last\n");
}

TEST_P(ConsoleHostSignal, SignalBeforeTheLoopClosesItAtOnce) {
  std::ostringstream out;
  auto host = CreateConsoleHost(out);
  kestrel::testing::RequestOwnClose(GetParam());
  TickEvents events(*host, 2);
  host->Run(events);
  EXPECT_EQ(events.ticks, 0);
}

INSTANTIATE_TEST_SUITE_P(CloseSignals, ConsoleHostSignal,
                         ::testing::Range(0, kestrel::testing::CloseRequestKinds()));

std::atomic<int> foreign_handler_calls{0};
extern "C" void ForeignHandler(int) {
  ++foreign_handler_calls;
}

TEST(ConsoleHost, PreviousSignalHandlersComeBackWithTheHost) {
  const auto previous = std::signal(SIGTERM, ForeignHandler);
  {
    std::ostringstream out;
    auto host = CreateConsoleHost(out);
    std::raise(SIGTERM);
    EXPECT_EQ(foreign_handler_calls, 0);
  }
  std::raise(SIGTERM);
  EXPECT_EQ(foreign_handler_calls, 1);
  std::signal(SIGTERM, previous);
}

TEST(ConsoleHost, LinesFromManyThreadsKeepTheirOrder) {
  // No more than the console keeps waiting: the loop may start after all.
  constexpr int kThreads = 4;
  constexpr int kPerThread = 250;
  std::ostringstream out;
  auto host = CreateConsoleHost(out);
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&host, t] {
      for (int n = 0; n < kPerThread; ++n)
        host->InsertLine(std::to_string(t) + " " + std::to_string(n));
    });
  }
  TickEvents events(*host, 10);
  std::thread closer([&] {
    for (auto& writer : writers)
      writer.join();
    host->Close();
  });
  host->Run(events);
  closer.join();

  const std::vector<std::string> lines = LinesOf(out.str());
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kPerThread));
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : lines) {
    int thread = -1, number = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d %d", &thread, &number), 2) << line;
    EXPECT_EQ(number, next[thread]++) << line;
  }
}

TEST(ConsoleHost, LinesAfterTheLoopComeOutWhenProcessed) {
  std::ostringstream out;
  auto host = CreateConsoleHost(out);
  host->Close();
  TickEvents events(*host, 2);
  host->Run(events);
  host->InsertLine("stopped");
  EXPECT_EQ(out.str(), "");
  host->ProcessQueued();
  EXPECT_EQ(out.str(), "stopped\n");
}

}  // namespace
}  // namespace kestrel::platform

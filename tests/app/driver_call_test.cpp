#include "app/driver_call.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "support/stand_in.h"
#include "support/temp_dir.h"

namespace kestrel {
namespace {

TDateTime At(int year, int month, int day, int hour, int minute, int second) {
  return EncodeDateTime({year, month, day, hour, minute, second, 0});
}

std::string ConvertMessage(std::string_view text) {
  try {
    BuildDateToDateTime(text);
  } catch (const EConvertError& e) {
    return e.what();
  }
  return "no conversion error";
}

TEST(BuildDateToDateTime, BlankPaddedDayAndHour) {
  EXPECT_EQ(BuildDateToDateTime("Jun  5 2012  9:07:03"), At(2012, 6, 5, 9, 7, 3));
}

TEST(BuildDateToDateTime, ZeroPaddedFieldsAndEveryMonth) {
  EXPECT_EQ(BuildDateToDateTime("Jan 31 2013 23:59:59"), At(2013, 1, 31, 23, 59, 59));
  const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int month = 1; month <= 12; ++month) {
    EXPECT_EQ(BuildDateToDateTime(std::string(months[month - 1]) + " 01 2012 00:00:00"),
              At(2012, month, 1, 0, 0, 0))
        << months[month - 1];
  }
}

TEST(BuildDateToDateTime, TextShorterThanNineteenCharactersIsARangeError) {
  EXPECT_THROW(BuildDateToDateTime(""), ERangeError);
  EXPECT_THROW(BuildDateToDateTime("Jun  5 2012  9:07:"), ERangeError);
  EXPECT_THROW(BuildDateToDateTime("Июн  5 2012  9:07"), ERangeError);
}

TEST(BuildDateToDateTime, MalformedTextNamesTheRewrittenText) {
  EXPECT_EQ(ConvertMessage("Jun 05 2O12 09:07:03"),
            "'06.05.2O12 09:07:03' is not a valid date and time");
  EXPECT_EQ(ConvertMessage("jun 05 2012 09:07:03"),
            "'jun.05.2012 09:07:03' is not a valid date and time");
  EXPECT_EQ(ConvertMessage("Feb 30 2012 09:07:03"),
            "'02.30.2012 09:07:03' is not a valid date and time");
  EXPECT_EQ(ConvertMessage("Jun 05 2012 25:07:03"),
            "'06.05.2012 25:07:03' is not a valid date and time");
  EXPECT_EQ(ConvertMessage("Jun 05 2012 09:07:03 x"),
            "'06.05.2012 09:07:03 x' is not a valid date and time");
}

struct Logged {
  std::vector<std::string> lines;
  LogSink Sink() {
    return [this](const std::string& line) { lines.push_back(line); };
  }
};

TEST(DriverVersionLog, FirstVersionIsLoggedOnceAsNotice) {
  DriverVersionLog versions;
  Logged log;
  versions.Check("Jul  3 2012 14:00:00", log.Sink());
  versions.Check("Jul  3 2012 14:00:59", log.Sink());
  EXPECT_EQ(log.lines, std::vector<std::string>{"$Версия драйвера: 2012.07.03 14:00"});
  EXPECT_EQ(versions.Last(), "2012.07.03 14:00");
}

TEST(DriverVersionLog, AnotherVersionIsLoggedAgain) {
  DriverVersionLog versions;
  Logged log;
  versions.Check("Jul  3 2012 14:00:00", log.Sink());
  versions.Check("Aug  1 2012 10:00:00", log.Sink());
  versions.Check("Jul  3 2012 14:00:00", log.Sink());
  EXPECT_EQ(log.lines.size(), 3u);
  EXPECT_EQ(log.lines[2], "$Версия драйвера: 2012.07.03 14:00");
}

TEST(DriverVersionLog, OneMinuteBeforeTheMinimumIsWarnedEveryTime) {
  DriverVersionLog versions;
  Logged log;
  versions.Check("Jun 20 2012 15:47:59", log.Sink());
  versions.Check("Jun 20 2012 15:47:00", log.Sink());
  const std::string warning =
      "Устаревшая версия драйвера 2012.06.20 15:47. Должна быть версия не меньше чем "
      "2012.06.20 15:48";
  EXPECT_EQ(log.lines,
            (std::vector<std::string>{warning, "$Версия драйвера: 2012.06.20 15:47", warning}));
}

TEST(DriverVersionLog, TheMinimumItselfIsNotWarned) {
  DriverVersionLog versions;
  Logged log;
  versions.Check("Jun 20 2012 15:48:00", log.Sink());
  EXPECT_EQ(log.lines, std::vector<std::string>{"$Версия драйвера: 2012.06.20 15:48"});
}

TEST(DriverVersionLog, EmptyVersionDoesNothingAndMalformedOneRaises) {
  DriverVersionLog versions;
  Logged log;
  versions.Check("", log.Sink());
  EXPECT_THROW(versions.Check("jun 20 2012 15:48:00", log.Sink()), EConvertError);
  EXPECT_TRUE(log.lines.empty());
  EXPECT_EQ(versions.Last(), "");
}

TEST(DriverVersionLog, ThreadsCheckingAtOnceKeepOneOfTheirVersions) {
  DriverVersionLog versions;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&versions, i] {
      const std::string ver = i % 2 ? "Jul  3 2012 14:00:00" : "Aug  1 2012 10:00:00";
      for (int n = 0; n < 200; ++n)
        versions.Check(ver, [](const std::string&) {});
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  const std::string last = versions.Last();
  EXPECT_TRUE(last == "2012.07.03 14:00" || last == "2012.08.01 10:00") << last;
}

// The stand-in as the driver, in a folder whose name holds blanks.
class CallDrvExeTest : public ::testing::Test {
 protected:
  CallDrvExeTest() { std::filesystem::create_directory(dir_.Path() / "drv folder"); }

  std::string Driver(const std::string& steps) {
    return testing::InstallStandIn(dir_.Path() / "drv folder", "corvid.exe", steps);
  }
  std::string ParamsFile() const { return dir_.Folder() + "drv folder/P1 COM1.dat"; }
  std::string Path(const std::string& name) const { return dir_.Folder() + name; }

  testing::TempDir dir_;
};

TEST_F(CallDrvExeTest, DriverResultReplacesTheCommandAndTheFileIsGone) {
  const std::string result = dir_.Write("result.bin", std::string("res\0ult", 7));
  const std::string exe = Driver("copy \"" + result + "\" $1");
  std::string data = "command";
  EXPECT_EQ(CallDrvExe(exe, ParamsFile(), 9, data), "");
  EXPECT_EQ(data, std::string("res\0ult", 7));
  EXPECT_FALSE(std::filesystem::exists(ParamsFile()));
}

TEST_F(CallDrvExeTest, ArgumentsAreTheFilePathAndMillisecondsUnchanged) {
  const std::string exe =
      Driver("copy $1 \"" + Path("seen") + "\"\narguments \"" + Path("seen") + "\"");
  std::string data = "the command";
  EXPECT_EQ(CallDrvExe(exe, ParamsFile(), 19, data), "");
  EXPECT_EQ(dir_.Read("seen"), "the command[" + ParamsFile() + "]\n[19000]\n");
  EXPECT_EQ(data, "the command");
}

TEST_F(CallDrvExeTest, DriverThatDeletesTheFileIsAnUnknownError) {
  std::string data = "command";
  EXPECT_EQ(CallDrvExe(Driver("remove $1"), ParamsFile(), 9, data), "Неизвестная ошибка");
  EXPECT_EQ(data, "");
}

TEST_F(CallDrvExeTest, DriverThatEmptiesTheFileGivesEmptyData) {
  std::string data = "command";
  EXPECT_EQ(CallDrvExe(Driver("write $1"), ParamsFile(), 9, data), "");
  EXPECT_EQ(data, "");
  EXPECT_FALSE(std::filesystem::exists(ParamsFile()));
}

TEST_F(CallDrvExeTest, HangingDriverIsStoppedTwoSecondsAfterItsTimeOut) {
  const std::string exe = Driver("append \"" + Path("started") + "\" started\nsleep 30000");
  std::string data = "command";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CallDrvExe(exe, ParamsFile(), 0, data), "Не дождались окончания печати за 0 сек.");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(2000));
  EXPECT_LT(elapsed, std::chrono::milliseconds(10000));
  EXPECT_EQ(data, "");
  EXPECT_FALSE(std::filesystem::exists(ParamsFile()));
  EXPECT_EQ(dir_.Read("started"), "started\n");
}

TEST_F(CallDrvExeTest, DriverThatCannotStartRaisesAndLeavesNoFile) {
  std::string data = "command";
  try {
    CallDrvExe(Path("missing/corvid.exe"), ParamsFile(), 9, data);
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("System Error.  Code: "), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(" " + Path("missing/corvid.exe")), std::string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(ParamsFile()));
}

TEST_F(CallDrvExeTest, UnwritableParameterFileRaisesWithoutStartingTheDriver) {
  const std::string exe = Driver("append \"" + Path("ran") + "\" ran");
  dir_.Write("blocker", "a file where a folder should be");
  std::string data = "command";
  EXPECT_THROW(CallDrvExe(exe, Path("blocker/P1.dat"), 9, data), Exception);
  EXPECT_FALSE(std::filesystem::exists(Path("ran")));
}

}  // namespace
}  // namespace kestrel

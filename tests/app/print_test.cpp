#include "app/print.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bson/mapping.h"
#include "files/pack.h"
#include "platform/named_lock.h"
#include "process/exe_process.h"
#include "support/environment.h"
#include "support/lock_holder.h"
#include "support/running_daemon.h"
#include "support/stand_in.h"
#include "support/tcp_client.h"
#include "support/temp_dir.h"

namespace kestrel {
namespace {

TEST(CommandTimeouts, EveryListedCommandAndTheDefault) {
  EXPECT_EQ(CommandTimeout("test"), 9);
  EXPECT_EQ(CommandTimeout("cashin"), 14);
  EXPECT_EQ(CommandTimeout("cashout"), 14);
  for (const char* cmd : {"xrep", "xrepsec", "xrepop", "xreptax"})
    EXPECT_EQ(CommandTimeout(cmd), 39) << cmd;
  EXPECT_EQ(CommandTimeout("zrep"), 130);
  EXPECT_EQ(CommandTimeout("zbuf"), 130);
  EXPECT_EQ(CommandTimeout("printzbuf"), 600);
  EXPECT_EQ(CommandTimeout("sale"), 19);
  EXPECT_EQ(CommandTimeout(""), 19);
}

TEST(CommandTimeouts, MatchIsCaseSensitive) {
  EXPECT_EQ(CommandTimeout("Zrep"), 19);
  EXPECT_EQ(CommandTimeout("TEST"), 19);
  EXPECT_FALSE(IsZReportCommand("Zrep"));
  EXPECT_TRUE(IsZReportCommand("zbuf"));
}

TEST(ModelNameMap, KnownNamesAreRewrittenAfterTrimming) {
  EXPECT_EQ(MapModelName("Ярус-01K"), "JARUS-01K");
  EXPECT_EQ(MapModelName("Ярус-02K"), "JARUS-02K");
  EXPECT_EQ(MapModelName("  PayVKP-80K\t\r\n"), "PayVPK80K");
  EXPECT_EQ(MapModelName("PayCTS-2000K"), "PayCTS2000K");
  EXPECT_EQ(MapModelName("ШТРИХ-МИНИ-ФР-К"), "SHTRIH-MINI-FR-K");
}

TEST(ModelNameMap, OtherNamesPassUnchangedBlanksIncluded) {
  EXPECT_EQ(MapModelName("ярус-01K"), "ярус-01K");
  EXPECT_EQ(MapModelName(" Other "), " Other ");
  // Latin letters where the Cyrillic ones belong.
  EXPECT_EQ(MapModelName("Ярус-01К"), "Ярус-01К");
  EXPECT_EQ(MapModelName("PayVKP-80k"), "PayVKP-80k");
}

TEST(ParamsFileName, TimeToTheMillisecondThenPort) {
  const platform::CivilTime at{2012, 7, 3, 14, 0, 0, 123};
  EXPECT_EQ(ParamsFileName("/opt/k/", "COM1", at), "/opt/k/P120703140000123COM1.dat");
  const platform::CivilTime early{2009, 1, 2, 3, 4, 5, 6};
  EXPECT_EQ(ParamsFileName("/opt/k/", "TTYUSB0", early), "/opt/k/P090102030405006TTYUSB0.dat");
}

// Names in capitals read the same whether or not the file system ignores case.
TEST(ParamsFileName, OtherBytesAreEscapedSoNoPortLeavesTheFolderOrSharesAFile) {
  const platform::CivilTime at{2012, 7, 3, 14, 0, 0, 123};
  EXPECT_EQ(ParamsFileName("/k/", "../../X", at), "/k/P120703140000123..%2F..%2FX.dat");
  EXPECT_EQ(ParamsFileName("/k/", "/DEV/TTYS0", at), "/k/P120703140000123%2FDEV%2FTTYS0.dat");
  EXPECT_EQ(PortForFileName("tty_USB-0.1", false), "tty_USB-0.1");
  EXPECT_EQ(PortForFileName("ПОРТ1", false), "%D0%9F%D0%9E%D0%A0%D0%A21");
  EXPECT_EQ(PortForFileName(std::string("x\xFF\0y%", 5), false), "x%FF%00y%25");
}

TEST(ParamsFileName, WhereCaseIsIgnoredNoNameHoldsALowerCaseLetter) {
  EXPECT_EQ(PortForFileName("COM1", true), "COM1");
  EXPECT_EQ(PortForFileName("com1", true), "%63%6F%6D1");
  EXPECT_EQ(PortForFileName("Com 1", true), "C%6F%6D%201");
  EXPECT_EQ(PortForFileName("com1", false), "com1");
}

}  // namespace
}  // namespace kestrel

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;
using testing::TempDir;

const std::string kVersionOk(ProgramVersion);

LogCapture& ServerLog() {
  static LogCapture log;
  return log;
}

TPrintCmd& Command(TPrintCmd& cmd, const std::string& port, const std::string& name,
                   const std::string& command) {
  cmd.FPort = port;
  cmd.FName = name;
  cmd.FCmd = command;
  cmd.FSrvVer = kVersionOk;
  return cmd;
}

template <class Result>
std::unique_ptr<Result> Decode(const std::string& document) {
  auto result = std::make_unique<Result>();
  BSONToObj(document, *result);
  return result;
}

// A temporary program folder with a driver of the test's choosing, served by
// a real daemon over loopback TCP with the print route in place.
class PrintOverTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerLog().Clear();
    ASSERT_TRUE(daemon_.Listening());
  }

  // The driver: the stand-in doing `steps`; $1 is the parameter file, $2 the
  // time-out.
  void Driver(const std::string& steps) {
    testing::InstallStandIn(dir_.Path(), "corvid.exe", steps);
  }
  // A driver that answers with `result` as its result file.
  void DriverAnswering(const TPersistent& result) {
    dir_.Write("result.bson", ObjToBSON(result));
    Driver("copy $1 $dir/seen.bson\ncopy $dir/result.bson $1");
  }
  std::string Path(const std::string& name) const { return dir_.Folder() + name; }

  std::string Send(const std::string& body) {
    return testing::HttpBody(testing::Exchange(daemon_.Port(), testing::HttpPost(body), 30000));
  }
  std::string Send(const TPrintCmd& cmd) { return Send(ObjToBSON(cmd)); }

  // The files a command left in the program folder besides the test's own.
  std::vector<std::string> LeftoverParameterFiles() const {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
      if (entry.path().extension() == ".dat")
        found.push_back(entry.path().filename().string());
    }
    return found;
  }

  TempDir dir_;
  TempDir locks_;
  std::mutex cs_;
  TPortQueue queue_{cs_, 3000ms, locks_.Folder()};
  DriverVersionLog versions_;
  std::shared_ptr<TPrintService> service_ = std::make_shared<TPrintService>(
      dir_.Folder(), queue_, [](const std::string& line) { ServerLog().Add(line); }, versions_);
  testing::RunningDaemon daemon_{PrinterClass(std::make_shared<TPrinterServices>(TPrinterServices{
                                     .log = [](const std::string& line) { ServerLog().Add(line); },
                                     .print = MakePrintRoute(service_)})),
                                 ServerLog()};
};

TEST_F(PrintOverTcp, GoodResultIsAnsweredAndTheParameterFileIsGone) {
  TTermPrintRes result;
  result.FDocNo = 41;
  result.FCheckNo = 7;
  result.FFiscalText = "ИТОГ 12.50";
  result.FVersion = "Jul  3 2012 14:00:00";
  result.SetSerialNo("0042");
  DriverAnswering(result);
  TPrintCmd cmd;
  const auto answer = Decode<TTermPrintRes>(Send(Command(cmd, "COM1", "PayVKP-80K", "test")));
  EXPECT_EQ(answer->FError, "");
  EXPECT_EQ(answer->FDocNo, 41);
  EXPECT_EQ(answer->FCheckNo, 7);
  EXPECT_EQ(answer->FFiscalText, "ИТОГ 12.50");
  EXPECT_EQ(answer->SerialNo(), "42");
  EXPECT_TRUE(LeftoverParameterFiles().empty());
  EXPECT_EQ(ServerLog().Lines(), std::vector<std::string>{"$Версия драйвера: 2012.07.03 14:00"});
}

TEST_F(PrintOverTcp, DriverReceivesTheDeviceCommand) {
  DriverAnswering(TTermPrintRes());
  TPrintCmd cmd;
  Command(cmd, "ttyUSB0", "  PayVKP-80K ", "sale");
  cmd.FBaudRate = 115200;
  cmd.FPwd = "30";
  cmd.FText = "Хлеб 1 x 12.50";
  cmd.FSumm0 = Currency::FromRaw(1234567);
  cmd.FSumm1 = Currency::FromRaw(-5);
  cmd.FINN = "7700000000";
  Send(cmd);
  const auto device = Decode<TPrnDeviceCmd>(dir_.Read("seen.bson"));
  EXPECT_EQ(device->FCmd, "sale");
  EXPECT_EQ(device->FHardwareName, "PayVPK80K");
  EXPECT_EQ(device->FPrinterPort, "ttyUSB0");
  EXPECT_EQ(device->FBaudRate, 115200);
  EXPECT_EQ(device->FPassword, "30");
  EXPECT_EQ(device->FText, "Хлеб 1 x 12.50");
  EXPECT_EQ(device->FSumm0.Raw(), 1234567);
  EXPECT_EQ(device->FSumm1.Raw(), -5);
  EXPECT_EQ(device->FTimeOutSec, 19);
  EXPECT_FALSE(device->FCut);
  EXPECT_FALSE(device->FCopy);
}

TEST_F(PrintOverTcp, CapitalisedZrepIsAnOrdinaryCommand) {
  DriverAnswering(TTermPrintRes());
  TPrintCmd cmd;
  const std::string answer = Send(Command(cmd, "COM1", "x", "Zrep"));
  EXPECT_EQ(Decode<TPrnDeviceCmd>(dir_.Read("seen.bson"))->FTimeOutSec, 19);
  EXPECT_EQ(answer, ObjToBSON(TTermPrintRes()));
}

TEST_F(PrintOverTcp, DriverErrorIsAnsweredAndLogged) {
  TPrnZREPRes result;
  result.FError = "Нет бумаги";
  DriverAnswering(result);
  TPrintCmd cmd;
  const std::string answer = Send(Command(cmd, "COM1", "Ярус-01K", "zrep"));
  EXPECT_EQ(Decode<TPrnZREPRes>(answer)->FError, "Нет бумаги");
  EXPECT_NE(answer.find("GrossEndSumm"), std::string::npos);
  EXPECT_EQ(Decode<TPrnDeviceCmd>(dir_.Read("seen.bson"))->FTimeOutSec, 130);
  EXPECT_EQ(ServerLog().Lines(), std::vector<std::string>{"COM1,JARUS-01K zrep: Нет бумаги"});
}

TEST_F(PrintOverTcp, ZReportResultForAReceiptCommandLeavesAnEmptyReceiptResult) {
  TPrnZREPRes result;
  result.FDocNo = 99;
  result.FGrossEndSumm = Currency::FromRaw(10000);
  DriverAnswering(result);
  TPrintCmd cmd;
  EXPECT_EQ(Send(Command(cmd, "COM1", "x", "sale")), ObjToBSON(TTermPrintRes()));
  result.FError = "Смена превысила 24 часа";
  DriverAnswering(result);
  const auto answer = Decode<TTermPrintRes>(Send(cmd));
  EXPECT_EQ(answer->FError, "Смена превысила 24 часа");
  EXPECT_EQ(answer->FDocNo, 0);
}

TEST_F(PrintOverTcp, PackedRequestIsAnsweredPacked) {
  TTermPrintRes result;
  result.FDocNo = 5;
  DriverAnswering(result);
  TPrintCmd cmd;
  Command(cmd, "COM1", "x", "test");
  const std::string packed_answer = Send(PackString(ObjToBSON(cmd)));
  EXPECT_EQ(Decode<TTermPrintRes>(UnpackString(packed_answer))->FDocNo, 5);
  const std::string plain_answer = Send(cmd);
  EXPECT_EQ(Decode<TTermPrintRes>(plain_answer)->FDocNo, 5);
  EXPECT_EQ(UnpackString(packed_answer), plain_answer);
}

TEST_F(PrintOverTcp, BrokenRequestsAreAnsweredWithTheirFailure) {
  DriverAnswering(TTermPrintRes());
  EXPECT_EQ(Decode<TTermPrintRes>(Send(std::string("Cmd and no document")))->FError,
            "Invalid BSON document (AnsiString)");
  EXPECT_EQ(Decode<TTermPrintRes>(UnpackString(Send(PackString("not a document"))))->FError,
            "Invalid BSON document (AnsiString)");
  // Neither compressed nor a command: the unpacking fails, the answer is packed.
  EXPECT_EQ(Decode<TTermPrintRes>(UnpackString(Send(std::string("garbage"))))->FError,
            "Error ZIP stream");
  EXPECT_EQ(queue_.UsedSlots(), 0);
}

TEST_F(PrintOverTcp, OtherSenderVersionIsRefusedWithoutTouchingTheQueue) {
  DriverAnswering(TTermPrintRes());
  for (const std::string version : {"", "2012.07.03 14:01", "Flex"}) {
    TPrintCmd cmd;
    Command(cmd, "COM1", "x", "test").FSrvVer = version;
    EXPECT_EQ(Decode<TTermPrintRes>(Send(cmd))->FError,
              "Не соответствие версий программ Harrier.exe (" + version +
                  ") и Kestrel.exe (2012.07.03 14:00)");
  }
  EXPECT_EQ(queue_.UsedSlots(), 0);
  EXPECT_FALSE(std::filesystem::exists(Path("seen.bson")));
  TPrintCmd flex;
  Command(flex, "COM1", "x", "test").FSrvVer = "flex";
  EXPECT_EQ(Decode<TTermPrintRes>(Send(flex))->FError, "");
  EXPECT_EQ(queue_.UsedSlots(), 1);
}

TEST_F(PrintOverTcp, DriverThatDeletesTheFileIsAnUnknownError) {
  Driver("remove $1");
  TPrintCmd cmd;
  EXPECT_EQ(Decode<TTermPrintRes>(Send(Command(cmd, "COM2", "x", "xrep")))->FError,
            "Неизвестная ошибка");
  EXPECT_EQ(ServerLog().Lines(), std::vector<std::string>{"COM2,x xrep: Неизвестная ошибка"});
}

TEST_F(PrintOverTcp, DriverThatEmptiesTheFileGivesAnEmptyResult) {
  Driver("write $1");
  TPrintCmd cmd;
  EXPECT_EQ(Send(Command(cmd, "COM2", "x", "test")), ObjToBSON(TTermPrintRes()));
  EXPECT_TRUE(ServerLog().Lines().empty());
}

TEST_F(PrintOverTcp, DriverThatLeavesTheCommandGivesAnAlmostEmptyResult) {
  Driver("exit 0");
  TPrintCmd cmd;
  EXPECT_EQ(Send(Command(cmd, "COM2", "x", "zbuf")), ObjToBSON(TPrnZREPRes()));
  EXPECT_TRUE(LeftoverParameterFiles().empty());
}

TEST_F(PrintOverTcp, MalformedDriverVersionBecomesTheError) {
  TTermPrintRes result;
  result.FDocNo = 3;
  result.FVersion = "jul  3 2012 14:00:00";
  DriverAnswering(result);
  TPrintCmd cmd;
  const auto answer = Decode<TTermPrintRes>(Send(Command(cmd, "COM1", "x", "test")));
  EXPECT_EQ(answer->FError, "'jul.03.2012 14:00:00' is not a valid date and time");
  EXPECT_EQ(answer->FDocNo, 3);
}

TEST_F(PrintOverTcp, HangingDriverIsStoppedAfterItsTimeOutAndTwoSeconds) {
  Driver("sleep 60000");
  TPrintCmd cmd;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Decode<TTermPrintRes>(Send(Command(cmd, "COM3", "x", "test")))->FError,
            "Не дождались окончания печати за 9 сек.");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 11s);
  EXPECT_TRUE(LeftoverParameterFiles().empty());
}

// A driver that notes its start and end in "events" and an overlap with
// another run in the same folder.
constexpr const char* kRecordingDriver = R"(if-exists $dir/running append $dir/events overlap
write $dir/running
append $dir/events start
sleep 300
remove $dir/running
append $dir/events end
copy $dir/result.bson $1)";

TEST_F(PrintOverTcp, TwoCommandsForOnePortRunOneAfterTheOther) {
  dir_.Write("result.bson", ObjToBSON(TTermPrintRes()));
  Driver(kRecordingDriver);
  TPrintCmd cmd;
  const std::string body = ObjToBSON(Command(cmd, "COM1", "x", "test"));
  std::string first;
  std::thread other([&] { first = Send(body); });
  const std::string second = Send(body);
  other.join();
  EXPECT_EQ(first, ObjToBSON(TTermPrintRes()));
  EXPECT_EQ(second, ObjToBSON(TTermPrintRes()));
  EXPECT_EQ(dir_.Read("events"), "start\nend\nstart\nend\n");
}

TEST_F(PrintOverTcp, CommandsForTwoPortsRunAtTheSameTime) {
  dir_.Write("result.bson", ObjToBSON(TTermPrintRes()));
  // Each driver waits (up to 5 s) until the other one has started too.
  Driver(R"(if-ends $1 PA.dat write $dir/A
if-ends $1 PB.dat write $dir/B
if-ends $1 PA.dat wait $dir/B 5000
if-ends $1 PB.dat wait $dir/A 5000
if-ends $1 PA.dat if-exists $dir/B write $dir/both-A
if-ends $1 PB.dat if-exists $dir/A write $dir/both-B
copy $dir/result.bson $1)");
  TPrintCmd a;
  TPrintCmd b;
  const std::string body_a = ObjToBSON(Command(a, "PA", "x", "test"));
  const std::string body_b = ObjToBSON(Command(b, "PB", "x", "test"));
  std::thread other([&] { Send(body_a); });
  Send(body_b);
  other.join();
  EXPECT_TRUE(std::filesystem::exists(Path("both-A")));
  EXPECT_TRUE(std::filesystem::exists(Path("both-B")));
}

TEST_F(PrintOverTcp, The257thPortIsRefusedAtOnce) {
  DriverAnswering(TTermPrintRes());
  for (int i = 0; i < kPortSlots; ++i) {
    ASSERT_TRUE(queue_.WaitForPort("P" + std::to_string(i)));
    queue_.ReleasePort("P" + std::to_string(i));
  }
  TPrintCmd cmd;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Decode<TTermPrintRes>(Send(Command(cmd, "P256", "x", "test")))->FError,
            "Не дождались освобождения очереди по порту P256");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
  EXPECT_FALSE(std::filesystem::exists(Path("seen.bson")));
  EXPECT_EQ(Decode<TTermPrintRes>(Send(Command(cmd, "P7", "x", "test")))->FError, "");
}

class PrintWithLockHolder : public PrintOverTcp {
 protected:
  // Starts the lock-holder on the port's lock; returns once it holds it.
  std::unique_ptr<testing::LockHolder> HoldPort(const std::string& port, const std::string& action,
                                                int ms) {
    auto holder = std::make_unique<testing::LockHolder>(
        locks_.Folder(), std::string(kPortMutexPrefix) + port, action, ms);
    EXPECT_EQ(holder->ReadLine(), "Acquired");
    return holder;
  }
};

TEST_F(PrintWithLockHolder, HolderKilledWithSigkillReleasesThePort) {
  DriverAnswering(TTermPrintRes());
  const auto holder = HoldPort("COM9", "die", 800);
  TPrintCmd cmd;
  EXPECT_EQ(Decode<TTermPrintRes>(Send(Command(cmd, "COM9", "x", "test")))->FError, "");
  EXPECT_EQ(holder->Finish(5000), 137u);
  EXPECT_TRUE(std::filesystem::exists(Path("seen.bson")));
}

TEST_F(PrintWithLockHolder, PortBusyForTheWholeWaitIsRefused) {
  DriverAnswering(TTermPrintRes());
  const auto holder = HoldPort("COM5", "hold", 6000);
  TPrintCmd cmd;
  EXPECT_EQ(Decode<TTermPrintRes>(Send(Command(cmd, "COM5", "x", "test")))->FError,
            "Не дождались освобождения очереди по порту COM5");
  EXPECT_FALSE(std::filesystem::exists(Path("seen.bson")));
  EXPECT_EQ(
      ServerLog().Lines(),
      std::vector<std::string>{"COM5,x test: Не дождались освобождения очереди по порту COM5"});
}

// The second server process of the test below: this same test program, run
// with KESTREL_PRINT_CHILD set to "program folder|lock folder|TCP port|stop
// file". It serves print commands until the stop file appears.
TEST(PrintSecondProcess, ServesUntilItsStopFileAppears) {
  const char* setting = std::getenv("KESTREL_PRINT_CHILD");
  if (setting == nullptr)
    GTEST_SKIP() << "runs only as the second server process of PrintOverTcp";
  std::vector<std::string> parts;
  std::stringstream stream(setting);
  for (std::string part; std::getline(stream, part, '|');)
    parts.push_back(part);
  ASSERT_EQ(parts.size(), 4u);
  std::mutex cs;
  TPortQueue queue(cs, 10000ms, parts[1]);
  DriverVersionLog versions;
  DaemonSlot slot;
  TTCPDaemon::Create("127.0.0.1", static_cast<std::uint16_t>(std::stoi(parts[2])),
                     PrinterClass(std::make_shared<TPrinterServices>(TPrinterServices{
                         .print = MakePrintRoute(std::make_shared<TPrintService>(
                             parts[0], queue, [](const std::string&) {}, versions))})),
                     &slot);
  testing::WaitUntil([&] { return std::filesystem::exists(parts[3]); }, 60000);
  slot.Terminate();
  EXPECT_TRUE(testing::WaitUntil([&] { return slot.Empty(); }, 10000));
}

TEST_F(PrintOverTcp, SecondServerProcessSharesTheQueue) {
  dir_.Write("result.bson", ObjToBSON(TTermPrintRes()));
  Driver(kRecordingDriver);
  const std::uint16_t port = testing::FreePort();
  const std::string stop_file = Path("stop");
  TExeProcess child(testing::BuiltProgram("app_tests"),
                    std::vector<std::string>{"--gtest_filter=PrintSecondProcess.*"});
  {
    const testing::ScopedEnvironmentVariable setting(
        "KESTREL_PRINT_CHILD",
        dir_.Folder() + "|" + locks_.Folder() + "|" + std::to_string(port) + "|" + stop_file);
    child.Run(true, false);
  }
  ASSERT_TRUE(testing::WaitUntil([&] { return testing::ConnectLoopback(port).IsOpen(); }, 10000));
  TPrintCmd cmd;
  const std::string request = testing::HttpPost(ObjToBSON(Command(cmd, "COM1", "x", "test")));
  std::string from_child;
  std::thread other(
      [&] { from_child = testing::HttpBody(testing::Exchange(port, request, 30000)); });
  const std::string from_us = Send(ObjToBSON(cmd));
  other.join();
  dir_.Write("stop", "");
  EXPECT_TRUE(child.WaitFor(20000));
  EXPECT_EQ(child.ExitCode(), 0u);
  EXPECT_EQ(from_child, ObjToBSON(TTermPrintRes()));
  EXPECT_EQ(from_us, ObjToBSON(TTermPrintRes()));
  EXPECT_EQ(dir_.Read("events"), "start\nend\nstart\nend\n");
}

// The print service with its driver call replaced in process: no corvid.exe
// exists in the program folder, so only the given call can answer.
class PrintWithDriverCall : public ::testing::Test {
 protected:
  struct Call {
    std::string exe_name;
    std::string params_file;
    int timeout_sec = 0;
    std::string data;
  };

  std::string Print(const TPrintCmd& cmd) { return service_.Print(ObjToBSON(cmd)); }
  bool PortIsFree(const std::string& port) const {
    platform::NamedLock probe(std::string(kPortMutexPrefix) + port, locks_.Folder());
    return probe.Wait(0ms) != platform::LockWait::TimedOut && probe.Release();
  }

  TempDir dir_;
  TempDir locks_;
  std::mutex cs_;
  TPortQueue queue_{cs_, 3000ms, locks_.Folder()};
  DriverVersionLog versions_;
  std::vector<std::string> log_;
  std::vector<Call> calls_;
  std::function<std::string(std::string& data)> driver_;
  TPrintService service_{dir_.Folder(), queue_,
                         [this](const std::string& line) { log_.push_back(line); }, versions_,
                         [this](const std::string& ExeName, const std::string& ParamsFile,
                                int TimeOutSec, std::string& Data) {
                           calls_.push_back({ExeName, ParamsFile, TimeOutSec, Data});
                           return driver_(Data);
                         }};
};

TEST_F(PrintWithDriverCall, CommandRunsThroughTheGivenCall) {
  TPrnZREPRes result;
  result.FGrossEndSumm = Currency::FromRaw(2345600);
  const std::string result_document = ObjToBSON(result);
  driver_ = [&](std::string& data) {
    data = result_document;
    return std::string();
  };
  TPrintCmd cmd;
  const auto answer = Decode<TPrnZREPRes>(Print(Command(cmd, "COM1", "Ярус-01K", "zrep")));
  EXPECT_EQ(answer->FError, "");
  EXPECT_EQ(answer->FGrossEndSumm, Currency::FromRaw(2345600));
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].exe_name, dir_.Folder() + "corvid.exe");
  EXPECT_TRUE(calls_[0].params_file.starts_with(dir_.Folder() + "P"));
  EXPECT_TRUE(calls_[0].params_file.ends_with("COM1.dat"));
  EXPECT_EQ(calls_[0].timeout_sec, 130);
  const auto device = Decode<TPrnDeviceCmd>(calls_[0].data);
  EXPECT_EQ(device->FHardwareName, "JARUS-01K");
  EXPECT_EQ(device->FTimeOutSec, 130);
}

TEST_F(PrintWithDriverCall, FailingCallIsTheErrorAndTheQueueGetsThePortBack) {
  driver_ = [](std::string&) -> std::string { throw Exception("Cannot open file P1.dat"); };
  TPrintCmd cmd;
  EXPECT_EQ(Decode<TTermPrintRes>(Print(Command(cmd, "COM2", "x", "test")))->FError,
            "Cannot open file P1.dat");
  EXPECT_TRUE(PortIsFree("COM2"));
  EXPECT_EQ(log_, std::vector<std::string>{"COM2,x test: Cannot open file P1.dat"});
}

}  // namespace
}  // namespace kestrel

// The vendor's kind of driver, a Windows program, behind the real server on
// Linux: the Windows builds of the simulator, 64-bit and 32-bit, run through
// Wine in a prefix of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/serial_ports.h"
#include "app/wine_driver.h"
#include "faults/print_commands.h"
#include "support/kestrel_process.h"
#include "support/tcp_client.h"
#include "support/temp_dir.h"

namespace kestrel::testing {
namespace {

namespace fs = std::filesystem;

// Made by the windows and windows-i686 presets, which run before these tests
// in CI.
const std::string kWindowsSimulator = KESTREL_SOURCE_DIR "/build-windows/bin/corvid.exe";
const std::string kWindows32Simulator = KESTREL_SOURCE_DIR "/build-windows-i686/bin/corvid.exe";

// The processes whose command line or environment holds `text`.
int ProcessesMentioning(const std::string& text) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (!std::all_of(name.begin(), name.end(), ::isdigit))
      continue;
    const std::string seen = ReadAll(entry.path() / "cmdline") + ReadAll(entry.path() / "environ");
    count += seen.find(text) != std::string::npos ? 1 : 0;
  }
  return count;
}

class WindowsDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kWindowsSimulator))
      GTEST_SKIP() << "no Windows simulator at " << kWindowsSimulator
                   << ": build the windows preset first";
    fs::copy_file(kWindowsSimulator, server_.PathOf("corvid.exe"));
  }
  void TearDown() override {
    if (!server_.Running())
      return;
    EXPECT_EQ(server_.Stop(60000), 0) << server_.Output();
    EXPECT_EQ(server_.Output().find("Sanitizer"), std::string::npos) << server_.Output();
    EXPECT_EQ(ProcessesMentioning("WINEPREFIX=" + Prefix()), 0)
        << "the Wine server or a driver outlived the server";
  }

  // The server, its account's data (so its Wine prefix) in a folder of the
  // test's own; `shell` runs first.
  void Start(const std::string& shell = "") {
    ASSERT_TRUE(
        server_.StartUnderShell("export XDG_DATA_HOME='" + data_.Path().string() + "'\n" + shell))
        << server_.Output();
  }
  std::string Prefix() const { return data_.Path().string() + "/kestrel/wine"; }

  // The 32-bit simulator as the driver; the test is skipped without it.
  void Use32BitDriver() {
    if (!fs::exists(kWindows32Simulator))
      GTEST_SKIP() << "no 32-bit Windows simulator at " << kWindows32Simulator
                   << ": build the windows-i686 preset first";
    fs::copy_file(kWindows32Simulator, server_.PathOf("corvid.exe"),
                  fs::copy_options::overwrite_existing);
  }

  // A Cyrillic receipt at `port` is answered as the driver's `doc_no`th
  // document and reaches the tape.
  void ExpectReceiptOnTape(const std::string& port, int doc_no) {
    const std::string text = "Молоко 3,2% — " + std::to_string(doc_no) + " шт.";
    const auto result = ReceiptResult(server_.Post(PrintCommand(port, "sale", text), 120000));
    EXPECT_EQ(result->FError, "") << server_.Output();
    EXPECT_EQ(result->FDocNo, doc_no);
    EXPECT_NE(
        ReadAll(server_.Folder().Path() / "corvid-sim" / ("port-" + port + ".tape")).find(text),
        std::string::npos);
  }

  // Started with a driver that overruns: stopped with the time-out's message
  // and nothing of it left.
  void ExpectOverrunStopped(const std::string& port) {
    Start("export CORVID_SIM_DELAY_MS=60000 CORVID_SIM_OVERRUN=1");
    const auto result = ReceiptResult(server_.Post(PrintCommand(port, "test"), 120000));
    EXPECT_EQ(result->FError, "Не дождались окончания печати за 9 сек.");
    EXPECT_EQ(ProcessesMentioning(WineDrivePath(server_.PathOf("corvid.exe"))), 0);
  }

  // The COM names that this machine's serial devices get.
  static std::vector<ComPort> MachinePorts() { return MapComPorts(SerialPortNames()); }

  TempDir data_;
  KestrelProcess server_;
};

TEST_F(WindowsDriver, CyrillicReceiptIsPrintedThroughWine) {
  const auto ports = MachinePorts();
  if (ports.empty())
    GTEST_SKIP() << "this machine has no serial device to map to a COM name";
  Start();
  ExpectReceiptOnTape(ports.front().name, 1);
  EXPECT_TRUE(fs::is_symlink(Prefix() + "/dosdevices/com1"));

  // As after wine32 is installed while Kestrel runs: Wine runs nothing in a
  // prefix made without it. The command fails, and the prefix is made anew.
  const std::string wow64_kernel = Prefix() + "/drive_c/windows/syswow64/kernel32.dll";
  ASSERT_TRUE(fs::remove(wow64_kernel));
  const auto failed =
      ReceiptResult(server_.Post(PrintCommand(ports.front().name, "sale", "Хлеб"), 120000));
  EXPECT_EQ(failed->FError, "Неизвестная ошибка");
  EXPECT_TRUE(fs::exists(wow64_kernel));
  ExpectReceiptOnTape(ports.front().name, 2);
}

// Also in a prefix made while Wine lacked its 32-bit part, in which Wine
// runs nothing once it has that part: the prefix is made anew.
TEST_F(WindowsDriver, ThirtyTwoBitDriverPrintsEvenInAPrefixMadeWithoutWine32) {
  const auto ports = MachinePorts();
  if (ports.empty())
    GTEST_SKIP() << "this machine has no serial device to map to a COM name";
  Use32BitDriver();
  if (IsSkipped())
    return;
  Start();
  ExpectReceiptOnTape(ports.front().name, 1);
  const std::string wow64_kernel = Prefix() + "/drive_c/windows/syswow64/kernel32.dll";
  ASSERT_TRUE(fs::remove(wow64_kernel));
  ExpectReceiptOnTape(ports.front().name, 2);
  EXPECT_TRUE(fs::exists(wow64_kernel));
}

TEST_F(WindowsDriver, OverrunningDriverIsStoppedWithNothingOfItLeft) {
  const auto ports = MachinePorts();
  if (ports.empty())
    GTEST_SKIP() << "this machine has no serial device to map to a COM name";
  ExpectOverrunStopped(ports.front().name);
}

TEST_F(WindowsDriver, OverrunningThirtyTwoBitDriverIsStoppedWithNothingOfItLeft) {
  const auto ports = MachinePorts();
  if (ports.empty())
    GTEST_SKIP() << "this machine has no serial device to map to a COM name";
  Use32BitDriver();
  if (IsSkipped())
    return;
  ExpectOverrunStopped(ports.front().name);
}

TEST_F(WindowsDriver, ListingNamesTheComPortsAndOthersAreRefused) {
  Start();
  TEnumCOMsRes listing;
  BSONToObj(server_.Post(ObjToBSON(TEnumCOMs())), listing);
  std::vector<std::string> names;
  for (const auto& port : MachinePorts())
    names.push_back(port.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(listing.FCOMs, JoinCOMs(names));

  // The check of the port makes the Wine prefix first, which can take most of
  // a minute on a busy machine.
  const auto refused = ReceiptResult(server_.Post(PrintCommand("ttyS0", "sale"), 120000));
  EXPECT_EQ(refused->FError, NotAComPortText("ttyS0", MachinePorts()));
  EXPECT_FALSE(fs::exists(server_.Folder().Path() / "corvid-sim"));

  // A link of a COM name that no device has any more goes with the next listing.
  const fs::path stale = Prefix() + "/dosdevices/com99";
  fs::create_symlink("/dev/ttyUSB99", stale);
  server_.Post(ObjToBSON(TEnumCOMs()));
  EXPECT_FALSE(fs::is_symlink(stale));
}

TEST_F(WindowsDriver, WithoutWineTheAnswerAndTheLogSaySo) {
  Start("export PATH=/nonexistent");
  const auto result = ReceiptResult(server_.Post(PrintCommand("COM1", "sale")));
  EXPECT_EQ(result->FError, WineMissingText());
  // The log line follows the answer.
  EXPECT_TRUE(WaitUntil(
      [&] { return server_.Output().find(WineMissingText()) != std::string::npos; }, 5000))
      << server_.Output();
  EXPECT_FALSE(fs::exists(server_.Folder().Path() / "corvid-sim"));
}

// A Wine that makes 64-bit prefixes without the 32-bit part and runs the
// rest: a 32-bit driver is refused before it starts.
TEST_F(WindowsDriver, WithoutWine32AThirtyTwoBitDriverGetsTheClearError) {
  const auto ports = MachinePorts();
  if (ports.empty())
    GTEST_SKIP() << "this machine has no serial device to map to a COM name";
  const TempDir wine;
  fs::permissions(wine.Write("wineserver", "#!/bin/sh\nexit 0\n"), fs::perms::owner_all);
  fs::permissions(wine.Write("wine",
                             "#!/bin/sh\n"
                             "[ \"$1\" = wineboot ] || exit 0\n"
                             "mkdir -p \"$WINEPREFIX/drive_c/windows/syswow64\"\n"
                             "touch \"$WINEPREFIX/.update-timestamp\"\n"),
                  fs::perms::owner_all);
  std::string program(0x80 + 6, '\0');
  program.replace(0, 2, "MZ");
  program[0x3C] = static_cast<char>(0x80);
  program.replace(0x80, 6, std::string("PE\0\0\x4C\x01", 6));
  server_.Folder().Write("corvid.exe", program);
  Start("export PATH='" + wine.Path().string() + "':/usr/bin:/bin");
  const auto result = ReceiptResult(server_.Post(PrintCommand(ports.front().name, "sale")));
  EXPECT_EQ(result->FError, Wine32MissingText());
}

}  // namespace
}  // namespace kestrel::testing

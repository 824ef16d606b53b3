// The vendor's kind of driver, a Windows program, behind the real server on
// Linux: the Windows build of the simulator, run through Wine in a prefix of
// the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
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

// Made by the windows preset, which runs before these tests in CI.
const std::string kWindowsSimulator = KESTREL_SOURCE_DIR "/build-windows/bin/corvid.exe";

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

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
  const std::string port = ports.front().name;
  const auto result =
      ReceiptResult(server_.Post(PrintCommand(port, "sale", "Молоко 3,2% — 1 шт."), 120000));
  EXPECT_EQ(result->FError, "") << server_.Output();
  EXPECT_EQ(result->FDocNo, 1);
  EXPECT_NE(ReadAll(server_.Folder().Path() / "corvid-sim" / ("port-" + port + ".tape"))
                .find("Молоко 3,2% — 1 шт."),
            std::string::npos);
  EXPECT_TRUE(fs::is_symlink(Prefix() + "/dosdevices/com1"));
}

TEST_F(WindowsDriver, OverrunningDriverIsStoppedWithNothingOfItLeft) {
  const auto ports = MachinePorts();
  if (ports.empty())
    GTEST_SKIP() << "this machine has no serial device to map to a COM name";
  Start("export CORVID_SIM_DELAY_MS=60000 CORVID_SIM_OVERRUN=1");
  const auto result = ReceiptResult(server_.Post(PrintCommand(ports.front().name, "test"), 120000));
  EXPECT_EQ(result->FError, "Не дождались окончания печати за 9 сек.");
  EXPECT_EQ(ProcessesMentioning(WineDrivePath(server_.PathOf("corvid.exe"))), 0);
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

  const auto refused = ReceiptResult(server_.Post(PrintCommand("ttyS0", "sale")));
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

}  // namespace
}  // namespace kestrel::testing

#include "app/serial_ports.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "support/temp_dir.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

// A fake root with the two sources: sys/class/tty and dev.
class SerialPortsTest : public ::testing::Test {
 protected:
  std::string Root() const { return temp_.Path().string(); }

  // A class entry; `type` is the serial-core UART type attribute, `driver`
  // the name that device/driver points at.
  void AddClassEntry(const std::string& name, bool with_device,
                     std::optional<int> type = std::nullopt, const std::string& driver = "") {
    const fs::path entry = temp_.Path() / "sys/class/tty" / name;
    fs::create_directories(entry);
    if (with_device)
      fs::create_directory(entry / "device");
    if (type)
      std::ofstream(entry / "type") << *type << "\n";
    if (!driver.empty())
      fs::create_symlink("../../../../bus/platform/drivers/" + driver, entry / "device/driver");
  }
  void AddDevice(const std::string& name) {
    fs::create_directories(temp_.Path() / "dev");
    std::ofstream(temp_.Path() / "dev" / name);
  }

  kestrel::testing::TempDir temp_;
};

TEST_F(SerialPortsTest, ListsTheTtysWithADeviceBehindThem) {
  for (const auto* virtual_tty : {"tty", "tty0", "tty1", "console", "ptmx"})
    AddClassEntry(virtual_tty, false);
  AddClassEntry("ttyS0", true, 4);
  AddClassEntry("ttyUSB0", true);
  AddClassEntry("ttyACM0", true);
  EXPECT_EQ(ListCOMs(Root()), "ttyACM0\r\nttyS0\r\nttyUSB0\r\n");
}

TEST_F(SerialPortsTest, PlaceholderUartsOfUnknownTypeAreLeftOut) {
  AddClassEntry("ttyS0", true, 4);
  AddClassEntry("ttyS1", true, 0);
  AddClassEntry("ttyS2", true, 0, "serial8250");
  AddClassEntry("ttyS3", true, 14, "serial8250");
  EXPECT_EQ(ListCOMs(Root()), "ttyS0\r\nttyS3\r\n");
}

TEST_F(SerialPortsTest, Uart8250WithoutTypeAttributeMustAnswerAProbe) {
  AddClassEntry("ttyS4", true, std::nullopt, "serial8250");  // no device node
  AddClassEntry("ttyS5", true, std::nullopt, "serial8250");
  AddDevice("ttyS5");  // opens, but is no UART
  AddClassEntry("ttyXR0", true, std::nullopt, "xr_serial");
  EXPECT_EQ(ListCOMs(Root()), "ttyXR0\r\n");
}

TEST_F(SerialPortsTest, DeviceInASubfolderKeepsItsSlash) {
  AddClassEntry("serial!ttyX0", true);
  EXPECT_EQ(SerialPortNames(Root()), std::vector<std::string>{"serial/ttyX0"});
}

TEST_F(SerialPortsTest, NamesSortAsTextIgnoringCase) {
  for (const auto* name : {"ttyS2", "ttyS10", "ttyAMA0", "ttyacm1", "TTYB", "ttyb"})
    AddClassEntry(name, true);
  const std::vector<std::string> sorted = {"ttyacm1", "ttyAMA0", "TTYB", "ttyb", "ttyS10", "ttyS2"};
  EXPECT_EQ(SerialPortNames(Root()), sorted);
}

TEST_F(SerialPortsTest, EmptySystemListGivesEmptyTextWithoutProbing) {
  AddClassEntry("tty0", false);
  AddDevice("ttyS0");
  EXPECT_EQ(ListCOMs(Root()), "");
}

TEST_F(SerialPortsTest, WithoutTheSystemListTheUsualDevicesAreProbed) {
  for (const auto* name : {"ttyS0", "ttyS255", "ttyS256", "ttyUSB3", "ttyACM0", "ttyUSBx", "ttyX"})
    AddDevice(name);
  fs::create_symlink("missing", temp_.Path() / "dev/ttyS9");
  EXPECT_EQ(ListCOMs(Root()), "ttyACM0\r\nttyS0\r\nttyS255\r\nttyUSB3\r\n");
}

TEST_F(SerialPortsTest, ProbedDeviceThatRefusesToOpenIsStillListed) {
  // A folder refuses a read-write open as a busy or forbidden port would.
  fs::create_directories(temp_.Path() / "dev/ttyS7");
  EXPECT_EQ(ListCOMs(Root()), "ttyS7\r\n");
}

TEST_F(SerialPortsTest, MachineWithoutSerialPortsGivesEmptyText) {
  EXPECT_EQ(ListCOMs(Root()), "");
  EXPECT_EQ(JoinCOMs({}), "");
}

}  // namespace
}  // namespace kestrel

#include "app/wine_driver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace kestrel {
namespace {

using testing::TempDir;

// "MZ", the PE header's offset at 0x3C, and `signature` there.
std::string ProgramImage(std::uint32_t pe_offset, const std::string& signature) {
  std::string image(pe_offset + 64, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  for (int i = 0; i < 4; ++i)
    image[0x3C + i] = static_cast<char>((pe_offset >> (8 * i)) & 0xFF);
  image.replace(pe_offset, signature.size(), signature);
  return image;
}

TEST(WineDriverTest, OnlyAnMzFileWithAPeHeaderIsAWindowsProgram) {
  const TempDir folder;
  EXPECT_TRUE(
      IsWindowsProgram(folder.Write("pe.exe", ProgramImage(0x80, std::string("PE\0\0", 4)))));
  EXPECT_TRUE(
      IsWindowsProgram(folder.Write("far.exe", ProgramImage(0x1000, std::string("PE\0\0", 4)))));
  EXPECT_FALSE(IsWindowsProgram(folder.Write("dos.exe", ProgramImage(0x80, "NE"))));
  EXPECT_FALSE(IsWindowsProgram(folder.Write("script.exe", "#!/bin/sh\nexit 0\n")));
  EXPECT_FALSE(IsWindowsProgram(folder.Write("short.exe", "MZ")));
  std::string beyond_end = ProgramImage(0x80, std::string("PE\0\0", 4)).substr(0, 0x40);
  beyond_end[0x3D] = 0x7F;
  EXPECT_FALSE(IsWindowsProgram(folder.Write("beyond.exe", beyond_end)));
  EXPECT_FALSE(IsWindowsProgram(folder.Folder() + "missing.exe"));
}

TEST(WineDriverTest, ThirtyTwoBitProgramsAreThoseForI386) {
  const TempDir folder;
  EXPECT_TRUE(Is32BitWindowsProgram(
      folder.Write("x86.exe", ProgramImage(0x80, std::string("PE\0\0\x4C\x01", 6)))));
  EXPECT_FALSE(Is32BitWindowsProgram(
      folder.Write("x64.exe", ProgramImage(0x80, std::string("PE\0\0\x64\x86", 6)))));
  EXPECT_FALSE(Is32BitWindowsProgram(
      folder.Write("cut.exe", ProgramImage(0x80, std::string("PE\0\0\x4C", 5)).substr(0, 0x85))));
  EXPECT_FALSE(Is32BitWindowsProgram(
      folder.Write("dos.exe", ProgramImage(0x80, std::string("NE\0\0\x4C\x01", 6)))));
}

TEST(WineDriverTest, PathsAreOnDriveZ) {
  EXPECT_EQ(WineDrivePath("/opt/kestrel/P2612101230000COM1.dat"),
            "Z:\\opt\\kestrel\\P2612101230000COM1.dat");
}

TEST(WineDriverTest, ComNamesGoToUartsThenUsbThenAcmEachByNumber) {
  const std::vector<ComPort> ports = MapComPorts(
      {"ttyUSB1", "ttyS10", "ttyACM0", "ttyS2", "ttyUSB0", "ttyAMA0", "rfcomm0", "ttyS0", "ttySx"});
  std::vector<std::string> mapping;
  for (const auto& port : ports)
    mapping.push_back(port.name + "=" + port.device);
  EXPECT_EQ(mapping, (std::vector<std::string>{"COM1=ttyS0", "COM2=ttyS2", "COM3=ttyS10",
                                               "COM4=ttyUSB0", "COM5=ttyUSB1", "COM6=ttyACM0"}));
}

}  // namespace
}  // namespace kestrel

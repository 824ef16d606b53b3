#include <gtest/gtest.h>

#include <string>

#include "platform/file_system.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace kestrel::platform {
namespace {

TEST(FileHandles, ChildProcessesInheritNoOpenFile) {
  kestrel::testing::TempDir dir;
  const std::string name = dir.Folder() + "written-probe.dat";
  SystemError error;
  File writer = CreateForWriting(name, false, error);
  ASSERT_TRUE(writer.IsOpen()) << error.text;
  const std::string holder = std::string(KESTREL_BIN_DIR) + "/kestrel-lock-holder.exe";
  const std::vector<std::string> arguments = {dir.Folder(), "probe", "hold", "20000"};
  ChildProcess quiet = SpawnProcess(holder, arguments, true);
  ChildProcess with_streams = SpawnProcess(holder, arguments, false);
  ASSERT_TRUE(writer.Close());
  File again = CreateForWriting(name, false, error);
  EXPECT_TRUE(again.IsOpen()) << error.text;
  quiet.Kill(0);
  with_streams.Kill(0);
}

// A device's name (COM1.tape included) opens the device, not a file.
TEST(FileHandles, DeviceNamesAreRefusedAsNoFiles) {
  kestrel::testing::TempDir dir;
  for (const std::string name : {"NUL", "nul.txt"}) {
    SystemError error;
    File file = CreateForWriting(dir.Folder() + name, false, error);
    EXPECT_FALSE(file.IsOpen()) << name;
    EXPECT_EQ(error.text, "Not a regular file") << name;
  }
}

}  // namespace
}  // namespace kestrel::platform

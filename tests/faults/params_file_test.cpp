// A parameter file that cannot be written (the disk full, here a file size
// limit on the server): the answer says which file failed, the driver is
// never started, and the port is free for the next command.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "faults/print_commands.h"
#include "support/kestrel_process.h"

namespace kestrel::testing {
namespace {

TEST(UnwritableParameterFile, AnswerCarriesTheFileErrorAndNoDriverRuns) {
  KestrelProcess server{KESTREL_BIN_DIR};
  server.CopyTool("corvid-instant", "corvid-instant");
  server.DriverScript("touch \"$dir/driver-ran\"\nexec \"$dir/corvid-instant\" \"$1\" \"$2\"");
  // Files of the server and its children stop at 8 blocks of 512 bytes.
  ASSERT_TRUE(server.Start("ulimit -f 8")) << server.Output();
  const std::string port = UniquePortName("full");

  const auto refused =
      ReceiptResult(server.Post(PrintCommand(port, "sale", std::string(64 * 1024, 'x'))));
  EXPECT_NE(refused->FError.find("write error"), std::string::npos) << refused->FError;
  EXPECT_NE(refused->FError.find(server.Folder().Folder() + "P"), std::string::npos)
      << refused->FError;
  EXPECT_FALSE(std::filesystem::exists(server.PathOf("driver-ran")));
  for (const auto& entry : std::filesystem::directory_iterator(server.Folder().Path()))
    EXPECT_NE(entry.path().extension(), ".dat") << entry.path();

  const auto next = ReceiptResult(server.Post(PrintCommand(port, "sale", "small"), 10000));
  EXPECT_EQ(next->FError, "");
  EXPECT_EQ(next->FDocNo, 1);
  EXPECT_TRUE(std::filesystem::exists(server.PathOf("driver-ran")));
  EXPECT_EQ(server.Post("DrvVer"), kVersionAnswer);
  EXPECT_EQ(server.Stop(), 0) << server.Output();
}

}  // namespace
}  // namespace kestrel::testing

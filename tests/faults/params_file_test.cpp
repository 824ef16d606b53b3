// The parameter files of the real server: one that cannot be written (the
// disk full, here a file size limit on the server) is answered with the
// failing file's name, the driver never started and the port left free; and
// ports whose names differ only where a file name cannot follow them still
// each get a file, and so a command, of their own.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <thread>

#include "faults/print_commands.h"
#include "support/kestrel_process.h"

namespace kestrel::testing {
namespace {

TEST(UnwritableParameterFile, AnswerCarriesTheFileErrorAndNoDriverRuns) {
  KestrelProcess server;
  server.CopyTool("corvid-instant", "instant.exe");
  server.Driver("write $dir/driver-ran\nrun $dir/instant.exe $1 $2");
  // Files of the server and its children stop at 8 blocks of 512 bytes.
  ASSERT_TRUE(server.StartUnderShell("ulimit -f 8")) << server.Output();
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

// Commands that start within the same millisecond shared one file when their
// ports' names were made safe by a lossy mapping, which "COM_1" and the
// others below were all mapped to; several rounds make that moment likely.
TEST(ParameterFileNames, PortsThatDifferOnlyInUnsafeCharactersGetTheirOwnResults) {
  KestrelProcess server;
  server.CopyTool("corvid.exe", "simulator.exe");
  // The driver looks at its file only after a while, as a slow one would.
  server.Driver("sleep 400\nrun $dir/simulator.exe $1 $2");
  ASSERT_TRUE(server.Start()) << server.Output();
  const std::string tag = UniquePortName("-names");
  const std::array<std::string, 4> ports = {"COM 1" + tag, "COM/1" + tag, "COM_1" + tag,
                                            "COM:1" + tag};
  for (int round = 0; round < 5; ++round) {
    std::array<std::string, 4> answers;
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < ports.size(); ++i)
      clients.emplace_back([&, i] { answers[i] = server.Post(PrintCommand(ports[i], "test")); });
    for (auto& client : clients)
      client.join();
    for (std::size_t i = 0; i < ports.size(); ++i) {
      const auto result = ReceiptResult(answers[i]);
      EXPECT_EQ(result->FError, "") << ports[i];
      EXPECT_EQ(result->FLog, "corvid-sim: test on " + ports[i]);
    }
  }
  EXPECT_EQ(server.Stop(), 0) << server.Output();
}

}  // namespace
}  // namespace kestrel::testing

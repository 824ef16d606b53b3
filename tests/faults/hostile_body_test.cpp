// Requests that claim or carry far more than any real one, against the real
// server: a packed body whose header claims gigabytes is refused before it
// is inflated, and a print command with a huge port is logged cut; the
// server goes on serving.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/log.h"
#include "faults/print_commands.h"
#include "files/crc32.h"
#include "files/pack.h"
#include "support/kestrel_process.h"
#include "support/tcp_client.h"

namespace kestrel::testing {
namespace {

std::string Int32Bytes(std::int32_t value) {
  std::string bytes;
  for (int shift = 0; shift < 32; shift += 8)
    bytes += static_cast<char>((static_cast<std::uint32_t>(value) >> shift) & 0xFF);
  return bytes;
}

// A packed string whose header claims 2 147 418 112 bytes of zeros, with a
// zlib stream of zeros behind it and a right trailer CRC.
std::string ZeroBomb() {
  const std::string packed = PackString(std::string(1 << 20, '\0'));
  const std::string body =
      Int32Bytes(2147418112) + Int32Bytes(0) + packed.substr(8, packed.size() - 12);
  return body + Int32Bytes(CalcCRC32(body));
}

class HostileBody : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.CopyTool("corvid-instant", "corvid.exe");
    ASSERT_TRUE(server_.Start()) << server_.Output();
  }
  void TearDown() override {
    EXPECT_EQ(server_.Post("DrvVer"), kVersionAnswer);
    EXPECT_EQ(server_.Stop(), 0) << server_.Output();
    EXPECT_EQ(server_.Output().find("Sanitizer"), std::string::npos) << server_.Output();
  }

  KestrelProcess server_;
};

TEST_F(HostileBody, PackedBodiesClaimingGigabytesAreRefusedWithTheLimit) {
  const std::string bomb = ZeroBomb();
  std::vector<std::string> answers(4);
  std::vector<std::thread> clients;
  for (std::string& answer : answers)
    clients.emplace_back([&] { answer = server_.Post(bomb); });
  for (auto& client : clients)
    client.join();
  for (const std::string& answer : answers) {
    std::string unpacked;
    ASSERT_NO_THROW(unpacked = UnpackString(answer)) << answer;
    EXPECT_EQ(ReceiptResult(unpacked)->FError,
              "Error ZIP unpacking: 2147418112 bytes is more than the limit of 64 MiB");
  }
}

TEST_F(HostileBody, HugePortIsLoggedCut) {
  TPrintCmd command;
  command.FPort = std::string(4 << 20, 'P');
  command.FName = "PayVKP-80K";
  command.FCmd = "sale";
  command.FSrvVer = "x";
  const std::string version_error =
      "Не соответствие версий программ Harrier.exe (x) и Kestrel.exe (2012.07.03 14:00)";
  EXPECT_EQ(ReceiptResult(server_.Post(ObjToBSON(command)))->FError, version_error);
  const std::string cut_line =
      std::string(TLog::kMaxFieldCharacters, 'P') + "…,PayVKP-80K sale: " + version_error;
  ASSERT_TRUE(
      WaitUntil([&] { return server_.Output().find(cut_line) != std::string::npos; }, 10000))
      << server_.Output().substr(0, 4096);
  std::istringstream lines(server_.Output());
  for (std::string line; std::getline(lines, line);)
    EXPECT_LE(line.size(), 4 * TLog::kMaxLineCharacters);
}

}  // namespace
}  // namespace kestrel::testing

// kestrel-send as a user runs it: a real process talking to a real server
// over loopback TCP, with the simulated driver behind the print route.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/print.h"
#include "base/text.h"
#include "bson/mapping.h"
#include "files/crc32.h"
#include "journal/journal.h"
#include "messages/messages.h"
#include "platform/process.h"
#include "support/kestrel_program.h"
#include "support/running_daemon.h"
#include "support/stand_in.h"
#include "support/tcp_client.h"
#include "support/temp_dir.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

testing::LogCapture& ServerLog() {
  static testing::LogCapture log;
  return log;
}

// Runs kestrel-send with `args`, its output going to a file in `dir`;
// returns its exit code, what it wrote in `out` (line ends as LF). One that runs longer than
// 30 s is ended and reads as exit code 999.
std::uint32_t RunSend(const testing::TempDir& dir, const std::vector<std::string>& args,
                      std::string& out) {
  // A file of its own for each run: under Wine a run was seen appending to
  // the output of the runs before it, removed just before it started.
  static std::atomic<int> runs{0};
  const std::string output = "out" + std::to_string(++runs);
  platform::ChildProcess client = platform::SpawnProcess(testing::BuiltProgram("kestrel-send"),
                                                         args, true, dir.Folder() + output);
  auto code = client.WaitForExit(30000);
  if (!code && client.Kill(999))
    code = client.WaitForExit(10000);
  out = dir.Read(output);
  // Text on Windows ends its lines with CR LF.
  for (auto at = out.find("\r\n"); at != std::string::npos; at = out.find("\r\n", at))
    out.erase(at, 1);
  return code.value_or(999);
}

class KestrelSend : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy_file(testing::BuiltProgram("corvid.exe"), dir_.Path() / "corvid.exe");
    ASSERT_TRUE(daemon_.Listening());
  }

  // Runs kestrel-send with `args` against the test server; returns its exit
  // code, its standard output and error in `out`.
  std::uint32_t Send(const std::vector<std::string>& args, std::string& out) {
    std::vector<std::string> words = {"--server", "127.0.0.1:" + std::to_string(daemon_.Port())};
    words.insert(words.end(), args.begin(), args.end());
    return RunSend(dir_, words, out);
  }

  testing::TempDir dir_;
  testing::TempDir locks_;
  std::mutex cs_;
  TPortQueue queue_{cs_, 3000ms, locks_.Folder()};
  DriverVersionLog versions_;
  std::shared_ptr<TCommandIds> ids_ = std::make_shared<TCommandIds>(
      std::make_unique<Journal>(dir_.Folder() + kJournalFileName, JournalLimits{},
                                [](const std::string& line) { ServerLog().Add(line); }),
      "", [](const std::string& line) { ServerLog().Add(line); });
  std::shared_ptr<TPrintService> service_ = std::make_shared<TPrintService>(
      dir_.Folder(), queue_, [](const std::string& line) { ServerLog().Add(line); }, versions_,
      CallDrvExe, ids_);
  // The update that reached the server, written by the connection thread.
  std::mutex received_lock_;
  std::string received_;
  testing::RunningDaemon daemon_{PrinterClass(std::make_shared<TPrinterServices>(TPrinterServices{
                                     .log = [](const std::string& line) { ServerLog().Add(line); },
                                     .update_self =
                                         [this](const std::string& body) {
                                           const std::lock_guard lock(received_lock_);
                                           received_ = body;
                                           return Utf8ToWin1251("Ошибка записи");
                                         },
                                     .print_from_sender = MakeSenderPrintRoute(service_),
                                     .cmd_result = MakeCmdResultRoute(ids_)})),
                                 ServerLog()};
};

TEST_F(KestrelSend, PrintTestShowsTheSimulatedResult) {
  std::string out;
  EXPECT_EQ(Send({"print", "--printer", "COM1", "--model", "PayVKP-80K", "--cmd", "test"}, out), 0u)
      << out;
  EXPECT_NE(out.find("\"KKM\": \"PayVPK80K\""), std::string::npos) << out;
  EXPECT_NE(out.find("ТЕСТ ПРИНТЕРА"), std::string::npos) << out;
  EXPECT_EQ(out.find("\"Error\""), std::string::npos) << out;
}

TEST_F(KestrelSend, PackedSaleCarriesEveryField) {
  std::string out;
  EXPECT_EQ(
      Send({"print", "--packed", "--printer", "COM2",    "--model", "Ярус-01K",        "--cmd",
            "sale",  "--summ0",  "12.5",      "--summ1", "0,0001",  "--text",          "Хлеб",
            "--pwd", "30",       "--baud",    "9600",    "--docdt", "2012-07-03 14:00"},
           out),
      0u)
      << out;
  EXPECT_NE(out.find("\"Summ0\": 12.5"), std::string::npos) << out;
  EXPECT_NE(out.find("\"Summ1\": 0.0001"), std::string::npos) << out;
  EXPECT_NE(out.find("\"KKM\": \"JARUS-01K\""), std::string::npos) << out;
  EXPECT_NE(out.find("Хлеб"), std::string::npos) << out;
}

TEST_F(KestrelSend, AnswerWithAnErrorExitsWithOne) {
  std::string out;
  EXPECT_EQ(Send({"print", "--printer", "COM1", "--model", "PayVKP-80K", "--cmd", "dance"}, out),
            1u);
  EXPECT_NE(out.find("\"Error\": \"Неизвестная команда dance\""), std::string::npos) << out;
  EXPECT_EQ(Send({"print", "--printer", "COM1", "--model", "PayVKP-80K", "--cmd", "test",
                  "--srvver", "1"},
                 out),
            1u);
  EXPECT_NE(out.find("Не соответствие версий программ"), std::string::npos) << out;
}

TEST_F(KestrelSend, CommandIdIsAnsweredOnceAndShownInTheJournal) {
  const std::vector<std::string> sale = {"print",      "--printer", "COM3",  "--model",
                                         "PayVKP-80K", "--cmd",     "sale",  "--summ0",
                                         "2",          "--id",      "send-1"};
  std::string first, again;
  EXPECT_EQ(Send(sale, first), 0u) << first;
  EXPECT_EQ(Send(sale, again), 0u);
  EXPECT_EQ(again, first);
  EXPECT_EQ(Send({"result", "send-1"}, again), 0u);
  EXPECT_EQ(again, first);
  EXPECT_EQ(Send({"result", "send-2"}, again), 1u);
  EXPECT_NE(again.find(UnknownIdText("send-2")), std::string::npos) << again;

  const std::string db = dir_.Folder() + kJournalFileName;
  std::string journal;
  EXPECT_EQ(
      Send({"journal", "--id", "send-1", "--port", "COM3", "--since", "2000-01-01", "--db", db},
           journal),
      0u);
  EXPECT_NE(journal.find("\"outcome\": \"done\""), std::string::npos) << journal;
  EXPECT_NE(journal.find("\"outcome\": \"repeat\""), std::string::npos) << journal;
  EXPECT_NE(journal.find("\"sender\": \"127.0.0.1:"), std::string::npos) << journal;
  EXPECT_NE(journal.find("\"KKM\": \"PayVPK80K\""), std::string::npos) << journal;
  EXPECT_EQ(Send({"journal", "--since", "2999-01-01 10:00", "--db", db}, journal), 0u);
  EXPECT_EQ(journal, "[]\n");
}

TEST_F(KestrelSend, VersionQuery) {
  std::string out;
  EXPECT_EQ(Send({"version"}, out), 0u);
  EXPECT_EQ(out, "{\n  \"DrvVer\": \"2012.07.03 14:00\"\n}\n");
}

TEST_F(KestrelSend, UpdatePackageCarriesTheFilesWithTheirChecksums) {
  const std::string file = dir_.Write("new kestrel", std::string("\x7f"
                                                                 "ELF\0\1",
                                                                 6));
  std::string out;
  EXPECT_EQ(Send({"update", "--exever", "2012.08.01", file + "=bin/kestrel"}, out), 1u);
  EXPECT_EQ(out, "{\n  \"Error\": \"Ошибка записи\"\n}\n");
  TUpdateInfo info;
  {
    const std::lock_guard lock(received_lock_);
    BSONToObj(received_, info);
  }
  EXPECT_EQ(info.FEXEver, "2012.08.01");
  ASSERT_EQ(info.Files().Count(), 1);
  const auto& sent = static_cast<const TUpdateFile&>(*info.Files().Items(0));
  EXPECT_EQ(sent.FName, "bin/kestrel");
  EXPECT_EQ(sent.FBody, std::string("\x7f"
                                    "ELF\0\1",
                                    6));
  EXPECT_EQ(sent.FCRC32, CalcCRC32(sent.FBody));
}

TEST_F(KestrelSend, DecodeShowsAnyBsonFileAsJson) {
  TPrnZREPRes result;
  result.FError = "a \"quoted\"\ntext";
  result.FCicleSumm0 = Currency::FromRaw(-15000);
  const std::string file = dir_.Write("z.bson", ObjToBSON(result));
  std::string out;
  EXPECT_EQ(Send({"decode", file}, out), 0u);
  EXPECT_NE(out.find("\"Error\": \"a \\\"quoted\\\"\\ntext\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"CicleSumm0\": -1.5"), std::string::npos) << out;
  dir_.Write("cut.bson", ObjToBSON(result).substr(0, 20));
  EXPECT_EQ(Send({"decode", dir_.Folder() + "cut.bson"}, out), 3u);
  EXPECT_NE(out.find("Malformed BSON"), std::string::npos) << out;
}

TEST_F(KestrelSend, DecodeRefusesWhatTheDriverCannotRead) {
  std::string out;
  const std::string regex = dir_.Write("regex.bson", std::string("\x0d\0\0\0\x0br\0ab\0i\0\0", 13));
  EXPECT_EQ(Send({"decode", regex}, out), 3u);
  EXPECT_NE(out.find("Malformed BSON: element type 11 is not supported"), std::string::npos) << out;
  const std::string early_end = dir_.Write("early.bson", std::string("\x07\0\0\0\0x\0", 7));
  EXPECT_EQ(Send({"decode", early_end}, out), 3u);
  EXPECT_NE(out.find("Malformed BSON: bytes after the last element"), std::string::npos) << out;
}

TEST_F(KestrelSend, BadCommandLinesAndMissingServers) {
  std::string out;
  EXPECT_EQ(Send({"--help"}, out), 0u);
  EXPECT_NE(out.find("Usage: kestrel-send"), std::string::npos);
  EXPECT_EQ(Send({"print", "--printer", "COM1"}, out), 2u);
  EXPECT_EQ(Send({"print", "--cmd", "test", "--summ0", "1.23456"}, out), 2u);
  EXPECT_NE(out.find("--summ0"), std::string::npos) << out;
  EXPECT_EQ(Send({"fly"}, out), 2u);
  EXPECT_EQ(
      RunSend(dir_, {"--server", "127.0.0.1:" + std::to_string(testing::FreePort()), "version"},
              out),
      3u);
  EXPECT_NE(out.find("Cannot connect"), std::string::npos);
}

// A server that answers without end: kestrel-send stops at its limit
// instead of keeping everything.
TEST(KestrelSendAnswer, EndlessAnswerIsRefusedAtTheLimit) {
  platform::Socket listener;
  listener.Bind("127.0.0.1", "0");
  listener.Listen(4);
  std::thread server([&] {
    platform::Socket connection = listener.AcceptWithin(30000);
    if (!connection.IsOpen())
      return;
    connection.Receive(65536, 5000);
    connection.Send("HTTP/1.1 200 OK\r\n\r\n", 5000);
    const std::string block(1 << 20, '\0');
    for (int sent = 0; sent < 80 && connection.LastError() == 0; ++sent)
      connection.Send(block, 5000);
  });
  testing::TempDir dir;
  std::string out;
  EXPECT_EQ(
      RunSend(dir, {"--server", "127.0.0.1:" + std::to_string(listener.LocalPort()), "version"},
              out),
      3u);
  server.join();
  EXPECT_NE(out.find("Answer larger than 67108864 bytes"), std::string::npos);
}

// What a user does to update a running server: sends a new build with the
// client and sees the server come back as that build on the same address.
TEST(KestrelSendUpdate, NewBuildComesBackOnTheSameAddress) {
  testing::TempDir program_folder;
  testing::TempDir upload;
  testing::KestrelProgram kestrel(program_folder, testing::BuiltProgram("kestrel"));
  kestrel.Start();
  ASSERT_TRUE(kestrel.WaitAnswering(30000)) << kestrel.Output();
  const std::string build = kestrel.OriginalImage() + "\nnew build\n";
  const std::string build_file = upload.Write(testing::KestrelProgram::kFileName, build);
  std::string out;
  EXPECT_EQ(RunSend(upload,
                    {"--server", "127.0.0.1:" + std::to_string(kestrel.Port()), "update",
                     "--exever", "2012.08.01", build_file},
                    out),
            0u);
  EXPECT_EQ(out, "{}\n");
  ASSERT_TRUE(kestrel.WaitStartedExit(5000)) << kestrel.Output();
  ASSERT_TRUE(kestrel.WaitAnswering(60000)) << kestrel.Output();
  EXPECT_TRUE(program_folder.Read(testing::KestrelProgram::kFileName) == build);
  EXPECT_FALSE(std::filesystem::exists(
      program_folder.Path() / (std::string("~new~") + testing::KestrelProgram::kFileName)));
}

}  // namespace
}  // namespace kestrel

#include "app/self_update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "bson/mapping.h"
#include "files/crc32.h"
#include "journal/journal.h"
#include "messages/messages.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/socket.h"
#include "support/bson_bytes.h"
#include "support/kestrel_program.h"
#include "support/processes.h"
#include "support/running_daemon.h"
#include "support/stand_in.h"
#include "support/tcp_client.h"
#include "support/temp_dir.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::ReadAll;
using testing::TempDir;

constexpr char kVersion[] = "2012.08.01";

struct PackageFile {
  std::string name;
  std::string body;
  bool right_checksum = true;
};

std::string Package(const std::vector<PackageFile>& files) {
  TUpdateInfo info;
  info.FEXEver = kVersion;
  for (const PackageFile& wanted : files) {
    auto* file = static_cast<TUpdateFile*>(info.Files().Add());
    file->FName = wanted.name;
    file->FBody = wanted.body;
    file->FCRC32 = CalcCRC32(wanted.body) ^ (wanted.right_checksum ? 0 : 1);
  }
  return ObjToBSON(info);
}

std::string WriteError(const std::string& name, const std::string& reason) {
  return Utf8ToWin1251("Ошибка записи файла " + name +
                       " на диск при обновлении программы на версию " + kVersion + ": " + reason);
}

void WriteFile(const fs::path& file, const std::string& content,
               fs::perms perms = fs::perms::owner_read | fs::perms::owner_write) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << content;
  fs::permissions(file, perms);
}

fs::perms PermsOf(const fs::path& file) {
  return fs::status(file).permissions() & fs::perms::mask;
}

// Every path below `root`, relative to it, sorted; without the journal's
// write-ahead files, which come and go with the running program.
std::vector<std::string> Tree(const fs::path& root) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    if (name != std::string(kJournalFileName) + "-wal" &&
        name != std::string(kJournalFileName) + "-shm")
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool HasFileStartingWith(const fs::path& folder, const std::string& prefix) {
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().starts_with(prefix))
      return true;
  }
  return false;
}

constexpr fs::perms kRwxRx = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec;
constexpr fs::perms kRwR = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;

// The update route of a real server over loopback TCP, with the program
// folder one level below a folder that nothing may reach.
class UpdateRequest : public ::testing::Test {
 protected:
  static testing::LogCapture& ServerLog() {
    static testing::LogCapture log;
    return log;
  }
  void SetUp() override {
    fs::create_directory(program_);
    ASSERT_TRUE(daemon_.Listening());
  }

  std::string Send(const std::string& body) {
    return testing::HttpBody(testing::Exchange(daemon_.Port(), testing::HttpPost(body)));
  }

  TempDir root_;
  const fs::path program_ = root_.Path() / "app";
  std::atomic<bool> restart_{false};
  std::shared_ptr<TUpdateService> service_ =
      std::make_shared<TUpdateService>(program_.string() + "/", "kestrel", restart_);
  testing::RunningDaemon daemon_{PrinterClass(std::make_shared<TPrinterServices>(TPrinterServices{
                                     .log = [](const std::string& line) { ServerLog().Add(line); },
                                     .update_self = MakeUpdateRoute(service_)})),
                                 ServerLog()};
};

TEST_F(UpdateRequest, StoresEveryFileBesideTheProgram) {
  WriteFile(program_ / "kestrel", "old program", kRwxRx);
  WriteFile(program_ / "tables.dat", "old tables", kRwR);
  EXPECT_EQ(Send(Package({{"kestrel", "new program"},
                          {"tables.dat", "new tables"},
                          {"forms/receipt.txt", "new form"}})),
            "");
  EXPECT_TRUE(restart_);
  EXPECT_EQ(ReadAll(program_ / "~new~kestrel"), "new program");
  EXPECT_EQ(ReadAll(program_ / "~new~tables.dat"), "new tables");
  EXPECT_EQ(ReadAll(program_ / "~new~forms" / "receipt.txt"), "new form");
  EXPECT_EQ(ReadAll(program_ / "kestrel"), "old program");
  EXPECT_EQ(ReadAll(program_ / "tables.dat"), "old tables");
}

TEST_F(UpdateRequest, StoredFilesTakeThePermissionsOfWhatTheyReplaceAndTheProgramIsExecutable) {
  WriteFile(program_ / "kestrel", "old program", kRwxRx);
  WriteFile(program_ / "tables.dat", "old tables", kRwR);
  EXPECT_EQ(Send(Package({{"kestrel", "new program"}, {"tables.dat", "new tables"}})), "");
  EXPECT_EQ(PermsOf(program_ / "~new~kestrel"), kRwxRx);
  EXPECT_EQ(PermsOf(program_ / "~new~tables.dat"), kRwR);
  // With nothing to replace, the program is executable all the same.
  fs::remove(program_ / "kestrel");
  fs::remove(program_ / "~new~kestrel");
  EXPECT_EQ(Send(Package({{"kestrel", "#!/bin/sh\n"}})), "");
  EXPECT_NE(PermsOf(program_ / "~new~kestrel") & fs::perms::owner_exec, fs::perms::none);
}

TEST_F(UpdateRequest, WrongChecksumNamesTheFileAndTheVersionAndWritesNothing) {
  WriteFile(program_ / "kestrel", "old program");
  const std::vector<std::string> before = Tree(root_.Path());
  EXPECT_EQ(Send(Package({{"kestrel", "new program"}, {"таблицы.dat", "tables", false}})),
            Utf8ToWin1251("Ошибка CRC для файла таблицы.dat при обновлении программы на версию " +
                          std::string(kVersion)));
  EXPECT_TRUE(restart_);
  EXPECT_EQ(Tree(root_.Path()), before);
}

TEST_F(UpdateRequest, NamesThatLeaveTheProgramFolderAreRefusedBeforeAnythingIsWritten) {
  const std::string outside = (root_.Path() / "escape.txt").string();
  for (const std::string& name :
       {std::string("../escape.txt"), std::string("forms/../../escape.txt"),
        std::string("..\\escape.txt"), outside, std::string(""), std::string("forms/")}) {
    SCOPED_TRACE(name);
    restart_ = false;
    const std::vector<std::string> before = Tree(root_.Path());
    EXPECT_EQ(Send(Package({{"first.txt", "first"}, {name, "escaped"}})),
              WriteError(name, "недопустимое имя файла"));
    EXPECT_TRUE(restart_);
    EXPECT_EQ(Tree(root_.Path()), before);
  }
}

TEST_F(UpdateRequest, FailedWriteRemovesWhatTheRequestStored) {
  WriteFile(program_ / "~new~blocked" / "inside", "a folder where the file should go");
  const std::string answer = Send(Package({{"first.txt", "first"}, {"blocked", "second"}}));
  const std::string prefix = WriteError("blocked", "Cannot create file");
  EXPECT_EQ(answer.substr(0, prefix.size()), prefix) << Win1251ToUtf8(answer);
  EXPECT_TRUE(restart_);
  EXPECT_FALSE(fs::exists(program_ / "~new~first.txt"));
}

TEST_F(UpdateRequest, BodyThatIsNoPackageAnswersTheDecodingError) {
  std::string body = Package({{"kestrel", "new program"}});
  body.resize(body.size() - 3);
  std::string message;
  try {
    TUpdateInfo info;
    BSONToObj(body, info);
  } catch (const std::exception& e) {
    message = e.what();
  }
  ASSERT_FALSE(message.empty());
  EXPECT_EQ(Send(body), Utf8ToWin1251(message));
  EXPECT_TRUE(restart_);
  EXPECT_EQ(Tree(program_), std::vector<std::string>{});
}

// Each element of the array is two bytes: a null type and an empty name.
TEST_F(UpdateRequest, FilesArrayOfMillionsOfTinyElementsIsRefusedBeforeItIsDecoded) {
  const std::string version = std::string(
                                  "\x02"
                                  "EXEver\0",
                                  8) +
                              testing::Bytes({2, 0, 0, 0}) + std::string("9\0", 2);
  std::string elements;
  for (int i = 0; i < 4000000; ++i)
    elements.append("\x0A\0", 2);
  const std::string files = std::string(
                                "\x04"
                                "Files\0",
                                7) +
                            testing::Document(elements);
  EXPECT_EQ(Send(testing::Document(version + files)),
            "Array \"Files\" holds 4000000 items, more than 1024");
  EXPECT_TRUE(restart_);
  EXPECT_EQ(Tree(program_), std::vector<std::string>{});
}

// The start-up steps on a program folder of programs that record their start.
class UpdateStart : public ::testing::Test {
 protected:
  TUpdateProgram Copy() const {
    return UpdateProgramOf(dir_.Folder() + "~new~tool.exe", {"ip:127.0.0.1", "port: 9100"});
  }
  // The stand-in as `name`, writing the arguments it was started with to
  // `name` + ".started".
  void Recording(const std::string& name, fs::perms perms) const {
    testing::InstallStandIn(dir_.Path(), name, "arguments $0.started");
    fs::permissions(dir_.Path() / name, perms);
  }
  static std::string RecordingImage() { return ReadAll(testing::BuiltProgram("kestrel-stand-in")); }
  // The arguments the program `name` was started with, once it has run.
  std::optional<std::string> StartedWith(const std::string& name) const {
    const fs::path record = dir_.Path() / (name + ".started");
    if (!testing::WaitUntil([&] { return fs::exists(record) && fs::file_size(record) > 0; }, 10000))
      return std::nullopt;
    return ReadAll(record);
  }
  // A stored update of the program and two files, over old ones of other
  // permissions.
  void StoreUpdateOverOldFiles() const {
    WriteFile(dir_.Path() / "tool.exe", "old tool", kRwxRx);
    Recording("~new~tool.exe", kRwR);
    WriteFile(dir_.Path() / "tables.dat", "old tables", kRwR);
    WriteFile(dir_.Path() / "~new~tables.dat", "new tables");
    WriteFile(dir_.Path() / "~new~forms" / "receipt.txt", "new form");
  }
  void Lock(const std::string& name) {
    platform::SystemError error;
    locks_.push_back(platform::OpenForReading(dir_.Folder() + name, error));
    ASSERT_TRUE(locks_.back().IsOpen()) << error.text;
  }
  TInstallRetry Counted(std::uint32_t give_up_after_ms, std::uint32_t step_ms) {
    return TInstallRetry{give_up_after_ms, step_ms, [this](std::uint32_t ms) {
                           ++sleeps_;
                           slept_ms_ += ms;
                           if (on_sleep_)
                             on_sleep_();
                         }};
  }

  TempDir dir_;
  std::vector<platform::File> locks_;
  int sleeps_ = 0;
  std::uint32_t slept_ms_ = 0;
  std::function<void()> on_sleep_;
};

TEST_F(UpdateStart, ProgramUnderItsOwnNameInstallsNothing) {
  WriteFile(dir_.Path() / "~new~tables.dat", "new");
  EXPECT_FALSE(InstallUpdateFiles(UpdateProgramOf(dir_.Folder() + "tool.exe", {})));
  EXPECT_FALSE(fs::exists(dir_.Path() / "tables.dat"));
  EXPECT_TRUE(fs::exists(dir_.Path() / "~new~tables.dat"));
}

TEST_F(UpdateStart, CopyInstallsEveryStoredFileAndStartsTheProgramWithItsArguments) {
  StoreUpdateOverOldFiles();
  EXPECT_TRUE(InstallUpdateFiles(Copy(), Counted(10000, 200)));
  EXPECT_EQ(StartedWith("tool.exe"), "[ip:127.0.0.1]\n[port: 9100]\n");
  EXPECT_EQ(sleeps_, 0);
  EXPECT_TRUE(ReadAll(dir_.Path() / "tool.exe") == RecordingImage());
  EXPECT_EQ(ReadAll(dir_.Path() / "tables.dat"), "new tables");
  EXPECT_FALSE(fs::exists(dir_.Path() / "forms"));
  EXPECT_TRUE(fs::exists(dir_.Path() / "~new~tables.dat"));
  EXPECT_FALSE(HasFileStartingWith(dir_.Path(), "~tmp~"));
}

TEST_F(UpdateStart, InstalledFilesKeepThePermissionsOfWhatTheyReplace) {
  StoreUpdateOverOldFiles();
  EXPECT_TRUE(InstallUpdateFiles(Copy(), Counted(10000, 200)));
  EXPECT_TRUE(StartedWith("tool.exe"));
  EXPECT_EQ(PermsOf(dir_.Path() / "tool.exe"), kRwxRx);
  EXPECT_EQ(PermsOf(dir_.Path() / "tables.dat"), kRwR);
}

TEST_F(UpdateStart, NewProgramWithoutAnOldOneIsMadeExecutable) {
  Recording("~new~tool.exe", kRwR);
  EXPECT_TRUE(InstallUpdateFiles(Copy(), Counted(10000, 200)));
  EXPECT_EQ(StartedWith("tool.exe"), "[ip:127.0.0.1]\n[port: 9100]\n");
}

// A reader of the old file keeps reading it whole, and every new opener gets
// the whole new file: the file is never rewritten in place.
TEST_F(UpdateStart, InstalledFileReplacesTheOldOneInOneStep) {
  Recording("tool.exe", kRwxRx);
  WriteFile(dir_.Path() / "tables.dat", "old tables");
  WriteFile(dir_.Path() / "~new~tables.dat", "new tables, longer");
  std::ifstream old_reader(dir_.Path() / "tables.dat", std::ios::binary);
  EXPECT_TRUE(InstallUpdateFiles(Copy(), Counted(10000, 200)));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(old_reader), {}), "old tables");
  EXPECT_EQ(ReadAll(dir_.Path() / "tables.dat"), "new tables, longer");
  EXPECT_TRUE(StartedWith("tool.exe"));
}

TEST_F(UpdateStart, OneBudgetServesTheWholePass) {
  Recording("tool.exe", kRwxRx);
  for (const std::string name : {"a.dat", "b.dat", "c.dat"}) {
    WriteFile(dir_.Path() / name, "old");
    WriteFile(dir_.Path() / ("~new~" + name), "new");
  }
  Lock("a.dat");
  Lock("b.dat");
  EXPECT_TRUE(InstallUpdateFiles(Copy(), Counted(400, 100)));
  // Waits of 100 ms while no more than 400 ms were waited: five, for the
  // first locked file; the second is given up after its first attempt.
  EXPECT_EQ(sleeps_, 5);
  EXPECT_EQ(slept_ms_, 500u);
  EXPECT_EQ(ReadAll(dir_.Path() / "a.dat"), "old");
  EXPECT_EQ(ReadAll(dir_.Path() / "b.dat"), "old");
  EXPECT_EQ(ReadAll(dir_.Path() / "c.dat"), "new");
  EXPECT_FALSE(HasFileStartingWith(dir_.Path(), "~tmp~"));
  EXPECT_TRUE(StartedWith("tool.exe"));
}

TEST_F(UpdateStart, LockedFileIsGivenUpAfterTenPointTwoSeconds) {
  Recording("tool.exe", kRwxRx);
  WriteFile(dir_.Path() / "~new~tool.exe", "new tool");
  Lock("tool.exe");
  EXPECT_TRUE(InstallUpdateFiles(
      Copy(), Counted(TInstallRetry{}.give_up_after_ms, TInstallRetry{}.step_ms)));
  EXPECT_EQ(sleeps_, 51);
  EXPECT_EQ(slept_ms_, 10200u);
  EXPECT_TRUE(ReadAll(dir_.Path() / "tool.exe") == RecordingImage());
  EXPECT_EQ(StartedWith("tool.exe"), "[ip:127.0.0.1]\n[port: 9100]\n");
}

TEST_F(UpdateStart, FileUnlockedWhileWaitingIsInstalled) {
  Recording("tool.exe", kRwxRx);
  WriteFile(dir_.Path() / "tables.dat", "old");
  WriteFile(dir_.Path() / "~new~tables.dat", "new");
  Lock("tables.dat");
  on_sleep_ = [this] {
    if (sleeps_ == 2)
      locks_.clear();
  };
  EXPECT_TRUE(InstallUpdateFiles(Copy(), Counted(10000, 200)));
  EXPECT_EQ(sleeps_, 2);
  EXPECT_EQ(ReadAll(dir_.Path() / "tables.dat"), "new");
  EXPECT_TRUE(StartedWith("tool.exe"));
}

TEST_F(UpdateStart, LeftoversDirectlyInTheFolderAreDeletedFoldersAndLinksIncluded) {
  for (const std::string name :
       {"~new~tool", "~new~tables.dat", "~tmp~tables.dat", "tables.dat", "tool~new~", "~NEW~tool"})
    WriteFile(dir_.Path() / name, "x");
  WriteFile(dir_.Path() / "~new~forms" / "a" / "receipt.txt", "x");
  // Links are removed as links: what they point at stays.
  TempDir outside;
  WriteFile(outside.Path() / "kept" / "file", "x");
  fs::create_directory_symlink(outside.Path() / "kept", dir_.Path() / "~new~forms" / "link");
  fs::create_directory_symlink(outside.Path() / "kept", dir_.Path() / "~new~link");
  DeleteUpdateLeftovers(dir_.Folder());
  EXPECT_EQ(Tree(dir_.Path()), (std::vector<std::string>{"tables.dat", "tool~new~", "~NEW~tool"}));
  EXPECT_EQ(Tree(outside.Path()), (std::vector<std::string>{"kept", "kept/file"}));
}

TEST_F(UpdateStart, ExitStartsTheStoredCopyWithTheArguments) {
  Recording("~new~tool.exe", kRwxRx);
  RunUpdatedCopy(UpdateProgramOf(dir_.Folder() + "tool.exe", {"port:9100"}));
  EXPECT_EQ(StartedWith("~new~tool.exe"), "[port:9100]\n");
}

// Bounds only: a build with sanitizers moves its megabytes slowly.
constexpr int kStartBoundMs = 30000;
constexpr int kCloseBoundMs = 5000;
constexpr int kRestartBoundMs = 60000;
const std::string kProgram = testing::KestrelProgram::kFileName;

// The real program in a program folder of its own, updated over the network.
class SelfUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    kestrel_.Start();
    ASSERT_TRUE(kestrel_.WaitAnswering(kStartBoundMs)) << kestrel_.Output();
  }

  std::string Program() const { return ReadAll(dir_.Path() / kProgram); }
  // A build that runs as the program does and can be told apart from it.
  std::string MarkedBuild() const { return kestrel_.OriginalImage() + "\nmarked build\n"; }

  // The one process running from the folder, once there is exactly one.
  std::optional<int> OnlyRunning() const {
    std::vector<int> running;
    testing::WaitUntil(
        [&] {
          running = kestrel_.Running();
          return running.size() == 1;
        },
        5000);
    return running.size() == 1 ? std::optional<int>(running[0]) : std::nullopt;
  }

  void ExpectRunsWithTheOriginalArguments(int pid) const {
    std::vector<std::string> command = testing::CommandLineOf(pid);
    ASSERT_FALSE(command.empty());
    command.erase(command.begin());
    EXPECT_EQ(command, kestrel_.Arguments());
  }

  TempDir dir_;
  testing::KestrelProgram kestrel_{dir_, testing::BuiltProgram("kestrel")};
};

TEST_F(SelfUpdate, NewBuildComesBackOnTheSameAddress) {
  const std::string build = MarkedBuild();
  EXPECT_EQ(kestrel_.Post(Package({{kProgram, build}})), "");
  const std::uint64_t answered = platform::MonotonicMilliseconds();
  ASSERT_TRUE(kestrel_.WaitStartedExit(kCloseBoundMs)) << kestrel_.Output();
  RecordProperty("closed_after_ms", std::to_string(platform::MonotonicMilliseconds() - answered));
  ASSERT_TRUE(kestrel_.WaitAnswering(kRestartBoundMs)) << kestrel_.Output();
  EXPECT_EQ(Program(), build);
  EXPECT_FALSE(HasFileStartingWith(dir_.Path(), "~new~"));
  EXPECT_FALSE(HasFileStartingWith(dir_.Path(), "~tmp~"));
  const std::optional<int> pid = OnlyRunning();
  ASSERT_TRUE(pid);
  EXPECT_TRUE(testing::ImageOf(*pid) == build);
  ExpectRunsWithTheOriginalArguments(*pid);
}

TEST_F(SelfUpdate, WrongChecksumClosesTheProgramForGood) {
  const std::vector<std::string> before = Tree(dir_.Path());
  EXPECT_EQ(kestrel_.Post(Package({{kProgram, MarkedBuild()}, {"tables.dat", "new", false}})),
            Utf8ToWin1251("Ошибка CRC для файла tables.dat при обновлении программы на версию " +
                          std::string(kVersion)));
  ASSERT_TRUE(kestrel_.WaitStartedExit(kCloseBoundMs)) << kestrel_.Output();
  // A restart would have been started before the program ended.
  EXPECT_EQ(kestrel_.Running(), std::vector<int>{});
  EXPECT_EQ(Tree(dir_.Path()), before);
  EXPECT_EQ(Program(), kestrel_.OriginalImage());
}

TEST_F(SelfUpdate, DataFileIsStoredButDeletedAtTheNextStartWithoutBeingInstalled) {
  WriteFile(dir_.Path() / "tables.dat", "old tables");
  EXPECT_EQ(kestrel_.Post(Package({{"tables.dat", "new tables"}})), "");
  ASSERT_TRUE(kestrel_.WaitStartedExit(kCloseBoundMs)) << kestrel_.Output();
  EXPECT_EQ(kestrel_.Running(), std::vector<int>{});
  EXPECT_EQ(ReadAll(dir_.Path() / "~new~tables.dat"), "new tables");
  kestrel_.Start();
  ASSERT_TRUE(kestrel_.WaitAnswering(kStartBoundMs)) << kestrel_.Output();
  EXPECT_FALSE(fs::exists(dir_.Path() / "~new~tables.dat"));
  EXPECT_EQ(ReadAll(dir_.Path() / "tables.dat"), "old tables");
}

// The name makes a folder "~new~" + the program's name, where the program's own stored
// copy must go at the next update.
TEST_F(SelfUpdate, NameWithAFolderPartDoesNotBlockTheNextUpdate) {
  EXPECT_EQ(kestrel_.Post(Package({{kProgram + "/x", "stored, never installed"}})), "");
  ASSERT_TRUE(kestrel_.WaitStartedExit(kCloseBoundMs)) << kestrel_.Output();
  EXPECT_EQ(ReadAll(dir_.Path() / ("~new~" + kProgram) / "x"), "stored, never installed");
  kestrel_.Start();
  ASSERT_TRUE(kestrel_.WaitAnswering(kStartBoundMs)) << kestrel_.Output();
  EXPECT_FALSE(HasFileStartingWith(dir_.Path(), "~new~"));
  EXPECT_FALSE(fs::exists(dir_.Path() / "x"));

  const std::string build = MarkedBuild();
  EXPECT_EQ(kestrel_.Post(Package({{kProgram, build}})), "");
  ASSERT_TRUE(kestrel_.WaitStartedExit(kCloseBoundMs)) << kestrel_.Output();
  ASSERT_TRUE(kestrel_.WaitAnswering(kRestartBoundMs)) << kestrel_.Output();
  EXPECT_EQ(Program(), build);
}

// Connections of the replaced program can keep its address taken for a
// while (on Windows, where the server claims it for itself): the program
// that an update started waits for it instead of going without a listener,
// and still closes at once when asked to.
TEST_F(SelfUpdate, ProgramThatAnUpdateStartedGetsItsAddressOnceItIsFree) {
  EXPECT_EQ(kestrel_.Post(Package({{"tables.dat", "new tables"}})), "");
  ASSERT_TRUE(kestrel_.WaitStartedExit(kCloseBoundMs)) << kestrel_.Output();
  platform::Socket holder;
  holder.Bind("127.0.0.1", std::to_string(kestrel_.Port()));
  ASSERT_EQ(holder.LastError(), 0) << holder.LastErrorText();
  holder.Listen(1);
  ASSERT_EQ(holder.LastError(), 0) << holder.LastErrorText();
  const std::string waiting = "Адрес 127.0.0.1:" + std::to_string(kestrel_.Port()) + " ещё занят";
  const auto start_as_after_an_update = [&] {
    WriteFile(dir_.Path() / ("~new~" + kProgram), kestrel_.OriginalImage());
    kestrel_.Start();
    return testing::WaitUntil([&] { return kestrel_.Output().find(waiting) != std::string::npos; },
                              kStartBoundMs);
  };

  ASSERT_TRUE(start_as_after_an_update()) << kestrel_.Output();
  const std::optional<int> pid = OnlyRunning();
  ASSERT_TRUE(pid);
  ASSERT_TRUE(testing::AskProcessToClose(*pid));
  EXPECT_TRUE(kestrel_.WaitStartedExit(kCloseBoundMs)) << kestrel_.Output();

  ASSERT_TRUE(start_as_after_an_update()) << kestrel_.Output();
  holder.Close();
  EXPECT_TRUE(kestrel_.WaitAnswering(kStartBoundMs)) << kestrel_.Output();
  EXPECT_FALSE(HasFileStartingWith(dir_.Path(), "~new~"));
}

TEST_F(SelfUpdate, LockedProgramIsGivenUpAndTheOldOneComesBack) {
  platform::SystemError error;
  const platform::File lock = platform::OpenForReading(dir_.Folder() + kProgram, error);
  ASSERT_TRUE(lock.IsOpen()) << error.text;
  EXPECT_EQ(kestrel_.Post(Package({{kProgram, MarkedBuild()}})), "");
  ASSERT_TRUE(kestrel_.WaitStartedExit(kCloseBoundMs)) << kestrel_.Output();
  const std::uint64_t ended = platform::MonotonicMilliseconds();
  ASSERT_TRUE(kestrel_.WaitAnswering(kRestartBoundMs)) << kestrel_.Output();
  EXPECT_GE(platform::MonotonicMilliseconds() - ended, 10000u);
  EXPECT_EQ(Program(), kestrel_.OriginalImage());
  EXPECT_FALSE(HasFileStartingWith(dir_.Path(), "~new~"));
  const std::optional<int> pid = OnlyRunning();
  ASSERT_TRUE(pid);
  EXPECT_TRUE(testing::ImageOf(*pid) == kestrel_.OriginalImage());
  ExpectRunsWithTheOriginalArguments(*pid);
}

}  // namespace
}  // namespace kestrel

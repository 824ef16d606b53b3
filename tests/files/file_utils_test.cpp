#include "files/file_utils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/file_system.h"
#include "platform/process.h"
#include "raised.h"
#include "support/error_texts.h"
#include "support/processes.h"
#include "support/stand_in.h"
#include "support/temp_dir.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

std::string AllByteValues() {
  std::string bytes;
  for (int i = 0; i < 256; ++i)
    bytes.push_back(static_cast<char>(i));
  return bytes;
}

fs::perms PermissionsOf(const std::string& name) {
  return fs::status(name).permissions();
}

bool OwnerMayWrite(const std::string& name) {
  return (PermissionsOf(name) & fs::perms::owner_write) != fs::perms::none;
}

void MakeReadOnly(const std::string& name) {
  fs::permissions(name, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

std::string Body(const std::string& name, bool must_open = true) {
  std::string body = "stale";
  ReadFileBody(name, must_open, body);
  return body;
}

std::string Part(const std::string& name, std::int32_t count, std::int64_t offset) {
  std::string body = "stale";
  ReadFilePart(name, count, true, body, offset);
  return body;
}

TEST(ReadFilePart, ReadsTheBytesFromTheOffsetUpToTheEnd) {
  testing::TempDir dir;
  const std::string name = dir.Write("part.bin", "0123456789");
  EXPECT_EQ(Part(name, 3, 2), "234");
  EXPECT_EQ(Part(name, 100, 7), "789");
  EXPECT_EQ(Part(name, 0, 0), "");
  EXPECT_EQ(Part(name, -5, 0), "");
}

TEST(ReadFilePart, OffsetAtOrBeyondTheEndGivesAnEmptyBody) {
  testing::TempDir dir;
  const std::string name = dir.Write("part.bin", "0123456789");
  EXPECT_EQ(Part(name, 5, 10), "");
  EXPECT_EQ(Part(name, 5, 1000000), "");
}

TEST(ReadFilePart, NegativeOffsetIsAReadError) {
  testing::TempDir dir;
  const std::string name = dir.Write("part.bin", "0123456789");
  EXPECT_EQ(testing::MessageRaisedBy([&] { Part(name, 5, -1); }),
            "File \"" + name + "\" read error");
}

TEST(ReadFilePart, MissingFileIsEmptyUnlessItMustOpen) {
  testing::TempDir dir;
  const std::string name = dir.Folder() + "missing.dat";
  std::string body = "stale";
  ReadFilePart(name, 10, false, body, 0);
  EXPECT_EQ(body, "");
  EXPECT_EQ(Body(name, false), "");
  EXPECT_EQ(testing::MessageRaisedBy([&] { ReadFilePart(name, 10, true, body, 0); }),
            "Cannot open file \"" + name + "\". " + testing::NoSuchFileText());
}

TEST(ReadFilePart, OpenErrorNamesTheFullPathOfARelativeName) {
  EXPECT_EQ(testing::MessageRaisedBy([] { Body("no-such-dir/../missing.dat"); }),
            "Cannot open file \"" + (fs::current_path() / "missing.dat").string() + "\". " +
                testing::NoSuchFileText());
}

TEST(ReadFileBody, GivesTheWholeContentOrNothingForAnEmptyFile) {
  testing::TempDir dir;
  EXPECT_EQ(Body(dir.Write("all.bin", AllByteValues())), AllByteValues());
  EXPECT_EQ(Body(dir.Write("empty.bin", "")), "");
}

TEST(ReadFileBody, FileOf2GiBOrMoreIsAReadErrorNotATruncatedBody) {
  testing::TempDir dir;
  const std::string name = dir.Write("huge.bin", "");
  fs::resize_file(name, std::uintmax_t{1} << 31);  // sparse: costs no disk
  std::string body;
  EXPECT_EQ(testing::MessageRaisedBy([&] { ReadFileBody(name, true, body); }),
            "File \"" + name + "\" read error");
  EXPECT_EQ(body, "");
}

TEST(WriteFileBody, CreatesTheMissingFolderChain) {
  testing::TempDir dir;
  const std::string name = dir.Folder() + "a/b/c/file.dat";
  WriteFileBody(name, AllByteValues());
  EXPECT_EQ(dir.Read("a/b/c/file.dat"), AllByteValues());
}

TEST(WriteFileBody, EmptyBodyLeavesAnEmptyFile) {
  testing::TempDir dir;
  const std::string name = dir.Write("file.dat", "old content");
  WriteFileBody(name, "");
  EXPECT_TRUE(fs::exists(name));
  EXPECT_EQ(fs::file_size(name), 0u);
}

TEST(WriteFileBody, ReplacesAReadOnlyFileAndLeavesItWritable) {
  testing::TempDir dir;
  const std::string name = dir.Write("file.dat", "a much longer old content");
  MakeReadOnly(name);
  WriteFileBody(name, "new");
  EXPECT_EQ(dir.Read("file.dat"), "new");
  EXPECT_TRUE(OwnerMayWrite(name));
}

TEST(WriteFileBody, FileThatCannotBeCreatedRaisesTheCreateError) {
  testing::TempDir dir;
  dir.Write("plain", "x");
  const std::string name = (dir.Path() / "plain" / "file.dat").string();
  EXPECT_EQ(testing::MessageRaisedBy([&] { WriteFileBody(name, "data"); }),
            "Cannot create file \"" + name + "\". " + testing::FileTakenForAFolderText());
}

TEST(FileSharing, FileBeingWrittenAdmitsNoOtherOpener) {
  testing::TempDir dir;
  const std::string name = dir.Write("busy.dat", "content");
  platform::SystemError error;
  platform::File writer = platform::CreateForWriting(name, false, error);
  ASSERT_TRUE(writer.IsOpen()) << error.text;
  writer.Write("held", 4);
  const std::string in_use =
      "The process cannot access the file because it is being used by another process";
  EXPECT_EQ(testing::MessageRaisedBy([&] { Body(name); }),
            "Cannot open file \"" + name + "\". " + in_use);
  EXPECT_EQ(testing::MessageRaisedBy([&] { WriteFileBody(name, "other"); }),
            "Cannot create file \"" + name + "\". " + in_use);
  writer.Close();
  // The refused writer did not truncate what the first one wrote.
  EXPECT_EQ(Body(name), "held");
}

TEST(FileSharing, HolderThatLetsGoAtOnceIsWaitedFor) {
  // A child being started by another thread holds the lock this briefly.
  testing::TempDir dir;
  const std::string name = dir.Write("brief.dat", "content");
  platform::SystemError error;
  platform::File writer = platform::CreateForWriting(name, false, error);
  ASSERT_TRUE(writer.IsOpen()) << error.text;
  writer.Write("new", 3);
  std::thread release([&writer] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    writer.Close();
  });
  const std::string body = Body(name);
  release.join();
  EXPECT_EQ(body, "new");
}

TEST(FileSharing, ReadersDoNotLockEachOtherOut) {
  testing::TempDir dir;
  const std::string name = dir.Write("shared.dat", "content");
  platform::SystemError error;
  platform::File reader = platform::OpenForReading(name, error);
  ASSERT_TRUE(reader.IsOpen()) << error.text;
  EXPECT_EQ(Body(name), "content");
}

TEST(FileSharing, ChildProcessesInheritNoOpenFile) {
  testing::TempDir dir;
  const std::string name = dir.Write("inherited-probe.dat", "content");
  platform::SystemError error;
  platform::File reader = platform::OpenForReading(name, error);
  platform::File writer =
      platform::CreateForWriting(dir.Folder() + "written-probe.dat", false, error);
  platform::FolderReader folder = platform::FolderReader::Open(dir.Folder(), error);
  ASSERT_TRUE(reader.IsOpen() && writer.IsOpen() && folder.IsOpen()) << error.text;
  const std::string listing = dir.Folder() + "fds.txt";
  ASSERT_TRUE(testing::ListFilesAChildInherits(listing)) << Body(listing, false);
  const std::string fds = Body(listing);
  EXPECT_NE(fds.find("fds.txt"), std::string::npos) << fds;
  EXPECT_EQ(fds.find("probe"), std::string::npos) << fds;
  EXPECT_EQ(fds.find(dir.Path().string() + "\n"), std::string::npos) << fds;
}

TEST(CopyFileContent, ReplacesAReadOnlyDestination) {
  testing::TempDir dir;
  const std::string source = dir.Write("source.bin", AllByteValues());
  const std::string dest = dir.Write("dest.bin", "old content");
  MakeReadOnly(dest);
  CopyFileContent(source, dest);
  EXPECT_EQ(dir.Read("dest.bin"), AllByteValues());
  EXPECT_TRUE(OwnerMayWrite(dest));
}

TEST(CopyFileContent, ZeroByteSourceGivesZeroByteDestination) {
  testing::TempDir dir;
  const std::string source = dir.Write("source.bin", "");
  const std::string dest = dir.Write("dest.bin", "old");
  CopyFileContent(source, dest);
  EXPECT_TRUE(fs::exists(dest));
  EXPECT_EQ(fs::file_size(dest), 0u);
}

TEST(CopyFileContent, CopiedProgramStaysExecutable) {
  testing::TempDir dir;
  const std::string source = testing::InstallStandIn(dir.Path(), "~new~tool.exe", "exit 7");
  fs::permissions(source, fs::perms::owner_all);
  const std::string dest = dir.Folder() + "tool.exe";
  // The copy reads its steps beside its own name.
  dir.Write("tool.exe.steps", "exit 7\n");
  CopyFileContent(source, dest);
  EXPECT_NE(PermissionsOf(dest) & fs::perms::owner_exec, fs::perms::none);
  EXPECT_EQ(platform::SpawnProcess(dest, {}, true).WaitForExit(60000), 7u);
  CopyFileContent(dir.Write("data.txt", "text"), dir.Folder() + "data-copy.txt");
  EXPECT_EQ(PermissionsOf(dir.Folder() + "data-copy.txt") & fs::perms::owner_exec, fs::perms::none);
}

TEST(CopyFileContent, MissingSourceRaisesAndLeavesTheDestinationAlone) {
  testing::TempDir dir;
  const std::string source = dir.Folder() + "missing.bin";
  const std::string dest = dir.Write("dest.bin", "keep me");
  EXPECT_EQ(testing::MessageRaisedBy([&] { CopyFileContent(source, dest); }),
            "Cannot open file \"" + source + "\". " + testing::NoSuchFileText());
  EXPECT_EQ(dir.Read("dest.bin"), "keep me");
}

TEST(CopyFileContent, CopyOntoItselfKeepsTheContent) {
  testing::TempDir dir;
  const std::string name = dir.Write("same.bin", AllByteValues());
  CopyFileContent(name, name);
  EXPECT_EQ(dir.Read("same.bin"), AllByteValues());
}

TEST(SetFileAttr, ReadOnlyBitWithdrawsWritePermissionAndNormalRestoresIt) {
  testing::TempDir dir;
  const std::string name = dir.Write("file.dat", "x");
  SetFileAttr(name, kFileAttrReadOnly | kFileAttrArchive);
  EXPECT_EQ(PermissionsOf(name) & fs::perms::all &
                (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write),
            fs::perms::none);
  SetFileAttr(name, kFileAttrNormal);
  EXPECT_TRUE(OwnerMayWrite(name));
  SetFileAttr(dir.Folder() + "missing", kFileAttrNormal);  // ignored
}

TEST(FileExistsAndDeleteFile, SeeFilesButNotFolders) {
  testing::TempDir dir;
  const std::string name = dir.Write("file.dat", "x");
  EXPECT_TRUE(FileExists(name));
  EXPECT_FALSE(FileExists(dir.Path().string()));
  EXPECT_TRUE(DeleteFile(name));
  EXPECT_FALSE(FileExists(name));
  EXPECT_FALSE(DeleteFile(name));
}

TEST(NormalizePath, FixesSeparatorsAndEndsInExactlyOne) {
  EXPECT_EQ(NormalizePath(""), "/");
  EXPECT_EQ(NormalizePath(" \t\r\n"), "/");
  EXPECT_EQ(NormalizePath("  C:/dir//sub  "), "C:/dir/sub/");
  EXPECT_EQ(NormalizePath("C:\\dir\\\\\\sub\\"), "C:/dir/sub/");
  EXPECT_EQ(NormalizePath("\\\\server\\share"), "/server/share/");
  EXPECT_EQ(NormalizePath("/opt/kestrel/"), "/opt/kestrel/");
  EXPECT_EQ(NormalizePath("relative/\\/dir"), "relative/dir/");
  EXPECT_EQ(NormalizePath("\x01/tmp/a b\x7f"), "/tmp/a b\x7f/");
}

}  // namespace
}  // namespace kestrel

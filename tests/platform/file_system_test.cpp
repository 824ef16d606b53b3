#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace kestrel::platform {
namespace {

namespace fs = std::filesystem;

const std::string kInUse =
    "The process cannot access the file because it is being used by another process";

std::string Content(const std::string& name) {
  SystemError error;
  File file = OpenForReading(name, error);
  std::string content(static_cast<std::size_t>(file.Size()), '\0');
  content.resize(file.Read(content.data(), content.size()));
  return content;
}

TEST(ReplaceFile, RefusedWhileTheTargetIsOpenAndDoneOverAReadOnlyOne) {
  kestrel::testing::TempDir dir;
  const std::string target = dir.Write("kestrel.exe", "old");
  const std::string source = dir.Write("~new~kestrel.exe", "new");
  SystemError error;
  {
    File reader = OpenForReading(target, error);
    ASSERT_TRUE(reader.IsOpen()) << error.text;
    EXPECT_FALSE(ReplaceFile(source, target, error));
    EXPECT_EQ(error.text, kInUse);
  }
  ASSERT_TRUE(SetWritable(target, false));
  ASSERT_TRUE(ReplaceFile(source, target, error)) << error.text;
  EXPECT_EQ(Content(target), "new");
  EXPECT_FALSE(FileExists(source));
}

TEST(RemoveTree, RemovesNestedFoldersAndReadOnlyFiles) {
  kestrel::testing::TempDir dir;
  SystemError error;
  const std::string top = dir.Folder() + "~new~forms";
  ASSERT_TRUE(MakeFolder(top, error));
  ASSERT_TRUE(MakeFolder(top + "/sub", error));
  const std::string locked = dir.Write("~new~forms/sub/locked.frm", "x");
  dir.Write("~new~forms/main.frm", "y");
  ASSERT_TRUE(SetWritable(locked, false));
  ASSERT_TRUE(RemoveTree(top, error)) << error.text;
  EXPECT_FALSE(fs::exists(top));
  EXPECT_FALSE(RemoveTree(top, error));
}

}  // namespace
}  // namespace kestrel::platform

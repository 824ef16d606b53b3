#include "files/folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <set>

#include "base/format.h"
#include "files/crc32.h"
#include "files/file_utils.h"
#include "platform/clock.h"
#include "raised.h"
#include "support/temp_dir.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kSecondsPerDay = 86400;
// Seconds from 1899-12-30 to 1970-01-01.
constexpr std::int64_t kSeconds1899To1970 = 25569 * kSecondsPerDay;

std::vector<std::string> NamesOf(const TFolderInfoList& list) {
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < list.Count(); ++i)
    names.push_back(list.Items(i)->FName);
  return names;
}

void AddNames(TFolderInfoList& list, std::initializer_list<const char*> names) {
  for (const char* name : names)
    list.Add()->FName = name;
}

void SetWriteTime(const std::string& name, std::int64_t unix_seconds) {
  const auto when = std::chrono::sys_seconds(std::chrono::seconds(unix_seconds));
  fs::last_write_time(name, std::chrono::file_clock::from_sys(when));
}

TEST(TFolder, ListsFilesAndFoldersButNotTheDotEntries) {
  testing::TempDir dir;
  dir.Write("one.txt", "1");
  dir.Write("two.bin", "22");
  fs::create_directory(dir.Path() / "sub");
  TFolder folder(dir.Folder());
  folder.ScanDir();
  ASSERT_EQ(folder.Files().Count(), 2);
  ASSERT_EQ(folder.Folders().Count(), 1);
  std::vector<std::string> files = NamesOf(folder.Files());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"one.txt", "two.bin"}));
  EXPECT_EQ(folder.Folders().Items(0)->FName, "sub");
  EXPECT_EQ(folder.Folders().Items(0)->FAttr & kFileAttrDirectory, kFileAttrDirectory);
}

TEST(TFolder, EntriesCarrySizeAttributesAndLocalTimes) {
  testing::TempDir dir;
  const std::string name = dir.Write("data.bin", "12345");
  SetWriteTime(name, 1341316800);  // 2012-07-03 12:00 UTC
  dir.Write("locked.txt", "x");
  fs::permissions(dir.Path() / "locked.txt", fs::perms::owner_read);
  const TDateTime before_scan = platform::Now();
  TFolder folder(dir.Folder());
  folder.ScanDir();
  const TFileInfo* data = folder.Files().Items(folder.Files().Find("data.bin"));
  const TFileInfo* locked = folder.Files().Items(folder.Files().Find("locked.txt"));
  EXPECT_EQ(data->FSize, 5);
  EXPECT_EQ(data->FAttr, kFileAttrArchive);
  EXPECT_EQ(locked->FAttr, kFileAttrArchive | kFileAttrReadOnly);
  EXPECT_DOUBLE_EQ(data->FWriteDT, platform::UnixToLocalDateTime(1341316800, 0));
  // Created and read just now (birth or change time; access time).
  EXPECT_NEAR(data->FCreateDT, before_scan, 60.0 / kSecondsPerDay);
  EXPECT_NEAR(data->FReadDT, before_scan, 60.0 / kSecondsPerDay);
  EXPECT_EQ(data->FCRC32, 0);
}

TEST(TFolder, HugeFileSizeIsSixtyFourBitAndItsCrcWaitsForCalcFileCRC) {
  testing::TempDir dir;
  const std::string huge = dir.Write("huge.bin", "");
  fs::resize_file(huge, std::uintmax_t{5} << 30);  // sparse: costs no disk
  dir.Write("small.txt", "123456789");
  TFolder folder(dir.Folder());
  folder.ScanDir();
  const std::int32_t huge_index = folder.Files().Find("huge.bin");
  const std::int32_t small_index = folder.Files().Find("small.txt");
  EXPECT_EQ(folder.Files().Items(huge_index)->FSize, 5368709120);
  EXPECT_EQ(folder.Files().Items(huge_index)->FCRC32, 0);
  EXPECT_EQ(folder.Files().Items(small_index)->FCRC32, 0);
  folder.CalcFileCRC(small_index);
  EXPECT_EQ(folder.Files().Items(small_index)->FCRC32, CalcCRC32("123456789"));
}

TEST(TFolder, CalcFilesCRCFillsEveryEntry) {
  testing::TempDir dir;
  dir.Write("a", "alpha");
  dir.Write("b", "");
  TFolder folder(dir.Folder());
  folder.ScanDir();
  folder.CalcFilesCRC();
  EXPECT_EQ(folder.Files().Items(folder.Files().Find("a"))->FCRC32, CalcCRC32("alpha"));
  EXPECT_EQ(folder.Files().Items(folder.Files().Find("b"))->FCRC32, 0);
}

TEST(TFolder, CalcFileCRCChecksTheIndexAndPassesFileErrorsOn) {
  testing::TempDir dir;
  const std::string name = dir.Write("gone.txt", "content");
  TFolder folder(dir.Folder());
  folder.ScanDir();
  EXPECT_EQ(testing::MessageRaisedBy<ERangeError>([&] { folder.CalcFileCRC(1); }),
            "Range check error");
  EXPECT_EQ(testing::MessageRaisedBy<ERangeError>([&] { folder.CalcFileCRC(-1); }),
            "Range check error");
  fs::remove(name);
  EXPECT_EQ(testing::MessageRaisedBy([&] { folder.CalcFileCRC(0); }),
            "Cannot open file \"" + name + "\". " + testing::NoSuchFileText());
  EXPECT_EQ(folder.Files().Items(0)->FCRC32, 0);
}

TEST(TFolder, MissingFolderGivesEmptyListsAndReplacesTheOldListing) {
  testing::TempDir dir;
  dir.Write("file", "x");
  TFolder folder(dir.Folder());
  folder.ScanDir();
  ASSERT_EQ(folder.Files().Count(), 1);
  folder.SetPath(dir.Folder() + "missing");
  EXPECT_EQ(folder.Files().Count(), 1);  // setting the path does not rescan
  folder.ScanDir();
  EXPECT_EQ(folder.Files().Count(), 0);
  EXPECT_EQ(folder.Folders().Count(), 0);
}

TEST(TFolder, PathIsNormalisedExceptThatAnEmptyOneStaysEmptyAtCreation) {
  EXPECT_EQ(TFolder("C:/dir//sub").Path(), "C:/dir/sub/");
  EXPECT_EQ(TFolder(" \\opt\\\\kestrel ").Path(), "/opt/kestrel/");
  TFolder folder("");
  EXPECT_EQ(folder.Path(), "");
  folder.SetPath("");
  EXPECT_EQ(folder.Path(), "/");
}

TEST(TFolder, EmptyPathScansTheCurrentFolder) {
  testing::TempDir dir;
  dir.Write("here.txt", "here");
  const fs::path previous = fs::current_path();
  fs::current_path(dir.Path());
  TFolder folder;
  folder.ScanDir();
  folder.CalcFilesCRC();
  fs::current_path(previous);
  ASSERT_EQ(NamesOf(folder.Files()), std::vector<std::string>{"here.txt"});
  EXPECT_EQ(folder.Files().Items(0)->FCRC32, CalcCRC32("here"));
}

TEST(FileTimeToDateTime, CountsDaysAndFractionsFrom1899) {
  EXPECT_DOUBLE_EQ(FileTimeToDateTime({-kSeconds1899To1970, 0}), 0.0);
  EXPECT_DOUBLE_EQ(FileTimeToDateTime({-kSeconds1899To1970 + 2 * kSecondsPerDay + 43200, 0}), 2.5);
  EXPECT_DOUBLE_EQ(FileTimeToDateTime({0, 0}), 25569.0);
  // 100-nanosecond ticks: half a second is 5000000 of them.
  EXPECT_DOUBLE_EQ(FileTimeToDateTime({0, 500000000}), 25569.0 + 0.5 / kSecondsPerDay);
  // Before 1899-12-30 the day counts back and the time of day still adds.
  EXPECT_DOUBLE_EQ(FileTimeToDateTime({-kSeconds1899To1970 - kSecondsPerDay + 21600, 0}), -1.25);
}

TEST(TFolderInfoList, FindComparesNamesExactly) {
  TFolderInfoList list;
  AddNames(list, {"a.txt", "b.txt", "b.txt"});
  EXPECT_EQ(list.Find("B.TXT"), -1);
  EXPECT_EQ(list.Find("b.txt"), 1);
  EXPECT_EQ(list.Find("a.txt"), 0);
  EXPECT_EQ(list.Find(""), -1);
}

TEST(TFolderInfoList, SortIsOrdinalUpperCaseFirst) {
  TFileInfoList list;
  AddNames(list, {"apple", "Banana", "_x", "a", "B"});
  list.Sort();
  EXPECT_EQ(NamesOf(list), (std::vector<std::string>{"B", "Banana", "_x", "a", "apple"}));
}

TEST(TFolderInfoList, SortComparesUtf16CodeUnits) {
  // U+1F600 is a surrogate pair in UTF-16 (0xD83D ...), below U+FF01, though
  // its UTF-8 bytes are above; Cyrillic sorts after Latin.
  TFolderInfoList list;
  AddNames(list, {"\xEF\xBC\x81", "\xF0\x9F\x98\x80", "\xD0\x96", "z"});
  list.Sort();
  EXPECT_EQ(NamesOf(list),
            (std::vector<std::string>{"z", "\xD0\x96", "\xF0\x9F\x98\x80", "\xEF\xBC\x81"}));
}

TEST(TFolderInfoList, SortMovesEntriesWithoutFreeingOrCopyingThem) {
  TFolderInfoList list;
  std::mt19937 generator(9);
  std::set<TFolderInfo*> entries;
  std::vector<std::string> expected;
  for (int i = 0; i < 500; ++i) {
    TFolderInfo* entry = list.Add();
    entry->FName = "name" + std::to_string(generator() % 200);  // with duplicates
    entries.insert(entry);
    expected.push_back(entry->FName);
  }
  list.Sort();
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(NamesOf(list), expected);
  std::set<TFolderInfo*> after;
  for (std::int32_t i = 0; i < list.Count(); ++i)
    after.insert(list.Items(i));
  EXPECT_EQ(after, entries);
}

TEST(TFolderInfoList, SortOfSortedAndReversedInputs) {
  for (const bool reversed : {false, true}) {
    TFolderInfoList list;
    std::vector<std::string> expected;
    for (int i = 0; i < 2000; ++i)
      expected.push_back(Format("%05d", reversed ? 2000 - i : i));
    for (const std::string& name : expected)
      list.Add()->FName = name;
    list.Sort();
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(NamesOf(list), expected);
  }
}

TEST(PublishedProperties, FolderClassesDeclareTheirWireOrder) {
  const auto names = [](const TPersistent& object) {
    std::vector<std::string> result;
    for (const PropInfo& prop : object.Properties().All())
      result.emplace_back(prop.name);
    return result;
  };
  EXPECT_EQ(names(TFileInfo()), (std::vector<std::string>{"Name", "Attr", "CreateDT", "WriteDT",
                                                          "Size", "CRC32", "ReadDT"}));
  EXPECT_EQ(names(TFolder()), (std::vector<std::string>{"Path", "Folders", "Files"}));
  EXPECT_EQ(TFileInfoList().ClassName(), "TFileInfoList");
  EXPECT_EQ(TFileInfoList().Add()->ClassName(), "TFileInfo");
}

TEST(PublishedProperties, FolderPathIsNormalisedAndTheListsAreNeverReplaced) {
  TFolder folder;
  const PropertyTable& table = TFolder::Table();
  table.FindIgnoringCase("Path")->set_string(folder, "/tmp//x");
  EXPECT_EQ(folder.Path(), "/tmp/x/");
  AddNames(folder.Folders(), {"kept"});
  const PropInfo* folders = table.FindIgnoringCase("Folders");
  folders->set_object(folder, nullptr);
  EXPECT_EQ(folders->get_object(folder), &folder.Folders());
  EXPECT_EQ(folder.Folders().Count(), 1);
  const PropInfo* size = TFileInfo::Table().FindIgnoringCase("Size");
  TFileInfo file;
  size->set_int64(file, 5368709120);
  EXPECT_EQ(size->get_int64(file), 5368709120);
}

}  // namespace
}  // namespace kestrel

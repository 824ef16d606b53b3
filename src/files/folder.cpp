#include "files/folder.h"

#include <utility>

#include "base/exception.h"
#include "base/text.h"
#include "files/crc32.h"
#include "files/file_utils.h"
#include "platform/system_error.h"

namespace kestrel {
namespace {

constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kTicksPerDay = 864000000000;
// Seconds from 1601-01-01 to 1970-01-01, and days from 1601-01-01 to 1899-12-30.
constexpr std::int64_t kSeconds1601To1970 = 11644473600;
constexpr std::int64_t kDays1601To1899 = 109205;

// Reads a name as UTF-16 code units, one at a time. A byte that is not part
// of valid UTF-8 (names on Linux are any bytes) reads as 0xDC00 + the byte,
// so that such names still sort in a fixed order.
class Utf16Reader {
 public:
  explicit Utf16Reader(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pending_ == 0 && pos_ >= text_.size(); }

  char16_t Next() {
    if (pending_ != 0)
      return std::exchange(pending_, 0);
    char32_t code_point = 0;
    if (!DecodeUtf8(text_, pos_, code_point))
      return static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(text_[pos_++]));
    if (code_point < 0x10000)
      return static_cast<char16_t>(code_point);
    code_point -= 0x10000;
    pending_ = static_cast<char16_t>(0xDC00 + (code_point & 0x3FF));
    return static_cast<char16_t>(0xD800 + (code_point >> 10));
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  char16_t pending_ = 0;
};

// Ordinal comparison of two names as UTF-16 code units: <0, 0 or >0.
int CompareOrdinal(std::string_view a, std::string_view b) {
  Utf16Reader left(a);
  Utf16Reader right(b);
  while (!left.AtEnd() && !right.AtEnd()) {
    const char16_t x = left.Next();
    const char16_t y = right.Next();
    if (x != y)
      return x < y ? -1 : 1;
  }
  return left.AtEnd() ? (right.AtEnd() ? 0 : -1) : 1;
}

// Hoare's quicksort over the slots L .. R of a folder list, with the middle
// element's slot as the pivot followed through the exchanges.
class NameSorter {
 public:
  explicit NameSorter(TFolderInfoList& list) : list_(list) {}

  void Sort(std::int32_t l, std::int32_t r) {
    // The smaller part is sorted by recursion and the larger by the loop,
    // which bounds the depth of recursion by log2 of the count.
    while (l < r) {
      std::int32_t i = l;
      std::int32_t j = r;
      Partition(i, j, (l + r) / 2);
      if (j - l < r - i) {
        if (l < j)
          Sort(l, j);
        l = i;
      } else {
        if (i < r)
          Sort(i, r);
        r = j;
      }
    }
  }

 private:
  const std::string& Name(std::int32_t index) const { return list_.Items(index)->FName; }

  void Partition(std::int32_t& i, std::int32_t& j, std::int32_t p) {
    do {
      while (CompareOrdinal(Name(i), Name(p)) < 0)
        ++i;
      while (CompareOrdinal(Name(j), Name(p)) > 0)
        --j;
      if (i <= j) {
        if (i != j)
          Exchange(i, j);
        if (p == i)
          p = j;
        else if (p == j)
          p = i;
        ++i;
        --j;
      }
    } while (i <= j);
  }

  void Exchange(std::int32_t i, std::int32_t j) {
    TPersistentObj* held = list_.TPersistentObjArray::Items(i);
    list_.SetItems(i, list_.TPersistentObjArray::Items(j));
    list_.SetItems(j, held);
  }

  TFolderInfoList& list_;
};

std::int32_t AttributesOf(const platform::FileStatus& status) {
  std::int32_t attr = status.is_folder ? kFileAttrDirectory : kFileAttrArchive;
  if (!status.owner_can_write)
    attr |= kFileAttrReadOnly;
  return attr;
}

}  // namespace

TDateTime FileTimeToDateTime(const platform::LocalTime& time) {
  const std::int64_t ticks =
      (time.seconds + kSeconds1601To1970) * kTicksPerSecond + time.nanoseconds / 100;
  // Floor division, so that times before 1601 still split into a day and a
  // fraction in 0 .. 1.
  std::int64_t days = ticks / kTicksPerDay;
  std::int64_t rest = ticks % kTicksPerDay;
  if (rest < 0) {
    rest += kTicksPerDay;
    --days;
  }
  days -= kDays1601To1899;
  const double fraction = static_cast<double>(rest) / static_cast<double>(kTicksPerDay);
  // Before 1899-12-30 a TDateTime counts days back and adds the time of day
  // as a negative fraction.
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

const PropertyTable& TFolderInfo::Table() {
  using C = TFolderInfo;
  static const PropertyTable table(
      TPersistentObj::Table(),
      {props::String<&C::FName>("Name"), props::Integer<&C::FAttr>("Attr"),
       props::DateTime<&C::FCreateDT>("CreateDT"), props::DateTime<&C::FWriteDT>("WriteDT")});
  return table;
}

const PropertyTable& TFileInfo::Table() {
  using C = TFileInfo;
  static const PropertyTable table(
      TFolderInfo::Table(), {props::Int64<&C::FSize>("Size"), props::Integer<&C::FCRC32>("CRC32"),
                             props::DateTime<&C::FReadDT>("ReadDT")});
  return table;
}

const PropertyTable& TFolderInfoList::Table() {
  return TPersistentObjArray::Table();
}

const PropertyTable& TFileInfoList::Table() {
  return TFolderInfoList::Table();
}

std::int32_t TFolderInfoList::Find(const std::string& name) const {
  for (std::int32_t i = 0; i < Count(); ++i) {
    if (Items(i)->FName == name)
      return i;
  }
  return -1;
}

void TFolderInfoList::Sort() {
  if (Count() >= 2)
    NameSorter(*this).Sort(0, Count() - 1);
}

const PropertyTable& TFolder::Table() {
  using C = TFolder;
  static const PropertyTable table(
      TPersistent::Table(),
      {props::String<&C::FPath, &C::SetPath>("Path"),
       props::Object<&C::FFolders, &C::SetFolders>("Folders", "TFolderInfoList"),
       props::Object<&C::FFiles, &C::SetFiles>("Files", "TFileInfoList")});
  return table;
}

TFolder::TFolder(const std::string& path) {
  if (!path.empty())
    SetPath(path);
}

void TFolder::SetPath(const std::string& path) {
  std::string normalised = NormalizePath(path);
  if (normalised != FPath)
    FPath = std::move(normalised);
}

void TFolder::Clear() {
  FFolders.Clear();
  FFiles.Clear();
}

void TFolder::ScanDir() {
  Clear();
  platform::SystemError error;
  platform::FolderReader reader = platform::FolderReader::Open(FPath, error);
  if (!reader.IsOpen())
    return;
  platform::FolderEntry entry;
  while (reader.Next(entry)) {
    if (entry.name != "." && entry.name != "..")
      AddEntry(entry);
  }
  if (!reader.Close(error))
    throw Exception(platform::SystemErrorMessage(error.code, error.text));
}

void TFolder::AddEntry(const platform::FolderEntry& entry) {
  const platform::FileStatus& status = entry.status;
  TFolderInfo* info = nullptr;
  if (status.is_folder) {
    info = FFolders.Add();
  } else {
    TFileInfo* file = FFiles.Add();
    file->FReadDT = FileTimeToDateTime(status.accessed);
    file->FSize = status.size;
    info = file;
  }
  info->FName = entry.name;
  info->FCreateDT = FileTimeToDateTime(status.created);
  info->FWriteDT = FileTimeToDateTime(status.written);
  info->FAttr = AttributesOf(status);
}

void TFolder::CalcFileCRC(std::int32_t index) {
  CheckIndex(index, FFiles.Count());
  TFileInfo* file = FFiles.Items(index);
  file->FCRC32 = FileCRC32(FPath + file->FName);
}

void TFolder::CalcFilesCRC() {
  for (std::int32_t i = 0; i < FFiles.Count(); ++i)
    CalcFileCRC(i);
}

}  // namespace kestrel

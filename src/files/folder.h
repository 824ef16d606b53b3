// Folder scanning: TFolder lists one folder's entries (not recursively) into
// a list of sub-folders and a list of files, each entry with its name,
// attribute bits, local time stamps and, for files, size and an optional
// CRC-32. All classes are published, so a listing can travel as BSON.
#pragma once

#include <cstdint>
#include <string>

#include "base/datetime.h"
#include "messages/containers.h"
#include "platform/file_system.h"

namespace kestrel {

// One folder entry. Attr holds the attribute bits of file_utils.h:
// kFileAttrDirectory for a folder, kFileAttrArchive for a file, and
// kFileAttrReadOnly when the owner may not write the entry.
class TFolderInfo : public TPersistentObj {
  KESTREL_PUBLISHED(TFolderInfo)

 public:
  std::string FName;
  TDateTime FWriteDT = 0;
  TDateTime FCreateDT = 0;
  std::int32_t FAttr = 0;
};

// One file entry; FCRC32 stays 0 until TFolder::CalcFileCRC fills it.
class TFileInfo : public TFolderInfo {
  KESTREL_PUBLISHED(TFileInfo)

 public:
  std::int64_t FSize = 0;
  TDateTime FReadDT = 0;
  std::int32_t FCRC32 = 0;
};

// An object array of TFolderInfo entries.
class TFolderInfoList : public TPersistentObjArray {
  KESTREL_PUBLISHED(TFolderInfoList)

 public:
  TFolderInfoList() : TPersistentObjArray(TPersistentObjClass::Of<TFolderInfo>()) {}

  TFolderInfo* Add() { return static_cast<TFolderInfo*>(TPersistentObjArray::Add()); }
  // Slot access as for TPersistentObjArray (checked against Capacity).
  TFolderInfo* Items(std::int32_t index) const {
    return static_cast<TFolderInfo*>(TPersistentObjArray::Items(index));
  }

  // The index of the first entry whose name equals `name` exactly, or -1.
  std::int32_t Find(const std::string& name) const;
  // Sorts by name, comparing names as UTF-16 code units (upper case before
  // lower case); entries with equal names come in no defined order. Only
  // slot references move: no entry is freed or copied.
  void Sort();

 protected:
  explicit TFolderInfoList(TPersistentObjClass item_class) : TPersistentObjArray(item_class) {}
};

// An object array of TFileInfo entries.
class TFileInfoList : public TFolderInfoList {
  KESTREL_PUBLISHED(TFileInfoList)

 public:
  TFileInfoList() : TFolderInfoList(TPersistentObjClass::Of<TFileInfo>()) {}

  TFileInfo* Add() { return static_cast<TFileInfo*>(TPersistentObjArray::Add()); }
  TFileInfo* Items(std::int32_t index) const {
    return static_cast<TFileInfo*>(TPersistentObjArray::Items(index));
  }
};

// The listing of one folder. It owns both lists for its whole life; a scan
// replaces their entries. One thread at a time.
class TFolder : public TPersistent {
  KESTREL_PUBLISHED(TFolder)

 public:
  // Sets Path (normalised) unless `path` is empty; does not scan.
  explicit TFolder(const std::string& path = "");

  const std::string& Path() const { return FPath; }
  // Stores NormalizePath(`path`): a trailing "/" always, "/" for an empty
  // text. The lists are left as they are.
  void SetPath(const std::string& path);

  TFolderInfoList& Folders() { return FFolders; }
  const TFolderInfoList& Folders() const { return FFolders; }
  TFileInfoList& Files() { return FFiles; }
  const TFileInfoList& Files() const { return FFiles; }

  // Empties both lists.
  void Clear();
  // Lists the entries of Path (of the current folder while Path is empty)
  // in the file system's order, "." and ".." left out. A folder that cannot
  // be read gives empty lists; failing to end the enumeration raises
  // "System Error.  Code: %d.\r\n%s".
  void ScanDir();
  // Sets the CRC32 of file entry `index` (ERangeError outside 0 .. Count-1)
  // to FileCRC32 of Path + its name; the errors of FileCRC32 propagate and
  // leave the entry unchanged.
  void CalcFileCRC(std::int32_t index);
  void CalcFilesCRC();

 private:
  // The lists are owned and never replaced, so assigning them does nothing.
  void SetFolders(TPersistent*) {}
  void SetFiles(TPersistent*) {}
  void AddEntry(const platform::FolderEntry& entry);

  TFileInfoList FFiles;
  TFolderInfoList FFolders;
  std::string FPath;
};

// A file time, given as the local clock showed it, as a TDateTime: the
// 100-nanosecond ticks since 1601-01-01 are split into whole days (less the
// 109205 days up to 1899-12-30) and the fraction of a day.
TDateTime FileTimeToDateTime(const platform::LocalTime& time);

}  // namespace kestrel

// The file system as Kestrel uses it: open files held by move-only owners,
// folder enumeration with each entry's status, and the few operations on
// names (exists, remove, make a folder, write permission). Nothing here
// throws; a failure comes back as a SystemError with the error number and
// its English text, and callers build the system's messages from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel::platform {

struct SystemError {
  int code = 0;
  std::string text;
};

// A moment as the machine's local clock showed it: seconds since
// 1970-01-01 00:00 local time (the zone's offset at that moment applied),
// plus the nanoseconds within the second.
struct LocalTime {
  std::int64_t seconds = 0;
  std::int32_t nanoseconds = 0;
};

struct FileStatus {
  bool is_folder = false;
  bool owner_can_write = false;
  std::int64_t size = 0;
  // The birth time where the file system records it, else the change time.
  LocalTime created;
  LocalTime written;
  LocalTime accessed;
};

// One open file. Move-only; the empty state holds nothing; the destructor
// closes without throwing.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool IsOpen() const { return native_ >= 0; }
  // Reads until `count` bytes have arrived; fewer only at the end of the file
  // or on a failure. Returns how many arrived.
  std::size_t Read(void* buffer, std::size_t count);
  // Writes all `count` bytes unless a failure stops it; returns how many went out.
  std::size_t Write(const void* data, std::size_t count);
  // The current size in bytes, or -1 when it cannot be learnt.
  std::int64_t Size() const;
  // True when the file's owner may execute it.
  bool IsExecutable() const;
  bool Seek(std::int64_t offset);
  // Waits until what was written has reached the disk itself; false when the
  // system reports a failure.
  bool Flush();
  // Closes the file; false when the system reports a failure (for a written
  // file: data that may not have reached the disk).
  bool Close();

 private:
  friend File OpenForReading(const std::string&, SystemError&);
  friend File CreateForWriting(const std::string&, bool, SystemError&);
  explicit File(std::intptr_t native) : native_(native) {}
  std::intptr_t native_ = -1;
};

// Opens an existing regular file for reading. Other readers may open it too,
// but not while a writer created by CreateForWriting holds it. On failure the
// result is empty and `error` says why.
File OpenForReading(const std::string& name, SystemError& error);

// Creates a regular file, or empties an existing one, for writing; while the
// result is open no other reader or writer of this layer can open the file.
// `executable` gives a newly created file execute permission.
File CreateForWriting(const std::string& name, bool executable, SystemError& error);

// Makes a write past the process's file size limit fail like one on a full
// disk instead of ending the process. This layer's writers do it themselves;
// a writer outside it (the journal's database) calls it before writing.
void IgnoreFileSizeSignal();

// True where the file system takes two names that differ only in the case of
// their letters for one file.
bool FileNamesIgnoreCase();

// True when `name` exists and is not a folder (links followed).
bool FileExists(const std::string& name);
bool RemoveFile(const std::string& name, SystemError& error);
// Removes `name` whatever it is: a file, a folder with everything inside it,
// or a link. Links are removed themselves and never followed, so nothing
// outside `name` is touched. Stops at the first entry that cannot be removed.
bool RemoveTree(const std::string& name, SystemError& error);
// Creates one folder; a folder that already exists counts as success.
bool MakeFolder(const std::string& name, SystemError& error);
// Grants or withdraws write permission (the owner's when granting, everyone's
// when withdrawing). False when the file is missing or may not be changed.
bool SetWritable(const std::string& name, bool writable);
// The permission bits of `name`, links followed: read 4, write 2 and execute 1
// for the owner (times 0100), the group (times 010) and others, as in 0755.
// False when the file is missing.
bool GetPermissions(const std::string& name, std::uint32_t& bits);
// Sets those bits (higher bits of `bits` are ignored); false on a refusal.
bool SetPermissions(const std::string& name, std::uint32_t bits);
// Puts `source` in the place of `target` in one step: whoever opens `target`
// sees either the old file or the whole new one, and a reader that has the
// old one open keeps reading it. Both must be in the same folder. Refused, as
// any opening would be, while another opener of this layer holds `target`;
// the folder's entry is flushed to the disk before this returns.
bool ReplaceFile(const std::string& source, const std::string& target, SystemError& error);
// `name` as an absolute path with "." and ".." segments resolved.
std::string AbsolutePath(const std::string& name);

struct FolderEntry {
  std::string name;
  FileStatus status;
};

// Enumerates one folder's entries ("." and ".." included) in the order the
// file system keeps them. Move-only; the destructor ends the enumeration.
class FolderReader {
 public:
  FolderReader() = default;
  ~FolderReader();
  FolderReader(FolderReader&& other) noexcept;
  FolderReader& operator=(FolderReader&& other) noexcept;
  FolderReader(const FolderReader&) = delete;
  FolderReader& operator=(const FolderReader&) = delete;

  // Starts enumerating `folder` (the current folder when empty); an empty
  // result, with `error` filled, when the folder cannot be read.
  static FolderReader Open(const std::string& folder, SystemError& error);

  bool IsOpen() const { return handle_ != nullptr; }
  // The next entry whose status can be read; false at the end. Entries that
  // vanish between listing and status are passed over.
  bool Next(FolderEntry& entry);
  // Ends the enumeration; false, with `error` filled, when that fails.
  bool Close(SystemError& error);

 private:
  void* handle_ = nullptr;
};

}  // namespace kestrel::platform

// Whole-file input and output: reading a file or part of it into a byte
// string, writing a byte string as a file's content (creating missing
// folders), copying a file's content, file attributes and folder paths.
// Failures raise Exception with the system's texts:
//   "Cannot open file "%s". %s" / "Cannot create file "%s". %s" (the full
//   file name and the system's error text), and
//   "File "%s" read error" / "File "%s" write error" (the name as passed).
// The functions keep no state; any thread may call them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

// The Windows attribute bits that the folder listing reports and SetFileAttr takes.
inline constexpr std::int32_t kFileAttrReadOnly = 0x01;
inline constexpr std::int32_t kFileAttrDirectory = 0x10;
inline constexpr std::int32_t kFileAttrArchive = 0x20;
inline constexpr std::int32_t kFileAttrNormal = 0x80;

// `body` receives up to `count` bytes from `offset` on (empty when `offset`
// lies at or beyond the end, or `count` is not positive). With `must_open`
// false a missing file gives an empty `body` instead of the open error.
// Others may read and write the file meanwhile.
void ReadFilePart(const std::string& file_name, std::int32_t count, bool must_open,
                  std::string& body, std::int64_t offset);

// The whole content of a file below 2 GiB; a larger file raises the read error
// rather than giving a truncated content.
void ReadFileBody(const std::string& file_name, bool must_open, std::string& body);

// The whole content of a file of at most `limit` bytes. A larger file raises
// "File "%s" is larger than N bytes" without being read; one that grows while
// it is read gives only the bytes it held when it was opened.
void ReadFileBodyUpTo(const std::string& file_name, std::int64_t limit, std::string& body);

// Makes `body` the whole content of `file_name`: missing folders are created,
// a read-only file is made writable first, and no one else may open the file
// while it is written. A failure can leave the file truncated.
void WriteFileBody(const std::string& file_name, std::string_view body);

// Replaces `dest` (read-only or not) by a new file with the content of
// `source`. Only the execute permission of `source` is carried over, so that
// a copied program stays runnable.
void CopyFileContent(const std::string& source, const std::string& dest);

// Applies the read-only bit of `attr` (set: nobody may write; clear: the
// owner may); the other bits have no counterpart here. Failures are ignored.
void SetFileAttr(const std::string& file_name, std::int32_t attr);

// Trims blanks and control characters, turns "\" and "/" into "/", collapses
// doubled separators and ends the text with exactly one "/" ("" gives "/").
std::string NormalizePath(std::string_view path);

// True when `file_name` exists and is not a folder.
bool FileExists(const std::string& file_name);
// Deletes one file; false when it cannot be deleted.
bool DeleteFile(const std::string& file_name);

}  // namespace kestrel

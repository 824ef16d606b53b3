#include "files/file_utils.h"

#include <algorithm>
#include <limits>

#include "base/ascii.h"
#include "base/exception.h"
#include "base/format.h"
#include "files/open_file.h"
#include "platform/path.h"

namespace kestrel {
namespace {

constexpr std::int64_t kMaxBody = std::numeric_limits<std::int32_t>::max();

// Reads up to `count` bytes from `offset` of an open file into `body`.
void ReadRange(platform::File& file, const std::string& file_name, std::int64_t count,
               std::int64_t offset, std::string& body) {
  const std::int64_t size = file.Size();
  if (size < 0 || offset < 0)
    detail::RaiseReadError(file_name);
  const std::int64_t n = std::min(count, size - offset);
  if (n <= 0)
    return;
  body.resize(static_cast<std::size_t>(n));
  if (!file.Seek(offset) || file.Read(body.data(), body.size()) != body.size()) {
    body.clear();
    detail::RaiseReadError(file_name);
  }
}

// The whole content of an open file, refusing what a byte string cannot hold.
std::string ReadWhole(platform::File& file, const std::string& file_name) {
  if (file.Size() > kMaxBody)
    detail::RaiseReadError(file_name);
  std::string body;
  ReadRange(file, file_name, kMaxBody, 0, body);
  return body;
}

void WriteAll(platform::File& file, const std::string& file_name, std::string_view body) {
  const bool written = file.Write(body.data(), body.size()) == body.size();
  if (!file.Close() || !written)
    throw Exception(Format("File \"%s\" write error", file_name.c_str()));
}

// Creates the folder chain that ends at the last separator of `file_name`.
// Failures are left for the creation of the file to report.
void CreateFolderOf(const std::string& file_name) {
  platform::SystemError ignored;
  for (std::size_t end = 1; end < file_name.size(); ++end) {
    if (platform::IsPathSeparator(file_name[end]))
      platform::MakeFolder(file_name.substr(0, end), ignored);
  }
}

}  // namespace

void ReadFilePart(const std::string& file_name, std::int32_t count, bool must_open,
                  std::string& body, std::int64_t offset) {
  body.clear();
  if (!must_open && !FileExists(file_name))
    return;
  platform::File file = detail::OpenFileForReading(file_name);
  ReadRange(file, file_name, count, offset, body);
}

void ReadFileBody(const std::string& file_name, bool must_open, std::string& body) {
  body.clear();
  if (!must_open && !FileExists(file_name))
    return;
  platform::File file = detail::OpenFileForReading(file_name);
  body = ReadWhole(file, file_name);
}

void ReadFileBodyUpTo(const std::string& file_name, std::int64_t limit, std::string& body) {
  body.clear();
  platform::File file = detail::OpenFileForReading(file_name);
  if (file.Size() > limit) {
    throw Exception(Format("File \"%s\" is larger than %lld bytes", file_name.c_str(),
                           static_cast<long long>(limit)));
  }
  ReadRange(file, file_name, limit, 0, body);
}

void WriteFileBody(const std::string& file_name, std::string_view body) {
  CreateFolderOf(file_name);
  platform::SetWritable(file_name, true);
  platform::File file = detail::CreateFileForWriting(file_name, false);
  WriteAll(file, file_name, body);
}

void CopyFileContent(const std::string& source, const std::string& dest) {
  platform::File input = detail::OpenFileForReading(source);
  const std::string content = ReadWhole(input, source);
  const bool executable = input.IsExecutable();
  input.Close();
  if (FileExists(dest)) {
    platform::SetWritable(dest, true);
    DeleteFile(dest);
  }
  platform::File output = detail::CreateFileForWriting(dest, executable);
  WriteAll(output, dest, content);
}

void SetFileAttr(const std::string& file_name, std::int32_t attr) {
  platform::SetWritable(file_name, (attr & kFileAttrReadOnly) == 0);
}

std::string NormalizePath(std::string_view path) {
  path = TrimBlanksAndControls(path);
  std::string result;
  result.reserve(path.size() + 1);
  for (const char c : path) {
    const bool separator = c == '/' || c == '\\';
    if (separator && !result.empty() && result.back() == '/')
      continue;
    result.push_back(separator ? '/' : c);
  }
  if (result.empty() || result.back() != '/')
    result.push_back('/');
  return result;
}

bool FileExists(const std::string& file_name) {
  return platform::FileExists(file_name);
}

bool DeleteFile(const std::string& file_name) {
  platform::SystemError ignored;
  return platform::RemoveFile(file_name, ignored);
}

}  // namespace kestrel

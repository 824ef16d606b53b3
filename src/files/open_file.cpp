#include "files/open_file.h"

#include "base/exception.h"
#include "base/format.h"

namespace kestrel::detail {

platform::File OpenFileForReading(const std::string& file_name) {
  platform::SystemError error;
  platform::File file = platform::OpenForReading(file_name, error);
  if (!file.IsOpen()) {
    throw Exception(Format("Cannot open file \"%s\". %s", platform::AbsolutePath(file_name).c_str(),
                           error.text.c_str()));
  }
  return file;
}

platform::File CreateFileForWriting(const std::string& file_name, bool executable) {
  platform::SystemError error;
  platform::File file = platform::CreateForWriting(file_name, executable, error);
  if (!file.IsOpen()) {
    throw Exception(Format("Cannot create file \"%s\". %s",
                           platform::AbsolutePath(file_name).c_str(), error.text.c_str()));
  }
  return file;
}

void RaiseReadError(const std::string& file_name) {
  throw Exception(Format("File \"%s\" read error", file_name.c_str()));
}

}  // namespace kestrel::detail

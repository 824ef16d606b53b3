// The owners of open files and folder enumerations, common to every system.
#include "platform/file_system.h"

#include <utility>

namespace kestrel::platform {

File::~File() {
  Close();
}

File::File(File&& other) noexcept : native_(std::exchange(other.native_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = std::exchange(other.native_, -1);
  }
  return *this;
}

FolderReader::~FolderReader() {
  SystemError ignored;
  Close(ignored);
}

FolderReader::FolderReader(FolderReader&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

FolderReader& FolderReader::operator=(FolderReader&& other) noexcept {
  if (this != &other) {
    SystemError ignored;
    Close(ignored);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

}  // namespace kestrel::platform

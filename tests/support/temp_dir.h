// A fresh temporary folder for one test, removed with everything in it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kestrel::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // The folder's path with a trailing separator ("/", "\" on Windows), the
  // form the file helpers take and the system's own paths have.
  std::string Folder() const {
    return path_.string() + static_cast<char>(std::filesystem::path::preferred_separator);
  }
  // Writes `content` to the file `name` inside the folder and returns its path.
  std::string Write(std::string_view name, std::string_view content) const;
  std::string Read(std::string_view name) const;

 private:
  std::filesystem::path path_;
};

}  // namespace kestrel::testing

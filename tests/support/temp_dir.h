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
  // The folder's path with a trailing separator (the system's own, as in the
  // full paths that its messages name), the form the file helpers take.
  std::string Folder() const { return (path_ / "").string(); }
  // Writes `content` to the file `name` inside the folder and returns its path.
  std::string Write(std::string_view name, std::string_view content) const;
  std::string Read(std::string_view name) const;

 private:
  std::filesystem::path path_;
};

// The whole content of `file`; empty when it cannot be read.
std::string ReadAll(const std::filesystem::path& file);

}  // namespace kestrel::testing

#include "platform/executable.h"

#include <unistd.h>

#include <string_view>
#include <vector>

namespace kestrel::platform {
namespace {

// What the kernel appends to the link once the file has been replaced.
constexpr std::string_view kDeletedSuffix = " (deleted)";

}  // namespace

std::string RunningExecutablePath() {
  std::vector<char> buffer(4096);
  const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size())
    return {};
  std::string path(buffer.data(), static_cast<std::size_t>(length));
  if (path.ends_with(kDeletedSuffix))
    path.resize(path.size() - kDeletedSuffix.size());
  return path;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace kestrel::platform

#include "platform/windows_programs.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include "platform/system_error.h"

namespace kestrel::platform {
namespace {

std::string Variable(const char* name) {
  const char* value = getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

SystemError LastError() {
  const int code = errno;
  return SystemError{code, SystemErrorText(code)};
}

}  // namespace

bool RunsWindowsProgramsNatively() {
  return false;
}

std::string FindProgramOnPath(const std::string& name) {
  const std::string path = Variable("PATH");
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find(':', start), path.size());
    // An empty entry is the current folder, which a server must not trust.
    if (end > start) {
      const std::string candidate = path.substr(start, end - start) + "/" + name;
      if (access(candidate.c_str(), X_OK) == 0 && FileExists(candidate))
        return candidate;
    }
    start = end + 1;
  }
  return "";
}

std::string UserDataFolder() {
  const std::string data_home = Variable("XDG_DATA_HOME");
  // Relative values are invalid and ignored.
  if (!data_home.empty() && data_home.front() == '/')
    return data_home;
  const std::string home = Variable("HOME");
  return home.empty() ? "" : home + "/.local/share";
}

bool ReplaceSymbolicLink(const std::string& target, const std::string& link, SystemError& error) {
  // Made beside it and renamed over it, so that the name never goes missing.
  const std::string fresh = link + ".new";
  unlink(fresh.c_str());
  if (symlink(target.c_str(), fresh.c_str()) != 0 || rename(fresh.c_str(), link.c_str()) != 0) {
    error = LastError();
    unlink(fresh.c_str());
    return false;
  }
  return true;
}

}  // namespace kestrel::platform

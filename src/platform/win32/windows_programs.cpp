#include "platform/windows_programs.h"

#include <windows.h>

#include <vector>

#include "platform/system_error.h"
#include "platform/win32/wide.h"

namespace kestrel::platform {
namespace {

SystemError LastError() {
  const int code = static_cast<int>(GetLastError());
  return SystemError{code, SystemErrorText(code)};
}

}  // namespace

bool RunsWindowsProgramsNatively() {
  return true;
}

std::string FindProgramOnPath(const std::string& name) {
  const std::wstring wide = Wide(name);
  std::vector<wchar_t> found(MAX_PATH);
  for (;;) {
    const DWORD length = SearchPathW(nullptr, wide.c_str(), L".exe",
                                     static_cast<DWORD>(found.size()), found.data(), nullptr);
    if (length == 0)
      return "";
    if (length < found.size())
      return Narrow(std::wstring(found.data(), length));
    found.resize(length);
  }
}

std::string UserDataFolder() {
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
  if (length == 0)
    return "";
  std::wstring value(length, L'\0');
  value.resize(GetEnvironmentVariableW(L"LOCALAPPDATA", value.data(), length));
  return Narrow(value);
}

bool ReplaceSymbolicLink(const std::string& target, const std::string& link, SystemError& error) {
  const std::wstring wide_link = Wide(link);
  DeleteFileW(wide_link.c_str());
  if (CreateSymbolicLinkW(wide_link.c_str(), Wide(target).c_str(), 0) == 0) {
    error = LastError();
    return false;
  }
  return true;
}

}  // namespace kestrel::platform

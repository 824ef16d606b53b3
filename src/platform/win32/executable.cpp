#include "platform/executable.h"

#include <windows.h>
// after windows.h, which it builds on
#include <shellapi.h>

#include <memory>

#include "platform/win32/wide.h"

namespace kestrel::platform {
namespace {

// Past MAX_PATH the system cuts the name short and says so only through the
// buffer being full, so the buffer grows until the name fits.
constexpr DWORD kLongestPath = 32768;

struct LocalMemoryFree {
  void operator()(LPWSTR* memory) const { LocalFree(memory); }
};

}  // namespace

std::string RunningExecutablePath() {
  for (DWORD size = MAX_PATH; size <= kLongestPath; size *= 2) {
    std::wstring buffer(size, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
    if (length == 0)
      return {};
    if (length < size) {
      buffer.resize(length);
      return Narrow(buffer);
    }
  }
  return {};
}

// main's argv is in the ANSI code page, which cannot hold every file name;
// the wide command line, split as the system splits it, can.
std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalMemoryFree> wide_arguments(
      CommandLineToArgvW(GetCommandLineW(), &count));
  if (!wide_arguments)
    return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int index = 0; index < count; ++index)
    arguments.push_back(Narrow(wide_arguments.get()[index]));
  return arguments;
}

}  // namespace kestrel::platform

#include "platform/path.h"

#include <array>

#include "base/ascii.h"

namespace kestrel::platform {
namespace {

// The names that open a device in whatever folder they are written, with
// any extension.
bool IsDeviceName(std::string_view part) {
  static constexpr std::array<std::string_view, 24> kDevices = {
      "con",  "prn",  "aux",  "nul",  "conin$", "conout$", "com1", "com2",
      "com3", "com4", "com5", "com6", "com7",   "com8",    "com9", "lpt1",
      "lpt2", "lpt3", "lpt4", "lpt5", "lpt6",   "lpt7",    "lpt8", "lpt9"};
  std::string_view stem = part.substr(0, part.find('.'));
  while (!stem.empty() && stem.back() == ' ')
    stem.remove_suffix(1);
  const std::string folded = LowerAscii(stem);
  for (const std::string_view device : kDevices) {
    if (folded == device)
      return true;
  }
  return false;
}

bool HasReservedCharacter(std::string_view part) {
  for (const unsigned char c : part) {
    if (c < 0x20 ||
        std::string_view("<>:\"|?*").find(static_cast<char>(c)) != std::string_view::npos)
      return true;
  }
  return false;
}

}  // namespace

// Windows takes either; its own paths use "\".
bool IsPathSeparator(char c) {
  return c == '/' || c == '\\';
}

bool IsOrdinaryName(std::string_view part) {
  if (!part.empty() && (part.back() == '.' || part.back() == ' '))
    return false;
  return !HasReservedCharacter(part) && !IsDeviceName(part);
}

}  // namespace kestrel::platform

#include "platform/system_error.h"

#include <windows.h>

#include <string_view>

#include "platform/win32/wide.h"

namespace kestrel::platform {
namespace {

// The message in one language, or empty when the system has none in it.
std::wstring MessageIn(DWORD code, WORD language) {
  wchar_t* buffer = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD length = FormatMessageW(flags, nullptr, code, MAKELANGID(language, SUBLANG_DEFAULT),
                                      reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (buffer == nullptr)
    return {};
  std::wstring text(buffer, length);
  LocalFree(buffer);
  return text;
}

// The message for the US English sublanguage first: LANG_ENGLISH with
// SUBLANG_DEFAULT is exactly that.
std::wstring EnglishOrNeutralMessage(DWORD code) {
  std::wstring text = MessageIn(code, LANG_ENGLISH);
  if (text.empty())
    text = MessageIn(code, LANG_NEUTRAL);
  return text;
}

// Windows ends its messages with a period and CR LF, the C library's
// strerror with neither.
std::wstring_view Trimmed(std::wstring_view text) {
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' ||
                           text.back() == L'.'))
    text.remove_suffix(1);
  return text;
}

}  // namespace

// FormatMessageW, in English whatever the user's language, and safe to call
// from several threads.
std::string SystemErrorText(int code) {
  const std::wstring text = EnglishOrNeutralMessage(static_cast<DWORD>(code));
  if (text.empty())
    return "Unknown error " + std::to_string(code);
  return Narrow(Trimmed(text));
}

}  // namespace kestrel::platform

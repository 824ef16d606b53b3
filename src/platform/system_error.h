// OS errors as this system reports them, in English whatever the process's
// locale.
#pragma once

#include <string>

#include "base/format.h"

namespace kestrel::platform {

// The system's text for the OS error number `code`; safe from any thread.
std::string SystemErrorText(int code);

// How a failed OS call is reported: its code, then the text.
inline std::string SystemErrorMessage(int code, const std::string& text) {
  return Format("System Error.  Code: %d.\r\n%s", code, text.c_str());
}

}  // namespace kestrel::platform

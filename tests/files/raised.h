// The message of the exception that a call raises, for checking exact texts.
#pragma once

#include <string>

#include "base/exception.h"
#include "platform/system_error.h"

namespace kestrel::testing {

// The message of the `E` that `call` raises; "(nothing raised)" when it
// returns. An exception of another class escapes to fail the test.
template <class E = Exception, class Call>
std::string MessageRaisedBy(Call&& call) {
  try {
    call();
  } catch (const E& e) {
    return e.Message();
  }
  return "(nothing raised)";
}

// The system's text for a file that is not there: ENOENT on Linux and
// ERROR_FILE_NOT_FOUND on Windows are both number 2.
inline std::string NoSuchFileText() {
  return platform::SystemErrorText(2);
}

}  // namespace kestrel::testing

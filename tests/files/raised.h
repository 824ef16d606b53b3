// The message of the exception that a call raises, for checking exact texts.
#pragma once

#include <string>

#include "base/exception.h"

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

}  // namespace kestrel::testing

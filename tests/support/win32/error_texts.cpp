#include "support/error_texts.h"

#include <windows.h>
#include <winsock2.h>

namespace kestrel::testing {

FaultCodes SystemFaultCodes() {
  return {ERROR_ACCESS_DENIED, ERROR_PATH_NOT_FOUND, WSAETIMEDOUT};
}

}  // namespace kestrel::testing

#include "support/error_texts.h"

#include <errno.h>

namespace kestrel::testing {

FaultCodes SystemFaultCodes() {
  return {EISDIR, ENOTDIR, ETIMEDOUT};
}

}  // namespace kestrel::testing

#include "support/error_texts.h"

#include <errno.h>

#include "platform/system_error.h"

namespace kestrel::testing {

std::string FolderOpenedAsFileText() {
  return platform::SystemErrorText(EISDIR);
}

std::string FileTakenForAFolderText() {
  return platform::SystemErrorText(ENOTDIR);
}

std::string SocketTimedOutText() {
  return platform::SystemErrorText(ETIMEDOUT);
}

}  // namespace kestrel::testing

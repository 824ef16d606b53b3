#include "support/error_texts.h"

#include <windows.h>
#include <winsock2.h>

#include "platform/system_error.h"

namespace kestrel::testing {

std::string FolderOpenedAsFileText() {
  return platform::SystemErrorText(ERROR_ACCESS_DENIED);
}

std::string FileTakenForAFolderText() {
  return platform::SystemErrorText(ERROR_PATH_NOT_FOUND);
}

std::string SocketTimedOutText() {
  return platform::SystemErrorText(WSAETIMEDOUT);
}

}  // namespace kestrel::testing

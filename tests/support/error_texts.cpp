#include "support/error_texts.h"

#include "platform/system_error.h"

namespace kestrel::testing {

std::string FolderOpenedAsFileText() {
  return platform::SystemErrorText(SystemFaultCodes().folder_opened_as_file);
}

std::string FileTakenForAFolderText() {
  return platform::SystemErrorText(SystemFaultCodes().file_taken_for_a_folder);
}

std::string SocketTimedOutText() {
  return platform::SystemErrorText(SystemFaultCodes().socket_timed_out);
}

}  // namespace kestrel::testing

// The system's own texts for faults that each system reports by a code of
// its own: the tests expect whatever text the system gives for its code.
#pragma once

#include <string>

namespace kestrel::testing {

// A folder opened as a file: EISDIR on Linux; Windows denies the access.
std::string FolderOpenedAsFileText();
// A file named as the folder of another: ENOTDIR on Linux; Windows finds no
// such path.
std::string FileTakenForAFolderText();
// A socket wait that ran out: ETIMEDOUT on Linux, WSAETIMEDOUT on Windows.
std::string SocketTimedOutText();

// The codes behind those texts, one file for each system.
struct FaultCodes {
  int folder_opened_as_file;
  int file_taken_for_a_folder;
  int socket_timed_out;
};
FaultCodes SystemFaultCodes();

}  // namespace kestrel::testing

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

}  // namespace kestrel::testing

// Opening files with the system's failure messages, shared by the file
// helpers and the file CRC.
#pragma once

#include <string>

#include "platform/file_system.h"

namespace kestrel::detail {

// Raises "Cannot open file "%s". %s" when the file cannot be opened.
platform::File OpenFileForReading(const std::string& file_name);
// Raises "Cannot create file "%s". %s" when the file cannot be created.
platform::File CreateFileForWriting(const std::string& file_name, bool executable);
// Raises "File "%s" read error" with the name as passed.
[[noreturn]] void RaiseReadError(const std::string& file_name);

}  // namespace kestrel::detail

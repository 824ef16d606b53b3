// The serial-port listing service: a TEnumCOMs request answered with the
// machine's serial port names in a TEnumCOMsRes.
#pragma once

#include <string>

namespace kestrel {

// `Buf` is the request body; the answer is the BSON TEnumCOMsRes. A body that
// is not a valid document raises, ending the connection without an answer.
// `root` is where the system's device folders are looked up ("/" normally).
std::string EnumCOMs(const std::string& Buf, const std::string& root = "/");

}  // namespace kestrel

// The serial-port listing that answers a TEnumCOMs request: the names of the
// machine's serial ports, sorted, as the text of TEnumCOMsRes.COMs.
#pragma once

#include <string>
#include <vector>

namespace kestrel {

// The ports that the system lists as present or, when it keeps no list, the
// ones that a probe finds; sorted as text ignoring case (so ttyS10 comes
// before ttyS2). `root` stands for "/" (tests use a fake tree).
std::vector<std::string> SerialPortNames(const std::string& root = "/");

// Each name followed by CR LF; no names give an empty text.
std::string JoinCOMs(const std::vector<std::string>& names);

// The COMs text of the answer: JoinCOMs(SerialPortNames(root)).
std::string ListCOMs(const std::string& root = "/");

}  // namespace kestrel

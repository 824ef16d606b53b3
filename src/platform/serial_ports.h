// Discovery of the machine's serial ports. Port names are device names as
// they appear under the device folder ("ttyS0", "ttyUSB0"), or on Windows the
// port names ("COM1"). `root` stands for the system's "/", so that tests can
// use a fake tree; on Windows a root other than "/" is a key of
// HKEY_CURRENT_USER that stands for HKEY_LOCAL_MACHINE.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrel::platform {

// The serial devices that the system lists as present, in no given order;
// nullopt when the system keeps no such list. Placeholder UARTs that answer
// no probe are left out.
std::optional<std::vector<std::string>> ListedSerialPorts(const std::string& root = "/");

// The usual serial device names that open (or exist but refuse to open, for
// example because they are in use), in no given order. Each device found is
// opened without waiting and closed at once.
std::vector<std::string> ProbedSerialPorts(const std::string& root = "/");

}  // namespace kestrel::platform

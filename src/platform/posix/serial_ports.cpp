// The system's list is /sys/class/tty: its entries with a device behind them
// are real ports, except serial-core ports whose UART type is unknown (the
// 8250 driver registers such placeholders for ports that may not exist). The
// probe opens /dev/ttyS0 ... /dev/ttyS255 and every /dev/ttyUSB<n> and
// /dev/ttyACM<n>.
#include "platform/serial_ports.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>

namespace kestrel::platform {
namespace {

namespace fs = std::filesystem;

constexpr int kProbedUarts = 256;

bool Exists(const fs::path& path) {
  std::error_code ignored;
  return fs::exists(path, ignored);
}

// The number in a serial-core port's "type" attribute; nullopt without one.
std::optional<int> UartTypeAttribute(const fs::path& entry) {
  std::ifstream in(entry / "type");
  int type = 0;
  if (!(in >> type))
    return std::nullopt;
  return type;
}

std::string DriverName(const fs::path& entry) {
  std::error_code failure;
  const fs::path target = fs::read_symlink(entry / "device" / "driver", failure);
  return failure ? std::string() : target.filename().string();
}

// Asks the UART its type; absent when the device does not open or answer.
bool UartAnswersProbe(const fs::path& device) {
  const int fd = open(device.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0)
    return false;
  serial_struct info{};
  const bool answered = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
  close(fd);
  return answered;
}

// The kernel writes a "/" in a device name as "!" in the class folder.
std::string DeviceName(std::string entry_name) {
  std::replace(entry_name.begin(), entry_name.end(), '!', '/');
  return entry_name;
}

bool IsPresent(const fs::path& entry, const fs::path& dev) {
  if (!Exists(entry / "device"))
    return false;
  if (const auto type = UartTypeAttribute(entry))
    return *type != PORT_UNKNOWN;
  if (DriverName(entry) == "serial8250")
    return UartAnswersProbe(dev / DeviceName(entry.filename().string()));
  return true;
}

// Opens as the printer's driver would, but never waits for a modem line.
bool DeviceExists(const fs::path& device) {
  const int fd = open(device.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return true;
  }
  // No node, or a node without hardware behind it; any other refusal (in
  // use, access denied) comes from a port that is there.
  return errno != ENOENT && errno != ENXIO && errno != ENODEV && errno != EIO;
}

bool IsNumberedDevice(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix)
    return false;
  const std::string_view digits = name.substr(prefix.size());
  return std::all_of(digits.begin(), digits.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::vector<std::string> ProbeCandidates(const fs::path& dev) {
  std::vector<std::string> names;
  for (int n = 0; n < kProbedUarts; ++n)
    names.push_back("ttyS" + std::to_string(n));
  std::error_code failure;
  for (fs::directory_iterator it(dev, failure), end; !failure && it != end; it.increment(failure)) {
    const std::string name = it->path().filename().string();
    if (IsNumberedDevice(name, "ttyUSB") || IsNumberedDevice(name, "ttyACM"))
      names.push_back(name);
  }
  return names;
}

}  // namespace

std::optional<std::vector<std::string>> ListedSerialPorts(const std::string& root) {
  const fs::path classes = fs::path(root) / "sys/class/tty";
  const fs::path dev = fs::path(root) / "dev";
  std::error_code failure;
  fs::directory_iterator it(classes, failure);
  if (failure)
    return std::nullopt;
  std::vector<std::string> names;
  for (const fs::directory_iterator end; !failure && it != end; it.increment(failure)) {
    if (IsPresent(it->path(), dev))
      names.push_back(DeviceName(it->path().filename().string()));
  }
  return names;
}

std::vector<std::string> ProbedSerialPorts(const std::string& root) {
  const fs::path dev = fs::path(root) / "dev";
  std::vector<std::string> names;
  for (const auto& name : ProbeCandidates(dev)) {
    if (DeviceExists(dev / name))
      names.push_back(name);
  }
  return names;
}

}  // namespace kestrel::platform

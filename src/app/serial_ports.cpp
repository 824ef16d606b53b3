#include "app/serial_ports.h"

#include <algorithm>

#include "base/ascii.h"
#include "platform/serial_ports.h"

namespace kestrel {
namespace {

// Ignoring case; names equal but for case keep a fixed order all the same.
bool ComesBefore(const std::string& left, const std::string& right) {
  // Device names are ASCII; the fold must not depend on the process's locale.
  const std::string folded_left = LowerAscii(left);
  const std::string folded_right = LowerAscii(right);
  return folded_left != folded_right ? folded_left < folded_right : left < right;
}

}  // namespace

std::vector<std::string> SerialPortNames(const std::string& root) {
  auto names = platform::ListedSerialPorts(root);
  if (!names)
    names = platform::ProbedSerialPorts(root);
  std::sort(names->begin(), names->end(), ComesBefore);
  return *names;
}

std::string JoinCOMs(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names)
    text += name + "\r\n";
  return text;
}

std::string ListCOMs(const std::string& root) {
  return JoinCOMs(SerialPortNames(root));
}

}  // namespace kestrel

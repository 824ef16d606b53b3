#include "support/processes.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>

#include <csignal>
#include <cstdlib>

#include <sstream>
#include <stdexcept>

#include "support/temp_dir.h"

namespace kestrel::testing {
namespace {

bool IsProcessId(const std::string& name) {
  return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

// The fields of /proc/<pid>/stat from the state on (field 3 at index 0).
std::vector<std::string> StatFields(std::int32_t pid) {
  const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
  const auto name_end = stat.rfind(')');
  std::vector<std::string> fields;
  if (name_end == std::string::npos)
    return fields;
  std::istringstream rest(stat.substr(name_end + 1));
  for (std::string field; rest >> field;)
    fields.push_back(field);
  return fields;
}

}  // namespace

bool KillProcess(std::int32_t pid) {
  return pid > 0 && kill(pid, SIGKILL) == 0;
}

bool ProcessRuns(std::int32_t pid) {
  return pid > 0 && kill(pid, 0) == 0;
}

// An ended child stays a zombie, state "Z" after its name, until collected.
bool ProcessEnded(std::int32_t pid) {
  const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
  const auto name_end = stat.rfind(')');
  return !ProcessRuns(pid) || (name_end != std::string::npos && stat.substr(name_end, 3) == ") Z");
}

bool AskProcessToClose(std::int32_t pid) {
  return pid > 0 && kill(pid, SIGTERM) == 0;
}

int CloseRequestKinds() {
  return 2;
}

void RequestOwnClose(int kind) {
  std::raise(kind == 0 ? SIGINT : SIGTERM);
}

std::vector<std::int32_t> ProcessesRunningFrom(const std::filesystem::path& folder) {
  const std::filesystem::path canonical = std::filesystem::canonical(folder);
  std::vector<std::int32_t> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (!IsProcessId(name))
      continue;
    std::error_code unreadable;
    const std::filesystem::path exe =
        std::filesystem::read_symlink(entry.path() / "exe", unreadable);
    if (!unreadable && exe.parent_path() == canonical)
      found.push_back(std::stoi(name));
  }
  return found;
}

std::vector<std::string> CommandLineOf(std::int32_t pid) {
  std::vector<std::string> words;
  std::istringstream in(ReadAll("/proc/" + std::to_string(pid) + "/cmdline"));
  for (std::string word; std::getline(in, word, '\0');)
    words.push_back(word);
  return words;
}

std::string ImageOf(std::int32_t pid) {
  return ReadAll("/proc/" + std::to_string(pid) + "/exe");
}

Priority PriorityOf(std::int32_t pid) {
  const std::vector<std::string> fields = StatFields(pid);
  if (fields.size() <= 38)
    return {-1, -1};
  return {std::stoi(fields[16]), std::stoi(fields[38])};  // nice, scheduling policy
}

Priority IdlePriority() {
  return {19, SCHED_IDLE};
}

bool ChildrenInherit(std::intptr_t handle) {
  std::istringstream info(ReadAll("/proc/self/fdinfo/" + std::to_string(handle)));
  for (std::string field, value; info >> field >> value;) {
    if (field == "flags:")
      return (std::stoul(value, nullptr, 8) & O_CLOEXEC) == 0;
  }
  throw std::runtime_error("no flags for descriptor " + std::to_string(handle));
}

bool ListFilesAChildInherits(const std::string& listing) {
  return std::system(("ls -l /proc/self/fd/ > '" + listing + "' 2>&1").c_str()) == 0;
}

}  // namespace kestrel::testing

#include "support/lock_holder.h"

#include "support/stand_in.h"
#include "support/tcp_client.h"

namespace kestrel::testing {

LockHolder::LockHolder(const std::string& folder, const std::string& name,
                       const std::string& action, int milliseconds)
    : process_(platform::SpawnProcess(BuiltProgram("kestrel-lock-holder"),
                                      {folder, name, action, std::to_string(milliseconds)}, true,
                                      output_.Folder() + "out")) {}

LockHolder::~LockHolder() {
  if (process_.Kill(137))
    process_.WaitForExit(10000);
}

std::string LockHolder::ReadLine() {
  std::string line;
  WaitUntil(
      [&] {
        const std::string output = output_.Read("out");
        const auto end = output.find('\n', read_);
        if (end == std::string::npos)
          return false;
        // Text mode on Windows ends lines with CR LF.
        line = output.substr(read_, end - read_);
        if (line.ends_with('\r'))
          line.pop_back();
        read_ = end + 1;
        return true;
      },
      20000);
  return line;
}

std::optional<std::uint32_t> LockHolder::Finish(int bound_ms) {
  return process_.WaitForExit(static_cast<std::uint32_t>(bound_ms));
}

}  // namespace kestrel::testing

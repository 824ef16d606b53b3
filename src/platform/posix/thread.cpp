#include "platform/thread.h"

#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <memory>
#include <string>

#include "base/exception.h"
#include "platform/common.h"
#include "platform/system_error.h"

namespace kestrel::platform {
namespace {

using Body = std::function<void()>;

// The start of every thread that CreateThread makes; frees its start record first.
void* RunStart(void* argument) {
  const Body body = std::move(*std::unique_ptr<Body>(static_cast<Body*>(argument)));
  body();
  return nullptr;
}

[[noreturn]] void RaiseCreationError(int error_number) {
  throw Exception("Thread creation error: " + SystemErrorText(error_number));
}

struct Attributes {
  pthread_attr_t value;
  Attributes() { pthread_attr_init(&value); }
  ~Attributes() { pthread_attr_destroy(&value); }
};

}  // namespace

void CreateThread(std::function<void()> body, std::size_t stack_bytes) {
  Attributes attributes;
  pthread_attr_setdetachstate(&attributes.value, PTHREAD_CREATE_DETACHED);
  if (stack_bytes != 0) {
    const int refused = pthread_attr_setstacksize(&attributes.value, stack_bytes);
    if (refused != 0)
      RaiseCreationError(refused);
  }
  auto start = std::make_unique<Body>(std::move(body));
  pthread_t thread;
  const int refused = pthread_create(&thread, &attributes.value, RunStart, start.get());
  if (refused != 0)
    RaiseCreationError(refused);
  start.release();
}

namespace {

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

std::uint64_t ProcessLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NPROC, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return kNoLimit;
  return limit.rlim_cur;
}

// The number in a pids.max file; "max" or an unreadable file sets none.
std::uint64_t PidsMaxIn(const std::string& path) {
  std::ifstream file(path);
  std::uint64_t value = 0;
  return file >> value ? value : kNoLimit;
}

// The pids controller's limit of this process's group, in the unified
// hierarchy ("0::/path") or in the pids hierarchy of version 1
// ("N:pids:/path"). A limit set on a parent group is not seen.
std::uint64_t ControlGroupLimit() {
  std::ifstream groups("/proc/self/cgroup");
  std::string line;
  std::uint64_t limit = kNoLimit;
  while (std::getline(groups, line)) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos)
      continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (controllers.empty() && line.starts_with("0:"))
      limit = std::min(limit, PidsMaxIn("/sys/fs/cgroup" + path + "/pids.max"));
    else if (controllers == "pids")
      limit = std::min(limit, PidsMaxIn("/sys/fs/cgroup/pids" + path + "/pids.max"));
  }
  return limit;
}

}  // namespace

std::uint64_t ThreadLimit() {
  return std::min(ProcessLimit(), ControlGroupLimit());
}

}  // namespace kestrel::platform

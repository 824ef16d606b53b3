// kestrel-lock-holder FOLDER NAME ACTION MS
//
// Waits for the named lock NAME in FOLDER and prints "Acquired", "Abandoned"
// or "TimedOut" on a line of its own, then:
//   hold  waits up to 10 s, holds the lock MS ms, releases it, prints "Released";
//   die   waits up to 10 s, holds the lock MS ms, then ends at once, releasing
//         nothing, with exit code 137 (as when killed by SIGKILL);
//   try   waits up to MS ms and releases at once what it got.
// Exit code 0, or 2 for bad arguments or a failing lock.
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>

#include "platform/named_lock.h"
#include "platform/process.h"

namespace {

using kestrel::platform::LockWait;
using kestrel::platform::NamedLock;

const char* WaitName(LockWait result) {
  switch (result) {
    case LockWait::Acquired:
      return "Acquired";
    case LockWait::Abandoned:
      return "Abandoned";
    case LockWait::TimedOut:
      break;
  }
  return "TimedOut";
}

void Say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

int Run(const std::string& folder, const std::string& name, const std::string& action,
        std::chrono::milliseconds span) {
  NamedLock lock(name, folder);
  const bool trying = action == "try";
  const LockWait result = lock.Wait(trying ? span : std::chrono::seconds(10));
  Say(WaitName(result));
  if (result == LockWait::TimedOut || trying) {
    lock.Release();
    return 0;
  }
  std::this_thread::sleep_for(span);
  if (action == "die")
    kestrel::platform::ExitProcessNow(137);
  lock.Release();
  Say("Released");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: kestrel-lock-holder FOLDER NAME hold|die|try MS\n");
    return 2;
  }
  try {
    return Run(argv[1], argv[2], argv[3], std::chrono::milliseconds(std::stoll(argv[4])));
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "kestrel-lock-holder: %s\n", failure.what());
    return 2;
  }
}

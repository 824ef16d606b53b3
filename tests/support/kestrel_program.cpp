#include "support/kestrel_program.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/environment.h"
#include "support/processes.h"
#include "support/tcp_client.h"

namespace kestrel::testing {
namespace {

constexpr int kKillBoundMs = 10000;
constexpr auto kPollPause = std::chrono::milliseconds(50);

}  // namespace

KestrelProgram::KestrelProgram(const TempDir& folder, const std::string& built)
    : folder_(folder), original_image_(ReadAll(built)), port_(FreePort()) {
  std::filesystem::copy_file(built, folder_.Path() / kFileName);
}

KestrelProgram::~KestrelProgram() {
  KillRunning();
}

std::vector<std::string> KestrelProgram::Arguments() const {
  return {"ip:127.0.0.1", "port:" + std::to_string(port_), "console"};
}

// The console view is what a machine without a desktop gets, or what the
// argument "console" asks for; the desktop is hidden from the program too.
void KestrelProgram::Start() {
  HideDesktopFromChildren();
  started_ = platform::SpawnProcess((folder_.Path() / kFileName).string(), Arguments(), true,
                                    output_folder_.Folder() + "output");
}

bool KestrelProgram::WaitStartedExit(int bound_ms) {
  return !started_.Attached() || started_.WaitForExit(static_cast<std::uint32_t>(bound_ms));
}

bool KestrelProgram::WaitAnswering(int bound_ms) const {
  return WaitUntil(
      [this] {
        if (Post("DrvVer", 1000) == "2012.07.03 14:00")
          return true;
        std::this_thread::sleep_for(kPollPause);
        return false;
      },
      bound_ms);
}

std::string KestrelProgram::Post(const std::string& body, int bound_ms) const {
  return HttpBody(Exchange(port_, HttpPost(body), bound_ms));
}

std::vector<std::int32_t> KestrelProgram::Running() const {
  return ProcessesRunningFrom(folder_.Path());
}

std::string KestrelProgram::Output() const {
  return ReadAll(output_folder_.Path() / "output");
}

// The programs that the update chain starts are not children of the test, so
// they are found by where their executable lies and killed by id.
void KestrelProgram::KillRunning() const {
  WaitUntil(
      [this] {
        const std::vector<std::int32_t> running = Running();
        for (const std::int32_t pid : running)
          KillProcess(pid);
        if (running.empty())
          return true;
        std::this_thread::sleep_for(kPollPause);
        return false;
      },
      kKillBoundMs);
}

}  // namespace kestrel::testing

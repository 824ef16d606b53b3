#include "support/kestrel_program.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "support/tcp_client.h"

namespace kestrel::testing {
namespace {

constexpr int kKillBoundMs = 10000;
constexpr auto kPollPause = std::chrono::milliseconds(50);

std::string Quoted(const std::string& text) {
  return "'" + text + "'";
}

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool IsProcessId(const std::string& name) {
  return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

KestrelProgram::KestrelProgram(const TempDir& folder, const std::string& built)
    : folder_(folder),
      canonical_folder_(std::filesystem::canonical(folder.Path())),
      original_image_(ReadAll(built)),
      port_(FreePort()) {
  std::filesystem::copy_file(built, folder_.Path() / kFileName);
}

KestrelProgram::~KestrelProgram() {
  KillRunning();
}

std::vector<std::string> KestrelProgram::Arguments() const {
  return {"ip:127.0.0.1", "port:" + std::to_string(port_)};
}

// The console view is what a machine without a desktop gets; the display
// variables are dropped so that the program never reaches one.
void KestrelProgram::Start() {
  std::string command =
      "exec env -u DISPLAY -u WAYLAND_DISPLAY " + Quoted((folder_.Path() / kFileName).string());
  for (const std::string& argument : Arguments())
    command += " " + Quoted(argument);
  command += " >> " + Quoted(output_folder_.Folder() + "output") + " 2>&1";
  started_ = std::make_unique<TExeProcess>("/bin/sh", std::vector<std::string>{"-c", command});
  started_->SetTerminateOnDestroy(true);
  started_->Run(true, false);
}

bool KestrelProgram::WaitStartedExit(int bound_ms) {
  return started_ && started_->WaitFor(static_cast<std::uint32_t>(bound_ms));
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

std::vector<int> KestrelProgram::Running() const {
  std::vector<int> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (!IsProcessId(name))
      continue;
    std::error_code unreadable;
    const std::filesystem::path exe =
        std::filesystem::read_symlink(entry.path() / "exe", unreadable);
    if (!unreadable && exe.parent_path() == canonical_folder_)
      found.push_back(std::stoi(name));
  }
  return found;
}

std::vector<std::string> KestrelProgram::CommandLineOf(int pid) {
  std::vector<std::string> words;
  std::istringstream in(ReadAll("/proc/" + std::to_string(pid) + "/cmdline"));
  for (std::string word; std::getline(in, word, '\0');)
    words.push_back(word);
  return words;
}

std::string KestrelProgram::ImageOf(int pid) {
  return ReadAll("/proc/" + std::to_string(pid) + "/exe");
}

std::string KestrelProgram::Output() const {
  return ReadAll(output_folder_.Path() / "output");
}

// The programs that the update chain starts are not children of the test, so
// they are found by where their executable lies and killed by id.
void KestrelProgram::KillRunning() const {
  WaitUntil(
      [this] {
        const std::vector<int> running = Running();
        if (running.empty())
          return true;
        std::vector<std::string> arguments{"-KILL"};
        for (const int pid : running)
          arguments.push_back(std::to_string(pid));
        TExeProcess kill("/bin/kill", arguments);
        kill.Run(true, false);
        kill.WaitFor(kKillBoundMs);
        std::this_thread::sleep_for(kPollPause);
        return false;
      },
      kKillBoundMs);
}

}  // namespace kestrel::testing

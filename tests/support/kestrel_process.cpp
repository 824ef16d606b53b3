#include "support/kestrel_process.h"

#include <filesystem>
#include <optional>
#include <vector>

#include "support/environment.h"
#include "support/processes.h"
#include "support/stand_in.h"
#include "support/tcp_client.h"

namespace kestrel::testing {

KestrelProcess::KestrelProcess() {
  CopyTool("kestrel", "kestrel" KESTREL_EXE_SUFFIX);
}

KestrelProcess::~KestrelProcess() {
  if (server_.Kill(137))
    server_.WaitForExit(10000);
}

void KestrelProcess::CopyTool(const std::string& tool, const std::string& name) const {
  std::filesystem::copy_file(BuiltProgram(tool), folder_.Path() / name,
                             std::filesystem::copy_options::overwrite_existing);
}

void KestrelProcess::Driver(const std::string& steps) const {
  InstallStandIn(folder_.Path(), "corvid.exe", steps);
}

// The desktop is hidden from it, and "console" given, so that the program
// shows its console view whatever desktop the test runs on.
bool KestrelProcess::Start(int bound_ms, const std::vector<std::string>& extra_arguments) {
  port_ = FreePort();
  HideDesktopFromChildren();
  std::vector<std::string> arguments = extra_arguments;
  arguments.insert(arguments.end(), {"port:" + std::to_string(port_), "ip:127.0.0.1", "console"});
  server_ = platform::SpawnProcess(PathOf("kestrel" KESTREL_EXE_SUFFIX), arguments, true,
                                   PathOf("kestrel.out"));
  return WaitStarted(bound_ms);
}

bool KestrelProcess::StartUnderShell(const std::string& shell_prefix) {
  port_ = FreePort();
  const std::string script = "unset DISPLAY WAYLAND_DISPLAY\n" + shell_prefix + "\nexec '" +
                             PathOf("kestrel") + "' port:" + std::to_string(port_) +
                             " ip:127.0.0.1 >'" + PathOf("kestrel.out") + "' 2>&1";
  server_ = platform::SpawnProcess("/bin/sh", {"-c", script}, true);
  return WaitStarted(20000);
}

bool KestrelProcess::WaitStarted(int bound_ms) {
  const std::string started = "Started at 127.0.0.1:" + std::to_string(port_);
  return WaitUntil([&] { return Output().find(started) != std::string::npos || !Running(); },
                   bound_ms) &&
         Running();
}

std::string KestrelProcess::Output() const {
  return folder_.Read("kestrel.out");
}

bool KestrelProcess::Running() {
  return server_.Attached() && !server_.WaitForExit(0);
}

void KestrelProcess::Kill() {
  if (Running() && KillProcess(server_.Id()))
    server_.WaitForExit(10000);
  server_.Release();
}

int KestrelProcess::Stop(int bound_ms) {
  if (!Running())
    return -1;
  // The program may not listen for the request yet: on Windows that takes a
  // window of its own, which need not be there by its first line.
  const bool asked = WaitUntil([&] { return AskProcessToClose(server_.Id()); }, bound_ms);
  const auto code = asked ? server_.WaitForExit(static_cast<std::uint32_t>(bound_ms))
                          : std::optional<std::uint32_t>();
  if (!code) {
    Kill();
    return -1;
  }
  return static_cast<int>(*code);
}

std::string KestrelProcess::Post(const std::string& body, int bound_ms) const {
  return HttpBody(Exchange(port_, HttpPost(body), bound_ms));
}

}  // namespace kestrel::testing

#include "support/kestrel_process.h"

#include <filesystem>
#include <vector>

#include "support/tcp_client.h"

namespace kestrel::testing {
namespace {

std::string Quoted(const std::string& text) {
  return "'" + text + "'";
}

}  // namespace

KestrelProcess::KestrelProcess(std::string bin_dir) : bin_dir_(std::move(bin_dir)) {
  CopyTool("kestrel", "kestrel");
}

KestrelProcess::~KestrelProcess() {
  Kill();
}

void KestrelProcess::CopyTool(const std::string& tool, const std::string& name) const {
  std::filesystem::copy_file(bin_dir_ + "/" + tool, folder_.Path() / name,
                             std::filesystem::copy_options::overwrite_existing);
}

void KestrelProcess::DriverScript(const std::string& body) const {
  const std::string path = folder_.Write(
      "corvid.exe", "#!/bin/sh\ndir=" + Quoted(folder_.Path().string()) + "\n" + body + "\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

bool KestrelProcess::Start(const std::string& shell_prefix, int bound_ms) {
  port_ = FreePort();
  const std::string script = "unset DISPLAY WAYLAND_DISPLAY\n" + shell_prefix + "\nexec " +
                             Quoted(PathOf("kestrel")) + " port:" + std::to_string(port_) +
                             " ip:127.0.0.1 >" + Quoted(PathOf("kestrel.out")) + " 2>&1";
  server_ = platform::SpawnProcess("/bin/sh", {"-c", script}, true);
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
  if (server_.Kill(137))
    server_.WaitForExit(10000);
  server_.Release();
}

int KestrelProcess::Stop(int bound_ms) {
  if (!Running())
    return -1;
  SendSignal(server_.Id(), "TERM");
  const auto code = server_.WaitForExit(static_cast<std::uint32_t>(bound_ms));
  if (!code) {
    Kill();
    return -1;
  }
  return static_cast<int>(*code);
}

std::string KestrelProcess::Post(const std::string& body, int bound_ms) const {
  return HttpBody(Exchange(port_, HttpPost(body), bound_ms));
}

bool SendSignal(std::int32_t pid, const std::string& signal) {
  platform::ChildProcess kill =
      platform::SpawnProcess("/bin/kill", {"-" + signal, std::to_string(pid)}, true);
  const auto code = kill.WaitForExit(10000);
  return code && *code == 0;
}

}  // namespace kestrel::testing

// The real kestrel executable as a separate process: copied into a fresh
// program folder of its own (where it looks for its driver and writes its
// parameter files), started in console mode on a free loopback port, and
// stopped (bounded) at the end.
#pragma once

#include <cstdint>
#include <string>

#include "platform/process.h"
#include "support/temp_dir.h"

namespace kestrel::testing {

class KestrelProcess {
 public:
  // Copies kestrel from the build's binary folder `bin_dir` (where the tools
  // are taken from too); nothing runs yet.
  explicit KestrelProcess(std::string bin_dir);
  // Ends the server (and its process group) if it still runs.
  ~KestrelProcess();
  KestrelProcess(const KestrelProcess&) = delete;
  KestrelProcess& operator=(const KestrelProcess&) = delete;

  const TempDir& Folder() const { return folder_; }
  std::string PathOf(const std::string& name) const { return folder_.Folder() + name; }
  // Copies the build's tool `tool` into the program folder as `name`.
  void CopyTool(const std::string& tool, const std::string& name) const;
  // The driver: a shell script given the parameter file as $1 and the time-out
  // in milliseconds as $2; $dir is the program folder.
  void DriverScript(const std::string& body) const;

  // Starts the server; `shell_prefix` runs in its shell first (for instance a
  // ulimit). True once it has logged "Started at" within `bound_ms`.
  bool Start(const std::string& shell_prefix = "", int bound_ms = 20000);
  std::uint16_t Port() const { return port_; }
  std::int32_t Pid() const { return server_.Id(); }
  // Everything the server wrote to its standard output and error so far.
  std::string Output() const;
  // True while the server runs (a process seen to end is collected).
  bool Running();
  // SIGKILL, then waits (bounded) for the end.
  void Kill();
  // SIGTERM and a bounded wait for the orderly end; the exit code, or -1
  // when it did not end in time (it is killed then).
  int Stop(int bound_ms = 20000);

  // One request over a fresh connection; the answer's body, or "<no answer>"
  // when the server closed without a complete HTTP answer.
  std::string Post(const std::string& body, int bound_ms = 30000) const;

 private:
  const std::string bin_dir_;
  TempDir folder_;
  platform::ChildProcess server_;
  std::uint16_t port_ = 0;
};

// Sends `signal` (a name such as "KILL" or "0") to the process `pid` through
// the system's kill program; true when it was delivered.
bool SendSignal(std::int32_t pid, const std::string& signal);

}  // namespace kestrel::testing

// The real kestrel executable as a separate process: copied into a fresh
// program folder of its own (where it looks for its driver and writes its
// parameter files), started in console mode on a free loopback port, and
// stopped (bounded) at the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/temp_dir.h"

namespace kestrel::testing {

class KestrelProcess {
 public:
  // Copies the built kestrel into the folder; nothing runs yet.
  KestrelProcess();
  // Ends the server and what it started if it still runs.
  ~KestrelProcess();
  KestrelProcess(const KestrelProcess&) = delete;
  KestrelProcess& operator=(const KestrelProcess&) = delete;

  const TempDir& Folder() const { return folder_; }
  std::string PathOf(const std::string& name) const { return folder_.Folder() + name; }
  // Copies the build's tool `tool` into the program folder as `name`.
  void CopyTool(const std::string& tool, const std::string& name) const;
  // The driver: the stand-in program doing `steps`, given the parameter file
  // as $1 and the time-out in milliseconds as $2; $dir is the program folder.
  void Driver(const std::string& steps) const;

  // Starts the server in console mode, with `extra_arguments` before its
  // own (so that they win: the first argument of a name counts). True once
  // it has logged "Started at" on Port() within `bound_ms`.
  bool Start(int bound_ms = 20000, const std::vector<std::string>& extra_arguments = {});
  // The same through /bin/sh, which runs `shell_prefix` first (a ulimit), for
  // what only a POSIX shell can set up.
  bool StartUnderShell(const std::string& shell_prefix);
  std::uint16_t Port() const { return port_; }
  std::int32_t Pid() const { return server_.Id(); }
  // Everything the server wrote to its standard output and error so far.
  std::string Output() const;
  // True while the server runs (a process seen to end is collected).
  bool Running();
  // Ends the server alone at once, as a crash would, and waits (bounded) for
  // the end; what it started runs on.
  void Kill();
  // Asks the server to close as its user would and waits, bounded, for the
  // orderly end; the exit code, or -1 when it did not end in time (it is
  // killed then).
  int Stop(int bound_ms = 20000);

  // One request over a fresh connection; the answer's body, or "<no answer>"
  // when the server closed without a complete HTTP answer.
  std::string Post(const std::string& body, int bound_ms = 30000) const;

 private:
  bool WaitStarted(int bound_ms);

  TempDir folder_;
  platform::ChildProcess server_;
  std::uint16_t port_ = 0;
};

}  // namespace kestrel::testing

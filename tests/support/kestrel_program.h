// The real kestrel executable copied into a temporary program folder and run
// there in console mode on a free loopback port, for tests of what it does
// across its own restarts. Every process started from the folder, by the test
// or by the program itself, is killed when the object goes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/temp_dir.h"

namespace kestrel::testing {

class KestrelProgram {
 public:
  static constexpr char kFileName[] = "kestrel" KESTREL_EXE_SUFFIX;

  // Copies the built program `built` into `folder`, which must outlive this
  // object.
  KestrelProgram(const TempDir& folder, const std::string& built);
  ~KestrelProgram();
  KestrelProgram(const KestrelProgram&) = delete;
  KestrelProgram& operator=(const KestrelProgram&) = delete;

  // The built program's bytes, as first copied.
  const std::string& OriginalImage() const { return original_image_; }
  std::uint16_t Port() const { return port_; }
  // "ip:127.0.0.1", "port:" + Port() and "console": the arguments the program
  // starts with.
  std::vector<std::string> Arguments() const;

  // Starts the program in the folder in console mode; its output goes to
  // Output().
  void Start();
  // True once the process that Start started has ended, within `bound_ms`.
  bool WaitStartedExit(int bound_ms);
  // True once some server on Port() answers the version query.
  bool WaitAnswering(int bound_ms) const;
  // Posts `body` to Port() and returns the answer's body, or a text that
  // says what went wrong.
  std::string Post(const std::string& body, int bound_ms = 60000) const;

  // The processes running from an executable inside the folder.
  std::vector<std::int32_t> Running() const;

  std::string Output() const;

 private:
  void KillRunning() const;

  const TempDir& folder_;
  TempDir output_folder_;
  std::string original_image_;
  std::uint16_t port_;
  platform::ChildProcess started_;
};

}  // namespace kestrel::testing

// Self-update over the network. An update request stores every file of its
// package beside the program as "~new~" + its name and makes the program
// close; the closing program starts its stored copy ("~new~" + its own file
// name), which puts every stored file in the place of the one it replaces and
// starts the program again; that start deletes what the update left behind.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "app/tcp_printer.h"
#include "messages/messages.h"

namespace kestrel {

// Marks a stored update file: "~new~" + X is the new version of X.
inline constexpr std::string_view kUpdatePrefix = "~new~";

// The running program as the update steps see it.
struct TUpdateProgram {
  std::string folder;     // the executable's folder, with its trailing "/"
  std::string file_name;  // the executable's own file name
  // The command line without the program path; every restart passes it on,
  // so the program comes back on the address and port it served.
  std::vector<std::string> arguments;
};

// Splits the running executable's path into folder and file name.
TUpdateProgram UpdateProgramOf(const std::string& executable_path,
                               std::vector<std::string> arguments);

// The last update request, for the status page.
struct TUpdateOutcome {
  std::string received;  // local time, "yyyy-mm-dd hh:nn:ss.zzz"
  std::string version;   // EXEver of the package, as sent
  std::string error;     // empty: every file was stored
};

// Serves update requests: the update route of TTCP_Printer. Requests are
// served one at a time, so that two packages never mix their files.
class TUpdateService {
 public:
  // `restart` is set by every request, failed or not; it must outlive the
  // service.
  TUpdateService(std::string program_folder, std::string executable_name,
                 std::atomic<bool>& restart);

  // `Buf` is a BSON TUpdateInfo. The answer is empty once every file is
  // stored, else the failure message as Windows-1251 text. A package with a
  // wrong checksum or an unsafe name is refused before anything is written;
  // a package that fails while being written leaves none of its files.
  std::string UpdateSelf(const std::string& Buf) const;

  // The outcome of the last request, nullopt before the first.
  std::optional<TUpdateOutcome> LastOutcome() const;

 private:
  void CheckFiles(const TUpdateInfo& info) const;
  void StoreFiles(const TUpdateInfo& info) const;
  void StoreFile(const TUpdateFile& file) const;

  const std::string program_folder_;
  const std::string executable_name_;
  std::atomic<bool>& restart_;
  mutable std::mutex serving_;
  // Apart from serving_, which a request holds while it writes its files.
  mutable std::mutex outcome_mutex_;
  mutable std::optional<TUpdateOutcome> last_outcome_;
};

// The handler to serve as the update route; it keeps `service` alive.
TRequestHandler MakeUpdateRoute(std::shared_ptr<const TUpdateService> service);

// How long installing waits for files that cannot be replaced yet: after each
// failed attempt it sleeps `step_ms`, as long as it has waited no more than
// `give_up_after_ms` in all; the budget serves the whole pass, not each file.
struct TInstallRetry {
  std::uint32_t give_up_after_ms = 10000;
  std::uint32_t step_ms = 200;
  std::function<void(std::uint32_t ms)> sleep;  // empty: the thread sleeps
};

// The first step of every start. False unless the program runs under a
// "~new~" name; then it installs every "~new~" file directly in its folder
// over the file it replaces (files that stay locked past the budget are left
// as they are), starts the program under its unprefixed name and returns
// true. Each installed file is either wholly the old or wholly the new one,
// and keeps the permissions of the file it replaces.
bool InstallUpdateFiles(const TUpdateProgram& program, const TInstallRetry& retry = {});

// Deletes the update files and folders ("~new~" and "~tmp~" names) left
// directly in `program_folder`, folders with their content, links without
// following them; what cannot be deleted now is left for a later start.
void DeleteUpdateLeftovers(const std::string& program_folder);

// Starts the stored copy of the program, if the update stored one; does not
// wait for it. Raises Exception when it cannot be started.
void RunUpdatedCopy(const TUpdateProgram& program);

// True when the program's own stored copy lies beside it: this start is the
// one that an update made.
bool StartFollowsUpdate(const TUpdateProgram& program);

// How long the program that an update started waits for its address.
struct TAddressWait {
  std::uint32_t give_up_after_ms = 30000;
  std::uint32_t step_ms = 250;
};

// Connections of the program that an update replaced may hold its address a
// while after it has ended, and a listening socket that claims its address
// for itself (as on Windows) cannot be bound meanwhile. So the program that
// comes back waits until `ip`:`port` can be bound, within the budget or
// until `stop`; it logs once that it waits. What still holds the address
// then makes the server's own bind fail, which the server reports.
void WaitForFreeAddress(const std::string& ip, std::uint16_t port, std::stop_token stop,
                        const std::function<void(std::string_view)>& log,
                        const TAddressWait& wait = {});

}  // namespace kestrel

#include "app/self_update.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "base/ascii.h"
#include "base/exception.h"
#include "base/format.h"
#include "base/text.h"
#include "bson/mapping.h"
#include "files/crc32.h"
#include "files/file_utils.h"
#include "files/folder.h"
#include "journal/journal.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/socket.h"
#include "process/exe_process.h"

namespace kestrel {
namespace {

constexpr char kCRCError[] = "Ошибка CRC для файла %s при обновлении программы на версию %s";
constexpr char kWriteError[] =
    "Ошибка записи файла %s на диск при обновлении программы на версию %s: %s";
constexpr char kUnsafeName[] = "недопустимое имя файла";
// What the status page keeps of the version a package names.
constexpr std::size_t kKeptVersionCharacters = 64;
constexpr std::size_t kKeptErrorCharacters = 256;
constexpr char kAddressHeld[] =
    "Адрес %s:%u ещё занят прежним запуском программы, ждём его до %u сек.";

// Marks a file being installed, as long as "~new~" so that every stored file
// can be installed; a start removes it if an install was cut short.
constexpr std::string_view kPartPrefix = "~tmp~";

constexpr std::uint32_t kOwnerExecute = 0100;
constexpr std::uint32_t kReadBits = 0444;

const TUpdateFile& FileAt(const TUpdateInfo& info, std::int32_t index) {
  return static_cast<const TUpdateFile&>(*info.Files().Items(index));
}

// The program's own name is written in any case on Windows, where
// "Kestrel.exe" and "kestrel.exe" are one file.
bool SameFileName(const std::string& left, const std::string& right) {
  return platform::FileNamesIgnoreCase() ? LowerAscii(left) == LowerAscii(right) : left == right;
}

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

// A name that stays inside the program folder: relative, naming a file, with
// no ".." part and no part that the system takes for something else than a
// file (a device, a drive). Both separators count, as senders may write
// either.
bool IsSafeName(std::string_view name) {
  if (name.empty() || IsSeparator(name.front()) || IsSeparator(name.back()) ||
      name.find('\0') != std::string_view::npos)
    return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !IsSeparator(name[end]))
      ++end;
    const std::string_view part = name.substr(start, end - start);
    if (part == ".." || !platform::IsOrdinaryName(part))
      return false;
    start = end + 1;
  }
  return true;
}

std::string WriteErrorOf(const TUpdateFile& file, const TUpdateInfo& info, const char* reason) {
  return Format(kWriteError, file.FName.c_str(), info.FEXEver.c_str(), reason);
}

// `file` takes the permissions of `replaced` where that file exists; a
// program also becomes executable wherever it may be read, so that it can be
// started.
void TakePermissions(const std::string& file, const std::string& replaced, bool program) {
  std::uint32_t bits = 0;
  const bool found = (FileExists(replaced) && platform::GetPermissions(replaced, bits)) ||
                     platform::GetPermissions(file, bits);
  if (!found)
    return;
  if (program)
    bits |= kOwnerExecute | ((bits & kReadBits) >> 2);
  platform::SetPermissions(file, bits);
}

// The files one request has stored, deleted again unless the whole package
// was stored, so that a partial update is never installed.
class StoredFiles {
 public:
  StoredFiles() = default;
  StoredFiles(const StoredFiles&) = delete;
  StoredFiles& operator=(const StoredFiles&) = delete;
  ~StoredFiles() {
    if (kept_)
      return;
    for (const std::string& path : paths_)
      DeleteFile(path);
  }
  // Called before a file is written, so that a half-written one goes too.
  void Add(std::string path) { paths_.push_back(std::move(path)); }
  void Keep() { kept_ = true; }

 private:
  std::vector<std::string> paths_;
  bool kept_ = false;
};

// A file written for installing, deleted again unless it took its target's
// place.
class PartFile {
 public:
  explicit PartFile(std::string path) : path_(std::move(path)) { DeleteFile(path_); }
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;
  ~PartFile() {
    if (!placed_)
      DeleteFile(path_);
  }
  const std::string& Path() const { return path_; }
  void Placed() { placed_ = true; }

 private:
  std::string path_;
  bool placed_ = false;
};

// Writes `body` as the file `name` and waits until it is on the disk.
void WriteFlushed(const std::string& name, const std::string& body) {
  platform::SystemError error;
  platform::File file = platform::CreateForWriting(name, false, error);
  if (!file.IsOpen())
    throw Exception(Format("Cannot create file \"%s\". %s", name.c_str(), error.text.c_str()));
  const bool written = file.Write(body.data(), body.size()) == body.size() && file.Flush();
  if (!file.Close() || !written)
    throw Exception(Format("File \"%s\" write error", name.c_str()));
}

// Puts the stored new version of `name` in its place: its content goes to a
// flushed file beside the target, which then replaces the target in one step,
// so a failure at any point leaves the old file whole.
void InstallFile(const std::string& folder, const std::string& name, bool program) {
  const std::string stored = folder + std::string(kUpdatePrefix) + name;
  const std::string target = folder + name;
  std::string body;
  ReadFileBody(stored, true, body);
  PartFile part(folder + std::string(kPartPrefix) + name);
  WriteFlushed(part.Path(), body);
  TakePermissions(part.Path(), FileExists(target) ? target : stored, program);
  platform::SystemError error;
  if (!platform::ReplaceFile(part.Path(), target, error))
    throw Exception(Format("Cannot replace file \"%s\". %s", target.c_str(), error.text.c_str()));
  part.Placed();
}

bool TryInstallFile(const std::string& folder, const std::string& name, bool program) {
  try {
    InstallFile(folder, name, program);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Probes with a socket of the kind the server listens on, so that it meets
// the same rules; the probe is closed before anyone listens.
bool AddressInUse(const std::string& ip, std::uint16_t port) {
  platform::Socket probe;
  probe.Bind(ip, std::to_string(port));
  return probe.LastError() == platform::kSocketAddressInUse;
}

void Pause(const TInstallRetry& retry) {
  if (retry.sleep)
    retry.sleep(retry.step_ms);
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(retry.step_ms));
}

// The names of the files directly in `folder` (subfolders are not entered).
std::vector<std::string> FileNamesIn(const std::string& folder) {
  TFolder listing(folder);
  listing.ScanDir();
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < listing.Files().Count(); ++i)
    names.push_back(listing.Files().Items(i)->FName);
  return names;
}

// The names of the entries directly in `folder`, folders and links included.
std::vector<std::string> EntryNamesIn(const std::string& folder) {
  platform::SystemError error;
  platform::FolderReader reader = platform::FolderReader::Open(folder, error);
  std::vector<std::string> names;
  platform::FolderEntry entry;
  while (reader.IsOpen() && reader.Next(entry)) {
    if (entry.name != "." && entry.name != "..")
      names.push_back(entry.name);
  }
  return names;
}

// Starts a program that runs on by itself; nothing waits for it.
void StartProgram(const std::string& path, const std::vector<std::string>& arguments) {
  TExeProcess process(path, arguments);
  process.Run(false, false);
}

}  // namespace

TUpdateProgram UpdateProgramOf(const std::string& executable_path,
                               std::vector<std::string> arguments) {
  const std::size_t name_start = platform::FileNameStart(executable_path);
  return TUpdateProgram{executable_path.substr(0, name_start), executable_path.substr(name_start),
                        std::move(arguments)};
}

TUpdateService::TUpdateService(std::string program_folder, std::string executable_name,
                               std::atomic<bool>& restart)
    : program_folder_(std::move(program_folder)),
      executable_name_(std::move(executable_name)),
      restart_(restart) {}

std::string TUpdateService::UpdateSelf(const std::string& Buf) const {
  TUpdateInfo info;
  std::string error;
  {
    const std::lock_guard lock(serving_);
    try {
      BSONToObj(Buf, info);
      CheckFiles(info);
      StoreFiles(info);
    } catch (const std::exception& failure) {
      error = failure.what();
    }
    const std::lock_guard outcome_lock(outcome_mutex_);
    last_outcome_ = TUpdateOutcome{JournalTime(), CutText(info.FEXEver, kKeptVersionCharacters),
                                   CutText(error, kKeptErrorCharacters)};
  }
  const std::string answer = Utf8ToWin1251(error);
  restart_ = true;
  return answer;
}

std::optional<TUpdateOutcome> TUpdateService::LastOutcome() const {
  const std::lock_guard lock(outcome_mutex_);
  return last_outcome_;
}

// Writes nothing, so a package refused here leaves the disk untouched.
void TUpdateService::CheckFiles(const TUpdateInfo& info) const {
  for (std::int32_t i = 0; i < info.Files().Count(); ++i) {
    const TUpdateFile& file = FileAt(info, i);
    if (!IsSafeName(file.FName))
      throw Exception(WriteErrorOf(file, info, kUnsafeName));
    if (static_cast<std::uint32_t>(CalcCRC32(file.FBody)) !=
        static_cast<std::uint32_t>(file.FCRC32))
      throw Exception(Format(kCRCError, file.FName.c_str(), info.FEXEver.c_str()));
  }
}

void TUpdateService::StoreFiles(const TUpdateInfo& info) const {
  StoredFiles stored;
  for (std::int32_t i = 0; i < info.Files().Count(); ++i) {
    const TUpdateFile& file = FileAt(info, i);
    stored.Add(program_folder_ + std::string(kUpdatePrefix) + file.FName);
    try {
      StoreFile(file);
    } catch (const std::exception& failure) {
      throw Exception(WriteErrorOf(file, info, failure.what()));
    }
  }
  stored.Keep();
}

void TUpdateService::StoreFile(const TUpdateFile& file) const {
  const std::string path = program_folder_ + std::string(kUpdatePrefix) + file.FName;
  WriteFileBody(path, file.FBody);
  TakePermissions(path, program_folder_ + file.FName, SameFileName(file.FName, executable_name_));
}

TRequestHandler MakeUpdateRoute(std::shared_ptr<const TUpdateService> service) {
  return
      [service = std::move(service)](const std::string& body) { return service->UpdateSelf(body); };
}

bool InstallUpdateFiles(const TUpdateProgram& program, const TInstallRetry& retry) {
  if (!program.file_name.starts_with(kUpdatePrefix))
    return false;
  const std::string program_name = program.file_name.substr(kUpdatePrefix.size());
  std::uint32_t waited = 0;
  for (const std::string& name : FileNamesIn(program.folder)) {
    if (!name.starts_with(kUpdatePrefix) || name.size() == kUpdatePrefix.size())
      continue;
    const std::string target = name.substr(kUpdatePrefix.size());
    while (!TryInstallFile(program.folder, target, SameFileName(target, program_name)) &&
           waited <= retry.give_up_after_ms) {
      Pause(retry);
      waited += retry.step_ms;
    }
  }
  StartProgram(program.folder + program_name, program.arguments);
  return true;
}

// Folders go too: a stored name with a folder part leaves a "~new~" folder,
// which would stand in the way of a later file of that name.
void DeleteUpdateLeftovers(const std::string& program_folder) {
  for (const std::string& name : EntryNamesIn(program_folder)) {
    if (name.starts_with(kUpdatePrefix) || name.starts_with(kPartPrefix)) {
      platform::SystemError ignored;
      platform::RemoveTree(program_folder + name, ignored);
    }
  }
}

void RunUpdatedCopy(const TUpdateProgram& program) {
  const std::string copy = program.folder + std::string(kUpdatePrefix) + program.file_name;
  if (FileExists(copy))
    StartProgram(copy, program.arguments);
}

bool StartFollowsUpdate(const TUpdateProgram& program) {
  return FileExists(program.folder + std::string(kUpdatePrefix) + program.file_name);
}

void WaitForFreeAddress(const std::string& ip, std::uint16_t port, std::stop_token stop,
                        const std::function<void(std::string_view)>& log,
                        const TAddressWait& wait) {
  if (!AddressInUse(ip, port))
    return;
  log(Format(kAddressHeld, ip.c_str(), static_cast<unsigned>(port),
             static_cast<unsigned>(wait.give_up_after_ms / 1000)));
  // Sleeps that a stop request cuts short.
  std::mutex mutex;
  std::condition_variable_any stop_wakes;
  std::unique_lock lock(mutex);
  for (std::uint32_t waited = 0; waited < wait.give_up_after_ms; waited += wait.step_ms) {
    stop_wakes.wait_for(lock, stop, std::chrono::milliseconds(wait.step_ms), [] { return false; });
    if (stop.stop_requested() || !AddressInUse(ip, port))
      return;
  }
}

}  // namespace kestrel

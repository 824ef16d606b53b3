#include "app/wine_driver.h"

#include <algorithm>
#include <cstdint>

#include "app/enum_coms.h"
#include "app/serial_ports.h"
#include "base/exception.h"
#include "bson/mapping.h"
#include "files/file_utils.h"
#include "messages/messages.h"
#include "platform/file_system.h"
#include "platform/serial_ports.h"
#include "platform/windows_programs.h"
#include "process/exe_process.h"

namespace kestrel {
namespace {

// Where the DOS header keeps the offset of the PE header.
constexpr std::int64_t kPeOffsetField = 0x3C;
// A PE header further in belongs to no program a driver would be.
constexpr std::uint32_t kMaxPeOffset = 64 * 1024 * 1024;
// The PE header's machine type of 32-bit x86 programs.
constexpr std::uint32_t kMachineI386 = 0x14C;

// Wine writes it last when it sets a prefix up; the registry files come only
// later, when its server saves them.
constexpr char kPrefixMadeMark[] = "/.update-timestamp";
// Where a 64-bit prefix keeps the system files of 32-bit programs. A Wine
// without its 32-bit part leaves the folder empty; once that part is
// installed, its 32-bit loader starts every program and runs nothing at all
// in such a prefix, for want of the 32-bit kernel32.dll.
constexpr char kWow64Folder[] = "/drive_c/windows/syswow64";
constexpr char kWow64Kernel[] = "/drive_c/windows/syswow64/kernel32.dll";
// A first Wine start in a new prefix sets up a whole Windows folder tree.
constexpr std::uint32_t kPrefixSetupMs = 180000;
// The server command only starts or stops the server, and returns.
constexpr std::uint32_t kServerCommandMs = 20000;

// wineserver's exit code when another server holds the prefix.
constexpr std::uint32_t kServerAlreadyRunning = 2;

// The serial device kinds that get COM names, in the order they get them.
constexpr std::string_view kMappedKinds[] = {"ttyS", "ttyUSB", "ttyACM"};

std::uint32_t LittleEndian(std::string_view bytes) {
  std::uint32_t value = 0;
  for (auto byte = bytes.rbegin(); byte != bytes.rend(); ++byte)
    value = (value << 8) | static_cast<unsigned char>(*byte);
  return value;
}

// The first `count` bytes of the PE header ("PE\0\0", then the machine
// type); fewer, or none, where the file has no PE header.
std::string PeHeaderStart(const std::string& path, std::int32_t count) {
  std::string header;
  ReadFilePart(path, static_cast<std::int32_t>(kPeOffsetField + 4), false, header, 0);
  if (header.size() < kPeOffsetField + 4 || header.compare(0, 2, "MZ") != 0)
    return "";
  const std::uint32_t pe_offset = LittleEndian(std::string_view(header).substr(kPeOffsetField, 4));
  if (pe_offset > kMaxPeOffset)
    return "";
  std::string start;
  ReadFilePart(path, count, false, start, pe_offset);
  return start.starts_with(std::string_view("PE\0\0", 4)) ? start : "";
}

bool IsFolder(const std::string& path) {
  platform::SystemError ignored;
  return platform::FolderReader::Open(path, ignored).IsOpen();
}

// The kind's index and the device's number; false for an unmapped device.
bool MappedDevice(const std::string& device, std::size_t& kind, int& number) {
  for (kind = 0; kind < std::size(kMappedKinds); ++kind) {
    const std::string_view prefix = kMappedKinds[kind];
    if (device.size() <= prefix.size() || device.compare(0, prefix.size(), prefix) != 0 ||
        device.size() - prefix.size() > 6)
      continue;
    const std::string digits = device.substr(prefix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    number = std::stoi(digits);
    return true;
  }
  return false;
}

void MakeFolders(const std::string& folder) {
  for (std::size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
    platform::SystemError error;
    const std::string part = folder.substr(0, end);
    if (!platform::MakeFolder(part, error))
      throw Exception(WinePrefixFailedText(folder, part + ": " + error.text));
    if (end == std::string::npos)
      return;
  }
}

// Runs a Wine tool to its end within `bound_ms`; the text of a failure, ""
// on success.
std::string RunTool(const std::string& program, std::vector<std::string> arguments,
                    std::vector<std::string> environment, std::uint32_t bound_ms) {
  TExeProcess tool(program, std::move(arguments));
  tool.SetEnvironment(std::move(environment));
  tool.Run(true, false);
  if (!tool.WaitFor(bound_ms)) {
    tool.Terminate(1);
    return program + " did not end within " + std::to_string(bound_ms / 1000) + " s";
  }
  tool.Runned();
  return tool.ExitCode() == 0
             ? ""
             : program + " ended with exit code " + std::to_string(tool.ExitCode());
}

}  // namespace

bool IsWindowsProgram(const std::string& path) {
  return !PeHeaderStart(path, 4).empty();
}

bool Is32BitWindowsProgram(const std::string& path) {
  const std::string start = PeHeaderStart(path, 6);
  return start.size() == 6 && LittleEndian(std::string_view(start).substr(4)) == kMachineI386;
}

std::string WineDrivePath(std::string_view path) {
  std::string result = "Z:";
  for (char c : path)
    result += c == '/' ? '\\' : c;
  return result;
}

std::vector<ComPort> MapComPorts(const std::vector<std::string>& devices) {
  struct Candidate {
    std::size_t kind;
    int number;
    std::string device;
  };
  std::vector<Candidate> mapped;
  for (const auto& device : devices) {
    Candidate candidate{0, 0, device};
    if (MappedDevice(device, candidate.kind, candidate.number))
      mapped.push_back(candidate);
  }
  std::sort(mapped.begin(), mapped.end(), [](const Candidate& left, const Candidate& right) {
    return left.kind != right.kind ? left.kind < right.kind : left.number < right.number;
  });
  std::vector<ComPort> ports;
  for (const auto& candidate : mapped)
    ports.push_back({"COM" + std::to_string(ports.size() + 1), candidate.device});
  return ports;
}

std::string WineMissingText() {
  return "Драйвер corvid.exe — программа Windows, а Wine не найден: установите Wine (пакет wine)";
}

std::string Wine32MissingText() {
  return "Драйвер corvid.exe — 32-разрядная программа Windows, а у Wine нет 32-разрядной части: "
         "установите её (Debian: dpkg --add-architecture i386; apt-get update; "
         "apt-get install wine32:i386)";
}

std::string WinePrefixFailedText(const std::string& folder, const std::string& reason) {
  return "Драйвер corvid.exe — программа Windows, а папку Wine " + folder +
         " не удалось подготовить: " + reason;
}

std::string NotAComPortText(const std::string& port, const std::vector<ComPort>& ports) {
  std::string names;
  for (const auto& mapped : ports)
    names += (names.empty() ? "" : ", ") + mapped.name;
  return "Порт \"" + port +
         "\" не COM-порт Wine; драйверу доступны: " + (names.empty() ? "нет портов" : names);
}

std::string DefaultWinePrefixFolder() {
  const std::string data = platform::UserDataFolder();
  return data.empty() ? "" : data + "/kestrel/wine";
}

WinePrefix::WinePrefix(std::string folder, std::string root)
    : folder_(std::move(folder)), root_(std::move(root)) {}

WinePrefix::~WinePrefix() {
  Close();
}

void WinePrefix::Close() {
  std::lock_guard lock(mutex_);
  if (!ready_)
    return;
  ready_ = false;
  try {
    RunTool(wineserver_, {"-k"}, Environment(), kServerCommandMs);
  } catch (const std::exception&) {
    // The server could not be told; it serves on until the machine stops.
  }
}

void WinePrefix::Prepare() {
  std::lock_guard lock(mutex_);
  if (ready_)
    return;
  wine_ = platform::FindProgramOnPath("wine");
  wineserver_ = platform::FindProgramOnPath("wineserver");
  if (wine_.empty() || wineserver_.empty())
    throw Exception(WineMissingText());
  if (folder_.empty())
    throw Exception(WinePrefixFailedText("kestrel/wine", "HOME is not set"));
  MakeFolders(folder_);
  StartServer();
  RenewIfStale();
  if (!FileExists(folder_ + kPrefixMadeMark))
    MakePrefix();
  ready_ = true;
}

void WinePrefix::Require32Bit() {
  std::lock_guard lock(mutex_);
  RenewIfStale();
  if (!FileExists(folder_ + kPrefixMadeMark))
    MakePrefix();
  if (Lacks32BitPart())
    throw Exception(Wine32MissingText());
}

void WinePrefix::RenewAfterFailure() {
  std::lock_guard lock(mutex_);
  if (!ready_)
    return;
  RenewIfStale();
  if (!FileExists(folder_ + kPrefixMadeMark))
    MakePrefix();
}

// A prefix of only 32-bit programs has no such folder, and needs none.
bool WinePrefix::Lacks32BitPart() const {
  return IsFolder(folder_ + kWow64Folder) && !FileExists(folder_ + kWow64Kernel);
}

// A prefix without the 32-bit part in which Wine runs nothing any more:
// Wine has got that part since. No driver can run in it, so its server may
// end; the prefix goes, with whatever a driver kept in it, to be made again.
void WinePrefix::RenewIfStale() {
  if (!FileExists(folder_ + kPrefixMadeMark) || !Lacks32BitPart() ||
      RunTool(wine_, {"cmd", "/c", "exit"}, Environment(), kServerCommandMs).empty())
    return;
  RunTool(wineserver_, {"-k"}, Environment(), kServerCommandMs);
  platform::SystemError error;
  if (!platform::RemoveTree(folder_, error))
    throw Exception(WinePrefixFailedText(folder_, error.text));
  MakeFolders(folder_);
  StartServer();
}

// Persistent: it stays when no Windows program runs, until it is told to end.
// A server that already serves the prefix (left by an earlier run) makes the
// command end with exit code 2; that one serves as well.
void WinePrefix::StartServer() {
  TExeProcess server(wineserver_, std::vector<std::string>{"-p"});
  server.SetEnvironment(Environment());
  server.Run(true, false);
  if (!server.WaitFor(kServerCommandMs)) {
    server.Terminate(1);
    throw Exception(WinePrefixFailedText(folder_, wineserver_ + " -p did not return"));
  }
  server.Runned();
  if (server.ExitCode() != 0 && server.ExitCode() != kServerAlreadyRunning)
    throw Exception(WinePrefixFailedText(
        folder_, wineserver_ + " ended with exit code " + std::to_string(server.ExitCode())));
}

// Without Mono and Gecko: a driver needs neither, and their installers would
// ask for a download.
void WinePrefix::MakePrefix() {
  std::vector<std::string> environment = Environment();
  environment.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
  std::string failure = RunTool(wine_, {"wineboot", "-i"}, environment, kPrefixSetupMs);
  if (failure.empty() && !FileExists(folder_ + kPrefixMadeMark))
    failure = "wineboot left no .update-timestamp";
  if (!failure.empty()) {
    RunTool(wineserver_, {"-k"}, Environment(), kServerCommandMs);
    throw Exception(WinePrefixFailedText(folder_, failure));
  }
}

std::vector<ComPort> WinePrefix::MapPorts() {
  auto devices = platform::ListedSerialPorts(root_);
  if (!devices)
    devices = platform::ProbedSerialPorts(root_);
  std::vector<ComPort> ports = MapComPorts(*devices);
  std::lock_guard lock(mutex_);
  if (ready_)
    LinkPorts(ports);
  return ports;
}

// Wine's name of a COM port's link in dosdevices: "com1".
std::string LinkName(const std::string& com_name) {
  std::string link = com_name;
  std::transform(link.begin(), link.end(), link.begin(),
                 [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return link;
}

// A link that cannot be made leaves the driver unable to open that port,
// which it then reports itself. Links of COM names that are no longer mapped
// go, so that no name reaches a device under two names or a device that
// is gone.
void WinePrefix::LinkPorts(const std::vector<ComPort>& ports) const {
  const std::string dev = root_ + (root_.ends_with('/') ? "" : "/") + "dev/";
  const std::string links = folder_ + "/dosdevices/";
  std::vector<std::string> mapped;
  for (const auto& port : ports) {
    mapped.push_back(LinkName(port.name));
    platform::SystemError ignored;
    platform::ReplaceSymbolicLink(dev + port.device, links + mapped.back(), ignored);
  }
  platform::SystemError error;
  platform::FolderReader reader = platform::FolderReader::Open(links, error);
  platform::FolderEntry entry;
  while (reader.IsOpen() && reader.Next(entry)) {
    const bool com_link = entry.name.starts_with("com") && entry.name.size() > 3 &&
                          std::all_of(entry.name.begin() + 3, entry.name.end(),
                                      [](char c) { return c >= '0' && c <= '9'; });
    if (com_link && std::find(mapped.begin(), mapped.end(), entry.name) == mapped.end())
      platform::RemoveFile(links + entry.name, error);
  }
}

DriverCommand WinePrefix::Command(const std::string& ExeName, const std::string& ParamsFile,
                                  int timeout_ms) const {
  std::lock_guard lock(mutex_);
  return DriverCommand{
      wine_,
      {WineDrivePath(ExeName), WineDrivePath(ParamsFile), std::to_string(timeout_ms)},
      Environment()};
}

std::vector<std::string> WinePrefix::Environment() const {
  return {"WINEPREFIX=" + folder_, "WINEDEBUG=-all"};
}

bool DriverHost::ThroughWine(const std::string& ExeName) const {
  return !platform::RunsWindowsProgramsNatively() && IsWindowsProgram(ExeName);
}

std::string DriverHost::Call(const std::string& ExeName, const std::string& ParamsFile,
                             int TimeOutSec, std::string& Data) const {
  if (!ThroughWine(ExeName))
    return CallDrvExe(ExeName, ParamsFile, TimeOutSec, Data);
  prefix_->Prepare();
  if (Is32BitWindowsProgram(ExeName))
    prefix_->Require32Bit();
  const std::string result = RunDriverCommand(
      prefix_->Command(ExeName, ParamsFile, TimeOutSec * 1000), ParamsFile, TimeOutSec, Data);
  if (!result.empty())
    prefix_->RenewAfterFailure();
  return result;
}

void DriverHost::CheckPort(const std::string& ExeName, const std::string& port) const {
  if (!ThroughWine(ExeName))
    return;
  prefix_->Prepare();
  const std::vector<ComPort> ports = prefix_->MapPorts();
  if (std::none_of(ports.begin(), ports.end(),
                   [&](const ComPort& mapped) { return mapped.name == port; }))
    throw Exception(NotAComPortText(port, ports));
}

std::string DriverHost::EnumCOMs(const std::string& ExeName, const std::string& Buf) const {
  if (!ThroughWine(ExeName))
    return kestrel::EnumCOMs(Buf);
  TEnumCOMs request;
  BSONToObj(Buf, request, {bsoIgnoreUnknownProperties});
  std::vector<std::string> names;
  for (const auto& port : prefix_->MapPorts())
    names.push_back(port.name);
  // As every listing is sorted: COM10 before COM2.
  std::sort(names.begin(), names.end());
  TEnumCOMsRes answer;
  answer.FCOMs = JoinCOMs(names);
  return ObjToBSON(answer);
}

}  // namespace kestrel

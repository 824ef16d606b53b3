// A driver that is a Windows program, run through Wine where the system does
// not run Windows programs itself: how such a program is told apart, the
// paths it is given, the prefix of Kestrel's own that Wine runs it in (made
// on first use, its wineserver kept alive while Kestrel runs) and the COM
// names that prefix gives the machine's serial ports.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/driver_call.h"

namespace kestrel {

// True for a file that starts "MZ" and holds "PE\0\0" at the offset that its
// 32-bit little-endian value at byte 0x3C names.
bool IsWindowsProgram(const std::string& path);
// True for a Windows program built for 32-bit x86 (PE machine type i386).
bool Is32BitWindowsProgram(const std::string& path);

// The name under which a program run by Wine opens the file `path`: Wine's
// drive Z: is the root folder.
std::string WineDrivePath(std::string_view path);

// One COM name and the serial device (a name under /dev) it reaches.
struct ComPort {
  std::string name;
  std::string device;
};

// COM1, COM2, ... handed out in order to the ttyS<n> among `devices`, then
// the ttyUSB<n>, then the ttyACM<n>, each kind by ascending number; other
// devices get no COM name.
std::vector<ComPort> MapComPorts(const std::vector<std::string>& devices);

// The one-line errors of a driver that Wine cannot run, and of a port that
// such a driver cannot open.
std::string WineMissingText();
std::string Wine32MissingText();
std::string WinePrefixFailedText(const std::string& folder, const std::string& reason);
std::string NotAComPortText(const std::string& port, const std::vector<ComPort>& ports);

// Where this account's prefix lies: the kestrel/wine folder in the account's
// data folder ($XDG_DATA_HOME, else ~/.local/share); "" when the account
// has neither.
std::string DefaultWinePrefixFolder();

// Kestrel's own Wine prefix. Any thread may use it. While it lives after
// Prepare, one wineserver serves the prefix, so that a driver starts without
// waiting for Wine's own start; the destructor ends that server and
// everything still running in the prefix.
class WinePrefix {
 public:
  // `root` stands for "/" when serial devices are looked up (tests use a
  // fake tree).
  explicit WinePrefix(std::string folder, std::string root = "/");
  ~WinePrefix();
  WinePrefix(const WinePrefix&) = delete;
  WinePrefix& operator=(const WinePrefix&) = delete;

  const std::string& Folder() const { return folder_; }

  // Ends the prefix's server and whatever still runs in the prefix; a later
  // Prepare starts them again.
  void Close();

  // Finds Wine, makes the prefix if it has none yet and starts its server;
  // once this has succeeded it does nothing more. Raises Exception with
  // WineMissingText or WinePrefixFailedText.
  void Prepare();

  // After Prepare, for a 32-bit driver: a prefix that Wine made while it
  // lacked its 32-bit part is made anew once Wine has it. Raises Exception
  // with Wine32MissingText while Wine still lacks it, or with
  // WinePrefixFailedText.
  void Require32Bit();

  // After a driver through Wine failed: the prefix is made anew if it lacks
  // the 32-bit part and Wine, which has got that part since, runs nothing
  // in it; so the next command runs. Raises as Prepare does.
  void RenewAfterFailure();

  // The machine's serial ports as COM names now; once the prefix is made,
  // its links for those names point at the devices.
  std::vector<ComPort> MapPorts();

  // Wine running the driver `ExeName` with ParamsFile and `timeout_ms`, both
  // paths as the driver names them. Call after Prepare.
  DriverCommand Command(const std::string& ExeName, const std::string& ParamsFile,
                        int timeout_ms) const;

 private:
  std::vector<std::string> Environment() const;
  void StartServer();
  void MakePrefix();
  bool Lacks32BitPart() const;
  void RenewIfStale();
  void LinkPorts(const std::vector<ComPort>& ports) const;

  const std::string folder_;
  const std::string root_;
  mutable std::mutex mutex_;
  std::string wine_;
  std::string wineserver_;
  bool ready_ = false;
};

// The driver services of the running program: a driver that is a Windows
// program runs through `prefix` where the system cannot run it itself; any
// other runs as it is. The driver file is looked at on every call, so a
// driver replaced meanwhile is run as what it now is.
class DriverHost {
 public:
  explicit DriverHost(std::shared_ptr<WinePrefix> prefix) : prefix_(std::move(prefix)) {}

  bool ThroughWine(const std::string& ExeName) const;
  // CallDrvExe, through Wine where needed.
  std::string Call(const std::string& ExeName, const std::string& ParamsFile, int TimeOutSec,
                   std::string& Data) const;
  // Raises the Wine errors, or NotAComPortText for a port that a driver run
  // through Wine cannot open; accepts every port of any other driver.
  void CheckPort(const std::string& ExeName, const std::string& port) const;
  // The answer to a port listing `Buf`: with a driver run through Wine the
  // COM names of the mapping, else the machine's device names.
  std::string EnumCOMs(const std::string& ExeName, const std::string& Buf) const;
  // Once no driver runs any more: WinePrefix::Close.
  void Close() const { prefix_->Close(); }

 private:
  const std::shared_ptr<WinePrefix> prefix_;
};

}  // namespace kestrel

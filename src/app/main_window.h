// The main window `TfmKestrel`: the program's frame. It starts and stops the
// TCP daemon, owns the log and the lock `CS`, keeps the window's shown or
// hidden state and handles the window's events; the view it drives is a
// platform::WindowHost, so nothing here depends on a toolkit.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/log.h"
#include "platform/window_host.h"

namespace kestrel {

// How the frame drives the TCP daemon without knowing its type. Any of them
// may be empty: then there is no daemon.
struct DaemonFunctions {
  // Creates the daemon on ip:port and starts it; it logs its start itself.
  std::function<void(const std::string& ip, std::uint16_t port)> start;
  // Asks the daemon to terminate and returns at once.
  std::function<void()> terminate;
  // True once the daemon and every connection it accepted have ended, and
  // before it was started.
  std::function<bool()> ended;
  // Creates the status listener on ip:port, which shows `log`, and starts
  // it; `terminate` and `ended` then cover it too. Empty: there is none.
  std::function<void(const std::string& ip, std::uint16_t port, const TLog& log)> start_status;
};

// Set once an update has been stored; the timer then closes the window and the
// program entry runs the updated copy.
extern std::atomic<bool> RestartAfterUpdate;

class TfmKestrel final : public LogListener, public platform::WindowEvents {
 public:
  static constexpr std::uint16_t kDefaultPort = 8080;
  // The status page has no login: it stays on this machine unless told.
  static constexpr char kDefaultStatusIp[] = "127.0.0.1";

  // `args` are the command-line arguments without the program path; `host`
  // must outlive the window.
  TfmKestrel(std::vector<std::string> args, platform::WindowHost& host, DaemonFunctions daemon);
  TfmKestrel(const TfmKestrel&) = delete;
  TfmKestrel& operator=(const TfmKestrel&) = delete;

  std::string GetFromParamStr(std::string_view name, const std::string& def, bool must_be_int);
  // Callable from any thread.
  void WriteLOG(std::string_view msg) { log_.WriteLOG(msg); }
  void Minimize();
  void Restore();
  bool IsMinimized();

  // Reads port and ip and starts the daemon.
  void FormCreate();
  // Terminates the daemon and waits, in 20 ms steps, until it has ended.
  void FormDestroy();
  void FormResize(bool minimized) override;
  void TrayIconClick() override;
  void Timer1Timer() override;

  const TLog& Log() const { return log_; }

 private:
  void LineInserted(const std::string& line) override { host_.InsertLine(line); }
  void OldestLineRemoved() override { host_.RemoveOldestLine(); }
  void BalloonShown(const std::string& text) override { host_.ShowBalloon(text); }
  // The log calls these with CS held.
  void MinimizeRequested() override { MinimizeHoldingCS(); }
  void RestoreRequested() override;
  void MinimizeHoldingCS();
  void RestoreHoldingCS();

  std::uint16_t ReadPort();
  // The status listener's port, nullopt when it is off.
  std::optional<std::uint16_t> ReadStatusPort();
  void StartStatus();
  bool DaemonEnded() const;

  std::vector<std::string> args_;
  platform::WindowHost& host_;
  DaemonFunctions daemon_;
  std::mutex cs_;  // serialises the log and the tray state; not recursive
  TLog log_{cs_};
  bool minimized_ = false;  // guarded by cs_
};

// The main window while `RunKestrel` runs it, else null. Connection threads
// exist only within that time, so they may log through it.
extern std::atomic<TfmKestrel*> fmKestrel;

// `WriteLOG` of the main window; does nothing when there is none.
void WriteMainLOG(std::string_view msg);

// What the program entry is built from. The update steps do nothing until
// the self-update fills them.
struct KestrelHooks {
  DaemonFunctions daemon;
  // True: this process is the temporary update copy and has done its work.
  std::function<bool()> InstallUpdateFiles = [] { return false; };
  std::function<void()> DeleteUpdateLeftovers = [] {};
  std::function<void()> RunUpdatedCopy = [] {};
  // The desktop view, or null when no display can be opened; the console view
  // takes its place then, and when this is empty.
  std::function<std::unique_ptr<platform::WindowHost>(int& argc, char** argv)> desktop_host;
  std::ostream* console_output = nullptr;  // null: standard output
};

// The program entry: the update start-up steps, the main window and its loop,
// the restart after an update. Returns the process exit code.
int RunKestrel(int argc, char** argv, const KestrelHooks& hooks);

}  // namespace kestrel

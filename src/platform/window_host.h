// The view of the main window: a log control, a tray icon and a 1000 ms timer,
// shown on a desktop or, without one, on standard output.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

namespace kestrel::platform {

// The window's event handlers; the host calls them on its UI thread only.
class WindowEvents {
 public:
  virtual void FormResize(bool minimized) = 0;
  virtual void TrayIconClick() = 0;
  virtual void Timer1Timer() = 0;

 protected:
  ~WindowEvents() = default;
};

class WindowHost {
 public:
  virtual ~WindowHost() = default;

  // Callable from any thread without waiting: each operation is handed to the
  // UI thread and carried out there in the order of the calls.
  virtual void InsertLine(const std::string& line) = 0;  // as the new top line
  virtual void RemoveOldestLine() = 0;
  virtual void ShowBalloon(const std::string& text) = 0;
  // Hides the window to the tray; where there is no tray, minimises it.
  virtual void Minimize() = 0;
  // Shows the window, restores it and brings it to the front.
  virtual void Restore() = 0;
  // Takes the window off the task bar into the tray; where there is no tray,
  // leaves it where it is.
  virtual void Hide() = 0;
  // Shows the window as it is, without restoring it.
  virtual void Show() = 0;
  // Ends `Run`; the window stays closed from then on.
  virtual void Close() = 0;

  // UI thread: shows the window and runs the loop until it is closed, by
  // `Close`, by the user, or by SIGINT or SIGTERM (from the host's
  // construction on).
  virtual void Run(WindowEvents& events) = 0;
  // UI thread: carries out the operations handed over so far, so that what is
  // logged after the loop still reaches the view.
  virtual void ProcessQueued() = 0;
};

// The console view: each inserted line goes to `out` on a line of its own;
// balloons, minimising and restoring have nothing to show there. One host at
// a time.
std::unique_ptr<WindowHost> CreateConsoleHost(std::ostream& out);

}  // namespace kestrel::platform

// The desktop view on Qt Widgets: the main window with its read-only log, the
// tray icon with its balloons and the 1000 ms timer.
#pragma once

#include <memory>
#include <string>

#include "platform/window_host.h"

class QPlainTextEdit;
class QSystemTrayIcon;
class QTimer;
class QWidget;

namespace kestrel::platform {

class QtWindowHost final : public WindowHost {
 public:
  // Opens the display that Qt is set to use; `argc` and `argv` must outlive the
  // host. One host at a time, on the thread that becomes the UI thread.
  QtWindowHost(int& argc, char** argv);
  ~QtWindowHost() override;
  QtWindowHost(const QtWindowHost&) = delete;
  QtWindowHost& operator=(const QtWindowHost&) = delete;

  void InsertLine(const std::string& line) override;
  void RemoveOldestLine() override;
  void ShowBalloon(const std::string& text) override;
  void Minimize() override;
  void Hide() override;
  void Show() override;
  void Restore() override;
  void Close() override;
  void Run(WindowEvents& events) override;
  void ProcessQueued() override;

  QWidget& Window();
  QPlainTextEdit& LogControl();
  QSystemTrayIcon& TrayIcon();
  QTimer& Timer();

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace kestrel::platform

// The desktop view on the Windows API itself: the main window with its
// read-only log, the tray icon with its balloons and the 1000 ms timer.
//
// kestrel.exe is built as a console program: whoever starts it from a script,
// a scheduled task or a test reads the console view on its standard output
// and ends it with Ctrl+C (Wine turns SIGINT into that), as on Linux; a
// program for the GUI subsystem could be reached by neither. Started from
// Explorer, the Start menu or at login it gets a console of its own, which it
// gives up as soon as its window is open, so none stays behind.
#include <windows.h>
// after windows.h, which it builds on
#include <shellapi.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "base/ascii.h"
#include "platform/close_signals.h"
#include "platform/desktop_host.h"
#include "platform/win32/kestrel_icon.h"
#include "platform/win32/wide.h"

namespace kestrel::platform {
namespace {

constexpr wchar_t kWindowClass[] = L"KestrelMainWindow";
const char* const kCaption = "Сетевой драйвер принтеров";
const char* const kBalloonTitle = "Ошибка";
constexpr int kClientWidth = 802;
constexpr int kClientHeight = 229;
constexpr UINT kTimerId = 1;
constexpr UINT kTimerIntervalMs = 1000;
constexpr UINT kTrayIconId = 1;
constexpr UINT kRunQueued = WM_APP;
constexpr UINT kTrayNotification = WM_APP + 1;
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kLogStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                            ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL;

// Copies `text` into a fixed-size field of the shell's structures, cut short
// when it does not fit.
template <std::size_t N>
void CopyInto(wchar_t (&field)[N], const std::wstring& text) {
  const std::size_t length = std::min(text.size(), N - 1);
  text.copy(field, length);
  field[length] = L'\0';
}

// A line of the log is one line of the control, whatever it holds.
std::wstring LogLine(const std::string& line) {
  std::wstring text = Wide(line);
  for (wchar_t& c : text) {
    if (c == L'\r' || c == L'\n')
      c = L' ';
  }
  return text;
}

// A session without a visible window station (a service, a task that runs
// while nobody is logged on) has no desktop anybody could see.
bool OnVisibleDesktop() {
  USEROBJECTFLAGS flags{};
  return GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags,
                                   nullptr) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Owns a handle of the window system and gives it back with `Release`.
template <typename Handle, auto Release>
struct Releaser {
  void operator()(Handle handle) const { Release(handle); }
};
template <typename Handle, auto Release>
using Owned = std::unique_ptr<std::remove_pointer_t<Handle>, Releaser<Handle, Release>>;

// The main window's class, registered for as long as the host lives.
class WindowClass {
 public:
  WindowClass(HINSTANCE instance, WNDPROC procedure, HICON big_icon, HICON small_icon)
      : instance_(instance) {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = instance;
    window_class.hIcon = big_icon;
    window_class.hIconSm = small_icon;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = kWindowClass;
    RegisterClassExW(&window_class);
  }
  ~WindowClass() { UnregisterClassW(kWindowClass, instance_); }
  WindowClass(const WindowClass&) = delete;
  WindowClass& operator=(const WindowClass&) = delete;

 private:
  HINSTANCE instance_;
};

// "console" among the arguments asks for the console view on a desktop too:
// a task or a test may run where a desktop exists that nobody looks at.
bool ConsoleViewAsked(int argc, char** argv) {
  for (int index = 1; index < argc; ++index) {
    if (LowerAscii(TrimBlanksAndControls(argv[index])) == "console")
      return true;
  }
  return false;
}

// A console shared with a command prompt stays, so that Ctrl+C there still
// closes the program; one made for this process alone only shows nothing.
void LeaveConsoleOfOurOwn() {
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) == 1)
    FreeConsole();
}

class Win32WindowHost final : public WindowHost {
 public:
  Win32WindowHost();
  ~Win32WindowHost() override;
  Win32WindowHost(const Win32WindowHost&) = delete;
  Win32WindowHost& operator=(const Win32WindowHost&) = delete;

  bool Created() const { return window_ && log_; }

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

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void CreateLog();
  void Centre();
  NOTIFYICONDATAW TrayData(UINT flags) const;
  void AddTrayIcon();
  void Shut();
  void Post(std::function<void()> operation);
  void ShowLines();

  const HINSTANCE instance_ = GetModuleHandleW(nullptr);
  const UINT taskbar_created_ = RegisterWindowMessageW(L"TaskbarCreated");
  const Owned<HICON, DestroyIcon> big_icon_{CreateKestrelIcon(GetSystemMetrics(SM_CXICON))};
  const Owned<HICON, DestroyIcon> small_icon_{CreateKestrelIcon(GetSystemMetrics(SM_CXSMICON))};
  const WindowClass window_class_{instance_, Procedure, big_icon_.get(), small_icon_.get()};
  Owned<HFONT, DeleteObject> font_;
  // Set only once created, so that the messages of its creation are left
  // to the system.
  HWND window_ = nullptr;
  HWND log_ = nullptr;  // owned by window_
  CloseSignals close_signals_;
  std::mutex queue_lock_;
  std::deque<std::function<void()>> queue_;
  WindowEvents* events_ = nullptr;  // while Run runs
  std::deque<std::wstring> lines_;  // newest first
  bool lines_changed_ = false;
  bool tray_shown_ = false;
  bool reported_minimized_ = false;
  bool shown_ = false;
  bool closed_ = false;
};

Win32WindowHost::Win32WindowHost() {
  RECT frame{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0);
  window_ = CreateWindowExW(0, kWindowClass, Wide(kCaption).c_str(), kWindowStyle, CW_USEDEFAULT,
                            CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                            nullptr, nullptr, instance_, this);
  if (window_)
    CreateLog();
}

Win32WindowHost::~Win32WindowHost() {
  if (tray_shown_) {
    NOTIFYICONDATAW data = TrayData(0);
    Shell_NotifyIconW(NIM_DELETE, &data);
  }
  if (window_)
    DestroyWindow(window_);
}

// No length limit of the control's own (by default it stops at 30000
// characters): the log trims itself to its newest lines.
void Win32WindowHost::CreateLog() {
  log_ = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"", kLogStyle, 0, 0, kClientWidth,
                         kClientHeight, window_, nullptr, instance_, nullptr);
  if (!log_)
    return;
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
    font_.reset(CreateFontIndirectW(&metrics.lfMessageFont));
  SendMessageW(log_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  SendMessageW(log_, EM_SETLIMITTEXT, 0, 0);
}

LRESULT CALLBACK Win32WindowHost::Procedure(HWND window, UINT message, WPARAM wparam,
                                            LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
  }
  auto* host = reinterpret_cast<Win32WindowHost*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (host && host->window_ == window)
    return host->Handle(message, wparam, lparam);
  return DefWindowProcW(window, message, wparam, lparam);
}

LRESULT Win32WindowHost::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case kRunQueued:
      ProcessQueued();
      return 0;
    case WM_CLOSE:
      Shut();
      return 0;
    // A read-only edit control is grey by default; the log reads as a page.
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lparam) == log_) {
        SetBkColor(reinterpret_cast<HDC>(wparam), GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      return DefWindowProcW(window_, message, wparam, lparam);
    case WM_SIZE:
      // The window reports sizes also when it merely appears, so only a
      // change between minimised and not counts.
      if (wparam == SIZE_MINIMIZED || wparam == SIZE_RESTORED) {
        const bool minimized = wparam == SIZE_MINIMIZED;
        if (events_ && !closed_ && std::exchange(reported_minimized_, minimized) != minimized)
          events_->FormResize(minimized);
      }
      return 0;
    case WM_TIMER:
      if (wparam == kTimerId && events_ && !closed_)
        events_->Timer1Timer();
      return 0;
    case kTrayNotification:
      if (LOWORD(lparam) == WM_LBUTTONUP && events_ && !closed_)
        events_->TrayIconClick();
      return 0;
    default:
      // A task bar that starts after the program (at login) or again
      // (Explorer restarted) knows none of the tray icons yet.
      if (message == taskbar_created_ && events_ && !closed_) {
        AddTrayIcon();
        return 0;
      }
      return DefWindowProcW(window_, message, wparam, lparam);
  }
}

// Centred in the work area of the monitor the window would appear on.
void Win32WindowHost::Centre() {
  RECT frame;
  GetWindowRect(window_, &frame);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (!GetMonitorInfoW(MonitorFromWindow(window_, MONITOR_DEFAULTTOPRIMARY), &monitor))
    return;
  const RECT& area = monitor.rcWork;
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  SetWindowPos(window_, nullptr, area.left + (area.right - area.left - width) / 2,
               area.top + (area.bottom - area.top - height) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

NOTIFYICONDATAW Win32WindowHost::TrayData(UINT flags) const {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window_;
  data.uID = kTrayIconId;
  data.uFlags = flags;
  return data;
}

void Win32WindowHost::AddTrayIcon() {
  NOTIFYICONDATAW data = TrayData(NIF_MESSAGE | NIF_ICON | NIF_TIP);
  data.uCallbackMessage = kTrayNotification;
  data.hIcon = small_icon_.get();
  CopyInto(data.szTip, Wide(kCaption));
  tray_shown_ = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

void Win32WindowHost::Shut() {
  if (std::exchange(closed_, true))
    return;
  KillTimer(window_, kTimerId);
  if (std::exchange(tray_shown_, false)) {
    NOTIFYICONDATAW data = TrayData(0);
    Shell_NotifyIconW(NIM_DELETE, &data);
  }
  ShowWindow(window_, SW_HIDE);
}

// Queued even on the UI thread, so that every operation keeps its place. One
// message carries every operation waiting when it is handled, so a busy log
// cannot fill the thread's message queue.
void Win32WindowHost::Post(std::function<void()> operation) {
  bool first = false;
  {
    std::lock_guard lock(queue_lock_);
    first = queue_.empty();
    queue_.push_back(std::move(operation));
  }
  if (first)
    PostMessageW(window_, kRunQueued, 0, 0);
}

// The control lays its whole text out again on every change, so it gets the
// lines once per batch rather than once per line.
void Win32WindowHost::ProcessQueued() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(queue_lock_);
    batch.swap(queue_);
  }
  for (auto& operation : batch)
    operation();
  if (std::exchange(lines_changed_, false))
    ShowLines();
}

// Setting the text also shows it from its top, where the newest line is.
void Win32WindowHost::ShowLines() {
  std::wstring text;
  for (const std::wstring& line : lines_) {
    if (&line != &lines_.front())
      text += L"\r\n";
    text += line;
  }
  SetWindowTextW(log_, text.c_str());
}

void Win32WindowHost::InsertLine(const std::string& line) {
  Post([this, text = LogLine(line)]() mutable {
    lines_.push_front(std::move(text));
    lines_changed_ = true;
  });
}

void Win32WindowHost::RemoveOldestLine() {
  Post([this] {
    if (lines_.empty())
      return;
    lines_.pop_back();
    lines_changed_ = true;
  });
}

void Win32WindowHost::ShowBalloon(const std::string& text) {
  Post([this, message = Wide(text)] {
    if (closed_ || !tray_shown_)
      return;
    NOTIFYICONDATAW data = TrayData(NIF_INFO);
    CopyInto(data.szInfoTitle, Wide(kBalloonTitle));
    CopyInto(data.szInfo, message);
    data.dwInfoFlags = NIIF_ERROR;
    Shell_NotifyIconW(NIM_MODIFY, &data);
  });
}

// Without a tray a hidden window could not be reached again, so it only
// goes to the task bar.
void Win32WindowHost::Minimize() {
  Post([this] {
    if (closed_)
      return;
    ShowWindow(window_, SW_MINIMIZE);
    if (tray_shown_)
      ShowWindow(window_, SW_HIDE);
  });
}

void Win32WindowHost::Hide() {
  Post([this] {
    if (!closed_ && tray_shown_)
      ShowWindow(window_, SW_HIDE);
  });
}

void Win32WindowHost::Show() {
  Post([this] {
    if (!closed_)
      ShowWindow(window_, SW_SHOW);
  });
}

void Win32WindowHost::Restore() {
  Post([this] {
    if (closed_)
      return;
    ShowWindow(window_, SW_RESTORE);
    SetForegroundWindow(window_);
  });
}

void Win32WindowHost::Close() {
  Post([this] { Shut(); });
}

// Waits for window messages and for the close signals at once; a close
// signal closes the window as the user would.
void Win32WindowHost::Run(WindowEvents& events) {
  if (closed_)
    return;
  events_ = &events;
  if (!std::exchange(shown_, true))
    Centre();
  ShowWindow(window_, SW_SHOW);
  AddTrayIcon();
  SetTimer(window_, kTimerId, kTimerIntervalMs, nullptr);
  const auto signal_event = reinterpret_cast<HANDLE>(close_signals_.WaitHandle());
  while (!closed_) {
    const DWORD woken =
        MsgWaitForMultipleObjectsEx(1, &signal_event, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woken == WAIT_OBJECT_0 && close_signals_.TakeSignal())
      Shut();
    MSG message;
    while (!closed_ && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  events_ = nullptr;
}

}  // namespace

std::unique_ptr<WindowHost> CreateDesktopHost(int& argc, char** argv) {
  if (ConsoleViewAsked(argc, argv) || !OnVisibleDesktop())
    return nullptr;
  auto host = std::make_unique<Win32WindowHost>();
  if (!host->Created())
    return nullptr;
  LeaveConsoleOfOurOwn();
  return host;
}

}  // namespace kestrel::platform

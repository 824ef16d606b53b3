#include "platform/close_signals.h"

#include <windows.h>

#include <atomic>
#include <future>
#include <thread>

namespace kestrel::platform {
namespace {

// Read by the system's handler threads, so atomics only.
std::atomic<bool> signalled{false};
std::atomic<HANDLE> wake_event{nullptr};

constexpr wchar_t kListenerClass[] = L"KestrelCloseRequests";
constexpr UINT kStopListening = WM_APP;

void RaiseCloseSignal() {
  signalled = true;
  if (const HANDLE event = wake_event.load())
    SetEvent(event);
}

// Set once the close signals are let go, which is after the program has
// closed its window and answered its last request. Created once and never
// closed: a handler of the system's may still be waiting on it then.
HANDLE ReleasedEvent() {
  static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

// The system ends the process as soon as a handler returns from closing the
// console, logging off or shutting down (or when its grace period runs out),
// so the handler holds on until the program has closed down.
void HoldOnUntilReleased() {
  WaitForSingleObject(ReleasedEvent(), INFINITE);
}

BOOL WINAPI OnConsoleControl(DWORD event) {
  RaiseCloseSignal();
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
    HoldOnUntilReleased();
  return TRUE;
}

// A hidden top-level window: what `taskkill` without /F and the end of the
// session send to a program without a console, WM_CLOSE and WM_ENDSESSION,
// become the close signal here too.
LRESULT CALLBACK ListenerProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CLOSE:
      RaiseCloseSignal();
      return 0;
    case WM_ENDSESSION:
      if (wparam) {
        RaiseCloseSignal();
        HoldOnUntilReleased();
      }
      return 0;
    case kStopListening:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

// Without a desktop to create windows on, only the console's events are left.
HWND CreateListenerWindow() {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = ListenerProcedure;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = kListenerClass;
  RegisterClassExW(&window_class);
  return CreateWindowExW(WS_EX_TOOLWINDOW, kListenerClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                         nullptr, window_class.hInstance, nullptr);
}

void RunListener(std::promise<HWND>& created) {
  const HWND window = CreateListenerWindow();
  created.set_value(window);
  if (!window)
    return;
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0)
    DispatchMessageW(&message);
}

}  // namespace

struct CloseSignals::Pipe {
  Pipe() : event(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~Pipe() {
    if (event)
      CloseHandle(event);
  }

  HANDLE event;
  std::thread listener;
  HWND listener_window = nullptr;
};

CloseSignals::CloseSignals() : pipe_(std::make_unique<Pipe>()) {
  signalled = false;
  ResetEvent(ReleasedEvent());
  wake_event = pipe_->event;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  std::promise<HWND> created;
  pipe_->listener = std::thread(RunListener, std::ref(created));
  pipe_->listener_window = created.get_future().get();
}

CloseSignals::~CloseSignals() {
  SetEvent(ReleasedEvent());
  if (pipe_->listener_window)
    PostMessageW(pipe_->listener_window, kStopListening, 0, 0);
  pipe_->listener.join();
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  wake_event = nullptr;
}

std::intptr_t CloseSignals::WaitHandle() const {
  return reinterpret_cast<std::intptr_t>(pipe_->event);
}

void CloseSignals::Wake() {
  SetEvent(pipe_->event);
}

void CloseSignals::Wait(int timeout_ms) {
  WaitForSingleObject(pipe_->event, static_cast<DWORD>(timeout_ms));
}

bool CloseSignals::TakeSignal() {
  return signalled.exchange(false);
}

}  // namespace kestrel::platform

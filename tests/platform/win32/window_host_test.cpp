// The Windows desktop view, seen through the Windows API as a user would see
// it. Built only for Windows, and needs a desktop (under Wine, an X server).
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "app/main_window.h"
#include "platform/desktop_host.h"

namespace kestrel::platform {
namespace {

class RecordingEvents final : public WindowEvents {
 public:
  void FormResize(bool) override {}
  void TrayIconClick() override {}
  void Timer1Timer() override {
    if (on_tick)
      on_tick();
  }

  std::function<void()> on_tick;
};

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

std::wstring TextOf(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), text.size())));
  return text;
}

// The top-level window of class `name` that this process owns.
HWND WindowOfThisProcess(const std::wstring& name) {
  struct Search {
    std::wstring name;
    HWND found = nullptr;
  } search{name};
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        auto& search = *reinterpret_cast<Search*>(context);
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId() && ClassOf(window) == search.name)
          search.found = window;
        return search.found == nullptr;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

class Win32WindowHostTest : public ::testing::Test {
 protected:
  Win32WindowHostTest() : host(CreateDesktopHost(argc, argv)) {}

  void SetUp() override {
    ASSERT_TRUE(host) << "no desktop to open the window on";
    window = WindowOfThisProcess(L"KestrelMainWindow");
    log = FindWindowExW(window, nullptr, L"EDIT", nullptr);
    ASSERT_TRUE(window && log);
  }

  // Runs the loop, closing the view after 15 seconds if nothing else does;
  // false when it had to.
  bool RunBounded() {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    bool timed_out = false;
    std::thread watchdog([&] {
      std::unique_lock wait(lock);
      timed_out = !ended.wait_for(wait, std::chrono::seconds(15), [&] { return done; });
      if (timed_out)
        host->Close();
    });
    host->Run(events);
    {
      std::lock_guard set(lock);
      done = true;
    }
    ended.notify_one();
    watchdog.join();
    return !timed_out;
  }

  char name[8] = "kestrel";
  char* argv[2] = {name, nullptr};
  int argc = 1;
  std::unique_ptr<WindowHost> host;
  RecordingEvents events;
  HWND window = nullptr;
  HWND log = nullptr;
};

TEST_F(Win32WindowHostTest, WindowHasItsCaptionFixedSizeAndReadOnlyLog) {
  events.on_tick = [&] {
    EXPECT_EQ(TextOf(window), L"Сетевой драйвер принтеров");
    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right - client.left, 802);
    EXPECT_EQ(client.bottom - client.top, 229);
    const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
    EXPECT_TRUE(IsWindowVisible(window));
    RECT area{};
    GetWindowRect(log, &area);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&area), 2);
    EXPECT_TRUE(EqualRect(&area, &client));
    EXPECT_NE(GetWindowLongPtrW(log, GWL_STYLE) & ES_READONLY, 0);
    EXPECT_NE(GetClassLongPtrW(window, GCLP_HICON), 0u);
    host->Close();
  };
  EXPECT_TRUE(RunBounded());
}

TEST_F(Win32WindowHostTest, LinesAreShownNewestFirstAndTrimmedAtTheBottom) {
  host->InsertLine("first");
  host->InsertLine("");
  host->InsertLine("третья");
  host->ProcessQueued();
  EXPECT_EQ(TextOf(log), L"третья\r\n\r\nfirst");
  host->RemoveOldestLine();
  host->ProcessQueued();
  EXPECT_EQ(TextOf(log), L"третья\r\n");
  for (int n = 0; n < 3; ++n)
    host->RemoveOldestLine();
  host->InsertLine("again");
  host->ProcessQueued();
  EXPECT_EQ(TextOf(log), L"again");
}

TEST_F(Win32WindowHostTest, LogKeepsTheNewestThousandLines) {
  TfmKestrel form({}, *host, {});
  for (int n = 1; n <= 1001; ++n)
    form.WriteLOG("$line " + std::to_string(n));
  host->ProcessQueued();
  const std::wstring text = TextOf(log);
  EXPECT_EQ(SendMessageW(log, EM_GETLINECOUNT, 0, 0), 1000);
  EXPECT_TRUE(text.starts_with(L"line 1001\r\nline 1000\r\n"));
  EXPECT_TRUE(text.ends_with(L"\r\nline 2"));
}

// The start on the default address hides the window to the tray; an error
// brings it back, through the window's own minimise and restore reports.
TEST_F(Win32WindowHostTest, DefaultStartHidesTheWindowAndAnErrorRestoresIt) {
  TfmKestrel form({}, *host, {});
  int tick = 0;
  events.on_tick = [&] {
    switch (++tick) {
      case 1:
        form.WriteLOG("Started at 0.0.0.0:8080");
        break;
      case 2:
        EXPECT_TRUE(form.IsMinimized());
        EXPECT_FALSE(IsWindowVisible(window));
        form.WriteLOG("Bind 10048 Address already in use");
        break;
      default:
        EXPECT_FALSE(form.IsMinimized());
        EXPECT_TRUE(IsWindowVisible(window));
        EXPECT_FALSE(IsIconic(window));
        host->Close();
    }
  };
  EXPECT_TRUE(RunBounded());
}

// What another thread hands over arrives in order, and a close message ends
// the loop as closing the window does.
TEST_F(Win32WindowHostTest, CloseMessageEndsTheLoopAfterQueuedLines) {
  std::thread writer([&] {
    for (int n = 0; n < 500; ++n)
      host->InsertLine(std::to_string(n));
    PostMessageW(window, WM_CLOSE, 0, 0);
  });
  EXPECT_TRUE(RunBounded());
  writer.join();
  host->ProcessQueued();
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(SendMessageW(log, EM_GETLINECOUNT, 0, 0), 500);
  EXPECT_TRUE(TextOf(log).starts_with(L"499\r\n498\r\n"));
}

// `taskkill` without /F sends WM_CLOSE to every top-level window of the
// process, the hidden one of the close signals as well.
TEST_F(Win32WindowHostTest, CloseMessageToTheHiddenListenerEndsTheLoop) {
  const HWND listener = WindowOfThisProcess(L"KestrelCloseRequests");
  ASSERT_TRUE(listener);
  events.on_tick = [&] { PostMessageW(listener, WM_CLOSE, 0, 0); };
  EXPECT_TRUE(RunBounded());
  EXPECT_FALSE(IsWindowVisible(window));
}

TEST(Win32DesktopHost, ConsoleArgumentAsksForTheConsoleView) {
  char name[] = "kestrel";
  char port[] = "port:9100";
  char console[] = " Console ";
  char* argv[] = {name, port, console, nullptr};
  int argc = 3;
  EXPECT_EQ(CreateDesktopHost(argc, argv), nullptr);
}

}  // namespace
}  // namespace kestrel::platform

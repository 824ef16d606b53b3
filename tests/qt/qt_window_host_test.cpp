#include "platform/qt/qt_window_host.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/main_window.h"

namespace kestrel::platform {
namespace {

// Records the window's events; optionally reacts to the first timer tick.
class RecordingEvents final : public WindowEvents {
 public:
  void FormResize(bool minimized) override { resized.push_back(minimized); }
  void TrayIconClick() override { ++tray_clicks; }
  void Timer1Timer() override {
    ++ticks;
    if (on_tick)
      on_tick();
  }

  std::vector<bool> resized;
  int tray_clicks = 0;
  int ticks = 0;
  std::function<void()> on_tick;
};

class QtWindowHostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
      qputenv("QT_QPA_PLATFORM", "offscreen");
  }

  QtWindowHostTest() : host(argc, argv) {}

  // Runs the loop until `then` has run and the view has closed; a loop that
  // does not close by itself is closed after five seconds.
  void RunThen(std::function<void()> then) {
    QTimer::singleShot(0, &host.Window(), [this, then] {
      then();
      host.Close();
    });
    QTimer::singleShot(5000, &host.Window(), [this] { host.Close(); });
    host.Run(events);
  }

  QString Text() { return host.LogControl().toPlainText(); }

  char name[8] = "kestrel";
  char* argv[2] = {name, nullptr};
  int argc = 1;
  QtWindowHost host;
  RecordingEvents events;
};

TEST_F(QtWindowHostTest, WindowHasItsCaptionAndFixedClientSize) {
  QWidget& window = host.Window();
  EXPECT_EQ(window.windowTitle().toStdString(), "Сетевой драйвер принтеров");
  EXPECT_EQ(window.size(), QSize(802, 229));
  EXPECT_EQ(window.minimumSize(), QSize(802, 229));
  EXPECT_EQ(window.maximumSize(), QSize(802, 229));
}

TEST_F(QtWindowHostTest, LogIsReadOnlyWithoutWrapAndFillsTheWindow) {
  QPlainTextEdit& log = host.LogControl();
  EXPECT_TRUE(log.isReadOnly());
  EXPECT_FALSE(log.isUndoRedoEnabled());
  EXPECT_EQ(log.lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(log.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(log.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  RunThen([&] { EXPECT_EQ(log.geometry(), host.Window().rect()); });
}

TEST_F(QtWindowHostTest, WindowAndTrayShowTheSamePicture) {
  const QIcon window_icon = host.Window().windowIcon();
  ASSERT_FALSE(window_icon.isNull());
  EXPECT_EQ(window_icon.cacheKey(), host.TrayIcon().icon().cacheKey());
  EXPECT_FALSE(window_icon.pixmap(32, 32).isNull());
  EXPECT_EQ(host.TrayIcon().toolTip().toStdString(), "Сетевой драйвер принтеров");
}

TEST_F(QtWindowHostTest, WindowIsCentredAtFirstShow) {
  RunThen([&] {
    const QRect area = host.Window().screen()->availableGeometry();
    const QPoint offset = host.Window().geometry().center() - area.center();
    EXPECT_LE(offset.manhattanLength(), 2);
    EXPECT_TRUE(host.Window().isVisible());
  });
}

TEST_F(QtWindowHostTest, LinesAreShownNewestFirstAndTrimmedAtTheBottom) {
  host.InsertLine("first");
  host.InsertLine("");
  host.InsertLine("third");
  host.ProcessQueued();
  EXPECT_EQ(Text(), "third\n\nfirst");
  host.RemoveOldestLine();
  host.ProcessQueued();
  EXPECT_EQ(Text(), "third\n");
  host.RemoveOldestLine();
  host.RemoveOldestLine();
  host.RemoveOldestLine();
  host.InsertLine("again");
  host.ProcessQueued();
  EXPECT_EQ(Text(), "again");
}

TEST_F(QtWindowHostTest, OperationsFromAnotherThreadKeepTheirOrder) {
  std::thread writer([&] {
    for (int n = 0; n < 500; ++n)
      host.InsertLine(std::to_string(n));
    host.RemoveOldestLine();
    host.Close();
  });
  QTimer::singleShot(5000, &host.Window(), [this] { host.Close(); });
  host.Run(events);
  writer.join();
  const QStringList lines = Text().split('\n');
  ASSERT_EQ(lines.size(), 499);
  for (int i = 0; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].toInt(), 499 - i);
}

TEST_F(QtWindowHostTest, TimerTicksOnTheUiThread) {
  EXPECT_EQ(host.Timer().interval(), 1000);
  const std::thread::id ui_thread = std::this_thread::get_id();
  events.on_tick = [&] {
    EXPECT_EQ(std::this_thread::get_id(), ui_thread);
    host.Close();
  };
  QTimer::singleShot(5000, &host.Window(), [this] { host.Close(); });
  host.Run(events);
  EXPECT_EQ(events.ticks, 1);
}

// Runs the events until `done` has held for half a second without a break,
// for five seconds at most, so that late reports have come in.
bool SettlesTo(const std::function<bool()>& done) {
  QElapsedTimer waited, held;
  waited.start();
  held.start();
  while (waited.elapsed() < 5000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!done())
      held.restart();
    else if (held.elapsed() >= 500)
      return true;
  }
  return false;
}

// Without a tray a hidden window could not be found again. The window
// system's reports of the changes may come late; the window ends as asked.
TEST_F(QtWindowHostTest, MinimiseKeepsTheWindowReachableWithoutTray) {
  if (QSystemTrayIcon::isSystemTrayAvailable())
    GTEST_SKIP() << "this platform has a tray";
  TfmKestrel form({}, host, {});
  QWidget& window = host.Window();
  RunThen([&] {
    form.WriteLOG("Started at 0.0.0.0:8080");
    EXPECT_TRUE(SettlesTo([&] { return window.isMinimized() && form.IsMinimized(); }));
    EXPECT_TRUE(window.isVisible());
    form.WriteLOG("Bind 98 Address already in use");
    EXPECT_TRUE(SettlesTo([&] { return !window.isMinimized() && !form.IsMinimized(); }));
    EXPECT_TRUE(window.isVisible());
  });
}

TEST_F(QtWindowHostTest, TrayClickAndStateChangesReachTheEvents) {
  RunThen([&] {
    emit host.TrayIcon().activated(QSystemTrayIcon::Context);
    emit host.TrayIcon().activated(QSystemTrayIcon::Trigger);
    host.Window().showMinimized();
  });
  EXPECT_EQ(events.tray_clicks, 1);
  ASSERT_FALSE(events.resized.empty());
  EXPECT_TRUE(events.resized.front());
}

TEST_F(QtWindowHostTest, TerminationSignalClosesTheWindow) {
  QTimer::singleShot(0, &host.Window(), [] { std::raise(SIGTERM); });
  QTimer::singleShot(5000, &host.Window(), [this] { host.Close(); });
  QElapsedTimer ran;
  ran.start();
  host.Run(events);
  EXPECT_LT(ran.elapsed(), 4000) << "closed by the time-out, not by the signal";
  EXPECT_FALSE(host.Window().isVisible());
}

TEST_F(QtWindowHostTest, ClosingTheWindowEndsTheLoop) {
  QTimer::singleShot(0, &host.Window(), [this] { host.Window().close(); });
  QTimer::singleShot(5000, &host.Window(), [this] { host.Close(); });
  host.Run(events);
  EXPECT_EQ(events.ticks, 0);
  host.Restore();
  host.ProcessQueued();
  EXPECT_FALSE(host.Window().isVisible()) << "a closed window stays closed";
}

TEST_F(QtWindowHostTest, MainWindowLogShowsTheNewestThousandLines) {
  TfmKestrel form({}, host, {});
  std::thread writer([&] {
    for (int n = 1; n <= 1001; ++n)
      form.WriteLOG("$line " + std::to_string(n));
    host.Close();
  });
  QTimer::singleShot(5000, &host.Window(), [this] { host.Close(); });
  host.Run(form);
  writer.join();
  const QStringList lines = Text().split('\n');
  ASSERT_EQ(lines.size(), 1000);
  EXPECT_EQ(lines.front(), "line 1001");
  EXPECT_EQ(lines.back(), "line 2");
}

}  // namespace
}  // namespace kestrel::platform

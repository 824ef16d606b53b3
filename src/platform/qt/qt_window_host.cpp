#include "platform/qt/qt_window_host.h"

#include <QApplication>
#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSocketNotifier>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <functional>
#include <utility>

#include "platform/close_signals.h"
#include "platform/desktop_host.h"
#include "platform/qt/display.h"
#include "platform/qt/kestrel_icon.h"

namespace kestrel::platform {
namespace {

const char* const kCaption = "Сетевой драйвер принтеров";
const char* const kBalloonTitle = "Ошибка";
constexpr QSize kClientSize(802, 229);
constexpr int kTimerIntervalMs = 1000;

// The main window reports its state changes and its closing to the host.
class MainWindow final : public QWidget {
 public:
  std::function<void(bool minimized)> on_state_change;
  std::function<void()> on_close;

 protected:
  void changeEvent(QEvent* event) override {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && on_state_change)
      on_state_change(isMinimized());
  }
  void closeEvent(QCloseEvent* event) override {
    event->accept();
    if (on_close)
      on_close();
  }
};

}  // namespace

struct QtWindowHost::Parts {
  Parts(int& argc, char** argv)
      : app(argc, argv), signal_notifier(close_signals.WaitHandle(), QSocketNotifier::Read) {}

  void Build();
  void BuildLog();
  void Connect();
  void Centre();
  void Shut();
  void Post(std::function<void()> operation);

  QApplication app;
  QIcon icon;
  MainWindow window;
  QPlainTextEdit* log = nullptr;  // owned by window
  QSystemTrayIcon tray;
  QTimer timer;
  CloseSignals close_signals;
  QSocketNotifier signal_notifier;
  WindowEvents* events = nullptr;  // while Run runs
  int line_count = 0;
  bool closed = false;
  bool shown = false;
};

void QtWindowHost::Parts::Build() {
  app.setQuitOnLastWindowClosed(false);
  icon = KestrelIcon();
  window.setWindowTitle(QString::fromUtf8(kCaption));
  window.setWindowIcon(icon);
  window.setFixedSize(kClientSize);
  BuildLog();
  tray.setIcon(icon);
  tray.setToolTip(QString::fromUtf8(kCaption));
  timer.setInterval(kTimerIntervalMs);
  Connect();
}

// The log never keeps an undo history: it runs for months.
void QtWindowHost::Parts::BuildLog() {
  auto* layout = new QVBoxLayout(&window);
  layout->setContentsMargins(0, 0, 0, 0);
  log = new QPlainTextEdit(&window);
  log->setReadOnly(true);
  log->setUndoRedoEnabled(false);
  log->setLineWrapMode(QPlainTextEdit::NoWrap);
  log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  layout->addWidget(log);
}

void QtWindowHost::Parts::Connect() {
  window.on_state_change = [this](bool minimized) {
    if (events && !closed)
      events->FormResize(minimized);
  };
  window.on_close = [this] { Shut(); };
  QObject::connect(&tray, &QSystemTrayIcon::activated,
                   [this](QSystemTrayIcon::ActivationReason why) {
                     if (why == QSystemTrayIcon::Trigger && events && !closed)
                       events->TrayIconClick();
                   });
  QObject::connect(&signal_notifier, &QSocketNotifier::activated, [this] {
    close_signals.Wait(0);
    if (close_signals.TakeSignal())
      window.close();
  });
  QObject::connect(&timer, &QTimer::timeout, [this] {
    if (events && !closed)
      events->Timer1Timer();
  });
}

void QtWindowHost::Parts::Centre() {
  const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
  if (screen) {
    window.setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window.size(),
                                           screen->availableGeometry()));
  }
}

void QtWindowHost::Parts::Shut() {
  closed = true;
  timer.stop();
  tray.hide();
  app.quit();
}

// Queued even on the UI thread, so that every operation keeps its place.
void QtWindowHost::Parts::Post(std::function<void()> operation) {
  QMetaObject::invokeMethod(&window, std::move(operation), Qt::QueuedConnection);
}

QtWindowHost::QtWindowHost(int& argc, char** argv) : parts_(std::make_unique<Parts>(argc, argv)) {
  parts_->Build();
}

QtWindowHost::~QtWindowHost() = default;

// Lines go in at the top; the block count alone cannot tell an empty log from
// one empty line, hence the count of our own.
void QtWindowHost::InsertLine(const std::string& line) {
  parts_->Post([parts = parts_.get(), text = QString::fromStdString(line)] {
    QTextCursor cursor(parts->log->document());
    cursor.movePosition(QTextCursor::Start);
    cursor.insertText(text);
    if (parts->line_count++ > 0)
      cursor.insertBlock();
  });
}

void QtWindowHost::RemoveOldestLine() {
  parts_->Post([parts = parts_.get()] {
    if (parts->line_count == 0)
      return;
    QTextDocument* document = parts->log->document();
    QTextCursor cursor(document);
    if (--parts->line_count == 0) {
      document->clear();
      return;
    }
    cursor.setPosition(document->lastBlock().position() - 1);
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
  });
}

void QtWindowHost::ShowBalloon(const std::string& text) {
  parts_->Post([parts = parts_.get(), message = QString::fromStdString(text)] {
    if (!parts->closed && parts->tray.isVisible())
      parts->tray.showMessage(QString::fromUtf8(kBalloonTitle), message, QSystemTrayIcon::Critical);
  });
}

// Without a tray a hidden window could not be reached again, so it only
// goes to the task bar.
void QtWindowHost::Minimize() {
  parts_->Post([parts = parts_.get()] {
    if (parts->closed)
      return;
    parts->window.showMinimized();
    if (parts->tray.isVisible())
      parts->window.hide();
  });
}

void QtWindowHost::Hide() {
  parts_->Post([parts = parts_.get()] {
    if (!parts->closed && parts->tray.isVisible())
      parts->window.hide();
  });
}

void QtWindowHost::Show() {
  parts_->Post([parts = parts_.get()] {
    if (!parts->closed)
      parts->window.show();
  });
}

void QtWindowHost::Restore() {
  parts_->Post([parts = parts_.get()] {
    if (parts->closed)
      return;
    parts->window.showNormal();
    parts->window.raise();
    parts->window.activateWindow();
  });
}

void QtWindowHost::Close() {
  parts_->Post([parts = parts_.get()] {
    parts->window.close();
    parts->Shut();
  });
}

void QtWindowHost::Run(WindowEvents& events) {
  if (parts_->closed)
    return;
  parts_->events = &events;
  if (!std::exchange(parts_->shown, true))
    parts_->Centre();
  parts_->window.show();
  if (QSystemTrayIcon::isSystemTrayAvailable())
    parts_->tray.show();
  parts_->timer.start();
  parts_->app.exec();
  parts_->events = nullptr;
}

void QtWindowHost::ProcessQueued() {
  QCoreApplication::sendPostedEvents(&parts_->window);
}

QWidget& QtWindowHost::Window() {
  return parts_->window;
}

QPlainTextEdit& QtWindowHost::LogControl() {
  return *parts_->log;
}

QSystemTrayIcon& QtWindowHost::TrayIcon() {
  return parts_->tray;
}

QTimer& QtWindowHost::Timer() {
  return parts_->timer;
}

// The display that DISPLAY or WAYLAND_DISPLAY names, or the platform that
// QT_QPA_PLATFORM names. Qt ends the process when it cannot open its platform,
// so the display is tried first and Qt is told which kind it is.
std::unique_ptr<WindowHost> CreateDesktopHost(int& argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    switch (UsableDisplay()) {
      case DisplayKind::kNone:
        return nullptr;
      case DisplayKind::kX11:
        qputenv("QT_QPA_PLATFORM", "xcb");
        break;
      case DisplayKind::kWayland:
        qputenv("QT_QPA_PLATFORM", "wayland");
        break;
    }
  }
  return std::make_unique<QtWindowHost>(argc, argv);
}

}  // namespace kestrel::platform

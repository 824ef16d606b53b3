#include "app/main_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "support/processes.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using Ops = std::vector<std::string>;

// A view that records the operations it is handed, from any thread.
class RecordingHost final : public platform::WindowHost {
 public:
  void InsertLine(const std::string& line) override { Record("line:" + line); }
  void RemoveOldestLine() override { Record("remove"); }
  void ShowBalloon(const std::string& text) override { Record("balloon:" + text); }
  void Minimize() override { Record("minimize"); }
  void Restore() override { Record("restore"); }
  void Hide() override { Record("hide"); }
  void Show() override { Record("show"); }
  void Close() override { Record("close"); }
  void Run(platform::WindowEvents&) override {}
  void ProcessQueued() override { ++processed; }

  Ops Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(ops_, {});
  }

  std::atomic<int> processed{0};

 private:
  void Record(std::string op) {
    std::lock_guard lock(mutex_);
    ops_.push_back(std::move(op));
  }
  std::mutex mutex_;
  Ops ops_;
};

// A daemon that records how it was started and ends `linger` after it is
// asked to terminate, from a thread of its own, logging on the way out.
class FakeDaemon {
 public:
  explicit FakeDaemon(std::chrono::milliseconds linger = 0ms) : linger_(linger) {}
  ~FakeDaemon() {
    if (thread_.joinable())
      thread_.join();
  }

  DaemonFunctions Functions(TfmKestrel*& form) {
    return {[this, &form](const std::string& ip, std::uint16_t port) {
              started_ip = ip;
              started_port = port;
              running = true;
              form->WriteLOG("Started at " + ip + ":" + std::to_string(port));
            },
            [this, &form] {
              ++terminate_calls;
              thread_ = std::thread([this, &form] {
                std::this_thread::sleep_for(linger_);
                form->WriteLOG("$stopped");
                running = false;
              });
            },
            [this] { return !running; },
            [this](const std::string& ip, std::uint16_t port, const TLog&) {
              status_started = ip + ":" + std::to_string(port);
            }};
  }

  std::string started_ip;
  int started_port = -1;
  std::string status_started;  // "ip:port" of the status listener, empty while off
  std::atomic<bool> running{false};
  std::atomic<int> terminate_calls{0};

 private:
  std::chrono::milliseconds linger_;
  std::thread thread_;
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { RestartAfterUpdate = false; }
  void TearDown() override { RestartAfterUpdate = false; }

  // Creates the window with `args`, runs FormCreate and returns the view's
  // operations so far.
  Ops Create(std::vector<std::string> args) {
    window = std::make_unique<TfmKestrel>(std::move(args), host, daemon.Functions(form));
    form = window.get();
    window->FormCreate();
    return host.Take();
  }

  RecordingHost host;
  FakeDaemon daemon{150ms};
  TfmKestrel* form = nullptr;
  std::unique_ptr<TfmKestrel> window;
};

TEST_F(MainWindowTest, DefaultsStartTheDaemonAndHideTheWindow) {
  EXPECT_EQ(Create({}), (Ops{"line:Started at 0.0.0.0:8080", "minimize"}));
  EXPECT_EQ(daemon.started_ip, "0.0.0.0");
  EXPECT_EQ(daemon.started_port, 8080);
  EXPECT_TRUE(window->IsMinimized());
}

TEST_F(MainWindowTest, AddressAndPortComeFromTheArguments) {
  const Ops ops = Create({"IP:127.0.0.1", "PORT:9000", "port:9001"});
  EXPECT_EQ(daemon.started_ip, "127.0.0.1");
  EXPECT_EQ(daemon.started_port, 9000);
  EXPECT_EQ(ops, (Ops{"line:Started at 127.0.0.1:9000", "balloon:Started at 127.0.0.1:9000"}));
  EXPECT_FALSE(window->IsMinimized());
}

TEST_F(MainWindowTest, InvalidPortIsLoggedAndTheDefaultUsed) {
  const Ops ops = Create({"port:abc"});
  EXPECT_EQ(daemon.started_port, 8080);
  EXPECT_EQ(ops.front(), "line:Неверное значение параметра port: abc");
  EXPECT_EQ(window->Log().Lines().back(), "Неверное значение параметра port: abc");
}

TEST_F(MainWindowTest, PortsOutsideTheRangeAreLoggedAndTheDefaultUsed) {
  for (const char* value : {"0", "-1", "65536", "4294967297", "9223372036854775807"}) {
    const Ops ops = Create({std::string("port:") + value});
    EXPECT_EQ(daemon.started_port, 8080) << value;
    EXPECT_EQ(ops.front(), std::string("line:Неверное значение параметра port: ") + value);
  }
}

TEST_F(MainWindowTest, StatusListenerOnlyWithItsPortOnThisMachineUnlessTold) {
  Create({});
  EXPECT_EQ(daemon.status_started, "");
  Create({"status:8081"});
  EXPECT_EQ(daemon.status_started, "127.0.0.1:8081");
  Create({"STATUSIP:10.0.0.5", "Status:9000"});
  EXPECT_EQ(daemon.status_started, "10.0.0.5:9000");
  daemon.status_started.clear();
  Create({"status:70000"});
  EXPECT_EQ(window->Log().Lines().front(), "Неверное значение параметра status: 70000");
  EXPECT_EQ(daemon.status_started, "");
}

TEST_F(MainWindowTest, PortsAtTheEdgesOfTheRangeAreTaken) {
  Create({"port:1"});
  EXPECT_EQ(daemon.started_port, 1);
  Create({"port:+65535"});
  EXPECT_EQ(daemon.started_port, 65535);
}

TEST_F(MainWindowTest, DaemonThatCannotBeCreatedIsLogged) {
  TfmKestrel window(
      {}, host,
      {[](const std::string&, std::uint16_t) { throw Exception("Не удалось создать поток"); },
       {},
       {},
       {}});
  window.FormCreate();
  EXPECT_EQ(window.Log().Lines(), std::vector<std::string>{"Не удалось создать поток"});
}

TEST_F(MainWindowTest, FormDestroyWaitsUntilTheDaemonHasEnded) {
  Create({});
  window->FormDestroy();
  EXPECT_EQ(daemon.terminate_calls, 1);
  EXPECT_FALSE(daemon.running);
  EXPECT_EQ(window->Log().Lines().front(), "stopped");
  EXPECT_GE(host.processed, 1);
}

TEST_F(MainWindowTest, FormDestroyWithoutDaemonReturns) {
  TfmKestrel window({}, host, {});
  window.FormCreate();
  window.FormDestroy();
  EXPECT_EQ(host.processed, 1);
}

TEST_F(MainWindowTest, FormDestroyDoesNotTerminateAnEndedDaemon) {
  Create({});
  daemon.running = false;
  window->FormDestroy();
  EXPECT_EQ(daemon.terminate_calls, 0);
}

TEST_F(MainWindowTest, TimerClosesOnlyAfterAnUpdate) {
  Create({});
  window->Timer1Timer();
  EXPECT_EQ(host.Take(), Ops{});
  RestartAfterUpdate = true;
  window->Timer1Timer();
  EXPECT_EQ(host.Take(), Ops{"close"});
}

TEST_F(MainWindowTest, NoticeDoesNotRestoreAHiddenWindowButAnAlertDoes) {
  Create({});
  window->WriteLOG("$Версия драйвера 5");
  EXPECT_EQ(host.Take(), (Ops{"line:Версия драйвера 5", "balloon:Версия драйвера 5"}));
  EXPECT_TRUE(window->IsMinimized());
  window->WriteLOG("Версия драйвера 5");
  EXPECT_EQ(host.Take(), (Ops{"line:Версия драйвера 5", "balloon:Версия драйвера 5", "restore"}));
  EXPECT_FALSE(window->IsMinimized());
  window->WriteLOG("again");
  EXPECT_EQ(host.Take(), (Ops{"line:again", "balloon:again"}));
}

TEST_F(MainWindowTest, TrayClickTogglesTheWindow) {
  Create({"ip:127.0.0.1"});
  window->TrayIconClick();
  EXPECT_TRUE(window->IsMinimized());
  window->TrayIconClick();
  EXPECT_FALSE(window->IsMinimized());
  EXPECT_EQ(host.Take(), (Ops{"minimize", "restore"}));
}

TEST_F(MainWindowTest, WindowMinimisedByTheUserGoesToTheTray) {
  Create({"ip:127.0.0.1"});
  window->FormResize(true);
  EXPECT_EQ(host.Take(), Ops{"hide"});
  EXPECT_TRUE(window->IsMinimized());
  window->WriteLOG("$notice");
  EXPECT_EQ(host.Take(), (Ops{"line:notice", "balloon:notice"}));
  window->FormResize(false);
  EXPECT_EQ(host.Take(), Ops{"show"});
  EXPECT_FALSE(window->IsMinimized());
  window->WriteLOG("error");
  EXPECT_EQ(host.Take(), (Ops{"line:error", "balloon:error"}));
}

// RunKestrel runs on the console view here: no desktop view is given.
class RunKestrelTest : public MainWindowTest {
 protected:
  // A bound for every run: a view that does not close by itself is closed
  // by the update flag after `limit`, and the test then fails on its checks.
  void StartWatchdog(std::chrono::seconds limit) {
    watchdog_ = std::thread([this, limit] {
      std::unique_lock lock(mutex_);
      if (!done_cv_.wait_for(lock, limit, [this] { return done_; }))
        RestartAfterUpdate = true;
    });
  }
  void StopWatchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    watchdog_.join();
  }

  KestrelHooks Hooks() {
    KestrelHooks hooks;
    hooks.daemon = daemon.Functions(form);
    hooks.console_output = &output;
    hooks.DeleteUpdateLeftovers = [this] { steps.push_back("delete leftovers"); };
    hooks.RunUpdatedCopy = [this] { steps.push_back("run updated copy"); };
    return hooks;
  }

  int Run(const KestrelHooks& hooks, std::vector<std::string> args) {
    args.insert(args.begin(), "kestrel");
    std::vector<char*> argv;
    for (std::string& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    return RunKestrel(static_cast<int>(args.size()), argv.data(), hooks);
  }

  std::ostringstream output;
  std::vector<std::string> steps;

 private:
  std::thread watchdog_;
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
};

TEST_F(RunKestrelTest, UpdateCopyEndsBeforeAnythingElse) {
  KestrelHooks hooks = Hooks();
  hooks.InstallUpdateFiles = [] { return true; };
  EXPECT_EQ(Run(hooks, {}), 0);
  EXPECT_TRUE(steps.empty());
  EXPECT_EQ(daemon.started_port, -1);
}

TEST_F(RunKestrelTest, UpdateClosesTheWindowAndRunsTheCopyAfterTheLoop) {
  KestrelHooks hooks = Hooks();
  hooks.daemon.start = [this, start = hooks.daemon.start](const std::string& ip,
                                                          std::uint16_t port) {
    form = fmKestrel.load();
    start(ip, port);
    RestartAfterUpdate = true;
  };
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(Run(hooks, {"port:9100"}), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  EXPECT_EQ(steps, (std::vector<std::string>{"delete leftovers", "run updated copy"}));
  EXPECT_EQ(daemon.terminate_calls, 1);
  EXPECT_FALSE(daemon.running);
  EXPECT_EQ(output.str(), "Started at 0.0.0.0:9100\nstopped\n");
  EXPECT_EQ(fmKestrel.load(), nullptr);
}

class RunKestrelSignalTest : public RunKestrelTest, public ::testing::WithParamInterface<int> {
 protected:
  std::thread raiser;
};

// The signal arrives while the loop runs: the daemon raises it once started.
TEST_P(RunKestrelSignalTest, SignalClosesTheWindowTheSameWay) {
  KestrelHooks hooks = Hooks();
  hooks.daemon.start = [this, start = hooks.daemon.start](const std::string& ip,
                                                          std::uint16_t port) {
    form = fmKestrel.load();
    start(ip, port);
    raiser = std::thread([kind = GetParam()] {
      std::this_thread::sleep_for(50ms);
      testing::RequestOwnClose(kind);
    });
  };
  StartWatchdog(10s);
  EXPECT_EQ(Run(hooks, {}), 0);
  StopWatchdog();
  raiser.join();
  EXPECT_FALSE(RestartAfterUpdate) << "closed by the watchdog, not by the signal";
  EXPECT_EQ(steps, std::vector<std::string>{"delete leftovers"});
  EXPECT_EQ(daemon.terminate_calls, 1);
  EXPECT_EQ(output.str(), "Started at 0.0.0.0:8080\nstopped\n");
}

INSTANTIATE_TEST_SUITE_P(CloseSignals, RunKestrelSignalTest,
                         ::testing::Range(0, testing::CloseRequestKinds()));

}  // namespace
}  // namespace kestrel

#include "app/main_window.h"

#include <chrono>
#include <exception>
#include <iostream>
#include <thread>

#include "app/params.h"

namespace kestrel {

std::atomic<bool> RestartAfterUpdate{false};
std::atomic<TfmKestrel*> fmKestrel{nullptr};

namespace {

constexpr auto kDaemonPollStep = std::chrono::milliseconds(20);
constexpr std::int64_t kHighestPort = 65535;

// Makes a window the process's main window for the time of its run.
class MainWindowScope {
 public:
  explicit MainWindowScope(TfmKestrel& form) { fmKestrel = &form; }
  ~MainWindowScope() { fmKestrel = nullptr; }
  MainWindowScope(const MainWindowScope&) = delete;
  MainWindowScope& operator=(const MainWindowScope&) = delete;
};

std::unique_ptr<platform::WindowHost> CreateHost(int& argc, char** argv,
                                                 const KestrelHooks& hooks) {
  std::unique_ptr<platform::WindowHost> host;
  if (hooks.desktop_host)
    host = hooks.desktop_host(argc, argv);
  if (!host)
    host = platform::CreateConsoleHost(hooks.console_output ? *hooks.console_output : std::cout);
  return host;
}

}  // namespace

TfmKestrel::TfmKestrel(std::vector<std::string> args, platform::WindowHost& host,
                       DaemonFunctions daemon)
    : args_(std::move(args)), host_(host), daemon_(std::move(daemon)) {
  log_.SetListener(this);
}

std::string TfmKestrel::GetFromParamStr(std::string_view name, const std::string& def,
                                        bool must_be_int) {
  return kestrel::GetFromParamStr(args_, name, def, must_be_int,
                                  [this](const std::string& msg) { WriteLOG(msg); });
}

void TfmKestrel::Minimize() {
  std::lock_guard lock(cs_);
  MinimizeHoldingCS();
}

void TfmKestrel::Restore() {
  std::lock_guard lock(cs_);
  RestoreHoldingCS();
}

void TfmKestrel::MinimizeHoldingCS() {
  minimized_ = true;
  host_.Minimize();
}

void TfmKestrel::RestoreHoldingCS() {
  minimized_ = false;
  host_.Restore();
}

bool TfmKestrel::IsMinimized() {
  std::lock_guard lock(cs_);
  return minimized_;
}

void TfmKestrel::RestoreRequested() {
  if (minimized_)
    RestoreHoldingCS();
}

// Ports outside 1-65535 are refused like a value that is not a number.
std::uint16_t TfmKestrel::ReadPort() {
  const std::string value = GetFromParamStr("port", std::to_string(kDefaultPort), true);
  const std::optional<std::int64_t> port = ParseInt64(value);
  if (port && *port >= 1 && *port <= kHighestPort)
    return static_cast<std::uint16_t>(*port);
  WriteLOG(InvalidParamMessage("port", value));
  return kDefaultPort;
}

// The status listener is off unless its port is given; a port that is not
// one is logged like a bad main port, and leaves it off.
std::optional<std::uint16_t> TfmKestrel::ReadStatusPort() {
  const std::string value = GetFromParamStr("status", "", true);
  if (value.empty())
    return std::nullopt;
  const std::optional<std::int64_t> port = ParseInt64(value);
  if (port && *port >= 1 && *port <= kHighestPort)
    return static_cast<std::uint16_t>(*port);
  WriteLOG(InvalidParamMessage("status", value));
  return std::nullopt;
}

// A daemon that cannot even be created is reported like its socket failures:
// the window stays open without a listener.
void TfmKestrel::FormCreate() {
  const std::uint16_t port = ReadPort();
  const std::string ip = GetFromParamStr("ip", "0.0.0.0", false);
  if (!daemon_.start)
    return;
  try {
    daemon_.start(ip, port);
  } catch (const std::exception& failure) {
    WriteLOG(failure.what());
  }
  StartStatus();
}

void TfmKestrel::StartStatus() {
  const std::optional<std::uint16_t> port = ReadStatusPort();
  if (!port || !daemon_.start_status)
    return;
  const std::string ip = GetFromParamStr("statusip", kDefaultStatusIp, false);
  try {
    daemon_.start_status(ip, *port, log_);
  } catch (const std::exception& failure) {
    WriteLOG(failure.what());
  }
}

bool TfmKestrel::DaemonEnded() const {
  return !daemon_.ended || daemon_.ended();
}

// The daemon ends only after its last connection, so every request being
// served still gets its answer; what they log still reaches the view.
void TfmKestrel::FormDestroy() {
  if (!DaemonEnded() && daemon_.terminate)
    daemon_.terminate();
  bool ended;
  do {
    std::this_thread::sleep_for(kDaemonPollStep);
    ended = DaemonEnded();
    host_.ProcessQueued();
  } while (!ended);
}

// Reports of the window system may lag behind `Minimize` and `Restore`, so
// they only hide or show the window: the last report leaves it consistent.
void TfmKestrel::FormResize(bool minimized) {
  std::lock_guard lock(cs_);
  minimized_ = minimized;
  if (minimized)
    host_.Hide();
  else
    host_.Show();
}

void TfmKestrel::TrayIconClick() {
  std::lock_guard lock(cs_);
  if (minimized_)
    RestoreHoldingCS();
  else
    MinimizeHoldingCS();
}

void TfmKestrel::Timer1Timer() {
  if (RestartAfterUpdate)
    host_.Close();
}

void WriteMainLOG(std::string_view msg) {
  if (TfmKestrel* form = fmKestrel.load())
    form->WriteLOG(msg);
}

int RunKestrel(int argc, char** argv, const KestrelHooks& hooks) {
  if (hooks.InstallUpdateFiles())
    return 0;
  hooks.DeleteUpdateLeftovers();
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::unique_ptr<platform::WindowHost> host = CreateHost(argc, argv, hooks);
  {
    TfmKestrel form(args, *host, hooks.daemon);
    MainWindowScope scope(form);
    form.FormCreate();
    host->Run(form);
    form.FormDestroy();
  }
  host.reset();
  if (RestartAfterUpdate)
    hooks.RunUpdatedCopy();
  return 0;
}

}  // namespace kestrel

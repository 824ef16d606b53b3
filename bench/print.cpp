// Print commands end to end: a real server over loopback TCP, the real
// queue and a driver process that answers at once. Measures the driver run
// alone, one command's round trip, the rate from 32 clients over 1, 4 and 16
// ports, and the server's overhead per command above the driver's own run,
// without and with the journal of print commands (a second server whose
// commands each carry a new id). Then the simulator as a Windows program run
// through Wine with a warm wineserver, 64-bit and 32-bit, against the same
// simulator built for Linux: the difference is what Wine adds to each command.
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "app/command_ids.h"
#include "app/print.h"
#include "app/status_counters.h"
#include "app/wine_driver.h"
#include "bson/mapping.h"
#include "journal/journal.h"
#include "messages/messages.h"
#include "platform/socket.h"
#include "process/exe_process.h"
#include "server/tcp_daemon.h"
#include "server/tcp_thread.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

// The program folder, queue, services and daemons shared by every benchmark.
struct Environment {
  std::filesystem::path folder;
  std::mutex cs;
  std::unique_ptr<TPortQueue> queue;
  std::shared_ptr<TStatusCounters> counters;
  std::shared_ptr<TPrintService> service;
  std::shared_ptr<TPrintService> journaled_service;
  std::shared_ptr<DriverHost> wine_drivers;
  std::unique_ptr<TPrintService> wine_simulator;
  std::unique_ptr<TPrintService> wine32_simulator;
  std::unique_ptr<TPrintService> linux_simulator;
  DaemonSlot slot;
  DaemonSlot journaled_slot;
  std::uint16_t port = 0;
  std::uint16_t journaled_port = 0;
  std::atomic<bool> started{false};
};

Environment& Env() {
  static Environment env;
  return env;
}

std::string Folder() {
  return Env().folder.string() + "/";
}

void LogLine(const std::string& line) {
  if (line.rfind("Started at ", 0) == 0)
    Env().started = true;
  else if (line.rfind("$", 0) != 0)
    std::fprintf(stderr, "server: %s\n", line.c_str());
}

// Starts a daemon with `services` on the first free port from 18600 on.
bool StartDaemon(const std::shared_ptr<TPrinterServices>& services, DaemonSlot& slot,
                 std::uint16_t& port) {
  Environment& env = Env();
  env.started = false;
  for (port = 18600; port < 18700 && !env.started; ++port) {
    TTCPDaemon::Create("127.0.0.1", port, PrinterClass(services), &slot);
    for (int i = 0; i < 100 && !env.started && !slot.Empty(); ++i)
      std::this_thread::sleep_for(10ms);
  }
  --port;
  return env.started;
}

bool StartServer(const std::string& driver) {
  Environment& env = Env();
  env.folder = std::filesystem::temp_directory_path() /
               ("kestrel-bench-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(env.folder / "locks");
  std::filesystem::copy_file(driver, env.folder / "corvid.exe");
  env.queue = std::make_unique<TPortQueue>(env.cs, 30000ms, Folder() + "locks");
  // Counted as the program counts, for the status listener.
  env.counters = std::make_shared<TStatusCounters>();
  env.service = std::make_shared<TPrintService>(Folder(), *env.queue, LogLine, LastDriverVer(),
                                                CallDrvExe, nullptr, nullptr, env.counters);
  auto ids = std::make_shared<TCommandIds>(
      std::make_unique<Journal>(Folder() + kJournalFileName, JournalLimits{}, LogLine), "",
      LogLine);
  env.journaled_service = std::make_shared<TPrintService>(
      Folder(), *env.queue, LogLine, LastDriverVer(), CallDrvExe, ids, nullptr, env.counters);
  return StartDaemon(
             std::make_shared<TPrinterServices>(TPrinterServices{
                 .log = LogLine, .print = MakePrintRoute(env.service), .counters = env.counters}),
             env.slot, env.port) &&
         StartDaemon(std::make_shared<TPrinterServices>(TPrinterServices{
                         .log = LogLine,
                         .print_from_sender = MakeSenderPrintRoute(env.journaled_service),
                         .cmd_result = MakeCmdResultRoute(ids),
                         .counters = env.counters}),
                     env.journaled_slot, env.journaled_port);
}

void StopServer() {
  Env().slot.Terminate();
  Env().journaled_slot.Terminate();
  for (int i = 0; i < 1000 && !(Env().slot.Empty() && Env().journaled_slot.Empty()); ++i)
    std::this_thread::sleep_for(10ms);
  Env().journaled_service.reset();
  if (Env().wine_drivers)
    Env().wine_drivers->Close();
  std::error_code ignored;
  std::filesystem::remove_all(Env().folder, ignored);
}

std::string PrintRequest(const std::string& port, const std::string& id = "") {
  TPrintCmd cmd;
  cmd.FIdCommand = id;
  cmd.FPort = port;
  cmd.FName = "PayVKP-80K";
  cmd.FCmd = "sale";
  cmd.FSrvVer = "flex";
  cmd.FSumm0 = Currency::FromRaw(125000);
  const std::string body = ObjToBSON(cmd);
  return "POST / HTTP/1.1\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A program folder of its own under the bench folder, holding `driver`.
std::string DriverFolder(const std::string& name, const std::string& driver) {
  const std::filesystem::path folder = Env().folder / name;
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(driver, folder / "corvid.exe");
  return folder.string() + "/";
}

std::string PrintBody(const std::string& port) {
  const std::string request = PrintRequest(port);
  return request.substr(request.find("\r\n\r\n") + 4);
}

bool Printed(const std::string& answer) {
  return answer.find("Error") == std::string::npos && answer.find("CheckNo") != std::string::npos;
}

// The Windows simulator `driver` in the folder `name`, run through the
// shared prefix; its first command, outside the measurement, makes the
// prefix and starts its server.
std::unique_ptr<TPrintService> WineSimulator(const std::string& name, const std::string& driver) {
  Environment& env = Env();
  auto service = std::make_unique<TPrintService>(
      DriverFolder(name, driver), *env.queue, LogLine, LastDriverVer(),
      [drivers = env.wine_drivers](const std::string& exe, const std::string& params,
                                   int timeout_sec, std::string& data) {
        return drivers->Call(exe, params, timeout_sec, data);
      });
  if (!Printed(service->Print(PrintBody("COM1"))))
    std::fprintf(stderr, "bench_print: the simulator %s did not print through Wine\n",
                 driver.c_str());
  return service;
}

// The Linux simulator and the Windows ones that are built.
void StartSimulators(const std::string& linux_simulator, const std::string& windows_simulator,
                     const std::string& windows32_simulator) {
  Environment& env = Env();
  if (!std::filesystem::exists(windows_simulator) || !std::filesystem::exists(linux_simulator)) {
    std::fprintf(stderr, "bench_print: no %s, so no Wine case\n", windows_simulator.c_str());
    return;
  }
  env.wine_drivers = std::make_shared<DriverHost>(
      std::make_shared<WinePrefix>(Folder() + "wine-data/kestrel/wine"));
  env.linux_simulator =
      std::make_unique<TPrintService>(DriverFolder("linux", linux_simulator), *env.queue, LogLine);
  env.wine_simulator = WineSimulator("wine", windows_simulator);
  if (std::filesystem::exists(windows32_simulator))
    env.wine32_simulator = WineSimulator("wine32", windows32_simulator);
  else
    std::fprintf(stderr, "bench_print: no %s, so no 32-bit Wine case\n",
                 windows32_simulator.c_str());
}

// One command over a new connection; false unless a result without Error came.
bool Exchange(const std::string& request, std::uint16_t port = Env().port) {
  platform::Socket socket;
  socket.Connect("127.0.0.1", std::to_string(port), 5000);
  socket.Send(request, 5000);
  std::string answer;
  while (socket.LastError() == 0) {
    answer += socket.Receive(65536, 30000);
  }
  return answer.find("HTTP/1.1 200 OK") == 0 && answer.find("Error") == std::string::npos &&
         answer.find("CheckNo") != std::string::npos;
}

double driver_alone_us = 0;

void BM_DriverRunAlone(benchmark::State& state) {
  const std::string params = Folder() + "alone.dat";
  const std::vector<std::string> args{params, "9000"};
  for (auto _ : state) {
    TExeProcess driver(Folder() + "corvid.exe", args);
    driver.Run(true, false);
    driver.WaitFor(10000);
  }
  std::filesystem::remove(params);
  state.SetItemsProcessed(state.iterations());
}

// The connection's own cost: the version query needs neither queue nor driver.
void BM_VersionRoundTrip(benchmark::State& state) {
  const std::string request =
      "POST / HTTP/1.1\r\nContent-Type: application/octet-stream\r\nContent-Length: "
      "6\r\n\r\nDrvVer";
  for (auto _ : state) {
    platform::Socket socket;
    socket.Connect("127.0.0.1", std::to_string(Env().port), 5000);
    socket.Send(request, 5000);
    while (socket.LastError() == 0)
      benchmark::DoNotOptimize(socket.Receive(65536, 30000));
  }
  state.SetItemsProcessed(state.iterations());
}

// The print service called directly: queue, files and driver, no TCP.
void BM_PrintWithoutTcp(benchmark::State& state) {
  const std::string request = PrintRequest("COM1");
  const std::string body = request.substr(request.find("\r\n\r\n") + 4);
  for (auto _ : state)
    benchmark::DoNotOptimize(Env().service->Print(body));
  state.SetItemsProcessed(state.iterations());
}

void BM_PrintRoundTrip(benchmark::State& state) {
  const std::string request = PrintRequest("COM1");
  std::int64_t failures = 0;
  for (auto _ : state)
    failures += Exchange(request) ? 0 : 1;
  state.SetItemsProcessed(state.iterations());
  state.counters["failures"] = static_cast<double>(failures);
}

// The same with the journal: every command carries a new id, so each one
// is looked up, recorded durably before its driver starts and completed after.
void BM_PrintRoundTripJournaled(benchmark::State& state) {
  static std::atomic<std::int64_t> next_id{0};
  std::int64_t failures = 0;
  for (auto _ : state) {
    const std::string request =
        PrintRequest("COM1", "bench-" + std::to_string(std::random_device{}()) + "-" +
                                 std::to_string(next_id++));
    failures += Exchange(request, Env().journaled_port) ? 0 : 1;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["failures"] = static_cast<double>(failures);
}

// 32 clients, each sending to port thread_index % ports.
void BM_PrintRate(benchmark::State& state) {
  const std::string request =
      PrintRequest("COM" + std::to_string(state.thread_index() % state.range(0) + 1));
  std::int64_t failures = 0;
  for (auto _ : state)
    failures += Exchange(request) ? 0 : 1;
  state.SetItemsProcessed(state.iterations());
  state.counters["failures"] =
      benchmark::Counter(static_cast<double>(failures), benchmark::Counter::kAvgThreads);
}

void PrintThrough(benchmark::State& state, const std::unique_ptr<TPrintService>& service) {
  if (!service) {
    state.SkipWithError("the Windows simulator is not built");
    return;
  }
  const std::string body = PrintBody("COM1");
  std::int64_t failures = 0;
  for (auto _ : state)
    failures += Printed(service->Print(body)) ? 0 : 1;
  state.SetItemsProcessed(state.iterations());
  state.counters["failures"] = static_cast<double>(failures);
}

void BM_LinuxSimulatorPrint(benchmark::State& state) {
  PrintThrough(state, Env().linux_simulator);
}

void BM_WindowsSimulatorPrintThroughWine(benchmark::State& state) {
  PrintThrough(state, Env().wine_simulator);
}

void BM_Windows32SimulatorPrintThroughWine(benchmark::State& state) {
  PrintThrough(state, Env().wine32_simulator);
}

BENCHMARK(BM_DriverRunAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_VersionRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PrintWithoutTcp)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PrintRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PrintRoundTripJournaled)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PrintRate)
    ->ArgName("ports")
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Threads(32)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK(BM_LinuxSimulatorPrint)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_WindowsSimulatorPrintThroughWine)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK(BM_Windows32SimulatorPrintThroughWine)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

// Collects the per-iteration times of the driver run and the round trip, so
// that the overhead can be printed once both are known.
class OverheadReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const double us = run.GetAdjustedRealTime() * 1000.0;  // reported in ms
      if (run.benchmark_name().find("BM_DriverRunAlone") == 0)
        driver_alone_us = us;
      if (run.benchmark_name().find("BM_PrintRoundTripJournaled") == 0)
        journaled_us_ = us;
      else if (run.benchmark_name().find("BM_PrintRoundTrip") == 0)
        round_trip_us_ = us;
      if (run.benchmark_name().find("BM_LinuxSimulatorPrint") == 0 && !run.error_occurred)
        linux_simulator_us_ = us;
      if (run.benchmark_name().find("BM_WindowsSimulatorPrintThroughWine") == 0 &&
          !run.error_occurred)
        wine_simulator_us_ = us;
      if (run.benchmark_name().find("BM_Windows32SimulatorPrintThroughWine") == 0 &&
          !run.error_occurred)
        wine32_simulator_us_ = us;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    if (driver_alone_us > 0 && round_trip_us_ > 0) {
      std::printf(
          "driver run alone: %.3f ms, print round trip: %.3f ms, server overhead per command "
          "above the driver's run: %.3f ms (target < 1.5 ms)\n",
          driver_alone_us / 1000, round_trip_us_ / 1000, (round_trip_us_ - driver_alone_us) / 1000);
    }
    if (driver_alone_us > 0 && journaled_us_ > 0) {
      std::printf(
          "with the journal and an id: print round trip: %.3f ms, server overhead per command "
          "above the driver's run: %.3f ms (target < 2 ms)\n",
          journaled_us_ / 1000, (journaled_us_ - driver_alone_us) / 1000);
    }
    if (linux_simulator_us_ > 0 && wine_simulator_us_ > 0) {
      std::printf(
          "simulator command: %.3f ms built for Linux, %.3f ms as a Windows program through "
          "Wine (warm wineserver): Wine's overhead per command %.3f ms (target < 500 ms)\n",
          linux_simulator_us_ / 1000, wine_simulator_us_ / 1000,
          (wine_simulator_us_ - linux_simulator_us_) / 1000);
    }
    if (linux_simulator_us_ > 0 && wine32_simulator_us_ > 0) {
      std::printf(
          "simulator command: %.3f ms as a 32-bit Windows program through Wine (warm "
          "wineserver): Wine's overhead per command %.3f ms (target < 500 ms)\n",
          wine32_simulator_us_ / 1000, (wine32_simulator_us_ - linux_simulator_us_) / 1000);
    }
  }

 private:
  double round_trip_us_ = 0;
  double journaled_us_ = 0;
  double linux_simulator_us_ = 0;
  double wine_simulator_us_ = 0;
  double wine32_simulator_us_ = 0;
};

}  // namespace
}  // namespace kestrel

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const std::filesystem::path bin = std::filesystem::path(argv[0]).parent_path();
  if (!kestrel::StartServer((bin / "corvid-instant").string())) {
    std::fprintf(stderr, "bench_print: the server did not start\n");
    return 1;
  }
  kestrel::StartSimulators((bin / "corvid.exe").string(), KESTREL_WINDOWS_SIMULATOR,
                           KESTREL_WINDOWS32_SIMULATOR);
  kestrel::OverheadReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  kestrel::StopServer();
  benchmark::Shutdown();
  return 0;
}

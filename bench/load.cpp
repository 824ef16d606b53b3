// Load program for the server, run as three modes:
//   serve     --port P [--ip A] [--seconds S]     runs the printer daemon for S seconds
//   requests  --port P [--host H] [--clients N] [--seconds S] [--body FILE]
//             one connection per request from N client threads; prints
//             requests/s, p50/p99 latency and failures
//   idle      --port P [--host H] [--connections M] [--pid PID] [--hold S]
//             holds M silent connections; prints how many the server took
//             on (its thread count grows by one per connection) and its RSS
// Without --body the request is the version query and each answer must be
// its exact bytes; with --body only the framing of the answer is checked.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/tcp_printer.h"
#include "platform/socket.h"
#include "server/http_header.h"
#include "server/tcp_daemon.h"

namespace kestrel {
namespace {

using Clock = std::chrono::steady_clock;
using Options = std::map<std::string, std::string>;

constexpr int kIoBoundMilliseconds = 10000;

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 2; i + 1 < argc; i += 2)
    options[argv[i]] = argv[i + 1];
  return options;
}

std::string Option(const Options& options, const std::string& name, const std::string& fallback) {
  const auto found = options.find(name);
  return found == options.end() ? fallback : found->second;
}

int IntOption(const Options& options, const std::string& name, int fallback) {
  return std::stoi(Option(options, name, std::to_string(fallback)));
}

std::string Request(const std::string& body) {
  return "POST / HTTP/1.1\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// True when `answer` is a 200 with the text/html type and a body of the
// length it declares.
bool WellFramed(const std::string& answer) {
  const std::string start = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: ";
  const std::size_t end = answer.find("\r\n\r\n");
  if (answer.rfind(start, 0) != 0 || end == std::string::npos)
    return false;
  const std::string length = answer.substr(start.size(), end - start.size());
  return std::to_string(answer.size() - end - 4) == length;
}

// One request on its own connection; the answer as read until the server
// closes, or "" on any failure.
std::string OneExchange(const std::string& host, const std::string& port,
                        const std::string& request) {
  platform::Socket client;
  client.Connect(host, port, kIoBoundMilliseconds);
  if (!client.IsOpen())
    return "";
  client.Send(request, kIoBoundMilliseconds);
  std::string answer;
  while (client.LastError() == 0)
    answer += client.Receive(65536, kIoBoundMilliseconds);
  return client.LastError() == platform::kSocketPeerClosed ? answer : "";
}

struct ClientTally {
  std::vector<double> latencies_ms;
  long failures = 0;
};

void RunClient(const Options& options, const std::string& request, const std::string& expected,
               Clock::time_point until, ClientTally& tally) {
  const std::string host = Option(options, "--host", "127.0.0.1");
  const std::string port = Option(options, "--port", "8080");
  while (Clock::now() < until) {
    const Clock::time_point start = Clock::now();
    const std::string answer = OneExchange(host, port, request);
    const bool good = expected.empty() ? WellFramed(answer) : answer == expected;
    if (!good)
      ++tally.failures;
    tally.latencies_ms.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
}

double Percentile(std::vector<double>& sorted, double fraction) {
  if (sorted.empty())
    return 0;
  return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(fraction * sorted.size()))];
}

int Requests(const Options& options) {
  const int clients = IntOption(options, "--clients", 32);
  const int seconds = IntOption(options, "--seconds", 5);
  const std::string body_file = Option(options, "--body", "");
  const std::string request = Request(body_file.empty() ? "DrvVer" : ReadFile(body_file));
  const std::string expected =
      body_file.empty() ? kestrel::AddHTTPHeader(ProgramVersion, false) : "";
  std::vector<ClientTally> tallies(static_cast<std::size_t>(clients));
  std::vector<std::thread> threads;
  const Clock::time_point start = Clock::now();
  const Clock::time_point until = start + std::chrono::seconds(seconds);
  for (ClientTally& tally : tallies)
    threads.emplace_back([&, until] { RunClient(options, request, expected, until, tally); });
  for (std::thread& thread : threads)
    thread.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  long failures = 0;
  for (const ClientTally& tally : tallies) {
    all.insert(all.end(), tally.latencies_ms.begin(), tally.latencies_ms.end());
    failures += tally.failures;
  }
  std::sort(all.begin(), all.end());
  std::printf(
      "clients %d, requests %zu in %.1f s: %.0f requests/s, p50 %.2f ms, p99 %.2f ms, "
      "failures %ld\n",
      clients, all.size(), elapsed, all.size() / elapsed, Percentile(all, 0.50),
      Percentile(all, 0.99), failures);
  return failures == 0 ? 0 : 1;
}

// A field of /proc/<pid>/status ("VmRSS", "Threads"), as its first number.
long StatusField(const std::string& pid, const std::string& field) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

int Idle(const Options& options) {
  const int wanted = IntOption(options, "--connections", 16384);
  const std::string pid = Option(options, "--pid", "");
  const std::string host = Option(options, "--host", "127.0.0.1");
  const std::string port = Option(options, "--port", "8080");
  const long threads_before = pid.empty() ? -1 : StatusField(pid, "Threads");
  const long rss_before = pid.empty() ? -1 : StatusField(pid, "VmRSS");
  std::vector<platform::Socket> connections;
  connections.reserve(static_cast<std::size_t>(wanted));
  std::string failure;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < wanted && failure.empty(); ++i) {
    platform::Socket client;
    client.Connect(host, port, kIoBoundMilliseconds);
    if (client.IsOpen())
      connections.push_back(std::move(client));
    else
      failure = client.LastErrorText();
  }
  std::printf("opened %zu of %d connections in %.1f s%s%s\n", connections.size(), wanted,
              std::chrono::duration<double>(Clock::now() - start).count(),
              failure.empty() ? "" : ", then: ", failure.c_str());
  std::this_thread::sleep_for(std::chrono::seconds(IntOption(options, "--hold", 3)));
  if (!pid.empty()) {
    std::printf("server: %ld connection threads, RSS %ld KiB (was %ld KiB before)\n",
                StatusField(pid, "Threads") - threads_before, StatusField(pid, "VmRSS"),
                rss_before);
  }
  return failure.empty() ? 0 : 1;
}

int Serve(const Options& options) {
  TTCP_Printer::SetLogSink([](const std::string& line) { std::printf("%s\n", line.c_str()); });
  std::printf("pid %s\n", std::filesystem::read_symlink("/proc/self").c_str());
  std::fflush(stdout);
  DaemonSlot slot;
  TTCPDaemon::Create(Option(options, "--ip", "0.0.0.0"),
                     static_cast<std::uint16_t>(IntOption(options, "--port", 8080)),
                     ThreadClassOf<TTCP_Printer>(), &slot);
  const Clock::time_point until =
      Clock::now() + std::chrono::seconds(IntOption(options, "--seconds", 60));
  while (!slot.Empty() && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  slot.Terminate();
  while (!slot.Empty())
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return 0;
}

}  // namespace
}  // namespace kestrel

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const kestrel::Options options = kestrel::ParseOptions(argc, argv);
  kestrel::platform::RaiseOpenFileLimit();
  if (mode == "serve")
    return kestrel::Serve(options);
  if (mode == "requests")
    return kestrel::Requests(options);
  if (mode == "idle")
    return kestrel::Idle(options);
  std::fprintf(stderr, "usage: bench_load serve|requests|idle --port P [options]\n");
  return 2;
}

// Load program for the server, run as three modes:
//   serve     --port P [--ip A] [--seconds S]     runs the printer daemon for S seconds
//   requests  --port P [--host H] [--clients N] [--seconds S] [--body FILE]
//             one connection per request from N client threads; prints
//             requests/s, p50/p99/p99.9 and the slowest latency, and failures
//   requests  ... --any-server    checks only "HTTP/1.1 200" and the body
//             length, so that another web server can be measured the same way
//   idle      --port P [--host H] [--connections M] [--pid PID] [--hold S]
//             holds M silent connections; prints how many the server took
//             on (its thread count grows by one per connection) and its RSS
//             per connection, then sends the version query on every one of
//             them and counts the right answers
//   soak      --port P --pid PID [--host H] [--seconds S] [--clients N] [--ports K]
//             mixed version queries, serial listings and print commands over
//             K printer ports for S seconds (600 by default); fails when a
//             request went unanswered or the RSS at the end exceeds the
//             first minute's level by more than 5 %
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
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/tcp_printer.h"
#include "bson/mapping.h"
#include "messages/messages.h"
#include "platform/socket.h"
#include "server/http_header.h"
#include "server/tcp_daemon.h"

namespace kestrel {
namespace {

using Clock = std::chrono::steady_clock;
using Options = std::map<std::string, std::string>;

constexpr int kIoBoundMilliseconds = 10000;

constexpr char kAnyServerFlag[] = "--any-server";

// "--name value" pairs; the one flag stands alone.
Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 2; i < argc; ++i) {
    if (argv[i] == std::string(kAnyServerFlag)) {
      options[argv[i]] = "yes";
    } else if (i + 1 < argc) {
      options[argv[i]] = argv[i + 1];
      ++i;
    }
  }
  return options;
}

std::string Option(const Options& options, const std::string& name, const std::string& fallback) {
  const auto found = options.find(name);
  return found == options.end() ? fallback : found->second;
}

int IntOption(const Options& options, const std::string& name, int fallback) {
  return std::stoi(Option(options, name, std::to_string(fallback)));
}

// With the Host line that HTTP/1.1 requires, so that other web servers
// answer the same bytes.
std::string Request(const std::string& body) {
  return "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/octet-stream\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The body of `answer` when it is a 200 with the text/html type and a body
// of the length it declares.
std::optional<std::string> WellFramedBody(const std::string& answer) {
  const std::string start = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: ";
  const std::size_t end = answer.find("\r\n\r\n");
  if (answer.rfind(start, 0) != 0 || end == std::string::npos)
    return std::nullopt;
  const std::string length = answer.substr(start.size(), end - start.size());
  if (std::to_string(answer.size() - end - 4) != length)
    return std::nullopt;
  return answer.substr(end + 4);
}

bool WellFramed(const std::string& answer) {
  return WellFramedBody(answer).has_value();
}

// Any web server's 200 whose Content-Length matches the body.
bool AnyServer200(const std::string& answer) {
  const std::string field = "\r\nContent-Length: ";
  const std::size_t end = answer.find("\r\n\r\n");
  const std::size_t length_at = answer.find(field);
  if (answer.rfind("HTTP/1.1 200", 0) != 0 || end == std::string::npos ||
      length_at == std::string::npos || length_at > end)
    return false;
  const std::size_t digits = length_at + field.size();
  return std::to_string(answer.size() - end - 4) ==
         answer.substr(digits, answer.find("\r\n", digits) - digits);
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

// How an answer is judged: exactly the expected bytes, or by its framing.
struct AnswerCheck {
  std::string expected;  // empty: framing only
  bool any_server = false;

  bool Good(const std::string& answer) const {
    if (!expected.empty())
      return answer == expected;
    return any_server ? AnyServer200(answer) : WellFramed(answer);
  }
};

void RunClient(const Options& options, const std::string& request, const AnswerCheck& check,
               Clock::time_point until, ClientTally& tally) {
  const std::string host = Option(options, "--host", "127.0.0.1");
  const std::string port = Option(options, "--port", "8080");
  while (Clock::now() < until) {
    const Clock::time_point start = Clock::now();
    const std::string answer = OneExchange(host, port, request);
    if (!check.Good(answer))
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
  AnswerCheck check;
  check.any_server = options.count(kAnyServerFlag) != 0;
  if (body_file.empty() && !check.any_server)
    check.expected = kestrel::AddHTTPHeader(ProgramVersion, false);
  std::vector<ClientTally> tallies(static_cast<std::size_t>(clients));
  std::vector<std::thread> threads;
  const Clock::time_point start = Clock::now();
  const Clock::time_point until = start + std::chrono::seconds(seconds);
  for (ClientTally& tally : tallies)
    threads.emplace_back([&, until] { RunClient(options, request, check, until, tally); });
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
      "p99.9 %.2f ms, max %.2f ms, failures %ld\n",
      clients, all.size(), elapsed, all.size() / elapsed, Percentile(all, 0.50),
      Percentile(all, 0.99), Percentile(all, 0.999), all.empty() ? 0.0 : all.back(), failures);
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

// Sends the version query on every held connection, then reads every answer;
// returns how many were exactly right.
std::size_t AnswerAll(std::vector<platform::Socket>& connections) {
  const std::string request = Request("DrvVer");
  const std::string expected = kestrel::AddHTTPHeader(ProgramVersion, false);
  for (platform::Socket& connection : connections)
    connection.Send(request, kIoBoundMilliseconds);
  std::size_t right = 0;
  for (platform::Socket& connection : connections) {
    std::string answer;
    while (connection.LastError() == 0)
      answer += connection.Receive(65536, kIoBoundMilliseconds);
    if (connection.LastError() == platform::kSocketPeerClosed && answer == expected)
      ++right;
  }
  return right;
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
    const long rss = StatusField(pid, "VmRSS");
    const long held = StatusField(pid, "Threads") - threads_before;
    std::printf(
        "server: %ld connection threads, RSS %ld KiB (was %ld KiB before), %.1f KiB per idle "
        "connection (target < 16)\n",
        held, rss, rss_before, held > 0 ? static_cast<double>(rss - rss_before) / held : 0.0);
  }
  const std::size_t right = AnswerAll(connections);
  std::printf("answered when they sent: %zu of %zu\n", right, connections.size());
  return failure.empty() && right == connections.size() ? 0 : 1;
}

// The three kinds of request that the soak mixes, with their checks.
struct SoakRequests {
  std::string version = Request("DrvVer");
  std::string version_answer = kestrel::AddHTTPHeader(ProgramVersion, false);
  std::string listing;
  std::vector<std::string> prints;  // one per printer port

  explicit SoakRequests(int ports) {
    TEnumCOMs enum_coms;
    enum_coms.FEnumCOMs = true;
    listing = Request(ObjToBSON(enum_coms));
    for (int i = 1; i <= ports; ++i) {
      TPrintCmd cmd;
      cmd.FPort = "SOAK" + std::to_string(i);
      cmd.FName = "PayVKP-80K";
      cmd.FCmd = "sale";
      cmd.FSrvVer = "flex";
      cmd.FSumm0 = Currency::FromRaw(125000);
      prints.push_back(Request(ObjToBSON(cmd)));
    }
  }
};

// A print answer that decodes to a result without Error.
bool PrintedWell(const std::string& answer) {
  const std::optional<std::string> body = WellFramedBody(answer);
  if (!body)
    return false;
  try {
    TTermPrintRes result;
    BSONToObj(*body, result, {});
    return result.FError.empty();
  } catch (const std::exception&) {
    return false;
  }
}

// Failures are counted by request kind; the first one is kept for the report.
struct SoakTally {
  static constexpr const char* kKinds[] = {"version", "listing", "print"};
  std::atomic<long> requests{0};
  std::atomic<long> failures[3] = {};
  std::mutex first_failure_lock;
  std::string first_failure;

  long Failures() const { return failures[0] + failures[1] + failures[2]; }

  void Failed(int kind, const std::string& answer) {
    ++failures[kind];
    std::lock_guard<std::mutex> hold(first_failure_lock);
    if (first_failure.empty())
      first_failure = std::string(kKinds[kind]) + " answered " +
                      (answer.empty() ? "nothing" : "\"" + answer.substr(0, 200) + "\"");
  }
};

void SoakClient(const Options& options, const SoakRequests& requests, int client,
                Clock::time_point until, SoakTally& tally) {
  const std::string host = Option(options, "--host", "127.0.0.1");
  const std::string port = Option(options, "--port", "8080");
  for (long turn = client; Clock::now() < until; ++turn) {
    const int kind = static_cast<int>(turn % 3);
    std::string answer;
    bool good = false;
    switch (kind) {
      case 0:
        answer = OneExchange(host, port, requests.version);
        good = answer == requests.version_answer;
        break;
      case 1:
        answer = OneExchange(host, port, requests.listing);
        good = WellFramed(answer);
        break;
      default:
        answer = OneExchange(host, port, requests.prints[(turn / 3) % requests.prints.size()]);
        good = PrintedWell(answer);
    }
    ++tally.requests;
    if (!good)
      tally.Failed(kind, answer);
  }
}

int Soak(const Options& options) {
  const std::string pid = Option(options, "--pid", "");
  const int seconds = IntOption(options, "--seconds", 600);
  const int clients = IntOption(options, "--clients", 16);
  const SoakRequests requests(IntOption(options, "--ports", 8));
  if (pid.empty()) {
    std::fprintf(stderr, "soak: --pid of the server is needed\n");
    return 2;
  }
  // The reference level is the highest RSS of the first minute (or of the
  // first half of a shorter run), once the pools have warmed up.
  const int reference_seconds = std::min(60, std::max(1, seconds / 2));
  SoakTally tally;
  const Clock::time_point start = Clock::now();
  const Clock::time_point until = start + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int client = 0; client < clients; ++client)
    threads.emplace_back([&, client] { SoakClient(options, requests, client, until, tally); });
  long first_minute_kib = 0;
  while (Clock::now() < start + std::chrono::seconds(reference_seconds)) {
    first_minute_kib = std::max(first_minute_kib, StatusField(pid, "VmRSS"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  for (std::thread& thread : threads)
    thread.join();
  const long end_kib = StatusField(pid, "VmRSS");
  const double growth =
      first_minute_kib > 0 ? 100.0 * (end_kib - first_minute_kib) / first_minute_kib : 0;
  std::printf(
      "soak %d s, %d clients: %ld requests, %ld failures (version %ld, listing %ld, print %ld); "
      "RSS first %d s %ld KiB, end %ld KiB (%+.1f %%, limit +5 %%)\n",
      seconds, clients, tally.requests.load(), tally.Failures(), tally.failures[0].load(),
      tally.failures[1].load(), tally.failures[2].load(), reference_seconds, first_minute_kib,
      end_kib, growth);
  if (!tally.first_failure.empty())
    std::printf("first failure: %s\n", tally.first_failure.c_str());
  return tally.Failures() == 0 && end_kib > 0 && growth <= 5.0 ? 0 : 1;
}

int Serve(const Options& options) {
  std::printf("pid %s\n", std::filesystem::read_symlink("/proc/self").c_str());
  std::fflush(stdout);
  DaemonSlot slot;
  TTCPDaemon::Create(
      Option(options, "--ip", "0.0.0.0"),
      static_cast<std::uint16_t>(IntOption(options, "--port", 8080)),
      PrinterClass(std::make_shared<TPrinterServices>(TPrinterServices{
          .log = [](const std::string& line) { std::printf("%s\n", line.c_str()); }})),
      &slot);
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
  if (mode == "soak")
    return kestrel::Soak(options);
  std::fprintf(stderr, "usage: bench_load serve|requests|idle|soak --port P [options]\n");
  return 2;
}

// The status listener of the real server with the simulated driver: the
// page, the metrics and the health check agree with the commands sent, and
// nothing of a request reaches the page unescaped.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "faults/print_commands.h"
#include "platform/process.h"
#include "support/kestrel_process.h"
#include "support/tcp_client.h"

namespace kestrel::testing {
namespace {

// The cells of the page's table row whose first cell is `first`, tags and
// all; empty when there is none.
std::vector<std::string> RowOf(const std::string& page, const std::string& first) {
  const std::size_t start = page.find("<tr><td>" + first + "</td>");
  if (start == std::string::npos)
    return {};
  const std::size_t end = page.find("</tr>", start);
  std::vector<std::string> cells;
  for (std::size_t cell = page.find("<td>", start); cell < end;
       cell = page.find("<td>", cell + 1)) {
    const std::size_t close = page.find("</td>", cell);
    cells.push_back(page.substr(cell + 4, close - cell - 4));
  }
  return cells;
}

// The value of the sample `series` (name and labels as written).
std::string Sample(const std::string& metrics, const std::string& series) {
  const std::size_t at = metrics.find("\n" + series + " ");
  if (at == std::string::npos)
    return "<none>";
  const std::size_t value = at + series.size() + 2;
  return metrics.substr(value, metrics.find('\n', value) - value);
}

class StatusListener : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(server_.Output().find("Sanitizer"), std::string::npos) << server_.Output();
  }
  void Start() {
    server_.CopyTool("corvid.exe", "corvid.exe");
    status_port_ = FreePort();
    ASSERT_TRUE(server_.Start(20000, {"status:" + std::to_string(status_port_)}))
        << server_.Output();
    const std::string started = "Status page: Started at 127.0.0.1:" + std::to_string(status_port_);
    ASSERT_TRUE(
        WaitUntil([&] { return server_.Output().find(started) != std::string::npos; }, 10000))
        << server_.Output();
  }
  // Three good commands, one the simulator refuses and one refused before
  // it waits for the port.
  void SendCommands() {
    for (int i = 0; i < 3; ++i)
      ASSERT_EQ(ReceiptResult(server_.Post(PrintCommand(port_, "test")))->FError, "");
    ASSERT_EQ(ReceiptResult(server_.Post(PrintCommand(port_, "bogus")))->FError,
              "Неизвестная команда bogus");
    TPrintCmd old_sender;
    BSONToObj(PrintCommand(port_, "xrep"), old_sender);
    old_sender.FSrvVer = "2011.01.01 00:00";
    ASSERT_NE(ReceiptResult(server_.Post(ObjToBSON(old_sender)))->FError, "");
  }
  std::string Get(const std::string& target, const std::string& method = "GET") const {
    return Exchange(status_port_, method + " " + target + " HTTP/1.1\r\nHost: kestrel\r\n\r\n");
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(status_port_) + path;
  }
  // `command` run by the shell, its standard output.
  std::string Run(const std::string& command) const {
    platform::ChildProcess child = platform::SpawnProcess(
        "/bin/sh", {"-c", command + " >'" + client_dir_.Folder() + "out'"}, true);
    if (!child.WaitForExit(60000)) {
      child.Kill(137);
      child.WaitForExit(5000);
      return "<timed out>";
    }
    return client_dir_.Read("out");
  }

  KestrelProcess server_;
  TempDir client_dir_;
  std::uint16_t status_port_ = 0;
  const std::string port_ = UniquePortName("status");
};

TEST_F(StatusListener, PageAndMetricsAgreeWithTheCommandsSent) {
  Start();
  SendCommands();
  const std::string page = HttpBody(Get("/"));
  const std::vector<std::string> row = RowOf(page, port_);
  ASSERT_EQ(row.size(), 9u) << page;
  EXPECT_EQ(row[1], "idle");
  EXPECT_EQ(row[2], "0");  // waiting
  EXPECT_EQ(row[3], "4");  // served: the refused sender never got the port
  EXPECT_EQ(row[4], "bogus");
  EXPECT_NE(row[7].find("Неизвестная команда bogus"), std::string::npos) << row[7];
  EXPECT_NE(row[8].find("/journal?port=" + port_), std::string::npos) << row[8];
  EXPECT_NE(page.find("<li>" + port_ + ",PayVPK80K bogus: Неизвестная команда bogus</li>"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find("2012.07.03 14:00"), std::string::npos);
  EXPECT_NE(page.find("127.0.0.1:" + std::to_string(server_.Port()) + " (accepting)"),
            std::string::npos);

  const std::string metrics = HttpBody(Get("/metrics"));
  const std::string labels = "port=\"" + port_ + "\",slot=\"0\"";
  EXPECT_EQ(Sample(metrics,
                   "kestrel_print_commands_total{" + labels + ",command=\"test\",outcome=\"ok\"}"),
            "3");
  EXPECT_EQ(Sample(metrics, "kestrel_print_commands_total{" + labels +
                                ",command=\"other\",outcome=\"error\"}"),
            "1");
  EXPECT_EQ(Sample(metrics,
                   "kestrel_print_commands_total{port=\"\",slot=\"none\",command=\"xrep\","
                   "outcome=\"error\"}"),
            "1");
  EXPECT_EQ(Sample(metrics, "kestrel_print_command_duration_seconds_count{command=\"test\"}"), "3");
  EXPECT_EQ(Sample(metrics, "kestrel_port_wait_seconds_count{" + labels + "}"), "4");
  EXPECT_EQ(Sample(metrics, "kestrel_requests_total{listener=\"main\",route=\"print\"}"), "5");
  EXPECT_EQ(Sample(metrics, "kestrel_requests_total{listener=\"status\",route=\"page\"}"), "1");

  const std::string journal = HttpBody(Get("/journal?port=" + port_));
  EXPECT_NE(journal.find("<td>bogus</td>"), std::string::npos) << journal;

  EXPECT_EQ(Get("/healthz"),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 2\r\n"
            "Cache-Control: no-store\r\nConnection: close\r\n\r\nok");
  EXPECT_TRUE(Get("/favicon.ico").starts_with("HTTP/1.1 404 Not Found\r\n"));
  EXPECT_TRUE(Get("/metrics", "POST").starts_with("HTTP/1.1 404 Not Found\r\n"));
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

TEST_F(StatusListener, HtmlFromRequestsIsEscaped) {
  Start();
  const std::string port = "<b>" + port_ + "</b>&\"'";
  ASSERT_NE(ReceiptResult(server_.Post(PrintCommand(port, "<script>x</script>")))->FError, "");
  const std::string page = HttpBody(Get("/"));
  EXPECT_EQ(page.find("<b>"), std::string::npos) << page;
  EXPECT_EQ(page.find("<script>"), std::string::npos) << page;
  const std::string escaped = "&lt;b&gt;" + port_ + "&lt;/b&gt;&amp;&quot;&#39;";
  EXPECT_EQ(RowOf(page, escaped).size(), 9u) << page;
  EXPECT_NE(page.find("&lt;script&gt;x&lt;/script&gt;"), std::string::npos);
  // In a label only the quote needs its backslash; the command is "other".
  EXPECT_EQ(Sample(HttpBody(Get("/metrics")),
                   "kestrel_print_commands_total{port=\"<b>" + port_ +
                       "</b>&\\\"'\",slot=\"0\",command=\"other\",outcome=\"error\"}"),
            "1");
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

// Without the argument nothing listens for it, and the main port's answer
// to a GET keeps its bytes.
TEST_F(StatusListener, OffByDefaultAndMainPortUnchanged) {
  const std::uint16_t unused = FreePort();
  ASSERT_TRUE(server_.Start()) << server_.Output();
  EXPECT_EQ(server_.Output().find("Status page"), std::string::npos) << server_.Output();
  EXPECT_FALSE(ConnectLoopback(unused).IsOpen());
  EXPECT_EQ(Exchange(server_.Port(), "GET /metrics HTTP/1.1\r\nHost: kestrel\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

// The main port taken by another program: the status page still answers,
// and the health check fails.
TEST_F(StatusListener, HealthFailsWhileTheMainListenerDoesNotAccept) {
  const std::uint16_t taken = FreePort();
  platform::Socket holder;
  holder.Bind("127.0.0.1", std::to_string(taken));
  holder.Listen(1);
  ASSERT_EQ(holder.LastError(), 0);
  status_port_ = FreePort();
  EXPECT_FALSE(server_.Start(
      2000, {"port:" + std::to_string(taken), "status:" + std::to_string(status_port_)}));
  ASSERT_TRUE(WaitUntil([&] { return HttpBody(Get("/healthz")) == "not accepting"; }, 10000))
      << server_.Output();
  EXPECT_TRUE(Get("/healthz").starts_with("HTTP/1.1 503 Service Unavailable\r\n"));
  EXPECT_NE(server_.Output().find("Bind "), std::string::npos) << server_.Output();
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

// While one command prints, the next waits: the page and the metrics show
// both, and the connections that carry them.
TEST_F(StatusListener, BusyPortShowsThePrintingAndTheWaitingCommand) {
  server_.CopyTool("corvid-instant", "instant.exe");
  server_.Driver("wait $dir/go 8000\nrun $dir/instant.exe $1 $2");
  status_port_ = FreePort();
  ASSERT_TRUE(server_.Start(20000, {"status:" + std::to_string(status_port_)})) << server_.Output();
  std::thread first([&] { server_.Post(PrintCommand(port_, "test")); });
  std::thread second([&] { server_.Post(PrintCommand(port_, "test")); });
  const bool busy = WaitUntil(
      [&] {
        const std::vector<std::string> row = RowOf(HttpBody(Get("/")), port_);
        return row.size() == 9 && row[1].starts_with("printing since ") && row[2] == "1";
      },
      10000);
  const std::string metrics = HttpBody(Get("/metrics"));
  server_.Folder().Write("go", "");
  first.join();
  second.join();
  EXPECT_TRUE(busy) << HttpBody(Get("/"));
  const std::string labels = "{port=\"" + port_ + "\",slot=\"0\"}";
  EXPECT_EQ(Sample(metrics, "kestrel_port_printing" + labels), "1");
  EXPECT_EQ(Sample(metrics, "kestrel_port_waiting" + labels), "1");
  EXPECT_EQ(Sample(metrics, "kestrel_open_connections{listener=\"main\"}"), "2");
  EXPECT_EQ(RowOf(HttpBody(Get("/")), port_)[3], "2");
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

// An independent reader of the metrics format sees the same counts.
TEST_F(StatusListener, MetricsReadByThePrometheusParser) {
  Start();
  SendCommands();
  const std::string script = client_dir_.Write("parse.py", R"(
import sys, urllib.request
from prometheus_client.parser import text_string_to_metric_families
text = urllib.request.urlopen(sys.argv[1], timeout=20).read().decode()
for family in text_string_to_metric_families(text):
    for sample in family.samples:
        if sample.labels.get("port") == sys.argv[2] or sample.labels.get("command") == "test":
            labels = ",".join(k + "=" + v for k, v in sorted(sample.labels.items()))
            print("%s{%s} %g" % (sample.name, labels, sample.value))
)");
  // Debian's parser package serves Debian's own Python.
  const std::string parsed =
      Run("/usr/bin/python3 '" + script + "' " + Url("/metrics") + " '" + port_ + "' 2>&1");
  const std::string labels = "port=" + port_ + ",slot=0";
  EXPECT_NE(parsed.find("kestrel_print_commands_total{command=test,outcome=ok," + labels + "} 3\n"),
            std::string::npos)
      << parsed;
  EXPECT_NE(
      parsed.find("kestrel_print_commands_total{command=other,outcome=error," + labels + "} 1\n"),
      std::string::npos);
  EXPECT_NE(parsed.find("kestrel_print_command_duration_seconds_count{command=test} 3\n"),
            std::string::npos);
  EXPECT_NE(parsed.find("kestrel_port_wait_seconds_count{" + labels + "} 4\n"), std::string::npos);
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

// A browser without scripts renders the table the test reads elsewhere.
TEST_F(StatusListener, ChromiumRendersThePortTable) {
  Start();
  SendCommands();
  const TempDir profile;
  const std::string dom =
      Run("chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
          "--disable-background-networking --disable-component-update --disable-sync "
          "--user-data-dir='" +
          profile.Folder() + "' --dump-dom " + Url("/") + " 2>/dev/null");
  const std::vector<std::string> row = RowOf(dom, port_);
  ASSERT_EQ(row.size(), 9u) << dom;
  EXPECT_EQ(row[1], "idle");
  EXPECT_EQ(row[3], "4");
  EXPECT_EQ(row[4], "bogus");
  EXPECT_EQ(server_.Stop(), 0) << server_.Output();
}

}  // namespace
}  // namespace kestrel::testing

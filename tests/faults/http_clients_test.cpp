// The real server against the HTTP clients integrators write their senders
// with: curl waiting for "100 Continue" and sending chunks, Python sending
// chunks slowly, and chunked framing that is broken or in another coding.
#include <gtest/gtest.h>

#include <string>

#include "faults/print_commands.h"
#include "platform/process.h"
#include "support/kestrel_process.h"
#include "support/tcp_client.h"

namespace kestrel::testing {
namespace {

constexpr char kBinary[] = "-H 'Content-Type: application/octet-stream'";

class HttpClients : public ::testing::Test {
 protected:
  // The driver keeps the parameter file of each command it is given.
  void SetUp() override {
    server_.CopyTool("corvid-instant", "instant.exe");
    server_.Driver("copy $1 $dir/received\nrun $dir/instant.exe $1 $2");
    ASSERT_TRUE(server_.Start()) << server_.Output();
  }
  void TearDown() override {
    EXPECT_EQ(server_.Stop(), 0) << server_.Output();
    EXPECT_EQ(server_.Output().find("Sanitizer"), std::string::npos) << server_.Output();
  }

  // Runs `command` in a shell and returns its standard output, or
  // "<timed out>" when it ran longer than `bound_ms`.
  std::string Run(const std::string& command, int bound_ms = 30000) const {
    platform::ChildProcess client = platform::SpawnProcess(
        "/bin/sh", {"-c", command + " >'" + client_dir_.Folder() + "out'"}, true);
    if (!client.WaitForExit(bound_ms)) {
      client.Kill(137);
      client.WaitForExit(5000);
      return "<timed out>";
    }
    return client_dir_.Read("out");
  }
  std::string Curl(const std::string& options, const std::string& body) const {
    const std::string file = client_dir_.Write("body", body);
    return Run("curl -s --max-time 20 " + std::string(kBinary) + " " + options +
               " --data-binary @'" + file + "' http://127.0.0.1:" + std::to_string(server_.Port()) +
               "/");
  }
  // A print command of 2 MiB is answered, and its text reached the driver.
  void ExpectLargePrintServed(const std::string& curl_options) {
    const std::string text = std::string(2 << 20, 'x') + "end";
    const auto result = ReceiptResult(Curl(curl_options, PrintCommand(port_, "test", text)));
    EXPECT_EQ(result->FError, "");
    EXPECT_EQ(result->FDocNo, 1);
    EXPECT_NE(server_.Folder().Read("received").find(text), std::string::npos);
  }

  KestrelProcess server_;
  TempDir client_dir_;
  const std::string port_ = UniquePortName("http-clients");
};

// Without the go-ahead curl would hold its body back for a second, far
// longer than the server waits between packets.
TEST_F(HttpClients, CurlWaitingForContinueIsAnswered) {
  EXPECT_EQ(Curl("-H 'Expect: 100-continue'", "DrvVer"), kVersionAnswer);
  ExpectLargePrintServed("-H 'Expect: 100-continue'");
}

TEST_F(HttpClients, CurlChunkedBodiesAreAnswered) {
  EXPECT_EQ(Curl("-H 'Transfer-Encoding: chunked'", "DrvVer"), kVersionAnswer);
  ExpectLargePrintServed("-H 'Transfer-Encoding: chunked'");
}

TEST_F(HttpClients, PythonChunksArriving50msApartAreAnswered) {
  const std::string script = client_dir_.Write("send.py", R"(
import http.client, sys, time
def pieces():
    for piece in (b"Dr", b"vV", b"er"):
        yield piece
        time.sleep(0.05)
connection = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=20)
connection.request("POST", "/", body=pieces(), encode_chunked=True,
                   headers={"Content-Type": "application/octet-stream"})
sys.stdout.write(connection.getresponse().read().decode())
)");
  EXPECT_EQ(Run("python3 '" + script + "' " + std::to_string(server_.Port())), kVersionAnswer);
}

// Broken or unknown framing is answered empty at once; a Content-Length
// beside the chunks is ignored.
TEST_F(HttpClients, ChunkedFramingIsCheckedAndAnsweredAtOnce) {
  const std::string head =
      "POST / HTTP/1.1\r\nContent-Type: application/octet-stream\r\nTransfer-Encoding: ";
  const auto answer = [&](const std::string& rest) {
    return HttpBody(Exchange(server_.Port(), head + rest, 5000));
  };
  EXPECT_EQ(answer("chunked\r\n\r\nZZ\r\nDrvVer\r\n0\r\n\r\n"), "");
  EXPECT_EQ(answer("chunked\r\n\r\n6\r\nDrvVerXX\r\n0\r\n\r\n"), "");
  EXPECT_EQ(answer("gzip, chunked\r\n\r\n6\r\nDrvVer\r\n0\r\n\r\n"), "");
  EXPECT_EQ(
      answer("Chunked\r\nContent-Length: -1\r\n\r\n3;x=y\r\nDrv\r\n3\r\nVer\r\n0\r\nA: b\r\n\r\n"),
      kVersionAnswer);
}

// Only an HTTP/1.1 sender whose body has not come yet gets the go-ahead.
TEST_F(HttpClients, ContinueOnlyForHttp11BeforeTheBody) {
  const auto exchange = [&](const std::string& version, const std::string& with_header) {
    platform::Socket client = ConnectLoopback(server_.Port());
    client.Send("POST / HTTP/1." + version +
                    "\r\nExpect: 100-Continue\r\nContent-Type: application/octet-stream\r\n"
                    "Content-Length: 6\r\n\r\n" +
                    with_header,
                1000);
    const std::string interim = client.Receive(100, 50);
    client.Send(std::string("DrvVer").substr(with_header.size()), 1000);
    return interim + ReceiveUntilClosed(client, 5000);
  };
  const std::string answer =
      "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 16\r\n\r\n" +
      std::string(kVersionAnswer);
  EXPECT_EQ(exchange("1", ""), "HTTP/1.1 100 Continue\r\n\r\n" + answer);
  EXPECT_EQ(exchange("0", ""), answer);
  EXPECT_EQ(exchange("1", "Drv"), answer);
}

}  // namespace
}  // namespace kestrel::testing

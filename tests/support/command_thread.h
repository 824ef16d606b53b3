// A connection class for tests of the server: it reads one command line
// and serves it, so a test can make a connection answer, wait, fail or
// stream, and see the log of the daemon and the connection base.
#pragma once

#include <atomic>
#include <string>

#include "server/tcp_thread.h"
#include "support/tcp_client.h"

namespace kestrel::testing {

// Commands, each one line ending in CR LF:
//   "size N"  answers N bytes of a fixed pattern (PatternBytes)
//   "hold MS" waits MS milliseconds, then answers "done"
//   "throw"   raises an exception with the message "request failed"
//   "count"   answers the daemon's ThreadCount
//   "lines"   collects further lines with a 200 ms gap and answers their
//             number and the result of the collection ("2 true")
//   "keep-lock F"  takes the named lock "kept" of folder F and keeps it
//                  as the thread ends ("acquired")
//   "wait-lock F"  waits up to 5 s for that lock, releases it and answers
//                  how the wait ended ("acquired", "abandoned", "timed out")
// A command line must come within 300 ms; otherwise the connection is
// closed without an answer.
class CommandThread : public TTCPThread {
 public:
  static void LOG(const std::string& message) { Log().Add(message); }
  static LogCapture& Log();
  // Connections that have begun to serve a command.
  static std::atomic<int>& Serving();

 protected:
  CommandThread(TTCPDaemon& owner, platform::Socket connection);
  void Treat() override;

 private:
  std::string Serve(const std::string& command);
};

std::string PatternBytes(std::size_t size);

}  // namespace kestrel::testing

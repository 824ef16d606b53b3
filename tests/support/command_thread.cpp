#include "support/command_thread.h"

#include <chrono>
#include <thread>

#include "base/exception.h"
#include "platform/named_lock.h"

namespace kestrel::testing {

LogCapture& CommandThread::Log() {
  static LogCapture log;
  return log;
}

std::atomic<int>& CommandThread::Serving() {
  static std::atomic<int> serving{0};
  return serving;
}

CommandThread::CommandThread(TTCPDaemon& owner, platform::Socket connection)
    : TTCPThread(owner, std::move(connection)) {}

void CommandThread::Treat() {
  const std::string command = ReciveString(300);
  if (SockLastError() == 0) {
    ++Serving();
    Send(Serve(command));
  }
  Terminate();
}

std::string CommandThread::Serve(const std::string& command) {
  if (command.starts_with("size "))
    return PatternBytes(std::stoul(command.substr(5)));
  if (command.starts_with("hold ")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(command.substr(5))));
    return "done";
  }
  if (command == "throw")
    throw Exception("request failed");
  if (command == "count")
    return std::to_string(Owner().ThreadCount());
  if (command == "lines") {
    std::vector<std::string> lines;
    const bool timed_out = ReciveStringList(200, lines);
    return std::to_string(lines.size()) + (timed_out ? " true" : " false");
  }
  if (command.starts_with("keep-lock ")) {
    platform::NamedLock lock("kept", command.substr(10));
    return lock.Wait(std::chrono::milliseconds(0)) == platform::LockWait::Acquired ? "acquired"
                                                                                   : "busy";
  }
  if (command.starts_with("wait-lock ")) {
    platform::NamedLock lock("kept", command.substr(10));
    const platform::LockWait wait = lock.Wait(std::chrono::seconds(5));
    lock.Release();
    return wait == platform::LockWait::Abandoned  ? "abandoned"
           : wait == platform::LockWait::Acquired ? "acquired"
                                                  : "timed out";
  }
  return "unknown command";
}

std::string PatternBytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>('a' + i % 23);
  return bytes;
}

}  // namespace kestrel::testing

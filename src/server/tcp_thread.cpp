#include "server/tcp_thread.h"

#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace kestrel {
namespace {

constexpr std::size_t kLargestPacket = 65536;
// A peer that takes no bytes of an answer for this long is given up, so a
// stalled client cannot hold its thread, and the daemon's end, for ever.
constexpr int kSendStallMilliseconds = 30000;

}  // namespace

void TTCPThread::LOG(const std::string&) {}

TTCPThread::TTCPThread(TTCPDaemon& owner, platform::Socket connection)
    : TThread(kStackBytes, &owner.ConnectionThreads()),
      FOwner(&owner),
      FSock(std::move(connection)) {
  SetFreeOnTerminate(true);
  FOwner->AddThread(this);
}

// Without a run (the system refused the thread) the thread still leaves
// its daemon.
TTCPThread::~TTCPThread() {
  if (!finished_)
    FOwner->RemoveThread(this);
}

void TTCPThread::Treat() {
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void TTCPThread::Execute() {
  struct FinishOnExit {
    TTCPThread& thread;
    ~FinishOnExit() { thread.Finish(); }
  } finish{*this};
  TreatUntilTerminated();
  Terminate();
}

// Logs an escaping exception while the owner's log is certain to exist:
// the daemon, and with it the program, may end once the thread has left it.
void TTCPThread::TreatUntilTerminated() {
  try {
    do {
      Treat();
    } while (!Terminated());
  } catch (const std::exception& error) {
    FOwner->TCPThreadClass().LOG(error.what());
  }
}

// The answer reaches the peer whole before the daemon ends: the daemon's
// closer, or else this thread, waits for the peer's close. After
// RemoveThread the thread no longer touches the daemon.
void TTCPThread::Finish() {
  if (!FOwner->LingeringCloses().Take(FSock))
    FSock.Disconnect(kCloseDrainMilliseconds, kCloseDrainBytes);
  FOwner->RemoveThread(this);
  finished_ = true;
}

void TTCPThread::AbortReceiving() {
  const std::lock_guard lock(receive_mutex_);
  if (receiving_)
    FSock.ShutdownReceiving();
}

TRequest TTCPThread::ReceiveRequest(const TRequestTimings& timings) {
  {
    const std::lock_guard lock(receive_mutex_);
    if (Terminated())
      return {};
    receiving_ = true;
  }
  struct ReceivingOnExit {
    TTCPThread& thread;
    ~ReceivingOnExit() {
      const std::lock_guard lock(thread.receive_mutex_);
      thread.receiving_ = false;
    }
  } receiving{*this};
  const TRequestSource source{[this](int timeout_ms, int& error) {
                                std::string packet = RecivePacket(timeout_ms);
                                error = SockLastError();
                                return packet;
                              },
                              [this] { return Terminated(); }, &platform::MonotonicMilliseconds,
                              [this](const std::string& bytes) { Send(bytes); }};
  return ReadRequest(source, FOwner->BodyBudget(), FMaxReadLen, timings);
}

std::string TTCPThread::RecivePacket(int timeout_ms) {
  if (!held_back_.empty()) {
    FSock.ClearError();
    return std::exchange(held_back_, std::string());
  }
  // Only a receive that would wait first gives the sender a moment: under
  // load a yield is a switch to another thread, and usually the request is
  // there by the time its thread runs.
  std::string packet = FSock.ReceiveWaiting(kLargestPacket);
  if (!packet.empty() || SockLastError() != 0)
    return packet;
  std::this_thread::yield();
  return FSock.Receive(kLargestPacket, timeout_ms);
}

std::string TTCPThread::ReciveString(int timeout_ms) {
  std::string collected;
  for (;;) {
    std::string packet = RecivePacket(timeout_ms);
    if (SockLastError() != 0) {
      held_back_ = std::move(collected);
      return "";
    }
    collected += packet;
    const std::size_t end = collected.find("\r\n");
    if (end != std::string::npos) {
      held_back_ = collected.substr(end + 2);
      collected.resize(end);
      return collected;
    }
  }
}

bool TTCPThread::ReciveStringList(int timeout_ms, std::vector<std::string>& list) {
  for (;;) {
    std::string line = ReciveString(timeout_ms);
    if (SockLastError() != 0)
      return SockLastError() == platform::kSocketTimedOut;
    list.push_back(std::move(line));
  }
}

void TTCPThread::Send(const std::string& bytes) {
  FSock.Send(bytes, kSendStallMilliseconds);
}

THTTPHeader TTCPThread::ParseHTTPHeader(const std::vector<std::string>& lines) const {
  return kestrel::ParseHTTPHeader(lines);
}

THTTPHeader TTCPThread::ParseHTTPHeader(const std::string& buf) const {
  return kestrel::ParseHTTPHeader(buf, FMaxReadLen);
}

std::string TTCPThread::AddHTTPHeader(const std::string& answ, bool binary) {
  return kestrel::AddHTTPHeader(answ, binary);
}

}  // namespace kestrel

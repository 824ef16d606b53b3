// The base of the threads that serve one accepted connection each: owns the
// connection, is registered with its daemon for its whole life, calls
// `Treat` until terminated, and offers the receive and send primitives and
// the HTTP framing that a connection class needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "server/http_header.h"
#include "server/request_reader.h"
#include "server/tcp_daemon.h"
#include "server/thread.h"

namespace kestrel {

class TTCPThread : public TThread {
 public:
  // Small enough for the daemon's 16384 threads, ample for serving a request.
  static constexpr std::size_t kStackBytes = 256 * 1024;

  // The class-level log. The base writes nothing; a connection class hides
  // it with its own, which the daemon and this base then use.
  static void LOG(const std::string& message);

  int SockLastError() const { return FSock.LastError(); }
  std::int32_t MaxReadLen() const { return FMaxReadLen; }
  void SetMaxReadLen(std::int32_t length) { FMaxReadLen = length; }

  // Called by the daemon as it closes: a request still being received is
  // given up at once, without an answer.
  void AbortReceiving();

 protected:
  // Runs on the thread that accepted the connection, which the daemon waits
  // for: a daemon never ends while one of its threads has yet to touch it.
  TTCPThread(TTCPDaemon& owner, platform::Socket connection);
  ~TTCPThread() override;

  // Serves the connection; called until the thread is terminated. The base
  // sleeps 10 ms.
  virtual void Treat();

  // The daemon, which outlives every call of Treat.
  TTCPDaemon& Owner() const { return *FOwner; }

  // Held-back bytes first, else what is waiting or arrives within
  // `timeout_ms` (at most 64 KiB); SockLastError tells 10060 (nothing came)
  // and 10054 (the peer closed).
  std::string RecivePacket(int timeout_ms);
  // One line without its CR LF; no gap between its pieces may reach
  // `timeout_ms`. On a failed receive it gives "" and keeps what it had.
  std::string ReciveString(int timeout_ms);
  // Appends lines until a receive fails; true when the failure is 10060.
  bool ReciveStringList(int timeout_ms, std::vector<std::string>& list);
  // One whole request (header and body) under `timings`, the daemon's body
  // budget and MaxReadLen; dropped at once when the daemon closes.
  TRequest ReceiveRequest(const TRequestTimings& timings);
  // Sends every byte; a failure is left in SockLastError.
  void Send(const std::string& bytes);
  // The client as numeric "address:port", or "" when unknown.
  std::string PeerAddress() const { return FSock.PeerAddress(); }

  THTTPHeader ParseHTTPHeader(const std::vector<std::string>& lines) const;
  THTTPHeader ParseHTTPHeader(const std::string& buf) const;
  static std::string AddHTTPHeader(const std::string& answ, bool binary);

 private:
  void Execute() final;
  void TreatUntilTerminated();
  void Finish();

  TTCPDaemon* FOwner;
  std::int32_t FMaxReadLen = 262144;
  platform::Socket FSock;
  std::string held_back_;
  bool finished_ = false;
  // Guards receiving_, which tells the daemon that the socket is open and
  // waiting for a request.
  std::mutex receive_mutex_;
  bool receiving_ = false;
};

// The class value of the connection class T, for TTCPDaemon::Create.
template <class T>
TTCPThreadClass ThreadClassOf() {
  return TTCPThreadClass{[](TTCPDaemon& owner, platform::Socket connection) {
                           RunThread<T>(owner, std::move(connection));
                         },
                         &T::LOG};
}

}  // namespace kestrel

// One HTTP request read off a connection: the framer cuts the received
// bytes into a header, parsed once when its blank line arrives, and a body
// of the announced length or sent in chunks; the reader drives it with the
// connection's receives, the time rules and the daemon's body budget,
// gives the go-ahead a sender waits for, and hands back a finished request.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "server/body_budget.h"
#include "server/chunked_body.h"
#include "server/http_header.h"

namespace kestrel {

// The largest body a request may announce: room for an update package.
inline constexpr std::int32_t kMaxRequestBody = 256 * 1024 * 1024;

// The waits and pace a request must keep. A header must be complete within
// `header_ms` of its first byte. Once a body has been arriving for
// `body_rate_grace_ms`, every `body_rate_window_ms` before a packet must
// have brought at least `body_rate_min_bytes`.
struct TRequestTimings {
  int first_data_ms = 30000;  // for the first packet of a connection
  int packet_gap_ms = 100;    // between the packets of one request
  std::uint64_t header_ms = 30000;
  std::uint64_t body_rate_grace_ms = 30000;
  std::uint64_t body_rate_window_ms = 30000;
  std::uint64_t body_rate_min_bytes = 30 * 1024;
  int budget_wait_ms = 30000;  // for room in the body budget
};

// Cuts one request out of the bytes of a connection; no I/O of its own.
class THTTPRequestFramer {
 public:
  enum class TState {
    Header,      // the header is still arriving
    Body,        // the header is parsed and more body bytes are due
    Complete,    // the header, and the body if it is binary, are whole
    Refused,     // the header is bad, or too slow or too long to arrive
    Unreadable,  // the body's coding is unknown or its chunks are broken
  };

  // The first room a chunked body is given; it doubles as the body grows.
  static constexpr std::uint64_t kFirstChunkedRoom = 65536;

  THTTPRequestFramer(std::int32_t max_read_len, const TRequestTimings& timings);

  // Takes the next received bytes at `now_ms`; bytes beyond the body are
  // never looked at.
  TState Add(std::string packet, std::uint64_t now_ms);
  TState State() const { return state_; }
  // Valid once the state has left Header.
  const THTTPHeader& Header() const { return header_; }
  // True when the sender waits for "100 Continue" before its body.
  bool ContinueDue() const { return continue_due_; }
  // The bytes the body may hold once `incoming` more have been added: the
  // announced length, or for a chunked body its room, doubled when short.
  std::uint64_t RoomFor(std::size_t incoming) const;
  // The body may hold `bytes`: its buffer is made that large at once.
  void HoldRoom(std::uint64_t bytes);
  std::uint64_t Room() const { return room_; }
  // The body's clock starts at `now_ms`: called once the body may be held.
  void BeginBody(std::uint64_t now_ms);
  // The body as received so far, and the header: the framer keeps neither.
  std::string TakeBody() { return std::move(body_); }
  THTTPHeader TakeHeader() { return std::move(header_); }

 private:
  void AddToHeader(std::string packet, std::uint64_t now_ms);
  void FinishHeader(std::size_t header_length);
  void AddToBody(const std::string& packet, std::uint64_t now_ms);
  void AddToLengthBody(const std::string& packet);
  void AddToChunkedBody(const std::string& packet);
  std::uint64_t BodyStillDue() const;
  bool BodyTooSlow(std::uint64_t now_ms);

  const std::int32_t max_read_len_;
  const TRequestTimings timings_;
  TState state_ = TState::Header;
  std::string header_bytes_;
  std::size_t header_checked_ = 0;  // bytes of header_bytes_ found acceptable
  std::uint64_t header_start_ms_ = 0;
  THTTPHeader header_;
  TBodyFraming framing_;
  bool continue_due_ = false;
  TChunkedDecoder chunks_;
  std::string body_;
  std::uint64_t room_ = 0;
  std::uint64_t body_start_ms_ = 0;
  // (time, body bytes by then) of the packets within the last rate window;
  // only for a body still arriving once it has begun, as a deque allocates
  // as soon as it exists and most bodies come with their header.
  std::optional<std::deque<std::pair<std::uint64_t, std::uint64_t>>> body_arrivals_;
};

// What became of a request.
enum class TRequestOutcome {
  Dropped,   // close without an answer
  Answered,  // answer it: `body` is what to serve, empty when there is none
};

struct TRequest {
  TRequestOutcome outcome = TRequestOutcome::Dropped;
  THTTPHeader header;
  std::string body;
  // The body's share of the budget, held until the request is done with.
  std::optional<TBodyBudget::TReservation> reservation;
};

// The connection as the reader sees it.
struct TRequestSource {
  // One packet; `error` is 0, or the socket's code when nothing came.
  std::function<std::string(int timeout_ms, int& error)> receive;
  // True once the connection is to be given up (the server is closing).
  std::function<bool()> aborted;
  std::function<std::uint64_t()> now_ms;
  // Sends bytes to the peer before the answer.
  std::function<void(const std::string& bytes)> send;
};

// Reads one request: waits `first_data_ms` for its first packet, then takes
// packets no more than `packet_gap_ms` apart. A header that does not
// arrive, is refused, or comes too slowly drops the connection; a body cut
// short by a gap, in an unknown coding or with broken chunks is answered
// empty; a body too slow drops it. A binary body waits for its room in
// `budget` before it is read, and its pace is judged from the moment it has
// room; a chunked body's room grows with it, each step waiting the same
// way. A sender that waits for the go-ahead gets "100 Continue" once its
// body has room.
TRequest ReadRequest(const TRequestSource& source, TBodyBudget& budget, std::int32_t max_read_len,
                     const TRequestTimings& timings);

}  // namespace kestrel

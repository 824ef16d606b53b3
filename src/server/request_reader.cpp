#include "server/request_reader.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace kestrel {
namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";

}  // namespace

THTTPRequestFramer::THTTPRequestFramer(std::int32_t max_read_len, const TRequestTimings& timings)
    : max_read_len_(max_read_len),
      timings_(timings),
      chunks_(static_cast<std::uint64_t>(std::max<std::int32_t>(max_read_len, 0))) {}

THTTPRequestFramer::TState THTTPRequestFramer::Add(std::string packet, std::uint64_t now_ms) {
  if (state_ == TState::Header)
    AddToHeader(std::move(packet), now_ms);
  else if (state_ == TState::Body)
    AddToBody(packet, now_ms);
  return state_;
}

// Only the new bytes are searched and checked: a header that arrives in
// many pieces is looked at once, not once per piece.
void THTTPRequestFramer::AddToHeader(std::string packet, std::uint64_t now_ms) {
  if (header_bytes_.empty()) {
    header_start_ms_ = now_ms;
    header_bytes_ = std::move(packet);
  } else {
    header_bytes_ += packet;
  }
  if (now_ms - header_start_ms_ > timings_.header_ms) {
    state_ = TState::Refused;
    return;
  }
  const std::size_t search_from =
      header_checked_ < kHeaderEnd.size() ? 0 : header_checked_ - (kHeaderEnd.size() - 1);
  const std::size_t end = header_bytes_.find(kHeaderEnd, search_from);
  if (end != std::string::npos) {
    FinishHeader(end + kHeaderEnd.size());
    return;
  }
  const std::string_view unchecked = std::string_view(header_bytes_).substr(header_checked_);
  if (header_bytes_.size() >= kMaxGatheredHeader || !OnlyHeaderBytes(unchecked))
    state_ = TState::Refused;
  header_checked_ = header_bytes_.size();
}

// A body with a transfer coding has no length to trust: the Content-Length
// is ignored, and a coding other than chunked leaves the body unread.
void THTTPRequestFramer::FinishHeader(std::size_t header_length) {
  std::string after_header = header_bytes_.substr(header_length);
  header_bytes_.resize(header_length);
  header_ = ParseHTTPHeader(header_bytes_, max_read_len_, framing_);
  header_bytes_ = std::string();
  if (header_.HeaderError)
    state_ = TState::Refused;
  else if (!header_.BinaryData)
    state_ = TState::Complete;
  else if (framing_.coding == TTransferCoding::Other)
    state_ = TState::Unreadable;
  else
    state_ = TState::Body;
  if (state_ != TState::Body)
    return;
  continue_due_ = framing_.expects_continue && after_header.empty();
  AddToBody(after_header, header_start_ms_);
}

std::uint64_t THTTPRequestFramer::BodyStillDue() const {
  return static_cast<std::uint64_t>(header_.ContentLength) - body_.size();
}

std::uint64_t THTTPRequestFramer::RoomFor(std::size_t incoming) const {
  if (state_ != TState::Body && state_ != TState::Complete)
    return 0;
  if (!header_.BinaryData)
    return 0;
  if (framing_.coding != TTransferCoding::Chunked)
    return static_cast<std::uint64_t>(header_.ContentLength);
  const std::uint64_t needed = body_.size() + incoming;
  if (state_ == TState::Complete)
    return std::max(needed, room_);
  std::uint64_t room = std::max(room_, kFirstChunkedRoom);
  while (room < needed)
    room *= 2;
  return std::min<std::uint64_t>(room, static_cast<std::uint64_t>(max_read_len_));
}

void THTTPRequestFramer::HoldRoom(std::uint64_t bytes) {
  room_ = bytes;
  body_.reserve(static_cast<std::size_t>(bytes));
}

void THTTPRequestFramer::BeginBody(std::uint64_t now_ms) {
  body_start_ms_ = now_ms;
  if (state_ == TState::Body)
    body_arrivals_.emplace(1, std::pair{now_ms, std::uint64_t{body_.size()}});
}

void THTTPRequestFramer::AddToBody(const std::string& packet, std::uint64_t now_ms) {
  if (framing_.coding == TTransferCoding::Chunked)
    AddToChunkedBody(packet);
  else
    AddToLengthBody(packet);
  if (state_ == TState::Body && body_arrivals_ && BodyTooSlow(now_ms))
    state_ = TState::Refused;
}

void THTTPRequestFramer::AddToLengthBody(const std::string& packet) {
  const auto take =
      static_cast<std::size_t>(std::min<std::uint64_t>(packet.size(), BodyStillDue()));
  body_.append(packet, 0, take);
  if (BodyStillDue() == 0) {
    header_.DataIsReady = true;
    state_ = TState::Complete;
  }
}

// A whole chunked body then reads as if it had been sent with its length.
void THTTPRequestFramer::AddToChunkedBody(const std::string& packet) {
  const TChunkedDecoder::TState decoded = chunks_.Add(packet, body_);
  if (decoded == TChunkedDecoder::TState::Malformed) {
    body_ = std::string();
    state_ = TState::Unreadable;
  } else if (decoded == TChunkedDecoder::TState::Complete) {
    header_.ContentLength = static_cast<std::int32_t>(body_.size());
    header_.DataIsReady = true;
    state_ = TState::Complete;
  }
}

// The body must bring body_rate_min_bytes in every rate window once its
// grace time has passed.
bool THTTPRequestFramer::BodyTooSlow(std::uint64_t now_ms) {
  auto& arrivals = *body_arrivals_;
  arrivals.emplace_back(now_ms, body_.size());
  const std::uint64_t window = timings_.body_rate_window_ms;
  const std::uint64_t window_start = now_ms > window ? now_ms - window : 0;
  // The front stays the last arrival at or before the window's start.
  while (arrivals.size() > 1 && arrivals[1].first <= window_start)
    arrivals.pop_front();
  if (now_ms - body_start_ms_ < timings_.body_rate_grace_ms)
    return false;
  return body_.size() - arrivals.front().second < timings_.body_rate_min_bytes;
}

namespace {

// Reserves in `budget` what the body may hold once `incoming` more bytes
// are in, before they are taken; false when no room came.
bool MakeRoom(THTTPRequestFramer& framer, std::size_t incoming, TBodyBudget& budget,
              const TRequestTimings& timings, const TRequestSource& source, TRequest& request) {
  const std::uint64_t room = framer.RoomFor(incoming);
  if (room <= framer.Room())
    return true;
  std::optional<TBodyBudget::TReservation> more =
      budget.Reserve(room - framer.Room(), timings.budget_wait_ms, source.aborted);
  if (!more)
    return false;
  if (request.reservation)
    request.reservation->Absorb(std::move(*more));
  else
    request.reservation = std::move(more);
  framer.HoldRoom(room);
  return true;
}

TRequest AnsweredEmpty(THTTPRequestFramer& framer) {
  TRequest request;
  request.outcome = TRequestOutcome::Answered;
  request.header = framer.TakeHeader();
  return request;
}

}  // namespace

TRequest ReadRequest(const TRequestSource& source, TBodyBudget& budget, std::int32_t max_read_len,
                     const TRequestTimings& timings) {
  using TState = THTTPRequestFramer::TState;
  int error = 0;
  std::string packet = source.receive(timings.first_data_ms, error);
  if (error != 0 || source.aborted())
    return {};
  THTTPRequestFramer framer(max_read_len, timings);
  TState state = framer.Add(std::move(packet), source.now_ms());
  TRequest request;
  bool body_begun = false;
  for (;;) {
    if (state == TState::Refused)
      return {};
    if (state == TState::Unreadable)
      return AnsweredEmpty(framer);
    if (state != TState::Header && !body_begun) {
      body_begun = true;
      if (!MakeRoom(framer, 0, budget, timings, source, request))
        return {};
      // The wait for room is not the sender's: its pace counts from here.
      framer.BeginBody(source.now_ms());
      if (framer.ContinueDue())
        source.send(kContinue);
    }
    if (state == TState::Complete)
      break;
    packet = source.receive(timings.packet_gap_ms, error);
    if (source.aborted() || (error != 0 && state == TState::Header))
      return {};
    if (error != 0)
      return AnsweredEmpty(framer);
    if (state == TState::Body && !MakeRoom(framer, packet.size(), budget, timings, source, request))
      return {};
    state = framer.Add(std::move(packet), source.now_ms());
  }
  request.outcome = TRequestOutcome::Answered;
  request.body = framer.TakeBody();
  request.header = framer.TakeHeader();
  return request;
}

}  // namespace kestrel

#include "server/request_reader.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace kestrel {
namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";

}  // namespace

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

void THTTPRequestFramer::FinishHeader(std::size_t header_length) {
  std::string after_header = header_bytes_.substr(header_length);
  header_bytes_.resize(header_length);
  header_ = ParseHTTPHeader(header_bytes_, max_read_len_);
  header_bytes_ = std::string();
  if (header_.HeaderError) {
    state_ = TState::Refused;
    return;
  }
  state_ = header_.BinaryData ? TState::Body : TState::Complete;
  if (state_ == TState::Body)
    AddToBody(after_header, header_start_ms_);
}

std::uint64_t THTTPRequestFramer::BodyStillDue() const {
  if (state_ == TState::Header || !header_.BinaryData)
    return 0;
  return static_cast<std::uint64_t>(header_.ContentLength) - body_.size();
}

void THTTPRequestFramer::BeginBody(std::uint64_t now_ms) {
  if (header_.BinaryData)
    body_.reserve(static_cast<std::size_t>(header_.ContentLength));
  body_start_ms_ = now_ms;
  body_arrivals_.assign(1, {now_ms, body_.size()});
}

void THTTPRequestFramer::AddToBody(const std::string& packet, std::uint64_t now_ms) {
  const auto take =
      static_cast<std::size_t>(std::min<std::uint64_t>(packet.size(), BodyStillDue()));
  body_.append(packet, 0, take);
  if (BodyStillDue() == 0) {
    header_.DataIsReady = true;
    state_ = TState::Complete;
  } else if (!body_arrivals_.empty() && BodyTooSlow(now_ms)) {
    state_ = TState::Refused;
  }
}

// The body must bring body_rate_min_bytes in every rate window once its
// grace time has passed.
bool THTTPRequestFramer::BodyTooSlow(std::uint64_t now_ms) {
  body_arrivals_.emplace_back(now_ms, body_.size());
  const std::uint64_t window = timings_.body_rate_window_ms;
  const std::uint64_t window_start = now_ms > window ? now_ms - window : 0;
  // The front stays the last arrival at or before the window's start.
  while (body_arrivals_.size() > 1 && body_arrivals_[1].first <= window_start)
    body_arrivals_.pop_front();
  if (now_ms - body_start_ms_ < timings_.body_rate_grace_ms)
    return false;
  return body_.size() - body_arrivals_.front().second < timings_.body_rate_min_bytes;
}

TRequest ReadRequest(const TRequestSource& source, TBodyBudget& budget, std::int32_t max_read_len,
                     const TRequestTimings& timings) {
  int error = 0;
  std::string packet = source.receive(timings.first_data_ms, error);
  if (error != 0 || source.aborted())
    return {};
  THTTPRequestFramer framer(max_read_len, timings);
  THTTPRequestFramer::TState state = framer.Add(std::move(packet), source.now_ms());
  TRequest request;
  bool body_begun = false;
  for (;;) {
    if (state == THTTPRequestFramer::TState::Refused)
      return {};
    if (state != THTTPRequestFramer::TState::Header && !body_begun) {
      body_begun = true;
      const THTTPHeader& header = framer.Header();
      if (header.BinaryData && header.ContentLength > 0) {
        request.reservation = budget.Reserve(static_cast<std::uint64_t>(header.ContentLength),
                                             timings.budget_wait_ms, source.aborted);
        if (!request.reservation)
          return {};
      }
      // The wait for room is not the sender's: its pace counts from here.
      framer.BeginBody(source.now_ms());
    }
    if (state == THTTPRequestFramer::TState::Complete)
      break;
    packet = source.receive(timings.packet_gap_ms, error);
    if (source.aborted() || (error != 0 && state == THTTPRequestFramer::TState::Header))
      return {};
    if (error != 0) {
      request.reservation.reset();
      request.outcome = TRequestOutcome::Answered;
      request.header = framer.Header();
      return request;
    }
    state = framer.Add(std::move(packet), source.now_ms());
  }
  request.outcome = TRequestOutcome::Answered;
  request.header = framer.Header();
  request.body = framer.TakeBody();
  return request;
}

}  // namespace kestrel

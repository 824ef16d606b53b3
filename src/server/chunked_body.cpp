#include "server/chunked_body.h"

#include <algorithm>

#include "base/ascii.h"

namespace kestrel {

TChunkedDecoder::TState TChunkedDecoder::Add(std::string_view bytes, std::string& body) {
  std::size_t at = 0;
  while (at < bytes.size() && state_ == TState::Arriving) {
    if (part_ == TPart::Data)
      at += TakeData(bytes.substr(at), body);
    else
      TakeFramingByte(bytes[at++]);
  }
  return state_;
}

// Chunk data is copied in runs, not byte by byte.
std::size_t TChunkedDecoder::TakeData(std::string_view bytes, std::string& body) {
  const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), chunk_left_));
  body.append(bytes.data(), take);
  chunk_left_ -= take;
  decoded_ += take;
  if (chunk_left_ == 0)
    part_ = TPart::DataCR;
  return take;
}

void TChunkedDecoder::TakeFramingByte(char c) {
  const auto expect = [&](char wanted, TPart next) {
    if (c == wanted)
      part_ = next;
    else
      state_ = TState::Malformed;
  };
  switch (part_) {
    case TPart::Size:
      TakeSizeByte(c);
      break;
    case TPart::Extension:
      if (c == '\n' || ++line_length_ > kMaxSizeLine)
        state_ = TState::Malformed;
      else if (c == '\r')
        part_ = TPart::SizeEnd;
      break;
    case TPart::SizeEnd:
      if (c == '\n')
        EndSizeLine();
      else
        state_ = TState::Malformed;
      break;
    case TPart::Data:
      break;
    case TPart::DataCR:
      expect('\r', TPart::DataLF);
      break;
    case TPart::DataLF:
      expect('\n', TPart::Size);
      size_digits_ = 0;
      line_length_ = 0;
      break;
    case TPart::Trailer:
      TakeTrailerByte(c);
      break;
    case TPart::TrailerLF:
      expect('\n', TPart::Trailer);
      if (state_ == TState::Arriving && line_length_ == 0)
        state_ = TState::Complete;
      line_length_ = 0;
      break;
  }
}

// A size is one or more hex digits, then a CR LF, or an extension that
// begins with ";" or a blank and is skipped.
void TChunkedDecoder::TakeSizeByte(char c) {
  const int digit = DigitValue(c, 16);
  if (++line_length_ > kMaxSizeLine) {
    state_ = TState::Malformed;
  } else if (digit >= 0) {
    chunk_left_ = chunk_left_ * 16 + static_cast<std::uint64_t>(digit);
    ++size_digits_;
    if (chunk_left_ > max_body_ - decoded_)
      state_ = TState::Malformed;
  } else if (size_digits_ > 0 && (c == ';' || c == ' ' || c == '\t')) {
    part_ = TPart::Extension;
  } else if (size_digits_ > 0 && c == '\r') {
    part_ = TPart::SizeEnd;
  } else {
    state_ = TState::Malformed;
  }
}

void TChunkedDecoder::EndSizeLine() {
  line_length_ = 0;
  part_ = chunk_left_ == 0 ? TPart::Trailer : TPart::Data;
}

// Trailer lines are skipped up to the empty line that ends the body.
void TChunkedDecoder::TakeTrailerByte(char c) {
  if (c == '\n' || ++trailer_length_ > kMaxTrailer)
    state_ = TState::Malformed;
  else if (c == '\r')
    part_ = TPart::TrailerLF;
  else
    ++line_length_;
}

}  // namespace kestrel

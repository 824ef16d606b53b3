// The decoder of a request body sent with "Transfer-Encoding: chunked": hex
// chunk sizes, each chunk's data and its CR LF, then the last chunk (size 0)
// and the trailer lines, which are skipped. Extensions after a size are
// ignored. No I/O of its own: it takes the body's bytes as they arrive.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

class TChunkedDecoder {
 public:
  enum class TState {
    Arriving,   // more of the body is due
    Complete,   // the last chunk and the trailer are in
    Malformed,  // not chunked framing, or larger than allowed
  };

  // The longest size line (extensions included) and the longest trailer
  // section; framing bytes beyond them make the body malformed.
  static constexpr std::size_t kMaxSizeLine = 4096;
  static constexpr std::size_t kMaxTrailer = 65536;

  // A decoded body of more than `max_body` bytes is malformed.
  explicit TChunkedDecoder(std::uint64_t max_body) : max_body_(max_body) {}

  // Decodes `bytes`, appending chunk data to `body`; bytes after the
  // trailer are never looked at.
  TState Add(std::string_view bytes, std::string& body);
  TState State() const { return state_; }

 private:
  enum class TPart { Size, Extension, SizeEnd, Data, DataCR, DataLF, Trailer, TrailerLF };

  std::size_t TakeData(std::string_view bytes, std::string& body);
  void TakeFramingByte(char c);
  void TakeSizeByte(char c);
  void EndSizeLine();
  void TakeTrailerByte(char c);

  const std::uint64_t max_body_;
  std::uint64_t decoded_ = 0;
  TState state_ = TState::Arriving;
  TPart part_ = TPart::Size;
  std::uint64_t chunk_left_ = 0;  // the size being read, then its data still due
  std::size_t size_digits_ = 0;
  std::size_t line_length_ = 0;     // bytes of the current size or trailer line
  std::size_t trailer_length_ = 0;  // bytes of the trailer so far
};

}  // namespace kestrel

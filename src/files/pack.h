// Packed strings: a byte string compressed into one zlib stream between a
// header (length and CRC-32 of the data) and a trailer (CRC-32 of all bytes
// before it), so that damage is detected before and after decompression.
// Layout, all integers 32-bit little-endian:
//   length L (signed) | CRC-32 of the data (0 when L is 0) |
//   zlib stream, level 9, window 15, memory level 8 (absent when L is 0) |
//   CRC-32 of the preceding bytes
// Both functions keep no state; any number of threads may use them at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/exception.h"

namespace kestrel {

// The failures of packed strings that are detected by their own checks.
class EZIPerror : public Exception {
 public:
  using Exception::Exception;
};

// The packed form of `data`, at least 12 bytes. Data beyond 2^31 - 1 bytes,
// which the length field cannot hold, raises the range error.
std::string PackString(std::string_view data);

// The largest data UnpackString gives back: a packed print request or answer
// is never near it, and a forged header cannot make a request cost more.
inline constexpr std::int32_t kMaxUnpackedSize = 64 * 1024 * 1024;

// The data of a packed string. Raises EZIPerror "Error ZIP stream" (shorter
// than 12 bytes), "Error ZIP stream CRC" (trailer mismatch), "Error ZIP
// unpacking" (the data's CRC differs, fewer bytes than the header says, or a
// zero length with a CRC) or "Error ZIP unpacking: N bytes is more than the
// limit of 64 MiB" (a header length above kMaxUnpackedSize, refused before
// anything is inflated), and Exception "Error ZIP decompression" when the
// zlib stream is broken or runs out of input. Memory stays below one and a
// half times the header's length plus a small constant, however the bytes
// are forged.
std::string UnpackString(std::string_view packed);

}  // namespace kestrel

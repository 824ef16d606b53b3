// CRC-32 (the reflected polynomial 0xEDB88320, as zlib computes it) of
// buffers and of files. Values travel as signed 32-bit integers with the
// CRC's bits, which is how messages store and compare them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

// The CRC-32 of `len` bytes at `data`; 0 for no bytes.
std::int32_t CalcCRC32(const void* data, std::size_t len);
inline std::int32_t CalcCRC32(std::string_view data) {
  return CalcCRC32(data.data(), data.size());
}

// Continues `crc` over `len` further bytes, stores the result in `crc` and
// returns it: the CRC of A continued over B is the CRC of A followed by B.
std::int32_t UpdateCRC32(std::int32_t& crc, const void* data, std::size_t len);

// The CRC-32 of a whole file of any size, read in 64 KiB chunks. Raises the
// open error of ReadFilePart, or "File "%s" read error" on a short read.
std::int32_t FileCRC32(const std::string& file_name);

}  // namespace kestrel

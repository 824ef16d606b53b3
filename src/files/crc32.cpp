#include "files/crc32.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

#include "files/open_file.h"

namespace kestrel {
namespace {

constexpr std::size_t kFileChunk = 65536;

// zlib's crc32 is the same function as the byte-table loop, only faster.
std::uint32_t Continue(std::uint32_t crc, const void* data, std::size_t len) {
  return static_cast<std::uint32_t>(
      crc32_z(crc, static_cast<const Bytef*>(data), static_cast<z_size_t>(len)));
}

}  // namespace

std::int32_t CalcCRC32(const void* data, std::size_t len) {
  if (len == 0)
    return 0;
  return static_cast<std::int32_t>(Continue(0, data, len));
}

std::int32_t UpdateCRC32(std::int32_t& crc, const void* data, std::size_t len) {
  if (len != 0)
    crc = static_cast<std::int32_t>(Continue(static_cast<std::uint32_t>(crc), data, len));
  return crc;
}

std::int32_t FileCRC32(const std::string& file_name) {
  platform::File file = detail::OpenFileForReading(file_name);
  std::int64_t remaining = file.Size();
  if (remaining < 0)
    detail::RaiseReadError(file_name);
  std::vector<char> chunk(static_cast<std::size_t>(std::min<std::int64_t>(remaining, kFileChunk)));
  std::int32_t crc = 0;
  while (remaining > 0) {
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::int64_t>(remaining, kFileChunk));
    if (file.Read(chunk.data(), wanted) != wanted)
      detail::RaiseReadError(file_name);
    UpdateCRC32(crc, chunk.data(), wanted);
    remaining -= static_cast<std::int64_t>(wanted);
  }
  return crc;
}

}  // namespace kestrel

// Feeds one input to UnpackString as a packed body from the network, where
// every failure must be one of the system's exceptions and a success must
// match the header's length and CRC-32; once as it is, and once with a
// trailer that fits, so that the header and the zlib stream behind the
// trailer check are reached too. Then packs the input itself, which must
// unpack to exactly the input.
#include <cstdint>
#include <string>
#include <string_view>

#include "base/exception.h"
#include "files/crc32.h"
#include "files/pack.h"
#include "fuzz_check.h"

namespace kestrel {
namespace {

using fuzzing::Require;

std::int32_t Int32At(std::string_view bytes, std::size_t offset) {
  std::uint32_t bits = 0;
  for (std::size_t i = 4; i-- > 0;)
    bits = (bits << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return static_cast<std::int32_t>(bits);
}

void CheckUnpack(std::string_view packed) {
  std::string data;
  try {
    data = UnpackString(packed);
  } catch (const Exception&) {
    return;
  }
  Require(packed.size() >= 12, "only 12 bytes or more unpack");
  const std::int32_t length = Int32At(packed, 0);
  if (length <= 0) {
    Require(data.empty(), "a length of zero or less unpacks to nothing");
    return;
  }
  Require(data.size() == static_cast<std::size_t>(length), "the data has the header's length");
  Require(CalcCRC32(data) == Int32At(packed, 4), "the data has the header's CRC-32");
}

// `bytes` followed by their CRC-32: what passes the trailer check.
std::string WithTrailer(std::string_view bytes) {
  std::string packed(bytes);
  const auto crc = static_cast<std::uint32_t>(CalcCRC32(bytes));
  for (int shift = 0; shift < 32; shift += 8)
    packed.push_back(static_cast<char>((crc >> shift) & 0xFF));
  return packed;
}

void CheckRoundTrip(std::string_view data) {
  const std::string packed = PackString(data);
  Require(packed.size() >= 12, "a packed string has header and trailer");
  if (!data.empty())
    Require(packed.compare(8, 2, "\x78\xDA") == 0, "the zlib stream is made at level 9");
  Require(UnpackString(packed) == data, "what is packed unpacks to itself");
}

}  // namespace
}  // namespace kestrel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  kestrel::CheckUnpack(input);
  kestrel::CheckUnpack(kestrel::WithTrailer(input));
  kestrel::CheckRoundTrip(input);
  return 0;
}

#include "files/crc32.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

#include "files/open_file.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kestrel {
namespace {

constexpr std::size_t kFileChunk = 65536;

#if defined(__x86_64__)

#define KESTREL_CLMUL __attribute__((target("pclmul,sse4.1")))

KESTREL_CLMUL __m128i Load(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// One fold step: x * k (low halves) xor x * k (high halves) xor next.
KESTREL_CLMUL __m128i Fold(__m128i x, __m128i k, __m128i next) {
  const __m128i low = _mm_clmulepi64_si128(x, k, 0x00);
  const __m128i high = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

// Carry-less multiplication folds the buffer 64 bytes at a time (Intel's
// "Fast CRC Computation Using PCLMULQDQ"), several times faster than zlib's
// table code; unpacking checks every byte it produces with it.
// Takes and returns the inverted register; `len` is a multiple of 16, at least 64.
KESTREL_CLMUL std::uint32_t FoldRegister(const unsigned char* buf, std::size_t len,
                                         std::uint32_t reg) {
  alignas(16) static const std::uint64_t k1k2[] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static const std::uint64_t k3k4[] = {0x01751997d0, 0x00ccaa009e};
  alignas(16) static const std::uint64_t k5k0[] = {0x0163cd6124, 0x0000000000};
  alignas(16) static const std::uint64_t poly[] = {0x01db710641, 0x01f7011641};

  __m128i x1 = _mm_xor_si128(Load(buf), _mm_cvtsi32_si128(static_cast<int>(reg)));
  __m128i x2 = Load(buf + 16);
  __m128i x3 = Load(buf + 32);
  __m128i x4 = Load(buf + 48);
  buf += 64;
  len -= 64;
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
  for (; len >= 64; buf += 64, len -= 64) {
    x1 = Fold(x1, k, Load(buf));
    x2 = Fold(x2, k, Load(buf + 16));
    x3 = Fold(x3, k, Load(buf + 32));
    x4 = Fold(x4, k, Load(buf + 48));
  }
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
  x1 = Fold(Fold(Fold(x1, k, x2), k, x3), k, x4);
  for (; len >= 16; buf += 16, len -= 16)
    x1 = Fold(x1, k, Load(buf));

  // 128 bits to 64, then Barrett reduction to 32.
  const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k, 0x10));
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x00),
                     _mm_srli_si128(x1, 4));
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
  __m128i reduced = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x10);
  reduced = _mm_clmulepi64_si128(_mm_and_si128(reduced, mask32), k, 0x00);
  return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, reduced), 1));
}

bool HasCarrylessMultiply() {
  static const bool supported = [] {
    __builtin_cpu_init();  // may run before the runtime's own initialisation
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  }();
  return supported;
}

#endif

// zlib's crc32 is the same function as the byte-table loop, only faster.
std::uint32_t ContinueWithZlib(std::uint32_t crc, const unsigned char* data, std::size_t len) {
  return static_cast<std::uint32_t>(crc32_z(crc, data, static_cast<z_size_t>(len)));
}

std::uint32_t Continue(std::uint32_t crc, const void* data, std::size_t len) {
  const auto* bytes = static_cast<const unsigned char*>(data);
#if defined(__x86_64__)
  if (len >= 64 && HasCarrylessMultiply()) {
    const std::size_t folded = len & ~std::size_t{15};
    crc = ~FoldRegister(bytes, folded, ~crc);
    bytes += folded;
    len -= folded;
  }
#endif
  return len == 0 ? crc : ContinueWithZlib(crc, bytes, len);
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

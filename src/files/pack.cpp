#include "files/pack.h"

// Lets zlib take input through pointers to const.
#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>

#include "base/format.h"
#include "files/crc32.h"

namespace kestrel {
namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 4;
constexpr std::size_t kInputChunk = 65536;
// Output room reserved before inflating, as a multiple of the input size;
// beyond it the buffer grows as data actually comes out, so that a forged
// length cannot make us allocate what the stream never delivers.
constexpr std::size_t kTrustedRatio = 8;
constexpr std::size_t kMinimumRoom = 65536;

void AppendInt32(std::string& out, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<char>((bits >> shift) & 0xFF));
}

std::int32_t Int32At(std::string_view bytes, std::size_t offset) {
  std::uint32_t bits = 0;
  for (int i = 3; i >= 0; --i)
    bits = (bits << 8) | static_cast<unsigned char>(bytes[offset + static_cast<std::size_t>(i)]);
  return static_cast<std::int32_t>(bits);
}

Bytef* BytesOf(char* data) {
  return reinterpret_cast<Bytef*>(data);
}

// One deflate stream with the packed-string settings, ended on every path.
class Deflater {
 public:
  Deflater() {
    const int result =
        deflateInit2(&stream_, Z_BEST_COMPRESSION, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
    if (result == Z_MEM_ERROR)
      throw std::bad_alloc();
    if (result != Z_OK)
      throw Exception(zError(result));
  }
  ~Deflater() { deflateEnd(&stream_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Appends the whole zlib stream of `data` to `out`.
  void CompressInto(std::string_view data, std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + deflateBound(&stream_, static_cast<uLong>(data.size())));
    stream_.next_in = reinterpret_cast<const Bytef*>(data.data());
    stream_.avail_in = static_cast<uInt>(data.size());
    stream_.next_out = BytesOf(out.data() + start);
    stream_.avail_out = static_cast<uInt>(out.size() - start);
    const int result = deflate(&stream_, Z_FINISH);
    if (result != Z_STREAM_END)
      throw Exception(result == Z_MEM_ERROR ? "Out of memory" : zError(result));
    out.resize(start + stream_.total_out);
  }

 private:
  z_stream stream_{};
};

[[noreturn]] void RaiseDecompressionError() {
  throw Exception("Error ZIP decompression");
}

// The deflate data inside a zlib stream, after the checks that inflate
// makes of the stream's two-byte header: method 8, a window of at most
// 32 KiB, no preset dictionary, and the check bits.
std::string_view DeflateDataOf(std::string_view zlib_stream) {
  if (zlib_stream.size() < 2)
    RaiseDecompressionError();
  const unsigned cmf = static_cast<unsigned char>(zlib_stream[0]);
  const unsigned flg = static_cast<unsigned char>(zlib_stream[1]);
  const bool valid = (cmf & 0x0F) == Z_DEFLATED && (cmf >> 4) <= 7 && (flg & 0x20) == 0 &&
                     ((cmf << 8) | flg) % 31 == 0;
  if (!valid)
    RaiseDecompressionError();
  return zlib_stream.substr(2);
}

// One raw inflate stream, ended on every path. The zlib header is checked
// by DeflateDataOf and the Adler-32 at the end is never looked at (the
// CRC-32 of the data checks it instead), so inflate need not compute it:
// that saves about a tenth of the time.
class Inflater {
 public:
  Inflater() {
    if (inflateInit2(&stream_, -15) != Z_OK)
      RaiseDecompressionError();
  }
  ~Inflater() { inflateEnd(&stream_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Inflates `input` until `wanted` bytes have come out or the stream ends,
  // whichever is first; what lies beyond those bytes is not looked at.
  std::string Produce(std::string_view input, std::size_t wanted) {
    std::string out(std::min(wanted, std::max(kMinimumRoom, input.size() * kTrustedRatio)), '\0');
    std::size_t consumed = 0;
    std::size_t produced = 0;
    while (produced < wanted) {
      consumed += Feed(input.substr(consumed));
      if (produced == out.size())
        Grow(out, std::min(wanted, out.size() * 2));
      stream_.next_out = BytesOf(out.data() + produced);
      stream_.avail_out =
          static_cast<uInt>(std::min<std::size_t>(out.size() - produced, UINT32_MAX));
      const int result = inflate(&stream_, Z_NO_FLUSH);
      produced = static_cast<std::size_t>(stream_.next_out - BytesOf(out.data()));
      if (result == Z_STREAM_END || produced == wanted)
        break;
      // No progress is possible: broken data, or the input has run out.
      if (result != Z_OK)
        RaiseDecompressionError();
    }
    out.resize(produced);
    return out;
  }

 private:
  // Enlarges `out` to exactly `size` bytes: a plain resize may double the
  // capacity beyond the length the header allows. While the bytes move, the
  // old and the new buffer are held: at most one and a half times the length.
  static void Grow(std::string& out, std::size_t size) {
    std::string bigger;
    bigger.reserve(size);
    bigger.append(out);
    bigger.resize(size);
    out.swap(bigger);
  }

  // Offers the next chunk of `rest` once zlib has taken the previous one;
  // returns how many bytes were offered.
  std::size_t Feed(std::string_view rest) {
    if (stream_.avail_in != 0 || rest.empty())
      return 0;
    const std::size_t chunk = std::min(rest.size(), kInputChunk);
    stream_.next_in = reinterpret_cast<const Bytef*>(rest.data());
    stream_.avail_in = static_cast<uInt>(chunk);
    return chunk;
  }

  z_stream stream_{};
};

}  // namespace

std::string PackString(std::string_view data) {
  if (data.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw ERangeError();
  std::string packed;
  AppendInt32(packed, static_cast<std::int32_t>(data.size()));
  AppendInt32(packed, CalcCRC32(data));
  if (!data.empty())
    Deflater().CompressInto(data, packed);
  AppendInt32(packed, CalcCRC32(packed));
  return packed;
}

std::string UnpackString(std::string_view packed) {
  if (packed.size() < kHeaderSize + kTrailerSize)
    throw EZIPerror("Error ZIP stream");
  const std::string_view checked = packed.substr(0, packed.size() - kTrailerSize);
  if (CalcCRC32(checked) != Int32At(packed, checked.size()))
    throw EZIPerror("Error ZIP stream CRC");
  const std::int32_t length = Int32At(packed, 0);
  const std::int32_t crc = Int32At(packed, 4);
  if (length <= 0) {
    if (crc != 0)
      throw EZIPerror("Error ZIP unpacking");
    return std::string();
  }
  if (length > kMaxUnpackedSize) {
    throw EZIPerror(Format("Error ZIP unpacking: %d bytes is more than the limit of %d MiB", length,
                           kMaxUnpackedSize / (1024 * 1024)));
  }
  std::string data = Inflater().Produce(DeflateDataOf(checked.substr(kHeaderSize)),
                                        static_cast<std::size_t>(length));
  if (data.size() != static_cast<std::size_t>(length) || CalcCRC32(data) != crc)
    throw EZIPerror("Error ZIP unpacking");
  return data;
}

}  // namespace kestrel
